// The chips this tool programs, in the order of the window's chip list. The engine takes its
// flash size and packet size from here, the operations their list entries, the command line its
// --chip names; a new chip is one more line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillon {

struct ChipInfo {
    const char* name;
    std::uint32_t flashSize;   // bytes of program flash
    std::uint32_t packetSize;  // image bytes per data packet of a write
};

inline constexpr std::array<ChipInfo, 3> kChips{{
    {"NRF24LE1_16K", 16384, 64},
    {"NRF24LU1_16K", 16384, 64},
    {"NRF24LU1_32K", 32768, 64},
}};

// The index of the chip with exactly this name; -1 when there is none.
constexpr int ChipIndex(std::string_view name) {
    for (std::size_t i = 0; i < kChips.size(); ++i)
        if (name == kChips[i].name) return static_cast<int>(i);
    return -1;
}

}  // namespace quillon
