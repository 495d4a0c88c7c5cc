// The way back from a failing action to its GuardAction (see exports.h).
#include "actions/exports.h"

#include <cstdlib>

namespace {

// The thread's innermost guard lives in a thread-local slot: the installer may run actions of
// this library on more than one thread of its process.
DWORD Slot()
{
    static volatile LONG slot = LONG(TLS_OUT_OF_INDEXES);
    if (slot == LONG(TLS_OUT_OF_INDEXES)) {
        DWORD fresh = TlsAlloc();
        if (InterlockedCompareExchange(&slot, LONG(fresh), LONG(TLS_OUT_OF_INDEXES)) != LONG(TLS_OUT_OF_INDEXES)) TlsFree(fresh);
    }
    return DWORD(slot);
}

}  // namespace

void ArmGuard(ActionGuard& guard)
{
    guard.outer = static_cast<ActionGuard*>(TlsGetValue(Slot()));
    TlsSetValue(Slot(), &guard);
}

void DisarmGuard(ActionGuard& guard)
{
    TlsSetValue(Slot(), guard.outer);
}

void StopAction()
{
    auto* guard = static_cast<ActionGuard*>(TlsGetValue(Slot()));
    if (!guard) std::abort();
    DisarmGuard(*guard);
    __builtin_longjmp(guard->jump, 1);
}
