// Per-unit data from a pool (--data NAME@ADDR:FORMAT): where a unit's pool value goes in the
// image and how it is written there, and how a pool value written as hex bytes is read (a MAC
// address as 02:1A:2B:3C:4D:5E, 02-1A-2B-3C-4D-5E or 021A2B3C4D5E).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::station {

// The bytes of a value written as hex: pairs of hex digits, all separated by ':' or all by '-',
// or not separated at all; at least one byte, either case. nullopt for anything else.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text);

// What makes two pool values the same value: the canonical hex digits (upper case, no
// separators) of a value written as hex bytes in any of its forms, else the text itself. A pool
// holds each key once.
std::string PoolValueKey(std::string_view value);

}  // namespace quillon::station
