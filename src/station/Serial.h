// Serial numbers for production runs: where a number goes in the image and in which encoding,
// patching it in, and the counter file that hands out each number once (locked and durably
// rewritten before the number is used, so a crash or a second station never reuses one).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::station {

// A --serial field, a counter or a unit log that cannot be used; the message says why.
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

// All of text as an unsigned number in base (no sign, no blanks); nullopt when it is not one.
std::optional<std::uint64_t> ParseUnsigned(std::string_view text, int base);
// An address in flash of a --serial or --data field: decimal or 0x hex, at most 32 bits; nullopt
// when it is not one.
std::optional<std::uint32_t> ParseFieldAddress(std::string_view text);

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

// Stopped while waiting for the counter's lock: no number was taken.
class SerialCancelled : public SerialError {
public:
    using SerialError::SerialError;
};

// Where every number taken is on record before the counter moves past it (the unit log).
// Both calls come under the counter's lock, so records of taken numbers are in counter order.
class SerialJournal {
public:
    virtual ~SerialJournal() = default;
    // The highest number on record as taken, nullopt when none is.
    virtual std::optional<std::uint64_t> lastTaken() = 0;
    // Puts number on record as taken, durably; throws when it cannot (the number stays free).
    virtual void taken(std::uint64_t number) = 0;
};

// The lock file of a counter: beside the file its name finally leads to, so that every name
// of one counter (symbolic links included) shares one lock.
std::string CounterLockPath(const std::string& counterFile);

// The name of a counter's series in the records of numbers taken: the absolute name of the file
// the counter's name finally leads to, so that every name of one counter (links, relative names
// from other folders) gives one series and two counters never share one. Throws SerialError.
std::string SeriesOf(const std::string& counterFile);

// How far a record of numbers taken may move a counter up on its own. A crash between the
// record and the counter's update leaves the record one number ahead (the next start catches
// up before it takes another); a record further ahead means that the counter was set back by
// hand or that the record is not this counter's, and a counter that jumped there would hand out
// numbers that another series gives too.
inline constexpr std::uint64_t kMaxSerialCatchUp = 3;

// The last number given, as a start sees it: the counter's number, moved up to the record's
// when the record is ahead. Throws SerialError when it is more than kMaxSerialCatchUp ahead
// and allowJump is false. TakeNextSerial and a dry run both decide by this rule.
std::uint64_t CatchUpWithRecord(const std::string& counterFile, std::uint64_t counter,
                                std::optional<std::uint64_t> onRecord, bool allowJump);

// Takes the next number from the counter file: under the counter's lock it reads the last
// number, puts last + 1 on the journal's record (when there is a journal), writes last + 1
// atomically, syncs the directory, and only then returns it. A journal whose record is ahead
// of the counter (a crash came between the two) moves the counter up to it first, so no
// number on record is given again (by CatchUpWithRecord's rule). While another process holds
// the lock, cancelled (may be empty) is asked every 20 ms; when it says true, SerialCancelled
// is thrown. Throws SerialError for a missing, non-regular or unreadable counter, an exhausted
// one, one that cannot be rewritten, or a record too far ahead of it.
std::uint64_t TakeNextSerial(const std::string& counterFile, SerialJournal* journal,
                             const std::function<bool()>& cancelled = {}, bool allowJump = false);
std::uint64_t TakeNextSerial(const std::string& counterFile);
// The last number given, without taking one and without creating anything (also not the lock
// file; the counter is only ever replaced whole, so a read without the lock sees a whole one).
// Throws SerialError.
std::uint64_t PeekLastSerial(const std::string& counterFile);
// Throws SerialError unless the counter can be replaced: its final directory takes new files
// (the temporary copy and the lock) and an existing lock file is writable.
void CheckCounterWritable(const std::string& counterFile);


// "2024-05-01T12:34:56.789Z" for a time in milliseconds since 1970 (UTC).
std::string IsoTimeUtc(std::int64_t unixMillis);

}  // namespace quillon::station
