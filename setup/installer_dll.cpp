#include "setup/installer_dll.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

namespace {

HMODULE LoadFromSystemFolder()
{
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    std::wstring path = std::wstring(folder, length) + L"\\msi.dll";
    // The altered search path makes the DLL's own dependencies resolve from its folder too.
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE Installer()
{
    static const HMODULE module = LoadFromSystemFolder();
    return module;
}

template <typename Function>
Function Lookup(const char* name)
{
    HMODULE module = Installer();
    FARPROC found = module ? GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

}  // namespace

bool InstallerLoaded()
{
    return Installer() != nullptr;
}

// One line a function: its result type, what it answers when the DLL lacks it, its name,
// its parameters and the arguments passed on.
#define FORWARD(Result, failed, name, params, args)                                          \
    extern "C" Result WINAPI name params                                                     \
    {                                                                                        \
        static const auto target = Lookup<Result(WINAPI*) params>(#name);                    \
        return target ? target args : failed;                                                \
    }

FORWARD(UINT, ERROR_INVALID_HANDLE, MsiCloseHandle, (MSIHANDLE h), (h))
FORWARD(MSIHANDLE, 0, MsiCreateRecord, (UINT count), (count))
FORWARD(MSIHANDLE, 0, MsiGetActiveDatabase, (MSIHANDLE install), (install))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiOpenDatabaseW, (LPCWSTR path, LPCWSTR persist, MSIHANDLE* db), (path, persist, db))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiDatabaseOpenViewW, (MSIHANDLE db, LPCWSTR query, MSIHANDLE* view), (db, query, view))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiViewExecute, (MSIHANDLE view, MSIHANDLE params), (view, params))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiViewFetch, (MSIHANDLE view, MSIHANDLE* record), (view, record))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiViewGetColumnInfo, (MSIHANDLE view, MSICOLINFO info, MSIHANDLE* record), (view, info, record))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiViewModify, (MSIHANDLE view, MSIMODIFY mode, MSIHANDLE record), (view, mode, record))
FORWARD(UINT, 0, MsiRecordGetFieldCount, (MSIHANDLE record), (record))
FORWARD(int, MSI_NULL_INTEGER, MsiRecordGetInteger, (MSIHANDLE record, UINT field), (record, field))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiRecordSetInteger, (MSIHANDLE record, UINT field, int value), (record, field, value))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiRecordGetStringW, (MSIHANDLE record, UINT field, LPWSTR text, LPDWORD size), (record, field, text, size))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiRecordSetStringW, (MSIHANDLE record, UINT field, LPCWSTR text), (record, field, text))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiGetPropertyW, (MSIHANDLE install, LPCWSTR name, LPWSTR value, LPDWORD size), (install, name, value, size))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiSetPropertyW, (MSIHANDLE install, LPCWSTR name, LPCWSTR value), (install, name, value))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiDoActionW, (MSIHANDLE install, LPCWSTR action), (install, action))
FORWARD(int, -1, MsiProcessMessage, (MSIHANDLE install, INSTALLMESSAGE type, MSIHANDLE record), (install, type, record))
FORWARD(INSTALLSTATE, INSTALLSTATE_UNKNOWN, MsiQueryProductStateW, (LPCWSTR product), (product))
FORWARD(INSTALLUILEVEL, INSTALLUILEVEL_NOCHANGE, MsiSetInternalUI, (INSTALLUILEVEL level, HWND* window), (level, window))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiEnableLogW, (DWORD mode, LPCWSTR path, DWORD attributes), (mode, path, attributes))
FORWARD(UINT, ERROR_INVALID_FUNCTION, MsiInstallProductW, (LPCWSTR package, LPCWSTR commandLine), (package, commandLine))
