// The wide-text reads of packages, kept apart from database.cpp: the library does not need
// them, and std::wstring would add about 35 KB to the DLL.
#include "session/database.h"

#include <msiquery.h>

bool PackageDatabase::OpenPackageFile(const wchar_t* path)
{
    return MsiOpenDatabaseW(path, nullptr /* MSIDBOPEN_READONLY */, db_.put()) == ERROR_SUCCESS;
}

std::optional<std::wstring> TableView::GetWideString(int column) const
{
    wchar_t probe[1] = L"";
    DWORD size = 0;
    UINT result = MsiRecordGetStringW(record_.get(), static_cast<UINT>(column), probe, &size);
    if ((result != ERROR_SUCCESS && result != ERROR_MORE_DATA) || size == 0) return std::nullopt;
    std::wstring text(size + 1, L'\0');
    DWORD capacity = size + 1;
    if (MsiRecordGetStringW(record_.get(), static_cast<UINT>(column), &text[0], &capacity) != ERROR_SUCCESS)
        return std::nullopt;
    text.resize(capacity);
    if (text.empty()) return std::nullopt;
    return text;
}
