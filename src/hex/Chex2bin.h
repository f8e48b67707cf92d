// CHex2Bin: turns Intel HEX text into a flat flash image that starts at address 0.
// One object serves one conversion: ConvertText checks every record of HEX text in memory,
// measures the image and places it into a caller-owned buffer, in two passes: a checking pass
// that measures (and, on request, notes the file's oddities), then a placing pass. Nothing is
// allocated apart from the notices; reading and writing files is the callers' part (the image
// loader, quillon-cli hex2bin).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::hex {

// Result codes of a conversion; scripts and the loader compare against these numbers.
enum Hex2BinResult : std::int32_t {
    kHexSuccess = 0,
    kHexOpenError = 1,       // source cannot be opened or read
    kHexEofError = 2,        // no end marker ":00000001FF" before the first NUL
    kHexChecksumError = 3,   // checksum mismatch, or a record that is not well formed
    kHexWrongLabel = 4,      // unknown record type, a stray end-of-file record, or a bad address record
    kHexWriteDestError = 5,  // destination file cannot be created or fully written
    kHexDestOverflow = 6,    // the image does not fit the capacity (only the first part was delivered)
    kHexLengthMissing = 7,   // a destination was given without the length argument
    kHexLengthOnly = 8,      // no destination: only the length was measured
};

// What the converter's lenient reading accepts although stricter converters reject it. Looking
// for these never changes a conversion; a tool may show them so that a user sees the file is odd.
enum class HexOddity {
    TypeBySecondDigit,    // a type field such as "10" or "A0", read by its second digit
    DigitsAfterChecksum,  // hex digits after a record's checksum on the same line
    AddressRecordLength,  // an address record (02-05) whose length is not the standard one
    OverlappingRecords,   // data records that place bytes at the same address
    TextBetweenRecords,   // other text before, between or after records
};

struct HexNotice {
    HexOddity kind;
    std::size_t line;   // 1-based line of the first occurrence
    std::size_t count;  // occurrences of this kind
    bool operator==(const HexNotice&) const = default;
};

class CHex2Bin {
public:
    // Upper bound of any image this converter builds. A capacity of 0 ("no limit") means this
    // bound, so that a few bytes of HEX naming a far address cannot demand gigabytes.
    static constexpr std::uint32_t kMaxImageLength = 256u * 1024u * 1024u;

    std::uint8_t FillByte = 0xFF;
    std::uint32_t BinLength = 0;
    std::int32_t LastResult = -1;
    std::string LastMessage;
    // With an image larger than the capacity: true delivers its first part (code 6 all the
    // same); false delivers nothing, for callers that refuse such images anyway and should not
    // pay for building and writing a part they throw away.
    bool PartialOnOverflow = true;
    // When set, ConvertText also fills Notices with what FindOddities would say of the
    // same text, found while checking the records, so a caller that shows them reads the text once.
    bool CollectNotices = false;
    std::vector<HexNotice> Notices;

    // Converts HEX text that is already in memory (files are read by the caller, so that each
    // one decides where the text lives and where the image goes). length (may be null) holds
    // the capacity on entry (0 = no limit) and the image length on return. destBuffer (empty =
    // none: only the length is measured) receives the first part of the image that fits both
    // the capacity and the span; bytes past it are never touched.
    std::int32_t ConvertText(std::string_view text, std::uint32_t* length = nullptr,
                             std::span<std::uint8_t> destBuffer = {});

    // One byte from two hexadecimal digits, the first one the high nibble. On a character that
    // is not '0'-'9', 'a'-'f' or 'A'-'F' returns false and leaves out unchanged.
    static bool HexToByte(char high, char low, std::uint8_t& out);

    // The fixed English message of a result code ("Unknow error." for any other number).
    static const char* Message(std::int32_t code);

private:
    std::int32_t Finish(std::int32_t code, std::uint64_t reported, std::uint64_t capacity,
                        std::uint32_t* length);
};

// One notice per kind found, in the order of the kinds above, scanning the records up to the
// end marker (and the text after it for TextBetweenRecords). The scan stops quietly at the
// first record the converter would refuse.
std::vector<HexNotice> FindOddities(std::string_view text);

// An English sentence for the kind ("record type read by its second digit (e.g. 10 as data)").
const char* DescribeOddity(HexOddity kind);

}  // namespace quillon::hex
