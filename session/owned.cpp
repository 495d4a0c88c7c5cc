#include "session/owned.h"

#include <msiquery.h>

#include <cstring>

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
