// What the converter's checking pass notes about the leniencies of a HEX file while it reads it:
// line numbers, the text between records and the address ranges seen so far. Kept inline so that
// a conversion that collects notices costs little more than one that does not. Internal to hex/.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <vector>

#include "hex/Chex2bin.h"

namespace quillon::hex::detail {

// Address ranges already covered by data records, kept merged so that a file written in order
// holds one entry however large it is.
class Coverage {
public:
    // Adds [start, end) and says whether any of it was covered before.
    bool Add(std::uint64_t start, std::uint64_t end) {
        // Records in address order, the usual case, only ever meet the highest range.
        if (!ranges_.empty()) {
            auto last = std::prev(ranges_.end());
            if (start >= last->second) {
                if (start == last->second)
                    last->second = end;
                else
                    ranges_.emplace_hint(ranges_.end(), start, end);
                return false;
            }
        }
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

// Blanks in the sense of the C locale's isspace, the line feed apart (it counts lines).
inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

inline bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

class NoticeCollector {
public:
    void Note(HexOddity kind) {
        const auto k = static_cast<std::size_t>(kind);
        if (count_[k]++ == 0) first_[k] = line_;
    }

    // Walks the text between records from p and returns the ':' that starts the next record, or
    // end. afterRecord: p is just past a record's checksum (or the end marker) on its line.
    // ended: past the end marker, where a ':' is only more stray text.
    const char* Gap(const char* p, const char* end, bool afterRecord, bool ended) {
        // The usual line break between two records.
        if (!ended && end - p >= 3 && p[0] == '\r' && p[1] == '\n' && p[2] == ':') {
            ++line_;
            return p + 2;
        }
        while (p < end) {
            const char c = *p;
            if (c == '\n') {
                ++line_;
                afterRecord = false;
                ++p;
            } else if (IsBlank(c)) {
                ++p;
            } else if (c == ':' && !ended) {
                return p;
            } else if (afterRecord && IsHexDigit(c)) {
                Note(HexOddity::DigitsAfterChecksum);
                while (p < end && IsHexDigit(*p)) ++p;
                afterRecord = false;
            } else {
                Note(HexOddity::TextBetweenRecords);
                // One stretch of text counts once.
                while (p < end && *p != '\n' && (ended || *p != ':')) ++p;
                afterRecord = false;
            }
        }
        return end;
    }

    // A record whose checksum and type the converter accepted. typeHigh is the type field's first
    // digit, type its second; address is where a data record's first byte goes.
    void Record(char typeHigh, char type, std::uint32_t ll, std::uint64_t address) {
        if (typeHigh != '0') Note(HexOddity::TypeBySecondDigit);
        if (type == '0') {
            if (ll != 0 && coverage_.Add(address, address + ll)) Note(HexOddity::OverlappingRecords);
        } else if (type == '2' || type == '4') {
            if (ll != 2) Note(HexOddity::AddressRecordLength);
        } else if (ll != 4) {  // '3', '5'
            Note(HexOddity::AddressRecordLength);
        }
    }

    void TakeInto(std::vector<HexNotice>& notices) const {
        for (std::size_t k = 0; k < kKinds; ++k)
            if (count_[k] != 0) notices.push_back({static_cast<HexOddity>(k), first_[k], count_[k]});
    }

private:
    static constexpr std::size_t kKinds = 5;
    std::array<std::size_t, kKinds> count_{}, first_{};
    std::size_t line_ = 1;
    Coverage coverage_;
};

}  // namespace quillon::hex::detail
