// SHA-256 (FIPS 180-4) for the unit log and --dry-run: the digest names exactly which image went
// into a chip. Small and self-contained so that the same code builds for Linux and Windows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quillon {

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void Update(std::span<const std::uint8_t> data);
    void Update(std::string_view text);
    // The digest of everything updated so far; the object is then spent (Reset to reuse).
    Digest Final();
    void Reset();

    // Lower-case hex digest of data in one call.
    static std::string Hex(std::span<const std::uint8_t> data);
    static std::string Hex(std::string_view text);
    static std::string ToHex(const Digest& digest);

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_{};
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;  // bytes hashed
};

}  // namespace quillon
