// The converter's leniencies, found after the fact: a separate walk over the same records that
// notes what a strict Intel HEX reader would have refused, so that the conversion itself (and its
// fast path) stays exactly as it is.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>

#include "hex/Chex2bin.h"

namespace quillon::hex {
namespace {

constexpr std::string_view kMarker = ":00000001FF";

bool Byte(std::string_view text, std::size_t at, std::uint32_t& out) {
    std::uint8_t b = 0;
    if (!CHex2Bin::HexToByte(text[at], text[at + 1], b)) return false;
    out = b;
    return true;
}

// Address ranges already covered by data records, kept merged so that a file written in order
// holds one entry however large it is.
class Coverage {
public:
    // Adds [start, end) and says whether any of it was covered before.
    bool Add(std::uint64_t start, std::uint64_t end) {
        auto it = ranges_.upper_bound(start);
        bool overlap = it != ranges_.end() && it->first < end;
        if (it != ranges_.begin()) {
            auto prev = std::prev(it);
            if (prev->second > start) overlap = true;
            if (prev->second >= start) {
                start = prev->first;
                end = std::max(end, prev->second);
                it = ranges_.erase(prev);
            }
        }
        while (it != ranges_.end() && it->first <= end) {
            end = std::max(end, it->second);
            it = ranges_.erase(it);
        }
        ranges_.emplace(start, end);
        return overlap;
    }

private:
    std::map<std::uint64_t, std::uint64_t> ranges_;
};

}  // namespace

const char* DescribeOddity(HexOddity kind) {
    switch (kind) {
        case HexOddity::TypeBySecondDigit:
            return "record type read by its second digit only (for example 10 or A0 taken as data)";
        case HexOddity::DigitsAfterChecksum: return "hex digits after a record's checksum, ignored";
        case HexOddity::AddressRecordLength: return "address record of a non-standard length";
        case HexOddity::OverlappingRecords: return "data records overlap; the later one wins";
        case HexOddity::TextBetweenRecords: return "text outside the records, ignored";
    }
    return "odd HEX file";
}

std::vector<HexNotice> FindOddities(std::string_view text) {
    if (const void* nul = text.empty() ? nullptr : std::memchr(text.data(), 0, text.size()); nul != nullptr)
        text = text.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - text.data()));

    constexpr std::size_t kKinds = 5;
    std::array<std::size_t, kKinds> count{}, first{};
    std::size_t line = 1;
    const auto note = [&](HexOddity kind) {
        const auto k = static_cast<std::size_t>(kind);
        if (count[k]++ == 0) first[k] = line;
    };

    std::uint64_t segmentBase = 0, linearBase = 0;
    Coverage coverage;
    bool afterRecord = false;  // on the line of a record, right after its checksum
    bool ended = false;        // past the end marker: only stray text is looked for
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char c = text[pos];
        if (c == '\n') {
            ++line;
            afterRecord = false;
            ++pos;
            continue;
        }
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++pos;
            continue;
        }
        if (c == ':' && !ended) {
            if (text.compare(pos, kMarker.size(), kMarker) == 0) {
                ended = true;
                pos += kMarker.size();
                afterRecord = true;
                continue;
            }
            std::uint32_t ll = 0, ah = 0, al = 0, tt = 0;
            if (text.size() - pos < 11 || !Byte(text, pos + 1, ll) || !Byte(text, pos + 3, ah) ||
                !Byte(text, pos + 5, al) || !Byte(text, pos + 7, tt))
                break;
            const std::size_t length = 11 + 2 * std::size_t{ll};
            if (text.size() - pos < length) break;
            std::uint32_t sum = ll + ah + al + tt, value = 0;
            bool digits = true;
            for (std::size_t i = 0; i <= ll && digits; ++i) {
                digits = Byte(text, pos + 9 + 2 * i, value);
                sum += value;
            }
            const char type = text[pos + 8];
            // Records the converter refuses end its work, and ours.
            if (!digits || (sum & 0xFF) != 0 || type < '0' || type > '5' || type == '1') break;
            if (text[pos + 7] != '0') note(HexOddity::TypeBySecondDigit);
            const std::uint64_t offset = (std::uint64_t{ah} << 8) | al;
            if (type == '0') {
                if (ll != 0 && coverage.Add(segmentBase + linearBase + offset, segmentBase + linearBase + offset + ll))
                    note(HexOddity::OverlappingRecords);
            } else if (type == '2' || type == '4') {
                if (ll != 2) note(HexOddity::AddressRecordLength);
                if (ll < 2) break;
                std::uint32_t hi = 0, lo = 0;
                Byte(text, pos + 9, hi);
                Byte(text, pos + 11, lo);
                const std::uint64_t raw = (std::uint64_t{hi} << 8) | lo;
                if (type == '2')
                    segmentBase = raw << 4;
                else
                    linearBase = raw << 16;
            } else if (ll != 4) {
                note(HexOddity::AddressRecordLength);
            }
            pos += length;
            afterRecord = true;
            continue;
        }
        if (afterRecord && std::isxdigit(static_cast<unsigned char>(c))) {
            note(HexOddity::DigitsAfterChecksum);
            while (pos < text.size() && std::isxdigit(static_cast<unsigned char>(text[pos]))) ++pos;
            afterRecord = false;
            continue;
        }
        note(HexOddity::TextBetweenRecords);
        // One stretch of text counts once.
        while (pos < text.size() && text[pos] != '\n' && (ended || text[pos] != ':')) ++pos;
        afterRecord = false;
    }

    std::vector<HexNotice> notices;
    for (std::size_t k = 0; k < kKinds; ++k)
        if (count[k] != 0) notices.push_back({static_cast<HexOddity>(k), first[k], count[k]});
    return notices;
}

}  // namespace quillon::hex
