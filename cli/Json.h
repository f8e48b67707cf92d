// The one JSON writer of quillon-cli: every --json line (log, progress, warning, result, device)
// is built here, so that escaping and the line shape are the same for every command.
// Text that is not valid UTF-8 is written with U+FFFD in place of each bad byte; fields that hold
// a file name also carry the exact bytes as hex in "<field>_bytes", so no name is lost.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::cli {

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
    JsonLine& Flag(std::string_view key, bool value);
    // The object, closed, without a line end.
    std::string Str() const { return text_ + "}"; }

private:
    void Key(std::string_view key);
    std::string text_;
};

}  // namespace quillon::cli
