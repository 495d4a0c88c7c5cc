#include "session/owned.h"

#include <msiquery.h>
#include <shlwapi.h>

#include <cstring>
#include <mbctype.h>

void MsiHandle::reset(MSIHANDLE h)
{
    if (h_) MsiCloseHandle(h_);
    h_ = h;
}

BoundedText& BoundedText::append(const char* text)
{
    if (overflowed_ || !text) return *this;
    std::size_t length = std::strlen(text);
    if (text_.size() + length + 1 > capacity_) {
        overflowed_ = true;
        return *this;
    }
    text_.append(text, length);
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
    return path && PathFileExistsA(path->c_str());
}

std::string ProgramPath(const std::string& path)
{
    std::size_t name = LastSeparator(path);
    name = name == std::string::npos ? 0 : name + 1;
    return path.find('.', name) == std::string::npos ? path + ".exe" : path;
}

// Walks the path character by character in the runtime's multibyte code page, so that the
// second byte of a double-byte character is never taken for a separator. (A plain
// substring search is not enough: some runtimes' _mbsstr is byte-wise.)
std::size_t LastSeparator(const std::string& path)
{
    std::size_t last = std::string::npos;
    for (std::size_t at = 0; at < path.size(); ++at) {
        unsigned char unit = static_cast<unsigned char>(path[at]);
        if (_ismbblead(unit) && at + 1 < path.size())
            ++at;
        else if (unit == '\\')
            last = at;
    }
    return last;
}

Wide::Wide(const std::string& text)
{
    int length = text.empty() ? 0 : MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    text_.assign(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), text_.data(), length);
}
