// The library's entry point: loading and unloading need no work.
#include <windows.h>

#include <cstdlib>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}

#if defined(__GNUC__) && !defined(__clang__)
// No exception ever leaves an action (see GuardAction), so a failure that ends the process
// needs no demangled message: the plain handler keeps the runtime's demangler out of the DLL.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    std::abort();
}
}  // namespace __gnu_cxx
#endif
