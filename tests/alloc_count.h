// Counts every allocation of the program by replacing the global allocation functions.
// It defines them, so exactly one source file of a program includes it.
#ifndef LIBVUX_TESTS_ALLOC_COUNT_H
#define LIBVUX_TESTS_ALLOC_COUNT_H

#include <atomic>
#include <cstdlib>
#include <new>

namespace alloccount {
inline std::atomic<long> allocations{0};
}  // namespace alloccount

// Out of line, so that no caller pairs an inlined free() with an operator new that a tool
// such as valgrind has replaced by its own.
__attribute__((noinline)) void* operator new(std::size_t n) {
    alloccount::allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void* operator new[](std::size_t n) { return operator new(n); }
__attribute__((noinline)) void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    alloccount::allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n ? n : 1);
}
__attribute__((noinline)) void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept {
    return operator new(n, t);
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

#endif
