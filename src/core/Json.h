// The one JSON writer: every line of quillon-cli's --json (log, progress, warning, result, device)
// and every record of the station's unit log is built here, so that escaping and the line shape
// are the same everywhere.
// Text that is not valid UTF-8 is written with U+FFFD in place of each bad byte; fields that hold
// a file name also carry the exact bytes as hex in "<field>_bytes", so no name is lost.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace quillon {

// Bumped when a field changes meaning or goes away; new fields do not change it.
inline constexpr int kJsonSchema = 1;

bool IsValidUtf8(std::string_view text);
// A quoted JSON string: control characters escaped, invalid UTF-8 bytes as U+FFFD.
std::string JsonString(std::string_view text);
// Lower-case hex of every byte ("72ff64").
std::string HexBytes(std::string_view bytes);

// One JSON object on one line, fields in the order they are added; "type" comes first.
class JsonLine {
public:
    explicit JsonLine(std::string_view type);
    JsonLine& Text(std::string_view key, std::string_view value);
    // A file name: as Text, plus "<key>_bytes" when the name is not valid UTF-8.
    JsonLine& Path(std::string_view key, std::string_view value);
    JsonLine& Number(std::string_view key, std::int64_t value);
    // Unsigned values above the signed range keep their value (a serial number 2^63 + 5).
    JsonLine& Number(std::string_view key, std::uint64_t value);
    // Every other integer type (and an enumerator, such as an exit code) goes to the overload
    // of its signedness, so that callers passing an int, a size_t or a uint32_t need no cast.
    template <typename T>
        requires((std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, std::int64_t> &&
                  !std::is_same_v<T, std::uint64_t>) ||
                 std::is_enum_v<T>)
    JsonLine& Number(std::string_view key, T value) {
        if constexpr (std::is_enum_v<T>)
            return Number(key, static_cast<std::int64_t>(value));
        else if constexpr (std::is_signed_v<T>)
            return Number(key, static_cast<std::int64_t>(value));
        else
            return Number(key, static_cast<std::uint64_t>(value));
    }
    JsonLine& Flag(std::string_view key, bool value);
    // The object, closed, without a line end.
    std::string Str() const { return text_ + "}"; }

private:
    void Key(std::string_view key);
    std::string text_;
};

}  // namespace quillon
