// The shared byte helpers (Bytes.h).
#include "support/Bytes.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace quillon::test {

std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * 13 + seed) ^ (i >> 7));
    return v;
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string IntelHexText(const std::map<std::uint32_t, std::vector<std::uint8_t>>& segments) {
    std::string text;
    char buf[16];
    for (const auto& [base, data] : segments) {
        for (std::size_t off = 0; off < data.size(); off += 16) {
            const std::size_t n = std::min<std::size_t>(16, data.size() - off);
            const std::uint32_t addr = base + static_cast<std::uint32_t>(off);
            unsigned sum = static_cast<unsigned>(n) + ((addr >> 8) & 0xFF) + (addr & 0xFF);
            std::snprintf(buf, sizeof buf, ":%02X%04X00", static_cast<unsigned>(n), addr & 0xFFFF);
            text += buf;
            for (std::size_t i = 0; i < n; ++i) {
                std::snprintf(buf, sizeof buf, "%02X", data[off + i]);
                text += buf;
                sum += data[off + i];
            }
            std::snprintf(buf, sizeof buf, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
            text += buf;
        }
    }
    return text + ":00000001FF\n";
}

}  // namespace quillon::test
