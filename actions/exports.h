// The custom actions the installer calls, exported under their plain names.
#pragma once

#include <windows.h>
#include <msi.h>

extern "C" {
UINT WINAPI PrevInstall(MSIHANDLE install);
UINT WINAPI AfterSelectFunction(MSIHANDLE install);
UINT WINAPI RunSuportPacks(MSIHANDLE install);
UINT WINAPI CopyInfFiles(MSIHANDLE install);
UINT WINAPI RollbackInfFiles(MSIHANDLE install);
}

// Runs an action's body so that nothing escapes into the installer: a body that runs out
// of memory fails the action instead of taking down the installer's process.
template <typename Body>
UINT GuardAction(Body body)
{
    try {
        return body();
    } catch (...) {
        return ERROR_INSTALL_FAILURE;
    }
}
