// Large blocks on Linux: aligned to 2 MiB and marked for transparent huge pages.
#include <sys/mman.h>

#include <cstdlib>
#include <new>

#include "core/LargeBlock.h"

namespace quillon {

void* AllocateLargeBlock(std::size_t bytes) {
    constexpr std::size_t kHuge = 2u << 20;
    void* p = nullptr;
    if (bytes >= kHuge / 8) {  // even a quarter-used huge page beats a hundred page faults
        const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
        p = std::aligned_alloc(kHuge, rounded);
        if (p != nullptr) ::madvise(p, rounded, MADV_HUGEPAGE);
    } else {
        p = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void FreeLargeBlock(void* block) noexcept { std::free(block); }

}  // namespace quillon
