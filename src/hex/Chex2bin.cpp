// Intel HEX to flat image conversion. The first pass checks and measures every record up to
// the end marker (noting the file's oddities when asked); the second pass places the data
// bytes, clipped to the bytes actually delivered, so no byte can land outside the image or the
// caller's buffer.
#include "hex/Chex2bin.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "hex/HexNoticeScan.h"

namespace quillon::hex {
namespace {

constexpr std::string_view kEndMarker = ":00000001FF";
constexpr std::uint32_t kBadDigit = 0x100;

// Nibble value of every character; kBadDigit marks a non-hex character. A pair decodes to a
// value >= 0x100 exactly when one of its characters is bad, so a whole record can be checked
// with one OR instead of a branch per digit.
constexpr std::array<std::uint32_t, 256> kNibble = [] {
    std::array<std::uint32_t, 256> table{};
    table.fill(kBadDigit);
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<std::uint32_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::uint32_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<std::uint32_t>(c - 'A' + 10);
    return table;
}();

inline std::uint32_t Pair(const char* p) {
    return (kNibble[static_cast<unsigned char>(p[0])] << 4) | kNibble[static_cast<unsigned char>(p[1])];
}

// Eight characters at a time (SWAR): the bulk of a HEX file is data digits, and handling them
// one 64-bit word per four bytes is what keeps both passes well above a gigabyte per second.
static_assert(std::endian::native == std::endian::little, "the word-wise digit decoder assumes little-endian");
constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHigh = 0x8080808080808080ull;

inline std::uint64_t Load8(const char* p) {
    std::uint64_t x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

// Non-zero when one of the eight characters is not a hex digit. Bytes >= 0x80 fail through
// the final "& ~x"; below 0x80 none of the additions carries into the next byte.
inline std::uint64_t BadDigits8(std::uint64_t x) {
    const std::uint64_t digit = (x + 0x50 * kOnes) & ~(x + 0x46 * kOnes);  // 0x30..0x39
    const std::uint64_t lower = x | 0x20 * kOnes;
    const std::uint64_t alpha = (lower + 0x1F * kOnes) & ~(lower + 0x19 * kOnes);  // A-F, a-f
    return ~((digit | alpha) & ~x) & kHigh;
}

// Four decoded bytes of eight valid digits, one in the low half of each 16-bit lane.
inline std::uint64_t Lanes8(std::uint64_t x) {
    const std::uint64_t v = (x & 0x0F * kOnes) + 9 * ((x >> 6) & kOnes);
    return ((v & 0x000F000F000F000Full) << 4) | ((v >> 8) & 0x000F000F000F000Full);
}

inline std::uint32_t LaneSum(std::uint64_t lanes) { return static_cast<std::uint32_t>((lanes * 0x0001000100010001ull) >> 48); }

inline std::uint32_t Pack4(std::uint64_t lanes) {
    lanes = (lanes | (lanes >> 8)) & 0x0000FFFF0000FFFFull;
    return static_cast<std::uint32_t>(lanes | (lanes >> 16));
}

struct FirstPassResult {
    std::int32_t code = kHexSuccess;
    std::size_t markerPos = 0;     // offset of the end marker's ':' (valid when code is 0)
    std::uint64_t dataTotal = 0;   // running total of LL reported when a record is refused
    std::uint64_t imageLength = 0; // valid when code is 0
};

// Checks and measures; with kNotices it also notes the file's oddities on the way (notices may
// then not be null). The image ends just after the highest byte that any data record writes,
// at the address the second pass puts it (bases included, also bases that go back), so every
// data byte lies inside the image and bytes written twice do not lengthen it.
template <bool kNotices>
FirstPassResult FirstPass(std::string_view text, detail::NoticeCollector* notices) {
    FirstPassResult r;
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* p = begin;

    // The running total keeps the classic rule: data records are not counted while the segment
    // or linear base has gone back below its highest value so far.
    std::uint64_t segmentBase = 0, linearBase = 0, total = 0;
    bool segmentBack = false, linearBack = false;
    std::uint64_t placeSegment = 0, placeLinear = 0, extent = 0;
    bool afterRecord = false;

    for (;;) {
        if constexpr (kNotices) {
            p = notices->Gap(p, end, afterRecord, false);
        } else {
            while (p < end && *p != ':') ++p;
        }
        if (p == end) {
            r.code = kHexEofError;
            break;
        }
        const std::size_t avail = static_cast<std::size_t>(end - p);
        if (avail < kEndMarker.size()) {
            r.code = kHexChecksumError;
            break;
        }
        const std::uint32_t ll = Pair(p + 1), ah = Pair(p + 3), al = Pair(p + 5), tt = Pair(p + 7);
        if ((ll | ah | al | tt) >= kBadDigit) {
            r.code = kHexChecksumError;
            break;
        }
        if (ll == 0 && p[8] == '1' && std::memcmp(p, kEndMarker.data(), kEndMarker.size()) == 0) {
            r.markerPos = static_cast<std::size_t>(p - begin);
            if constexpr (kNotices) notices->Gap(p + kEndMarker.size(), end, true, true);
            break;
        }
        const std::size_t recordLength = 11 + 2 * static_cast<std::size_t>(ll);
        if (avail < recordLength) {
            r.code = kHexChecksumError;
            break;
        }
        const char* d = p + 9;
        std::uint32_t sum = ll + ah + al + tt;
        std::uint64_t badWords = 0;
        std::uint32_t i = 0;
        for (; i + 4 <= ll; i += 4) {
            const std::uint64_t x = Load8(d + 2 * i);
            badWords |= BadDigits8(x);
            sum += LaneSum(Lanes8(x));
        }
        std::uint32_t bad = 0;
        for (; i <= ll; ++i) {  // the last pair is the checksum
            const std::uint32_t v = Pair(d + 2 * i);
            bad |= v;
            sum += v;
        }
        if (badWords != 0 || bad >= kBadDigit) {
            r.code = kHexChecksumError;
            break;
        }
        std::int32_t code = (sum & 0xFF) != 0 ? kHexChecksumError : kHexSuccess;
        const std::uint64_t offset = (ah << 8) | al;
        const char type = p[8];
        switch (type) {
            case '0':
                if (!segmentBack && !linearBack) total += ll;
                if (ll != 0) extent = std::max(extent, placeSegment + placeLinear + offset + ll);
                break;
            case '2':
            case '4': {
                // An address record needs its two value bytes; with fewer it would borrow them
                // from the checksum and the next line.
                if (ll < 2) {
                    code = kHexWrongLabel;
                    break;
                }
                const std::uint64_t raw = (Pair(d) << 8) | Pair(d + 2);
                if (type == '2') {
                    const std::uint64_t value = raw << 4;
                    placeSegment = value;
                    segmentBack = value < segmentBase;
                    if (!segmentBack) segmentBase = value;
                } else {
                    const std::uint64_t value = raw << 16;
                    placeLinear = value;
                    linearBack = value < linearBase;
                    if (!linearBack) linearBase = value;
                }
                break;
            }
            case '3':
            case '5':
                break;
            default:  // '1' (an end-of-file record that is not the marker) and every other type
                code = kHexWrongLabel;
                break;
        }
        if constexpr (kNotices) {
            // A record with a good checksum and a known type is noted, even an address record too
            // short to be used (it is the last one read).
            if ((sum & 0xFF) == 0 && type >= '0' && type <= '5' && type != '1')
                notices->Record(p[7], type, ll, placeSegment + placeLinear + offset);
        }
        if (code != kHexSuccess) {
            r.code = code;
            break;
        }
        p += recordLength;
        afterRecord = true;
    }

    r.dataTotal = total;
    if (r.code == kHexSuccess) {
        r.imageLength = extent;
    } else if (text.find(kEndMarker) == std::string_view::npos) {
        // Without an end marker the file is reported as such, whatever else is wrong with it.
        r.code = kHexEofError;
    }
    return r;
}

// Places every data record of the already checked text into dst[0, count).
void SecondPass(std::string_view text, std::uint8_t* dst, std::uint64_t count) {
    const char* p = text.data();
    const char* const end = p + text.size();
    std::uint64_t segmentBase = 0, linearBase = 0;
    for (;;) {
        while (p < end && *p != ':') ++p;
        if (p == end) return;
        const std::uint32_t ll = Pair(p + 1);
        const char* d = p + 9;
        switch (p[8]) {
            case '0': {
                const std::uint64_t address = segmentBase + linearBase + ((Pair(p + 3) << 8) | Pair(p + 5));
                if (address < count) {
                    const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(ll, count - address));
                    std::uint8_t* out = dst + address;
                    std::uint32_t i = 0;
                    for (; i + 4 <= n; i += 4) {
                        const std::uint32_t four = Pack4(Lanes8(Load8(d + 2 * i)));
                        std::memcpy(out + i, &four, sizeof four);
                    }
                    for (; i < n; ++i) out[i] = static_cast<std::uint8_t>(Pair(d + 2 * i));
                }
                break;
            }
            case '2':
                segmentBase = static_cast<std::uint64_t>((Pair(d) << 8) | Pair(d + 2)) << 4;
                break;
            case '4':
                linearBase = static_cast<std::uint64_t>((Pair(d) << 8) | Pair(d + 2)) << 16;
                break;
            default:
                break;
        }
        p += 11 + 2 * static_cast<std::size_t>(ll);
    }
}

std::uint32_t Saturate32(std::uint64_t v) {
    return v > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(v);
}

}  // namespace

bool CHex2Bin::HexToByte(char high, char low, std::uint8_t& out) {
    const std::uint32_t hi = kNibble[static_cast<unsigned char>(high)];
    const std::uint32_t lo = kNibble[static_cast<unsigned char>(low)];
    if (hi == kBadDigit || lo == kBadDigit) return false;
    out = static_cast<std::uint8_t>((hi << 4) | lo);
    return true;
}

const char* CHex2Bin::Message(std::int32_t code) {
    switch (code) {
        case kHexSuccess: return "Success.";
        case kHexOpenError: return "Open hex file error.";
        case kHexEofError: return "Hex file eof error.";
        case kHexChecksumError: return "Hex file checksum error.";
        case kHexWrongLabel: return "Hex file wrong label.";
        case kHexWriteDestError: return "Write Dest file error.";
        case kHexDestOverflow: return "Dest buffer overflow.";
        case kHexLengthMissing: return "Length parameter can not be NULL";
        case kHexLengthOnly: return "Get bin length Success.";
        default: return "Unknow error.";
    }
}

std::int32_t CHex2Bin::ConvertText(std::string_view text, std::uint32_t* length, std::span<std::uint8_t> destBuffer) {
    const std::uint64_t capacity = length != nullptr ? *length : 0;
    // A NUL ends the text as far as the converter is concerned.
    if (const void* nul = text.empty() ? nullptr : std::memchr(text.data(), 0, text.size()); nul != nullptr) {
        text = text.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - text.data()));
    }

    Notices.clear();
    FirstPassResult scan;
    if (CollectNotices) {
        detail::NoticeCollector notices;
        scan = FirstPass<true>(text, &notices);
        notices.TakeInto(Notices);
    } else {
        scan = FirstPass<false>(text, nullptr);
    }
    if (scan.code == kHexEofError) return Finish(scan.code, 0, capacity, length);
    if (scan.code != kHexSuccess) return Finish(scan.code, scan.dataTotal, capacity, length);

    BinLength = Saturate32(scan.imageLength);
    if (destBuffer.data() == nullptr) return Finish(kHexLengthOnly, scan.imageLength, capacity, length);
    if (length == nullptr) return Finish(kHexLengthMissing, scan.imageLength, capacity, length);

    const std::uint64_t limit =
        capacity != 0 ? std::min<std::uint64_t>(capacity, kMaxImageLength) : std::uint64_t{kMaxImageLength};
    const std::uint64_t count = std::min(limit, scan.imageLength);
    const std::uint64_t bufferCount = std::min<std::uint64_t>(count, destBuffer.size());
    const bool overflow = scan.imageLength > limit || bufferCount < count;

    std::int32_t code = kHexSuccess;
    if (overflow && !PartialOnOverflow) {
        code = kHexDestOverflow;
    } else {
        std::memset(destBuffer.data(), FillByte, static_cast<std::size_t>(bufferCount));
        SecondPass(text.substr(0, scan.markerPos), destBuffer.data(), bufferCount);
    }
    if (overflow && code == kHexSuccess) code = kHexDestOverflow;
    return Finish(code, scan.imageLength, capacity, length);
}

std::int32_t CHex2Bin::Finish(std::int32_t code, std::uint64_t reported, std::uint64_t capacity,
                              std::uint32_t* length) {
    if (length != nullptr) {
        // Only a conversion that otherwise succeeded turns into an overflow: a checksum error
        // or a failed write must not be disguised as "the image was too large".
        if (capacity != 0 && capacity < reported && (code == kHexSuccess || code == kHexLengthOnly)) {
            code = kHexDestOverflow;
        }
        *length = Saturate32(reported);
    }
    LastResult = code;
    LastMessage = Message(code);
    return code;
}

}  // namespace quillon::hex
