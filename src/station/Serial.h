// Serial numbers for production runs: where a number goes in the image and in which encoding,
// patching it in, and the counter file that hands out each number once (locked and durably
// rewritten before the number is used, so a crash or a second station never reuses one).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::station {

// A serial specification, a counter or an image that cannot be used; the message says why.
class SerialError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class SerialEncoding { U16Le, U16Be, U32Le, U32Be, Ascii };

struct SerialFormat {
    SerialEncoding encoding = SerialEncoding::U32Le;
    std::size_t width = 4;  // bytes in flash; for Ascii the number of decimal digits
};

// Where in flash each unit's number goes, and how it is written there.
struct SerialField {
    std::uint32_t address = 0;
    SerialFormat format;
};

// "ADDR:FORMAT": ADDR decimal or 0x-hex; FORMAT u16le, u16be, u32le, u32be or ascii:W (W 1..20).
// Throws SerialError.
SerialField ParseSerialField(std::string_view text);
// The bytes that carry number in this format. Throws SerialError when it does not fit.
std::vector<std::uint8_t> EncodeSerial(std::uint64_t number, const SerialFormat& format);

// Writes bytes at address into image, growing the image with erased bytes (0xFF) when it ends
// before address + width. Returns the bytes that were there before (0xFF where the image did not
// reach). Throws SerialError when address + width lies outside a flash of flashSize bytes.
std::vector<std::uint8_t> PatchImage(std::vector<std::uint8_t>& image, std::uint32_t address,
                                     const std::vector<std::uint8_t>& bytes, std::size_t flashSize);

// The counter file's text: the last number given, in decimal, blanks and one line end allowed.
// nullopt for anything else.
std::optional<std::uint64_t> ParseCounter(std::string_view text);
std::string CounterText(std::uint64_t last);

// Takes the next number from the counter file: under the lock of FILE.lock it reads the last
// number, writes number + 1 atomically, syncs the directory, and only then returns it. Throws
// SerialError for a missing or unreadable counter, or one that cannot be rewritten.
std::uint64_t TakeNextSerial(const std::string& counterFile);
// The last number given, without taking one (for --dry-run). Throws SerialError.
std::uint64_t PeekLastSerial(const std::string& counterFile);

// The image bytes of a HEX or BIN file, as the loader would put them in the write buffer.
// Throws SerialError with the reason (missing, unreadable, not valid HEX, too large).
std::vector<std::uint8_t> LoadImageBytes(const std::string& path, std::size_t maxSize);

// "2024-05-01T12:34:56.789Z" for a time in milliseconds since 1970 (UTC).
std::string IsoTimeUtc(std::int64_t unixMillis);

}  // namespace quillon::station
