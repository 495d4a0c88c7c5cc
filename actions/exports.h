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

// Where a failing action goes back to: GuardAction's frame, one per thread that runs an action.
struct ActionGuard {
    void* jump[5];
    ActionGuard* outer;
};
void ArmGuard(ActionGuard& guard);
void DisarmGuard(ActionGuard& guard);

// Ends the running action as failed: memory gone, or a text or index the runtime refuses. The
// library is built without exceptions, so this jumps back to the action's GuardAction; what the
// action held stays with the installer's process (handles, memory), which ends soon after.
// Outside any action it ends the process.
[[noreturn]] void StopAction();

// Runs an action's body so that nothing escapes into the installer: a body that runs out
// of memory fails the action instead of taking down the installer's process.
template <typename Body>
UINT GuardAction(Body body)
{
    ActionGuard guard;
    if (__builtin_setjmp(guard.jump)) return ERROR_INSTALL_FAILURE;
    ArmGuard(guard);
    UINT result = body();
    DisarmGuard(guard);
    return result;
}
