// Large blocks on Windows: plain heap blocks (large pages there need a privilege that an
// ordinary user does not hold).
#include <cstdlib>
#include <new>

#include "core/LargeBlock.h"

namespace quillon {

void* AllocateLargeBlock(std::size_t bytes) {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void FreeLargeBlock(void* block) noexcept { std::free(block); }

}  // namespace quillon
