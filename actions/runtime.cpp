// The C++ runtime as the library needs it, built without exceptions: whatever the runtime would
// throw (memory gone, a text too long, an index out of range) ends the running action as failed
// (StopAction), so neither the runtime's error classes nor its unwinder come into the DLL.
#include "actions/exports.h"

#include <cstdlib>
#include <new>
#include <string>

#if defined(__GNUC__) && !defined(__clang__)
// A failure that ends the process needs no demangled message: the plain handler keeps the
// runtime's demangler out of the DLL.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    std::abort();
}
}  // namespace __gnu_cxx

namespace std {
[[noreturn]] void __throw_bad_alloc() { StopAction(); }
[[noreturn]] void __throw_bad_array_new_length() { StopAction(); }
[[noreturn]] void __throw_length_error(const char*) { StopAction(); }
[[noreturn]] void __throw_logic_error(const char*) { StopAction(); }
[[noreturn]] void __throw_out_of_range(const char*) { StopAction(); }
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) { StopAction(); }
[[noreturn]] void __throw_invalid_argument(const char*) { StopAction(); }
}  // namespace std

// The string members the library uses, made here, where unused ones are dropped, rather than
// taken from the runtime's copy, which brings every member (about 30 KB).
template class std::basic_string<char>;
#endif

// Memory gone ends the action rather than throwing.
void* operator new(std::size_t size)
{
    if (void* block = std::malloc(size ? size : 1)) return block;
    StopAction();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void operator delete(void* block) noexcept
{
    std::free(block);
}
void operator delete[](void* block) noexcept
{
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept
{
    std::free(block);
}
