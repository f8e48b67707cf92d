// Reading pool values written as hex bytes, and the key that makes one value's forms equal.
#include "station/DataField.h"

namespace quillon::station {

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text) {
    if (text.empty()) return std::nullopt;
    // Separated: "XX:XX:..." (3 characters per byte but the last); plain: 2 per byte.
    const bool separated = text.size() > 2 && (text[2] == ':' || text[2] == '-');
    const char separator = separated ? text[2] : '\0';
    std::vector<std::uint8_t> bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (i + 2 > text.size()) return std::nullopt;
        const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        i += 2;
        if (separated && i < text.size()) {
            if (text[i] != separator || i + 1 == text.size()) return std::nullopt;
            ++i;
        }
    }
    return bytes;
}

std::string PoolValueKey(std::string_view value) {
    const auto bytes = ParseHexBytes(value);
    if (!bytes) return std::string(value);
    static const char* const kDigits = "0123456789ABCDEF";
    std::string key;
    for (std::uint8_t b : *bytes) {
        key += kDigits[b >> 4];
        key += kDigits[b & 15];
    }
    return key;
}

}  // namespace quillon::station
