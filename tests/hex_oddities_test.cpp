// The lenient HEX reading's side list: each leniency is named once with the line it first shows
// on, looking for them never changes what the converter produces, and the notes that one
// conversion collects agree with a plain model of the walk on a corpus of odd and broken files.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "hex/Chex2bin.h"
#include "image/Image.h"
#include "support/Process.h"

namespace quillon::hex {

void PrintTo(const HexNotice& n, std::ostream* os) {
    *os << "{" << DescribeOddity(n.kind) << ", line " << n.line << ", x" << n.count << "}";
}

namespace {

// The oddities by a separate, character-by-character walk of the text, written for reading
// rather than speed: the model the conversion's notices must agree with.
std::vector<HexNotice> ModelOddities(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    constexpr std::string_view kMarker = ":00000001FF";
    std::array<std::size_t, 5> count{}, first{};
    std::size_t line = 1;
    const auto note = [&](HexOddity kind) {
        const auto k = static_cast<std::size_t>(kind);
        if (count[k]++ == 0) first[k] = line;
    };
    const auto byteAt = [&](std::size_t at, std::uint32_t& out) {
        std::uint8_t b = 0;
        if (!CHex2Bin::HexToByte(text[at], text[at + 1], b)) return false;
        out = b;
        return true;
    };
    std::uint64_t segment = 0, linear = 0;
    std::set<std::uint64_t> written;
    bool afterRecord = false, ended = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char c = text[pos];
        if (c == '\n') {
            ++line;
            afterRecord = false;
            ++pos;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') {
            ++pos;
        } else if (c == ':' && !ended) {
            if (text.substr(pos, kMarker.size()) == kMarker) {
                ended = afterRecord = true;
                pos += kMarker.size();
                continue;
            }
            std::uint32_t ll = 0, ah = 0, al = 0, tt = 0;
            if (text.size() - pos < 11 || !byteAt(pos + 1, ll) || !byteAt(pos + 3, ah) || !byteAt(pos + 5, al) ||
                !byteAt(pos + 7, tt))
                break;
            const std::size_t length = 11 + 2 * std::size_t{ll};
            if (text.size() - pos < length) break;
            std::uint32_t sum = ll + ah + al + tt, value = 0;
            bool digits = true;
            for (std::size_t i = 0; i <= ll && digits; ++i) {
                digits = byteAt(pos + 9 + 2 * i, value);
                sum += value;
            }
            const char type = text[pos + 8];
            if (!digits || (sum & 0xFF) != 0 || type < '0' || type > '5' || type == '1') break;
            if (text[pos + 7] != '0') note(HexOddity::TypeBySecondDigit);
            const std::uint64_t address = segment + linear + ((std::uint64_t{ah} << 8) | al);
            if (type == '0') {
                bool overlap = false;
                for (std::uint64_t a = address; a < address + ll; ++a) overlap |= !written.insert(a).second;
                if (overlap) note(HexOddity::OverlappingRecords);
            } else if (type == '2' || type == '4') {
                if (ll != 2) note(HexOddity::AddressRecordLength);
                if (ll < 2) break;
                std::uint32_t hi = 0, lo = 0;
                byteAt(pos + 9, hi);
                byteAt(pos + 11, lo);
                (type == '2' ? segment : linear) = ((std::uint64_t{hi} << 8) | lo) << (type == '2' ? 4 : 16);
            } else if (ll != 4) {
                note(HexOddity::AddressRecordLength);
            }
            pos += length;
            afterRecord = true;
        } else if (afterRecord && std::isxdigit(static_cast<unsigned char>(c))) {
            note(HexOddity::DigitsAfterChecksum);
            while (pos < text.size() && std::isxdigit(static_cast<unsigned char>(text[pos]))) ++pos;
            afterRecord = false;
        } else {
            note(HexOddity::TextBetweenRecords);
            while (pos < text.size() && text[pos] != '\n' && (ended || text[pos] != ':')) ++pos;
            afterRecord = false;
        }
    }
    std::vector<HexNotice> notices;
    for (std::size_t k = 0; k < count.size(); ++k)
        if (count[k] != 0) notices.push_back({static_cast<HexOddity>(k), first[k], count[k]});
    return notices;
}

std::string ReadAll(const std::filesystem::path& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The example, the fuzzer's seeds and this file's own cases, each also cut short and with one
// character changed at many places: enough odd, broken and half-read files to tell a scan that
// stops or counts differently.
std::vector<std::string> Corpus(const std::vector<std::string>& own) {
    std::vector<std::string> base = own;
    const std::filesystem::path source(QUILLON_SOURCE_DIR);
    base.push_back(ReadAll(source / "examples" / "blink" / "blink.ihx"));
    for (const auto& entry : std::filesystem::directory_iterator(source / "fuzz" / "seeds" / "hex2bin"))
        base.push_back(ReadAll(entry.path()).substr(3));  // the fuzzer's capacity and buffer bytes
    std::vector<std::string> corpus;
    for (const std::string& text : base) {
        corpus.push_back(text);
        for (std::size_t at = 0; at < text.size(); at += 3) {
            corpus.push_back(text.substr(0, at));
            for (char c : {'0', 'A', 'f', 'x', ':', ' ', '\n', '\r', '\0'}) {
                std::string changed = text;
                changed[at] = c;
                corpus.push_back(changed);
            }
        }
    }
    return corpus;
}

struct Case {
    const char* name;
    std::string text;
    std::vector<HexNotice> expected;
};

const std::string kData = ":0400000001020304F2\n";   // 4 bytes at 0
const std::string kData2 = ":0400020005060708E0\n";  // 4 bytes at 2: overlaps kData
const std::string kEnd = ":00000001FF\n";

TEST(HexOddities, EachKindIsNamedWithItsFirstLine) {
    const std::vector<Case> cases = {
        {"clean", kData + ":0400040005060708DE\n" + kEnd, {}},
        {"clean with blank lines and CRLF", "\r\n" + kData + "\r\n" + kEnd, {}},
        {"type 10 read as data", kData + ":0400101005060708C2\n" + ":04002010090A0B0CA2\n" + kEnd,
         {{HexOddity::TypeBySecondDigit, 2, 2}}},
        {"digits after checksum", kData + ":0400040005060708DEFF\n" + kEnd, {{HexOddity::DigitsAfterChecksum, 2, 1}}},
        {"linear address record of length 4", kData + ":0400000400000000F8\n" + kEnd,
         {{HexOddity::AddressRecordLength, 2, 1}}},
        {"start address record of length 2", ":020000050000F9\n" + kEnd, {{HexOddity::AddressRecordLength, 1, 1}}},
        {"overlap, twice", kData + kData2 + kData + kEnd, {{HexOddity::OverlappingRecords, 2, 2}}},
        {"same offset in another segment is no overlap", kData + ":020000021000EC\n" + kData + kEnd, {}},
        {"text before, between and after", "HEADER\n" + kData + "; note\n" + kEnd + "trailer\n",
         {{HexOddity::TextBetweenRecords, 1, 3}}},
        {"several kinds in kind order", "x\n" + kData + kData2 + ":0400101005060708C2 00\n" + kEnd,
         {{HexOddity::TypeBySecondDigit, 4, 1},
          {HexOddity::DigitsAfterChecksum, 4, 1},
          {HexOddity::OverlappingRecords, 3, 1},
          {HexOddity::TextBetweenRecords, 1, 1}}},
        {"the scan stops at a record the converter refuses", ":0400000001020304F3\n:0400101005060708C2\n" + kEnd, {}},
        {"a NUL ends the text", kData + std::string(1, '\0') + "junk\n" + kEnd, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FindOddities(c.text), c.expected);
    }
}

// The conversion notes the oddities in its own checking pass; whatever it is asked to deliver,
// the notes are those of the model, and FindOddities gives the same.
TEST(HexOddities, OnePassNoticesMatchTheModelOnTheCorpus) {
    std::vector<std::string> own;
    for (const std::string& t : {kData + kData2 + kEnd, "x\n" + kData + kData2 + ":0400101005060708C2 00\n" + kEnd,
                                 kData + ":0400000400000000F8\n" + kEnd + "trailer 12\n:junk",
                                 ":020000050000F9\r\n" + kData + ":0400040005060708DEFF\r\n" + kEnd + "AB\r\n"})
        own.push_back(t);
    const std::vector<std::string> corpus = Corpus(own);
    std::size_t odd = 0, converted = 0;
    std::vector<std::uint8_t> buffer(1 << 17);
    CHex2Bin reused;  // one object over many texts: each call's notices are its own
    reused.CollectNotices = true;
    for (const std::string& text : corpus) {
        const std::vector<HexNotice> model = ModelOddities(text);
        CHex2Bin withBuffer;
        withBuffer.CollectNotices = true;
        std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
        if (withBuffer.ConvertText(text, &length, buffer) == kHexSuccess) ++converted;
        ASSERT_EQ(withBuffer.Notices, model) << testing::PrintToString(text);
        ASSERT_EQ(FindOddities(text), model) << testing::PrintToString(text);
        length = 0;
        reused.ConvertText(text, &length);
        ASSERT_EQ(reused.Notices, model) << testing::PrintToString(text);
        if (!model.empty()) ++odd;
    }
    // The corpus is not all clean, nor all broken.
    EXPECT_GT(odd, corpus.size() / 10);
    EXPECT_GT(converted, corpus.size() / 10);

    // Without the flag nothing is collected; a file that cannot be read has no notes.
    CHex2Bin plain;
    std::uint32_t length = 0;
    plain.ConvertText(own[1], &length);
    EXPECT_TRUE(plain.Notices.empty());
    test::ScratchDir dir{"hex_oddities"};
    const std::string file = (dir.path() / "odd.hex").string();
    test::WriteFileBytes(file, own[1]);
    // The image loader reads the file and keeps the notes of the same pass.
    const ImageLoad load = ReadImageFile(file, std::size_t{16} << 20);
    ASSERT_TRUE(load.image) << load.error;
    EXPECT_EQ(load.image->notices, ModelOddities(own[1]));
    const ImageLoad missing = ReadImageFile(file + ".missing.hex", std::size_t{16} << 20);
    EXPECT_FALSE(missing.image);
    EXPECT_FALSE(missing.error.empty());
    // A conversion that fails leaves no notes of an earlier one behind.
    length = 0;
    EXPECT_EQ(reused.ConvertText(own[1], &length), kHexLengthOnly);
    EXPECT_EQ(reused.Notices, ModelOddities(own[1]));
    EXPECT_EQ(reused.ConvertText("", &length), kHexEofError);
    EXPECT_TRUE(reused.Notices.empty());
}

TEST(HexOddities, LookingDoesNotChangeTheConversion) {
    const std::string odd = "x\n" + kData + kData2 + ":0400101005060708C2 00\n" + kEnd;
    std::vector<std::uint8_t> before(64, 0), after(64, 0);
    std::uint32_t lengthBefore = 64, lengthAfter = 64;
    CHex2Bin first, second;
    ASSERT_EQ(first.ConvertText(odd, &lengthBefore, before), kHexSuccess);
    EXPECT_FALSE(FindOddities(odd).empty());
    ASSERT_EQ(second.ConvertText(odd, &lengthAfter, after), kHexSuccess);
    EXPECT_EQ(lengthBefore, lengthAfter);
    EXPECT_EQ(before, after);
    // The later overlapping record wins, and "10" was placed as data.
    EXPECT_EQ(before[2], 0x05);
    EXPECT_EQ(before[0x10], 0x05);
}

}  // namespace
}  // namespace quillon::hex
