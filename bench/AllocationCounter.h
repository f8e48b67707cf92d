// A counting global operator new for benchmarks: include it in exactly one file of a benchmark
// program, and read Allocations() before and after the work to see what it allocated.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace quillon::bench {
inline std::atomic<long> g_allocations{0};
inline long Allocations() { return g_allocations.load(std::memory_order_relaxed); }
}  // namespace quillon::bench

// Kept out of line: inlined into callers, GCC would pair malloc with the sized delete and warn.
[[gnu::noinline]] void* operator new(std::size_t size) {
    quillon::bench::g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
