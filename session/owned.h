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

// Owns one handle of the kind `Traits` describes, and closes it when destroyed. The traits
// give the handle's type, the value that means none and how to close one (the kinds below).
// Move-only; put() closes what is held and hands out the slot for an out-parameter.
template <typename Traits>
class Owned {
public:
    using Handle = typename Traits::Handle;

    Owned() : h_(Traits::None()) {}
    explicit Owned(Handle h) : h_(h) {}
    ~Owned() { reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : h_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }

    Handle get() const { return h_; }
    explicit operator bool() const { return h_ != Traits::None(); }
    Handle release()
    {
        Handle h = h_;
        h_ = Traits::None();
        return h;
    }
    void reset(Handle h = Traits::None())
    {
        if (h_ != Traits::None()) Traits::Close(h_);
        h_ = h;
    }
    Handle* put()
    {
        reset();
        return &h_;
    }

private:
    Handle h_;
};

// An installer handle: a database, a view or a record.
struct MsiHandleTraits {
    using Handle = MSIHANDLE;
    static Handle None() { return 0; }
    static void Close(Handle h) { MsiCloseHandle(h); }
};
using MsiHandle = Owned<MsiHandleTraits>;

// A kernel object that is null when there is none: a process, a thread.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle None() { return nullptr; }
    static void Close(Handle h) { CloseHandle(h); }
};
using KernelHandle = Owned<KernelHandleTraits>;

// A file as CreateFileW opens it: INVALID_HANDLE_VALUE when there is none.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle None() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};
using FileHandle = Owned<FileHandleTraits>;

// A DLL loaded by LoadLibraryExW.
struct ModuleHandleTraits {
    using Handle = HMODULE;
    static Handle None() { return nullptr; }
    static void Close(Handle h) { FreeLibrary(h); }
};
using ModuleHandle = Owned<ModuleHandleTraits>;

// Builds text up to a fixed capacity in UTF-16 units, as Windows counts it (terminator
// included); size() and truncate() are in bytes of the UTF-8 text. An append that does not fit
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

// UTF-8 text as UTF-16 and back: the library keeps its text in UTF-8 and converts exactly at
// each Windows call. Text that is not valid UTF-8 converts with replacement characters.
std::string Utf8(const wchar_t* text, std::size_t length);
std::string Utf8(const wchar_t* text);
// The same for the programs' wide text.
inline std::string Utf8(const std::wstring& text) { return Utf8(text.data(), text.size()); }
// Length of UTF-8 text in UTF-16 units, as Windows counts a path's or a query's length.
std::size_t Utf16Length(const std::string& text);

// A text in the installer's wide form, converted from the library's UTF-8. (Held in a
// vector: std::wstring would bring its whole runtime into the DLL.)
class Wide {
public:
    explicit Wide(const std::string& text);
    explicit Wide(const char* text) : Wide(std::string(text ? text : "")) {}
    const wchar_t* c_str() const { return text_.data(); }
    wchar_t* data() { return text_.data(); }  // for calls that may write into the text
    std::size_t size() const { return text_.size() - 1; }
    // For the programs' wide text; the library never asks for it.
    std::wstring str() const { return std::wstring(c_str(), size()); }

private:
    std::vector<wchar_t> text_;
};

// The non-empty parts of a text between separators ("a,,b" gives a and b).
std::vector<std::string> SplitText(const std::string& text, char separator);

// Reads a text value through a wide installer call of the form read(buffer, size in/out)
// that answers ERROR_MORE_DATA, with the length, when the buffer is too small, and gives
// it as UTF-8. Most values fit the first buffer, and then one call is enough. An empty or
// unreadable value is none.
template <typename Read>
OwnedString ReadInstallerText(Read read)
{
    wchar_t buffer[256];
    DWORD size = sizeof buffer / sizeof buffer[0];
    UINT result = read(buffer, &size);
    if (result == ERROR_SUCCESS) return size ? OwnedString(Utf8(buffer, size)) : std::nullopt;
    if (result != ERROR_MORE_DATA || size == 0) return std::nullopt;
    std::vector<wchar_t> text(size + 1, L'\0');
    DWORD capacity = size + 1;
    if (read(text.data(), &capacity) != ERROR_SUCCESS) return std::nullopt;
    std::string value = Utf8(text.data());
    if (value.empty()) return std::nullopt;
    return value;
}

// Windows' path limit: 259 UTF-16 units and the terminator.
constexpr std::size_t kPathCapacity = MAX_PATH;

// The source folder joined with a path relative to it, exactly as the package wrote both
// (no separator is added). None when the result would not fit a Windows path.
OwnedString JoinSourcePath(const std::string& sourceRoot, const std::string& relative);
// True when a file or folder exists at the joined path.
bool SourceFileExists(const std::string& sourceRoot, const std::string& relative);
// True when this 32-bit code runs on 64-bit Windows: "system32" is redirected to the 32-bit
// system folder, and HKEY_LOCAL_MACHINE\Software has a 64-bit view besides the 32-bit one.
// Looked up at run time: older systems lack the call.
bool RunsOnWow64();

// The program a path names: the path itself when its file name has an extension, else the
// path with ".exe" added, as Windows completes a program named on a command line.
std::string ProgramPath(const std::string& path);

// Owns one directory search, started on a pattern; `found` holds each entry in turn.
class FileSearch {
public:
    explicit FileSearch(const std::string& pattern) : search_(FindFirstFileW(Wide(pattern).c_str(), &found_)) {}

    bool started() const { return bool(search_); }
    const WIN32_FIND_DATAW& found() const { return found_; }
    bool next() { return FindNextFileW(search_.get(), &found_) != FALSE; }

private:
    struct Traits {
        using Handle = HANDLE;
        static Handle None() { return INVALID_HANDLE_VALUE; }
        static void Close(Handle h) { FindClose(h); }
    };
    WIN32_FIND_DATAW found_ = {};
    Owned<Traits> search_;
};
