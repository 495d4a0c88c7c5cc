#include "session/owned.h"

#include <shlwapi.h>

#include <cstring>
#include <cwchar>

BoundedText& BoundedText::append(const char* text)
{
    if (overflowed_ || !text) return *this;
    std::string added(text);
    if (Utf16Length(text_) + Utf16Length(added) + 1 > capacity_) {
        overflowed_ = true;
        return *this;
    }
    text_ += added;
    return *this;
}

void BoundedText::truncate(std::size_t length)
{
    if (length < text_.size()) text_.resize(length);
    overflowed_ = false;
}

OwnedString JoinSourcePath(const std::string& sourceRoot, const std::string& relative)
{
    BoundedText path(kPathCapacity);
    path.append(sourceRoot).append(relative);
    if (!path.ok()) return std::nullopt;
    return path.str();
}

bool SourceFileExists(const std::string& sourceRoot, const std::string& relative)
{
    OwnedString path = JoinSourcePath(sourceRoot, relative);
    return path && PathFileExistsW(Wide(*path).c_str());
}

bool RunsOnWow64()
{
    using Query = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto query = kernel ? reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process"))) : nullptr;
    BOOL wow64 = FALSE;
    return query && query(GetCurrentProcess(), &wow64) && wow64;
}

std::string ProgramPath(const std::string& path)
{
    // No UTF-8 sequence holds a backslash byte: the last one is the last separator.
    std::size_t name = path.rfind('\\');
    name = name == std::string::npos ? 0 : name + 1;
    return path.find('.', name) == std::string::npos ? path + ".exe" : path;
}

std::string Utf8(const wchar_t* text, std::size_t length)
{
    int units = static_cast<int>(length);
    int size = units ? WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr) : 0;
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, units, &bytes[0], size, nullptr, nullptr);
    return bytes;
}

std::string Utf8(const wchar_t* text)
{
    return Utf8(text, text ? std::wcslen(text) : 0);
}

std::size_t Utf16Length(const std::string& text)
{
    std::size_t units = 0;
    for (char c : text) {
        unsigned char lead = static_cast<unsigned char>(c);
        if ((lead & 0xC0) != 0x80) ++units;  // every character starts with one such byte
        if (lead >= 0xF0) ++units;           // four-byte characters take a surrogate pair
    }
    return units;
}

Wide::Wide(const std::string& text)
{
    int bytes = static_cast<int>(text.size());
    int length = bytes ? MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, nullptr, 0) : 0;
    text_.assign(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
    if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, text_.data(), length);
}

std::vector<std::string> SplitText(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}
