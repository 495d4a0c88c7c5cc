// The installer's DLL, loaded from the system folder only.
//
// A setup program is run from download folders, where a file named like a system DLL may
// have been planted beside it. A DLL the program imports is loaded before main runs, and
// the loader looks beside the program first for any DLL that is not one of Windows' known
// DLLs; the installer's DLL is not one. So this program does not import it: every installer
// function it (and the project's table reading it links) calls is defined in
// installer_dll.cpp and forwarded to the DLL loaded by its full system path.
#pragma once

// True once the installer's DLL is loaded from the system folder (loaded on first call).
bool InstallerLoaded();
