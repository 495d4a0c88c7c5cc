// Windows' DLLs, loaded from the system folder only.
//
// A setup program is run from download folders, where a file named like a system DLL may
// have been planted beside it. For any DLL that is not one of Windows' known DLLs the loader
// looks beside the program first: for the DLLs a program imports, loaded before main runs
// together with their own imports (user32 brings version.dll), and for those loaded by name
// later. So this program imports only kernel32 and the C runtime (msvcrt), both known DLLs,
// restricts the search to the system folder before it loads anything, and loads the
// installer, user32 and shlwapi itself. The installer and shlwapi functions that it and the
// project's table reading call are defined in system_dlls.cpp and forwarded; user32's are
// looked up where they are used.
#pragma once

#include "session/owned.h"

#include <windows.h>

// Every DLL loaded by name from here on, by this program, the installer's engine or Windows,
// comes from the system folder. Called first thing; LoadSystemDll does it too.
void RestrictDllSearchToSystemFolder();

// The system folder's DLL `name` ("user32.dll"); none when it cannot be loaded.
ModuleHandle LoadSystemDll(const wchar_t* name);

// A function of a loaded DLL as its type; null when the DLL or the function is missing.
template <typename Function>
Function FunctionOf(HMODULE module, const char* name)
{
    FARPROC found = module ? GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// True once the installer's DLL is loaded from the system folder (loaded on first call).
bool InstallerLoaded();
