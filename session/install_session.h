// The install session: the library's door to the running installation.
#pragma once

#include "session/owned.h"

#include <string>

// The installation source folder of the latest action call that ran the prologue.
// Cabinet and support-pack paths are built by appending a relative path to it.
// Held whole: a folder too long for a Windows path makes every path built on it refused,
// rather than cut into a different path.
extern std::string SourceRoot;

class InstallSession {
public:
    // `action` names the running action in what the session writes to the installer's log.
    explicit InstallSession(MSIHANDLE install, const char* action = "");
    InstallSession(const InstallSession&) = delete;
    InstallSession& operator=(const InstallSession&) = delete;

    MSIHANDLE handle() const { return install_; }

    // The property's value, or none when it is unset, empty or unreadable.
    OwnedString GetProperty(const char* name) const;
    void SetProperty(const char* name, const char* value) const;
    // SourceDir, resolving the source first when it is not known yet.
    OwnedString GetSourceDir() const;
    // Posts the package's Error-table message `number`. Returns 0, or 1602 when the user
    // answered Cancel or Abort; 1603 when the message could not be built.
    UINT ReportError(int number) const;
    // Runs a standard action inside the installation; its result is not used.
    void DoAction(const char* action) const;
    // Writes an informational line to the installation's log, behind the library's and the
    // action's name. Only the log sees it; nothing is shown to the user.
    void Log(const std::string& text) const;
    // A property's value as the log may show it: "(hidden)" for the properties the package
    // lists in MsiHiddenProperties.
    std::string Loggable(const char* name, const std::string& value) const;

private:
    MSIHANDLE install_;  // borrowed from the installer, never closed
    std::string action_;
    OwnedString actionData_;
    mutable MsiHandle logRecord_;
    mutable OwnedString hidden_;  // MsiHiddenProperties, read on first use
    mutable bool hiddenRead_ = false;
};

// The prologue of the table-driven actions: copies the source folder into SourceRoot.
void LoadSourceRoot(const InstallSession& session);
