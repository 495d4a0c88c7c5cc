#include "setup/messages.h"

#include "platform/console.h"
#include "session/owned.h"
#include "setup/system_dlls.h"

namespace {

constexpr const wchar_t* kTitle = L"hostgate setup";
constexpr const wchar_t* kLinePrefix = L"hostgate-setup: ";

// A file or a pipe: whoever started the program reads what it writes there.
bool Redirected(DWORD stream)
{
    HANDLE handle = GetStdHandle(stream);
    if (!handle || handle == INVALID_HANDLE_VALUE) return false;
    DWORD type = GetFileType(handle);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}

// A file opened for adding at its end, whatever else writes to it meanwhile.
FileHandle OpenForAppending(const std::wstring& path)
{
    return FileHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteAll(HANDLE file, const char* data, DWORD size)
{
    DWORD written = 0;
    return WriteFile(file, data, size, &written, nullptr) && written == size;
}

// Copies the file at `from` to the end of the file at `to`; false unless all of it went.
bool AppendFile(const std::wstring& from, const std::wstring& to)
{
    FileHandle source(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FileHandle target = OpenForAppending(to);
    if (!source || !target) return false;
    std::string chunk(64 * 1024, '\0');
    char last = '\n';
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(source.get(), &chunk[0], static_cast<DWORD>(chunk.size()), &read, nullptr)) return false;
        if (read == 0) break;
        if (!WriteAll(target.get(), chunk.data(), read)) return false;
        last = chunk[read - 1];
    }
    // What follows starts on a line of its own.
    return last == '\n' || WriteAll(target.get(), "\r\n", 2);
}

}  // namespace

Messages::Messages(const Options& options)
    : options_(options),
      interactive_(options.ui != INSTALLUILEVEL_NONE && !Redirected(STD_OUTPUT_HANDLE) && !Redirected(STD_ERROR_HANDLE))
{
}

void Messages::StartLog() const
{
    if (!options_.log || options_.logAppend) return;
    FileHandle emptied(CreateFileW(options_.log->c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Each line of the text, led by the program's name.
void Messages::Log(const std::wstring& text) const
{
    if (!options_.log) return;
    std::wstring lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        lines += kLinePrefix + text.substr(start, end - start) + L"\r\n";
        start = end + 1;
    }
    FileHandle file = OpenForAppending(*options_.log);
    std::string bytes = Utf8(lines);
    if (file) WriteAll(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()));
}

void Messages::Inform(const std::wstring& text) const
{
    Log(text);
    if (!interactive_) WriteStandard(STD_OUTPUT_HANDLE, Utf8(kLinePrefix + text + L"\n"));
}

void Messages::Show(const std::wstring& text) const
{
    Tell(STD_OUTPUT_HANDLE, MB_ICONINFORMATION, text);
}

void Messages::Warn(const std::wstring& text) const
{
    Tell(STD_ERROR_HANDLE, MB_ICONWARNING, text);
}

void Messages::Fail(const std::wstring& text) const
{
    Tell(STD_ERROR_HANDLE, MB_ICONERROR, text);
}

void Messages::Tell(DWORD stream, UINT icon, const std::wstring& text) const
{
    Log(text);
    if (interactive_) {
        using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
        static const HMODULE user32 = LoadSystemDll(L"user32.dll").release();  // kept: showBox points into it
        static const auto showBox = FunctionOf<MessageBoxFunction>(user32, "MessageBoxW");
        // A box that could not be shown (no desktop to show it on) leaves the text to the stream.
        if (showBox && showBox(nullptr, text.c_str(), kTitle, MB_OK | icon) == IDOK) return;
    }
    WriteStandard(stream, Utf8(stream == STD_OUTPUT_HANDLE ? text : kLinePrefix + text + L"\n"));
}

void Messages::AppendPackageLog(const std::wstring& path) const
{
    if (!options_.log) return;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Log(L"the installer wrote no log at " + path);
        return;
    }
    if (!AppendFile(path, *options_.log)) {
        Log(L"the installer's log at " + path + L" could not be added here; it stays there");
        return;
    }
    DeleteFileW(path.c_str());
}
