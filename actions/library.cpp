// The library's entry point: loading and unloading need no work.
#include <windows.h>

#include <cstdlib>
#include <new>
#include <string>

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

// What the runtime throws (a text too long, an index out of range, memory gone) only has to
// reach GuardAction's catch, which stops the action without looking at it: a plain bad_alloc
// does. The runtime's own error classes would bring a second string implementation of their
// own into the DLL (about 45 KB).
namespace std {
[[noreturn]] void __throw_bad_alloc() { throw bad_alloc(); }
[[noreturn]] void __throw_bad_array_new_length() { throw bad_alloc(); }
[[noreturn]] void __throw_length_error(const char*) { throw bad_alloc(); }
[[noreturn]] void __throw_logic_error(const char*) { throw bad_alloc(); }
[[noreturn]] void __throw_out_of_range(const char*) { throw bad_alloc(); }
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) { throw bad_alloc(); }
[[noreturn]] void __throw_invalid_argument(const char*) { throw bad_alloc(); }
}  // namespace std

// The string members the library uses, made here, where unused ones are dropped, rather than
// taken from the runtime's copy, which brings every member (about 30 KB).
template class std::basic_string<char>;
#endif
