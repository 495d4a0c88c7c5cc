#include "setup/system_dlls.h"

#include <msi.h>
#include <msiquery.h>
#include <shlwapi.h>

#include <string>

namespace {

// True when the loader takes LOAD_LIBRARY_SEARCH_SYSTEM32: Windows 8 and later, and Windows 7
// with its 2011 loader update. Looked up, as importing it would stop the program from
// starting on a system without it.
bool SearchRestricted()
{
    static const bool restricted = [] {
        using SetDirectories = BOOL(WINAPI*)(DWORD);
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        auto set = reinterpret_cast<SetDirectories>(
            reinterpret_cast<void (*)()>(kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr));
        bool done = set && set(LOAD_LIBRARY_SEARCH_SYSTEM32);
        // Without the restriction the current folder at least leaves the search order.
        SetDllDirectoryW(L"");
        return done;
    }();
    return restricted;
}

// The DLLs forwarded to, each loaded once and kept for the life of the process: a forwarded
// call may come from a destructor that runs at its very end.
HMODULE Installer()
{
    static const HMODULE module = LoadSystemDll(L"msi.dll").release();
    return module;
}

HMODULE Shell()
{
    static const HMODULE module = LoadSystemDll(L"shlwapi.dll").release();
    return module;
}

}  // namespace

void RestrictDllSearchToSystemFolder()
{
    SearchRestricted();
}

ModuleHandle LoadSystemDll(const wchar_t* name)
{
    if (SearchRestricted()) return ModuleHandle(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    // Only a full path is safe then; the altered search path makes the DLL's own imports
    // resolve from its folder, the system folder, first.
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return ModuleHandle();
    std::wstring path = std::wstring(folder, length) + L"\\" + name;
    return ModuleHandle(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

bool InstallerLoaded()
{
    return Installer() != nullptr;
}

// One line a function: its DLL, its result type, what it answers when the DLL lacks it, its
// name, its parameters and the arguments passed on.
#define FORWARD(Module, Result, failed, name, params, args)                             \
    extern "C" Result WINAPI name params                                                \
    {                                                                                   \
        static const auto target = FunctionOf<Result(WINAPI*) params>(Module(), #name); \
        return target ? target args : failed;                                           \
    }

FORWARD(Installer, UINT, ERROR_INVALID_HANDLE, MsiCloseHandle, (MSIHANDLE h), (h))
FORWARD(Installer, MSIHANDLE, 0, MsiCreateRecord, (UINT count), (count))
FORWARD(Installer, MSIHANDLE, 0, MsiGetActiveDatabase, (MSIHANDLE install), (install))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiOpenDatabaseW, (LPCWSTR path, LPCWSTR persist, MSIHANDLE* db), (path, persist, db))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiDatabaseOpenViewW, (MSIHANDLE db, LPCWSTR query, MSIHANDLE* view), (db, query, view))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiViewExecute, (MSIHANDLE view, MSIHANDLE params), (view, params))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiViewFetch, (MSIHANDLE view, MSIHANDLE* record), (view, record))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiViewGetColumnInfo, (MSIHANDLE view, MSICOLINFO info, MSIHANDLE* record), (view, info, record))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiViewModify, (MSIHANDLE view, MSIMODIFY mode, MSIHANDLE record), (view, mode, record))
FORWARD(Installer, UINT, 0, MsiRecordGetFieldCount, (MSIHANDLE record), (record))
FORWARD(Installer, int, MSI_NULL_INTEGER, MsiRecordGetInteger, (MSIHANDLE record, UINT field), (record, field))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiRecordSetInteger, (MSIHANDLE record, UINT field, int value), (record, field, value))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiRecordGetStringW, (MSIHANDLE record, UINT field, LPWSTR text, LPDWORD size), (record, field, text, size))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiRecordSetStringW, (MSIHANDLE record, UINT field, LPCWSTR text), (record, field, text))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiGetPropertyW, (MSIHANDLE install, LPCWSTR name, LPWSTR value, LPDWORD size), (install, name, value, size))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiSetPropertyW, (MSIHANDLE install, LPCWSTR name, LPCWSTR value), (install, name, value))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiDoActionW, (MSIHANDLE install, LPCWSTR action), (install, action))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiSetMode, (MSIHANDLE install, MSIRUNMODE mode, BOOL state), (install, mode, state))
FORWARD(Installer, int, -1, MsiProcessMessage, (MSIHANDLE install, INSTALLMESSAGE type, MSIHANDLE record), (install, type, record))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiFormatRecordW, (MSIHANDLE install, MSIHANDLE record, LPWSTR text, LPDWORD size), (install, record, text, size))
FORWARD(Installer, INSTALLSTATE, INSTALLSTATE_UNKNOWN, MsiQueryProductStateW, (LPCWSTR product), (product))
FORWARD(Installer, INSTALLUILEVEL, INSTALLUILEVEL_NOCHANGE, MsiSetInternalUI, (INSTALLUILEVEL level, HWND* window), (level, window))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiEnableLogW, (DWORD mode, LPCWSTR path, DWORD attributes), (mode, path, attributes))
FORWARD(Installer, UINT, ERROR_INVALID_FUNCTION, MsiInstallProductW, (LPCWSTR package, LPCWSTR commandLine), (package, commandLine))
// The session layer's file check (compiled with _SHLWAPI_, so that it calls this definition).
FORWARD(Shell, BOOL, FALSE, PathFileExistsW, (LPCWSTR path), (path))
