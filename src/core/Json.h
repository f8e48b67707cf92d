// The one JSON writer: every line of quillon-cli's --json (log, progress, warning, result, device)
// and every record of the station's unit log is built here, so that escaping and the line shape
// are the same everywhere. The reader beside it takes such lines back (the unit log); it is small
// so that the command line needs no JSON library of the system, whose loading every run would pay for.
// Text that is not valid UTF-8 is written with U+FFFD in place of each bad byte; fields that hold
// a file name also carry the exact bytes as hex in "<field>_bytes", so no name is lost.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/Utf8.h"

namespace quillon {

// Bumped when a field changes meaning or goes away; new fields do not change it.
inline constexpr int kJsonSchema = 1;

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

// A JSON value read back from text. Numbers keep their literal, so that an unsigned 64-bit
// serial number keeps its value; an object keeps its members in order.
class JsonValue {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Kind kind() const { return kind_; }
    bool IsObject() const { return kind_ == Kind::Object; }
    bool IsString() const { return kind_ == Kind::String; }
    // A string's text; "" for any other kind.
    const std::string& AsString() const { return kind_ == Kind::String ? text_ : Empty(); }
    // A number written as a plain unsigned integer (no sign, fraction or exponent) that fits 64
    // bits; nothing otherwise.
    std::optional<std::uint64_t> AsUInt64() const;
    // The member's value (the last one, when the key repeats), or a null value when there is
    // none or this is not an object.
    const JsonValue& operator[](std::string_view key) const;
    // True when this is an object with a member of that key (whatever its value).
    bool Has(std::string_view key) const;
    // True for a string with exactly this text.
    bool operator==(std::string_view text) const { return kind_ == Kind::String && text_ == text; }

private:
    friend class JsonParser;
    static const std::string& Empty();

    Kind kind_ = Kind::Null;
    std::string text_;               // a string's text, a number's literal, "true" or "false"
    std::vector<std::string> keys_;  // an object's keys, one per item
    std::vector<JsonValue> items_;   // an array's elements or an object's values
};

// One JSON text (RFC 8259) with nothing but white space around it: strings must be valid
// UTF-8 and their escapes complete (no lone surrogates), nesting deeper than 512 levels is
// refused. Nothing when the text is not exactly that.
std::optional<JsonValue> ParseJson(std::string_view text);

}  // namespace quillon
