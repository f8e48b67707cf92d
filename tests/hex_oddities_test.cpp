// The lenient HEX reading's side list: each leniency is named once with the line it first shows
// on, and looking for them never changes what the converter produces.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "hex/Chex2bin.h"

namespace quillon::hex {

void PrintTo(const HexNotice& n, std::ostream* os) {
    *os << "{" << DescribeOddity(n.kind) << ", line " << n.line << ", x" << n.count << "}";
}

namespace {

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

TEST(HexOddities, LookingDoesNotChangeTheConversion) {
    const std::string odd = "x\n" + kData + kData2 + ":0400101005060708C2 00\n" + kEnd;
    std::vector<std::uint8_t> before(64, 0), after(64, 0);
    std::uint32_t lengthBefore = 64, lengthAfter = 64;
    CHex2Bin first, second;
    ASSERT_EQ(first.ConvertText(odd, nullptr, &lengthBefore, before), kHexSuccess);
    EXPECT_FALSE(FindOddities(odd).empty());
    ASSERT_EQ(second.ConvertText(odd, nullptr, &lengthAfter, after), kHexSuccess);
    EXPECT_EQ(lengthBefore, lengthAfter);
    EXPECT_EQ(before, after);
    // The later overlapping record wins, and "10" was placed as data.
    EXPECT_EQ(before[2], 0x05);
    EXPECT_EQ(before[0x10], 0x05);
}

}  // namespace
}  // namespace quillon::hex
