// Byte helpers the tests share: a reproducible image that no two seeds or lengths confuse, and a
// file's bytes read or written whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace quillon::test {

// n bytes that differ from seed to seed and do not repeat every 256 bytes.
std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed);

// Intel HEX text of data segments at the given addresses (16-byte data records, below 64 KiB)
// and its end record.
std::string IntelHexText(const std::map<std::uint32_t, std::vector<std::uint8_t>>& segments);

// The whole file (empty when it cannot be read), and a file replaced by bytes.
std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

}  // namespace quillon::test
