// Memory for large blocks (the text of a big HEX file, its image), asked for in huge pages where
// the system offers them: faulting in tens of thousands of 4 KiB pages otherwise costs more than
// the whole conversion. Not zero-filled.
#pragma once

#include <cstddef>

namespace quillon {

// Throws std::bad_alloc. Free with FreeLargeBlock.
void* AllocateLargeBlock(std::size_t bytes);
void FreeLargeBlock(void* block) noexcept;

}  // namespace quillon
