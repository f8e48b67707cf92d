// Per-unit data from a pool (--data NAME@ADDR:FORMAT): where a unit's pool value goes in the
// image and how it is written there, and how a pool value written as hex bytes is read (a MAC
// address as 02:1A:2B:3C:4D:5E, 02-1A-2B-3C-4D-5E or 021A2B3C4D5E).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/Serial.h"

namespace quillon::station {

// The bytes of a value written as hex: pairs of hex digits, all separated by ':' or all by '-',
// or not separated at all; at least one byte, either case. nullopt for anything else.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text);

// What makes two pool values the same value: the canonical hex digits (upper case, no
// separators) of a value written as hex bytes in any of its forms, else the text itself, either
// without leading zeros (the same bytes in an ascii or number field). A pool holds each key once.
std::string PoolValueKey(std::string_view value);

enum class DataEncoding {
    Hex,     // hex:N: the value is exactly N bytes written as hex
    Ascii,   // ascii:W: printable ASCII text (a decimal number is such a text), right-aligned in W
             // bytes with '0' before it, as a serial's ascii field is written
    Number,  // u16le, u16be, u32le, u32be: the value is a decimal number
};

// Where each unit's value of one pool goes, and how it is written there.
struct DataField {
    std::string pool;
    std::uint32_t address = 0;
    DataEncoding encoding = DataEncoding::Hex;
    std::size_t width = 0;  // bytes in flash
    SerialFormat number;    // Number
};

// The most bytes one field may take (hex:N, ascii:W).
inline constexpr std::size_t kMaxDataWidth = 1024;

// "NAME@ADDR:FORMAT": NAME letters, digits, '_', '-' and '.'; ADDR decimal or 0x-hex; FORMAT
// hex:N, ascii:W (N, W 1..kMaxDataWidth), u16le, u16be, u32le or u32be. Throws SerialError.
DataField ParseDataField(std::string_view text);

// The bytes that carry value in field's format. Throws SerialError, naming the pool, when the
// value is not of the format or does not fit.
std::vector<std::uint8_t> EncodePoolValue(const DataField& field, std::string_view value);

// One run of bytes in flash that a unit's own value fills (a --serial or a --data field).
struct FieldBytes {
    std::string name;  // for messages: "--serial", "--data mac"
    std::uint32_t address = 0;
    std::size_t width = 0;
};

// Throws SerialError when a field does not lie wholly inside a flash of flashSize bytes or two
// fields share a byte.
void CheckFieldsApart(const std::vector<FieldBytes>& fields, std::size_t flashSize);

}  // namespace quillon::station
