// Reading pool values written as hex bytes, the key that makes one value's forms equal, and the
// --data fields: their parsing, the bytes a value becomes, and the check that no two fields of
// a unit write the same byte.
#include "station/DataField.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace quillon::station {

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Range(std::uint32_t address, std::size_t width) {
    char text[48];
    std::snprintf(text, sizeof text, "0x%04X..0x%04llX", address,
                  static_cast<unsigned long long>(std::uint64_t(address) + width - 1));
    return text;
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
    std::string key;
    if (!bytes) {
        key = value;
    } else {
        static const char* const kDigits = "0123456789ABCDEF";
        for (std::uint8_t b : *bytes) {
            key += kDigits[b >> 4];
            key += kDigits[b & 15];
        }
    }
    // Leading zeros make no other value: an ascii field pads with '0' and a number ignores them,
    // so "7", "07" and "007" reach a chip as the same bytes. (A hex field's values of one width
    // never differ only in leading zeros.)
    key.erase(0, std::min(key.find_first_not_of('0'), key.size() - 1));
    return key;
}

DataField ParseDataField(std::string_view text) {
    const std::string whole(text);
    const std::size_t at = text.find('@');
    if (at == std::string_view::npos || at == 0)
        throw SerialError("data '" + whole + "' is not NAME@ADDR:FORMAT (for example mac@0x3F00:hex:6)");
    DataField field;
    field.pool = std::string(text.substr(0, at));
    for (char c : field.pool)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.'))
            throw SerialError("data '" + whole + "': the pool's name may hold letters, digits, '_', '-' and '.' only");
    const std::string_view rest = text.substr(at + 1);
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos)
        throw SerialError("data '" + whole + "' is not NAME@ADDR:FORMAT (for example mac@0x3F00:hex:6)");
    const std::string_view addr = rest.substr(0, colon), format = rest.substr(colon + 1);
    const auto address = ParseFieldAddress(addr);
    if (!address) throw SerialError("data address '" + std::string(addr) + "' is not a number (decimal or 0x hex)");
    field.address = *address;
    const auto sized = [&](std::string_view prefix, DataEncoding encoding) {
        const auto width = ParseUnsigned(format.substr(prefix.size()), 10);
        if (!width || *width < 1 || *width > kMaxDataWidth)
            throw SerialError("data format '" + std::string(format) + "': the width must be 1 to " +
                              std::to_string(kMaxDataWidth) + " bytes");
        field.encoding = encoding;
        field.width = static_cast<std::size_t>(*width);
    };
    if (format.starts_with("hex:")) {
        sized("hex:", DataEncoding::Hex);
    } else if (format.starts_with("ascii:")) {
        sized("ascii:", DataEncoding::Ascii);
    } else {
        const std::pair<std::string_view, SerialFormat> numbers[] = {
            {"u16le", {SerialEncoding::U16Le, 2}},
            {"u16be", {SerialEncoding::U16Be, 2}},
            {"u32le", {SerialEncoding::U32Le, 4}},
            {"u32be", {SerialEncoding::U32Be, 4}},
        };
        const auto it = std::find_if(std::begin(numbers), std::end(numbers),
                                     [&](const auto& n) { return n.first == format; });
        if (it == std::end(numbers))
            throw SerialError("data format '" + std::string(format) +
                              "' is not one of hex:N, ascii:W, u16le, u16be, u32le, u32be");
        field.encoding = DataEncoding::Number;
        field.number = it->second;
        field.width = it->second.width;
    }
    return field;
}

std::vector<std::uint8_t> EncodePoolValue(const DataField& field, std::string_view value) {
    const std::string what = "pool " + field.pool + " value '" + std::string(value) + "'";
    switch (field.encoding) {
        case DataEncoding::Hex: {
            const auto bytes = ParseHexBytes(value);
            if (!bytes || bytes->size() != field.width)
                throw SerialError(what + " is not " + std::to_string(field.width) + " bytes written as hex");
            return *bytes;
        }
        case DataEncoding::Ascii: {
            if (value.size() > field.width)
                throw SerialError(what + " is longer than its " + std::to_string(field.width) + "-byte field");
            if (std::any_of(value.begin(), value.end(), [](char c) { return c < 0x20 || c > 0x7E; }))
                throw SerialError(what + " is not printable ASCII text");
            std::vector<std::uint8_t> bytes(field.width - value.size(), std::uint8_t('0'));
            bytes.insert(bytes.end(), value.begin(), value.end());
            return bytes;
        }
        case DataEncoding::Number: {
            const bool digits = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
                return c >= '0' && c <= '9';
            });
            const auto number = digits ? ParseUnsigned(value, 10) : std::nullopt;
            if (!number) throw SerialError(what + " is not a decimal number");
            try {
                return EncodeSerial(*number, field.number);
            } catch (const SerialError&) {
                throw SerialError(what + " does not fit in " + std::to_string(field.width * 8) + " bits");
            }
        }
    }
    throw SerialError(what + ": unknown format");
}

void CheckFieldsApart(const std::vector<FieldBytes>& fields, std::size_t flashSize) {
    for (const FieldBytes& f : fields)
        if (std::uint64_t(f.address) + f.width > flashSize)
            throw SerialError(f.name + " at " + Range(f.address, f.width) + " lies outside the chip's " +
                              std::to_string(flashSize) + "-byte flash");
    for (std::size_t i = 0; i < fields.size(); ++i)
        for (std::size_t j = i + 1; j < fields.size(); ++j) {
            const FieldBytes &a = fields[i], &b = fields[j];
            if (a.address < b.address + b.width && b.address < a.address + a.width)
                throw SerialError(a.name + " at " + Range(a.address, a.width) + " and " + b.name + " at " +
                                  Range(b.address, b.width) + " overlap");
        }
}

}  // namespace quillon::station
