// The setup program's word, given as msiexec gives its own. Under a user interface (any UI
// level but /qn) its messages appear in a message box; with /qn, or when its output is
// redirected, they go to standard output or standard error instead. With /l, every line goes
// to the log too, and each package's own log is appended to it after the line that names the
// package. The exit code says the same in every case.
#pragma once

#include "setup/command_line.h"

#include <string>

class Messages {
public:
    explicit Messages(const Options& options);

    // A log asked for without "+" starts empty, as the installer's own does.
    void StartLog() const;

    void Log(const std::wstring& text) const;     // the log only
    void Inform(const std::wstring& text) const;  // and standard output without an interface
    void Show(const std::wstring& text) const;    // and a message box, or standard output
    void Warn(const std::wstring& text) const;    // and a message box, or standard error
    void Fail(const std::wstring& text) const;    // the same, as an error

    // Adds the log the installer wrote at `path` to the end of the log, then removes it.
    void AppendPackageLog(const std::wstring& path) const;

private:
    void Tell(DWORD stream, UINT icon, const std::wstring& text) const;

    const Options& options_;
    bool interactive_;
};
