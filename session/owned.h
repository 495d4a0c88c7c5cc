// Small owning types shared by the whole library.
#pragma once

#include <windows.h>
#include <msi.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

// A text value that may be absent. The installer's empty and null values both read as none.
using OwnedString = std::optional<std::string>;

// Owns one installer handle (database, view or record) and closes it when destroyed.
class MsiHandle {
public:
    explicit MsiHandle(MSIHANDLE h = 0) : h_(h) {}
    ~MsiHandle() { reset(); }
    MsiHandle(const MsiHandle&) = delete;
    MsiHandle& operator=(const MsiHandle&) = delete;
    MsiHandle(MsiHandle&& other) noexcept : h_(other.release()) {}
    MsiHandle& operator=(MsiHandle&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }

    MSIHANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != 0; }
    MSIHANDLE release()
    {
        MSIHANDLE h = h_;
        h_ = 0;
        return h;
    }
    void reset(MSIHANDLE h = 0);
    // Closes what is held and hands out the slot for an out-parameter.
    MSIHANDLE* put()
    {
        reset();
        return &h_;
    }

private:
    MSIHANDLE h_;
};

// Builds text up to a fixed capacity (terminator included). An append that does not fit
// leaves the text as it was and marks the builder as overflowed, so that callers refuse
// the result instead of using a cut one.
class BoundedText {
public:
    explicit BoundedText(std::size_t capacity) : capacity_(capacity) {}

    BoundedText& append(const char* text);
    BoundedText& append(const std::string& text) { return append(text.c_str()); }

    bool ok() const { return !overflowed_; }
    const char* c_str() const { return text_.c_str(); }
    const std::string& str() const { return text_; }
    std::size_t size() const { return text_.size(); }
    // Cuts back to an earlier length, e.g. to a folder before the next file name.
    void truncate(std::size_t length);

private:
    std::size_t capacity_;
    std::string text_;
    bool overflowed_ = false;
};

// Reads a text value through an installer call of the form read(buffer, size in/out) that
// answers ERROR_MORE_DATA, with the length, when the buffer is too small. Most values fit
// the first buffer, and then one call is enough. An empty or unreadable value is none.
template <typename Read>
OwnedString ReadInstallerText(Read read)
{
    char buffer[256];
    DWORD size = sizeof buffer;
    UINT result = read(buffer, &size);
    if (result == ERROR_SUCCESS) return size ? OwnedString(std::string(buffer, size)) : std::nullopt;
    if (result != ERROR_MORE_DATA || size == 0) return std::nullopt;
    std::string text(size + 1, '\0');
    DWORD capacity = size + 1;
    if (read(&text[0], &capacity) != ERROR_SUCCESS) return std::nullopt;
    text.resize(std::strlen(text.c_str()));
    if (text.empty()) return std::nullopt;
    return text;
}

// Windows' ANSI path limit: 259 characters and the terminator.
constexpr std::size_t kPathCapacity = MAX_PATH;

// The source folder joined with a path relative to it, exactly as the package wrote both
// (no separator is added). None when the result would not fit a Windows path.
OwnedString JoinSourcePath(const std::string& sourceRoot, const std::string& relative);
// True when a file or folder exists at the joined path.
bool SourceFileExists(const std::string& sourceRoot, const std::string& relative);
// The program a path names: the path itself when its file name has an extension, else the
// path with ".exe" added, as Windows completes a program named on a command line.
std::string ProgramPath(const std::string& path);

// Position of the last backslash in `path` that is a separator, not the second byte of a
// double-byte character; npos when there is none.
std::size_t LastSeparator(const std::string& path);

// A text in the installer's wide form, converted from the system's ANSI code page in which
// the library's narrow texts came. (Held in a vector: std::wstring would bring its whole
// runtime into the DLL.)
class Wide {
public:
    explicit Wide(const std::string& text);
    const wchar_t* c_str() const { return text_.data(); }

private:
    std::vector<wchar_t> text_;
};
