// What the system's interrupt handler (InterruptPosix.cpp, InterruptWin32.cpp) shares with the
// watch's portable part: lock-free atomics, as safe in a signal handler as a sig_atomic_t and
// well-defined for the other threads that read them.
#pragma once

#include <atomic>

namespace quillon::cli::interrupt {

inline std::atomic<int> caught{0};      // the first signal caught, 0 while none was
inline std::atomic<int> count{0};       // signals caught
inline std::atomic<int> fatalAfter{2};  // the signal that ends the program at once
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace quillon::cli::interrupt
