// Tests of the Intel HEX converter: result codes and messages, the image length rules, the
// capacity rule, the destination buffer, and that no input can make it write outside the image
// or the caller's buffer. Files are the callers' part: what lands in them is checked through
// quillon-cli hex2bin, and its output for the sdcc-built example against GNU objcopy.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <span>
#include <string_view>
#include <string>
#include <vector>

#include "hex/Chex2bin.h"
#include "support/Process.h"

namespace quillon::hex {
namespace {

namespace fs = std::filesystem;

// One record with a correct checksum, upper-case digits.
std::string Rec(std::vector<std::uint8_t> data, std::uint16_t offset, std::uint8_t type) {
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(offset >> 8),
                                    static_cast<std::uint8_t>(offset & 0xFF), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string out = ":";
    char hex[3];
    for (auto b : bytes) {
        sum += b;
        std::snprintf(hex, sizeof hex, "%02X", b);
        out += hex;
    }
    std::snprintf(hex, sizeof hex, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return out + hex + "\r\n";
}

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t first) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i);
    return v;
}

const std::string kEof = ":00000001FF\r\n";

class TempDir {
public:
    std::string File(const std::string& name, const std::string& contents = {}) const {
        const auto p = dir_ / name;
        if (!contents.empty()) test::WriteFileBytes(p, contents);
        return p;
    }

    const fs::path& path() const { return dir_.path(); }

private:
    test::ScratchDir dir_{"hex2bin_test"};
};

std::string ReadAll(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// quillon-cli hex2bin IN OUT (with the extra options before IN): its exit code and output.
test::ProcessResult Hex2Bin(const std::string& in, const std::string& out, std::vector<std::string> options = {}) {
    std::vector<std::string> args = {"hex2bin"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(in);
    args.push_back(out);
    return test::RunProcess(QUILLON_CLI_PATH, args);
}

// Converts text into a fresh buffer sized exactly as the measured image.
std::vector<std::uint8_t> Image(const std::string& text, std::int32_t* code = nullptr) {
    CHex2Bin measure;
    std::uint32_t length = 0;
    EXPECT_EQ(measure.ConvertText(text, &length), kHexLengthOnly) << measure.LastMessage;
    std::vector<std::uint8_t> image(length, 0x11);
    CHex2Bin conv;
    const std::int32_t rc = conv.ConvertText(text, &length, image);
    if (code != nullptr) *code = rc;
    EXPECT_EQ(length, image.size());
    return image;
}

TEST(Hex2BinTest, FreshObjectAndFixedMessages) {
    CHex2Bin conv;
    EXPECT_EQ(conv.FillByte, 0xFF);
    EXPECT_EQ(conv.BinLength, 0u);
    EXPECT_EQ(conv.LastResult, -1);
    EXPECT_EQ(conv.LastMessage, "");
    const std::array<const char*, 9> expected{"Success.",
                                              "Open hex file error.",
                                              "Hex file eof error.",
                                              "Hex file checksum error.",
                                              "Hex file wrong label.",
                                              "Write Dest file error.",
                                              "Dest buffer overflow.",
                                              "Length parameter can not be NULL",
                                              "Get bin length Success."};
    for (int code = 0; code < 9; ++code) EXPECT_STREQ(CHex2Bin::Message(code), expected[code]) << code;
    EXPECT_STREQ(CHex2Bin::Message(9), "Unknow error.");
    EXPECT_STREQ(CHex2Bin::Message(-1), "Unknow error.");
}

TEST(Hex2BinTest, HexToByteDigitsAndRejects) {
    std::uint8_t b = 0x42;
    EXPECT_TRUE(CHex2Bin::HexToByte('a', 'F', b));
    EXPECT_EQ(b, 0xAF);
    EXPECT_TRUE(CHex2Bin::HexToByte('0', '9', b));
    EXPECT_EQ(b, 0x09);
    for (char bad : {'g', 'G', ':', ' ', '\0', '/', '@'}) {
        b = 0x42;
        EXPECT_FALSE(CHex2Bin::HexToByte(bad, '0', b)) << bad;
        EXPECT_FALSE(CHex2Bin::HexToByte('0', bad, b)) << bad;
        EXPECT_EQ(b, 0x42);
    }
}

// Digits are decoded several at a time: every byte value in every case mix and at every
// position of a record must come out right, and any other character anywhere must be caught.
TEST(Hex2BinTest, EveryDigitAndEveryOtherCharacter) {
    std::string text;
    for (int a = 0; a < 256; a += 16) text += Rec(Bytes(16, static_cast<std::uint8_t>(a)), static_cast<std::uint16_t>(a), 0);
    text += Rec(Bytes(7, 0xA9), 0x100, 0);
    std::string lower = text, mixed = text;
    for (auto& c : lower) c = static_cast<char>(std::tolower(c));
    for (std::size_t i = 0; i < mixed.size(); i += 3) mixed[i] = static_cast<char>(std::tolower(mixed[i]));
    std::vector<std::uint8_t> expected = Bytes(256, 0);
    const auto tail = Bytes(7, 0xA9);
    expected.insert(expected.end(), tail.begin(), tail.end());
    for (const auto& variant : {text, lower, mixed}) EXPECT_EQ(Image(variant + kEof), expected);

    const std::string record = Rec(Bytes(16, 0x30), 0x40, 0);
    for (std::size_t pos = 1; pos < record.size() - 2; ++pos) {
        for (int c = 0; c < 256; ++c) {
            if (std::isxdigit(c) != 0) continue;
            std::string bad = record;
            bad[pos] = static_cast<char>(c);
            CHex2Bin conv;
            std::uint32_t length = 0;
            const std::int32_t code = conv.ConvertText(bad + kEof, &length);
            ASSERT_TRUE(code == kHexChecksumError || (c == 0 && code == kHexEofError)) << pos << " " << c << " " << code;
        }
    }
}

TEST(Hex2BinTest, EndMarkerOnlyGivesEmptyImageAndEmptyFile) {
    TempDir dir;
    const auto src = dir.File("only.hex", kEof);
    const auto dst = dir.File("only.bin");
    CHex2Bin conv;
    std::uint32_t length = 0;
    std::uint8_t spare = 0x5A;
    EXPECT_EQ(conv.ConvertText(kEof, &length, std::span<std::uint8_t>(&spare, 1)), kHexSuccess);
    EXPECT_EQ(conv.LastMessage, "Success.");
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(spare, 0x5A);
    EXPECT_EQ(Hex2Bin(src, dst).code, 0);
    ASSERT_TRUE(fs::exists(dst));
    EXPECT_EQ(fs::file_size(dst), 0u);
}

TEST(Hex2BinTest, EndMarkerIsCaseSensitiveButDataDigitsAreNot) {
    std::string lower = Rec({0xAB, 0xCD}, 0x0002, 0);
    for (auto& c : lower) c = static_cast<char>(std::tolower(c));
    CHex2Bin conv;
    std::uint32_t length = 0;
    EXPECT_EQ(conv.ConvertText(lower + ":00000001ff\r\n", &length), kHexEofError);
    EXPECT_EQ(conv.LastMessage, "Hex file eof error.");
    EXPECT_EQ(length, 0u);

    const auto image = Image(lower + kEof);
    EXPECT_EQ(image, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xAB, 0xCD}));
}

TEST(Hex2BinTest, LengthRulesForGapsOrderAndRepeatedOffsets) {
    // 0x0100-0x01FF only: 512 bytes, first half fill.
    std::string text;
    for (int a = 0x100; a < 0x200; a += 16) text += Rec(Bytes(16, static_cast<std::uint8_t>(a)), a, 0);
    auto image = Image(text + kEof);
    ASSERT_EQ(image.size(), 512u);
    EXPECT_EQ(std::count(image.begin(), image.begin() + 256, 0xFF), 256);
    EXPECT_EQ(image[0x100], 0x00);
    EXPECT_EQ(image[0x1FF], 0xFF);
    EXPECT_EQ(image[0x1F0], 0xF0);

    // Out of order, no gap: 48 bytes, every byte from its record.
    image = Image(Rec(Bytes(16, 0), 0x00, 0) + Rec(Bytes(16, 0x20), 0x20, 0) + Rec(Bytes(16, 0x10), 0x10, 0) + kEof);
    EXPECT_EQ(image, Bytes(48, 0));

    image = Image(Rec(Bytes(16, 0), 0x000, 0) + Rec(Bytes(16, 0x80), 0x200, 0) + kEof);
    ASSERT_EQ(image.size(), 528u);
    EXPECT_EQ(image[0x1FF], 0xFF);
    EXPECT_EQ(image[0x200], 0x80);

    // The later, longer record at the same offset decides the end.
    image = Image(Rec(Bytes(8, 0x40), 0x100, 0) + Rec(Bytes(16, 0x60), 0x100, 0) + kEof);
    ASSERT_EQ(image.size(), 272u);
    EXPECT_EQ(image[0x100], 0x60);
    EXPECT_EQ(image[0x10F], 0x6F);
}

TEST(Hex2BinTest, RecordTypesAndLabels) {
    CHex2Bin conv;
    std::uint32_t length = 0;
    const std::string data = Rec(Bytes(4, 1), 0, 0);
    EXPECT_EQ(conv.ConvertText(data + ":00000101FE\r\n" + kEof, &length), kHexWrongLabel);
    EXPECT_EQ(conv.LastMessage, "Hex file wrong label.");
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(conv.ConvertText(data + Rec({1}, 0, 6) + kEof, &length), kHexWrongLabel);

    // Only the type's second digit counts: "10" is data.
    std::string ten = Rec(Bytes(2, 7), 0x0003, 0x10);
    std::int32_t code = -1;
    EXPECT_EQ(Image(ten + kEof, &code), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 7, 8}));
    EXPECT_EQ(code, kHexSuccess);

    // Start address records are ignored; text around records is skipped.
    const auto image = Image("; built by hand\r\n" + Rec({0, 0, 0x12, 0x34}, 0, 5) + "\r\n\r\n" +
                             Rec({0x12, 0x34, 0, 0}, 0, 3) + Rec({9}, 0, 0) + kEof + "trailing junk");
    EXPECT_EQ(image, std::vector<std::uint8_t>{9});

    // An address record without its two value bytes cannot be read.
    EXPECT_EQ(conv.ConvertText(Rec({0x01}, 0, 4) + data + kEof, &length), kHexWrongLabel);
}

TEST(Hex2BinTest, ChecksumErrorReportsRunningTotalAndTouchesNothing) {
    TempDir dir;
    std::string bad = Rec(Bytes(5, 0x30), 0x10, 0);
    bad[bad.size() - 3] = bad[bad.size() - 3] == '0' ? '1' : '0';  // corrupt the checksum
    const std::string text = Rec(Bytes(16, 0), 0, 0) + bad + Rec(Bytes(16, 0), 0x20, 0) + kEof;
    const auto src = dir.File("bad.hex", text);
    const auto dst = dir.File("bad.bin");
    std::vector<std::uint8_t> buffer(64, 0x5A);
    CHex2Bin conv;
    std::uint32_t length = 0;
    EXPECT_EQ(conv.ConvertText(text, &length, buffer), kHexChecksumError);
    EXPECT_EQ(conv.LastMessage, "Hex file checksum error.");
    EXPECT_EQ(length, 21u);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x5A), 64);
    const test::ProcessResult run = Hex2Bin(src, dst);
    EXPECT_EQ(run.code, 3);
    EXPECT_NE((run.out + run.err).find("Hex file checksum error."), std::string::npos) << run.out << run.err;
    EXPECT_FALSE(fs::exists(dst));

    // A capacity below the running total must not disguise the checksum error as an overflow.
    length = 8;
    EXPECT_EQ(conv.ConvertText(text, &length), kHexChecksumError);
    EXPECT_EQ(length, 21u);
}

TEST(Hex2BinTest, MalformedRecordsAreRejected) {
    CHex2Bin conv;
    std::uint32_t length = 0;
    std::string nonHex = Rec(Bytes(4, 0), 0, 0);
    nonHex[10] = 'x';
    EXPECT_EQ(conv.ConvertText(nonHex + kEof, &length), kHexChecksumError);

    // A record whose stated length runs into the end marker.
    EXPECT_EQ(conv.ConvertText(":10000000AABB" + kEof, &length), kHexChecksumError);
    // A cut-short record after the marker is ignored; without the marker it is an eof error.
    EXPECT_EQ(conv.ConvertText(kEof.substr(0, 11) + "\n:FF000000", &length), kHexLengthOnly);
    EXPECT_EQ(conv.ConvertText(std::string(":FF000000") + "00", &length), kHexEofError);

    // Without an end marker the file is an eof error whatever else is wrong; a NUL hides the marker.
    EXPECT_EQ(conv.ConvertText(nonHex, &length), kHexEofError);
    EXPECT_EQ(conv.ConvertText(Rec({1}, 0, 0) + std::string(1, '\0') + kEof, &length), kHexEofError);
    EXPECT_EQ(conv.ConvertText(std::string_view{}, &length), kHexEofError);
    EXPECT_EQ(length, 0u);
}

TEST(Hex2BinTest, CapacityRule) {
    std::string text;
    for (int a = 0; a < 300; a += 20) text += Rec(Bytes(20, static_cast<std::uint8_t>(a)), a, 0);
    text += kEof;
    TempDir dir;
    const auto src = dir.File("300.hex", text);
    const auto dst = dir.File("300.bin");
    std::vector<std::uint8_t> buffer(400, 0x5A);

    // The first part that fits the capacity is delivered, and no byte past it.
    CHex2Bin conv;
    std::uint32_t length = 100;
    EXPECT_EQ(conv.ConvertText(text, &length, buffer), kHexDestOverflow);
    EXPECT_EQ(conv.LastMessage, "Dest buffer overflow.");
    EXPECT_EQ(length, 300u);
    EXPECT_EQ(conv.BinLength, 300u);
    EXPECT_EQ(std::count(buffer.begin() + 100, buffer.end(), 0x5A), 300);
    EXPECT_EQ(buffer[99], 99);
    EXPECT_EQ(buffer[100], 0x5A);

    // A caller that refuses oversized images gets nothing built or written: hex2bin with a
    // limit below the image leaves OUT uncreated.
    CHex2Bin refusing;
    refusing.PartialOnOverflow = false;
    const auto untouched = dir.File("untouched.bin");
    std::vector<std::uint8_t> spare(400, 0x5A);
    length = 100;
    EXPECT_EQ(refusing.ConvertText(text, &length, spare), kHexDestOverflow);
    EXPECT_EQ(length, 300u);
    EXPECT_EQ(std::count(spare.begin(), spare.end(), 0x5A), 400);
    EXPECT_EQ(Hex2Bin(src, untouched, {"--max-size", "100"}).code, 3);
    EXPECT_FALSE(fs::exists(untouched));

    for (std::uint32_t capacity : {300u, 0u}) {
        length = capacity;
        EXPECT_EQ(conv.ConvertText(text, &length, buffer), kHexSuccess);
        EXPECT_EQ(length, 300u);
        EXPECT_EQ(buffer[299], 299 & 0xFF);
        EXPECT_EQ(buffer[300], 0x5A);
    }
    EXPECT_EQ(Hex2Bin(src, dst, {"--max-size", "300"}).code, 0);
    EXPECT_EQ(fs::file_size(dst), 300u);
    EXPECT_EQ(ReadAll(dst), std::string(reinterpret_cast<const char*>(buffer.data()), 300));

    length = 0;
    EXPECT_EQ(conv.ConvertText(text, &length), kHexLengthOnly);
    EXPECT_EQ(conv.LastMessage, "Get bin length Success.");
    EXPECT_EQ(length, 300u);
    length = 299;
    EXPECT_EQ(conv.ConvertText(text, &length), kHexDestOverflow);

    std::fill(buffer.begin(), buffer.end(), 0x5A);
    EXPECT_EQ(conv.ConvertText(text, nullptr, buffer), kHexLengthMissing);
    EXPECT_EQ(conv.LastMessage, "Length parameter can not be NULL");
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x5A), 400);
}

TEST(Hex2BinTest, SourceAndDestinationFiles) {
    TempDir dir;
    const auto unused = dir.File("unused.bin");
    // A source that cannot be opened (missing, or a directory) is bad input, and OUT stays absent.
    struct Source {
        std::string path;
        const char* says;
    };
    for (const Source& source : {Source{dir.File("missing.hex"), "Open hex file error."},
                                 Source{dir.path().string(), "is a directory"}}) {
        SCOPED_TRACE(source.path);
        const test::ProcessResult run = Hex2Bin(source.path, unused);
        EXPECT_EQ(run.code, 3);
        EXPECT_NE((run.out + run.err).find(source.says), std::string::npos) << run.out << run.err;
        EXPECT_FALSE(fs::exists(unused));
    }

    // An older, longer destination is replaced, not left with a stale tail.
    const auto src = dir.File("a.hex", Rec(Bytes(4, 1), 0, 0) + kEof);
    const auto dst = dir.File("a.bin", std::string(100, 'Z'));
    EXPECT_EQ(Hex2Bin(src, dst).code, 0);
    EXPECT_EQ(ReadAll(dst), std::string("\x01\x02\x03\x04"));

    // A destination that cannot be created is reported as such; the conversion itself is fine.
    const std::string nowhere = (dir.path() / "no" / "such" / "dir.bin").string();
    const test::ProcessResult run = Hex2Bin(src, nowhere);
    EXPECT_EQ(run.code, 1);
    EXPECT_NE((run.out + run.err).find("Write Dest file error."), std::string::npos) << run.out << run.err;
    CHex2Bin conv;
    std::vector<std::uint8_t> buffer(4, 0);
    std::uint32_t length = 0;
    EXPECT_EQ(conv.ConvertText(ReadAll(src), &length, buffer), kHexSuccess);
    EXPECT_EQ(buffer, Bytes(4, 1));
    EXPECT_EQ(CHex2Bin::Message(kHexWriteDestError), std::string("Write Dest file error."));
    EXPECT_EQ(CHex2Bin::Message(kHexOpenError), std::string("Open hex file error."));
}

// Data that the classic length rule would leave outside the image is kept, and nothing is
// ever written outside the caller's buffer.
TEST(Hex2BinTest, EveryDataByteLandsInsideTheImage) {
    // Two overlapping records, the shorter one last: the end covers the longer one.
    auto image = Image(Rec(Bytes(16, 0x10), 0x100, 0) + Rec(Bytes(8, 0xA0), 0x100, 0) + kEof);
    ASSERT_EQ(image.size(), 0x110u);
    EXPECT_EQ(image[0x100], 0xA0);
    EXPECT_EQ(image[0x108], 0x18);
    EXPECT_EQ(image[0x10F], 0x1F);

    // Extended linear address with a gap: data at 0x10000 is placed there, not dropped.
    image = Image(Rec(Bytes(16, 0), 0, 0) + Rec({0x00, 0x01}, 0, 4) + Rec(Bytes(16, 0x40), 0, 0) + kEof);
    ASSERT_EQ(image.size(), 0x10010u);
    EXPECT_EQ(image[0x0F], 0x0F);
    EXPECT_EQ(image[0x10], 0xFF);
    EXPECT_EQ(image[0x10000], 0x40);
    EXPECT_EQ(image[0x1000F], 0x4F);

    // Segment base that goes back: its data goes where the records say.
    image = Image(Rec({0x10, 0x00}, 0, 2) + Rec(Bytes(4, 0x50), 0, 0) + Rec({0x00, 0x00}, 0, 2) +
                  Rec(Bytes(4, 0x60), 0x20, 0) + kEof);
    ASSERT_EQ(image.size(), 0x10004u);
    EXPECT_EQ(image[0x20], 0x60);
    EXPECT_EQ(image[0x10000], 0x50);
}

TEST(Hex2BinTest, HugeAddressesNeverOverrunTheBuffer) {
    const std::string far = Rec({0xFF, 0xFF}, 0, 4) + Rec(Bytes(16, 0), 0xFFF8, 0) + Rec(Bytes(4, 0x77), 0x10, 0) + kEof;
    std::vector<std::uint8_t> guarded(2048, 0x5A);
    const std::span<std::uint8_t> buffer(guarded.data(), 1024);
    CHex2Bin conv;
    std::uint32_t length = 0;  // no capacity: the span alone bounds the copy
    EXPECT_EQ(conv.ConvertText(far, &length, buffer), kHexDestOverflow);
    EXPECT_EQ(length, UINT32_MAX);
    EXPECT_EQ(std::count(guarded.begin() + 1024, guarded.end(), 0x5A), 1024);
    EXPECT_EQ(std::count(guarded.begin(), guarded.begin() + 1024, 0xFF), 1024);

    length = 512;  // the capacity bounds it further
    std::fill(guarded.begin(), guarded.end(), 0x5A);
    EXPECT_EQ(conv.ConvertText(far, &length, buffer), kHexDestOverflow);
    EXPECT_EQ(std::count(guarded.begin() + 512, guarded.end(), 0x5A), 2048 - 512);

    // A buffer smaller than a modest image: only what fits, reported as overflow.
    const std::string text = Rec(Bytes(32, 0), 0, 0) + kEof;
    length = 0;
    std::fill(guarded.begin(), guarded.end(), 0x5A);
    EXPECT_EQ(conv.ConvertText(text, &length, std::span<std::uint8_t>(guarded.data(), 20)), kHexDestOverflow);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(guarded[19], 19);
    EXPECT_EQ(guarded[20], 0x5A);
}

// Where each data byte ends up, read record by record with the plain digit decoder: the image
// every accepted file must convert to.
std::map<std::uint64_t, std::uint8_t> PlacedBytes(std::string_view text) {
    std::map<std::uint64_t, std::uint8_t> placed;
    std::uint64_t segment = 0, linear = 0;
    const auto byteAt = [&](std::size_t pos) {
        std::uint8_t b = 0;
        EXPECT_TRUE(CHex2Bin::HexToByte(text[pos], text[pos + 1], b)) << pos;
        return b;
    };
    for (std::size_t p = 0; p < text.find(":00000001FF");) {
        if (text[p] != ':') {
            ++p;
            continue;
        }
        const std::size_t ll = byteAt(p + 1);
        const std::uint64_t offset = (std::uint64_t{byteAt(p + 3)} << 8) | byteAt(p + 5);
        if (text[p + 8] == '0') {
            for (std::size_t i = 0; i < ll; ++i) placed[segment + linear + offset + i] = byteAt(p + 9 + 2 * i);
        } else if (text[p + 8] == '2') {
            segment = ((std::uint64_t{byteAt(p + 9)} << 8) | byteAt(p + 11)) << 4;
        } else if (text[p + 8] == '4') {
            linear = ((std::uint64_t{byteAt(p + 9)} << 8) | byteAt(p + 11)) << 16;
        }
        p += 11 + 2 * ll;
    }
    return placed;
}

std::vector<std::uint8_t> Flatten(const std::map<std::uint64_t, std::uint8_t>& placed) {
    std::vector<std::uint8_t> image(placed.empty() ? 0 : static_cast<std::size_t>(placed.rbegin()->first + 1), 0xFF);
    for (const auto& [address, value] : placed) image[static_cast<std::size_t>(address)] = value;
    return image;
}

// Records that write some bytes twice: the image ends after the highest byte written, not at
// the data total. "before" is what the classic rule (the larger of the data total and the end
// of the highest record) gave, kept here to show which files change.
TEST(Hex2BinTest, OverlappingRecordsEndAtTheHighestByteWritten) {
    std::string chip;  // a full 16 KiB image in 16-byte records
    for (int a = 0; a < 0x4000; a += 16) chip += Rec(Bytes(16, static_cast<std::uint8_t>(a >> 4)), a, 0);
    std::string repeated;  // 4 KiB written four times over, as tools that append sections do
    for (int pass = 0; pass < 4; ++pass)
        for (int a = 0; a < 0x1000; a += 32) repeated += Rec(Bytes(32, static_cast<std::uint8_t>(pass + a)), a, 0);
    struct Case {
        const char* name;
        std::string text;
        std::uint32_t before, now;
    };
    const std::vector<Case> cases = {
        {"16 bytes at 0, 16 at 8", Rec(Bytes(16, 0), 0, 0) + Rec(Bytes(16, 0x80), 8, 0), 32, 24},
        {"one record twice", Rec(Bytes(16, 0), 0, 0) + Rec(Bytes(16, 0x40), 0, 0), 32, 16},
        {"full 16 KiB chip with one record again", chip + Rec(Bytes(16, 0xEE), 0x100, 0), 0x4010, 0x4000},
        {"full 16 KiB chip, last record again", chip + Rec(Bytes(16, 0xEE), 0x3FF0, 0), 0x4010, 0x4000},
        {"4 KiB written four times", repeated, 0x4000, 0x1000},
        {"rewritten after a linear base of 0 again",
         Rec(Bytes(16, 0), 0, 0) + Rec({0, 0}, 0, 4) + Rec(Bytes(16, 0x30), 0, 0), 32, 16},
        {"the later, shorter record at the highest offset", Rec(Bytes(16, 0x10), 0x100, 0) + Rec(Bytes(8, 0xA0), 0x100, 0),
         0x110, 0x110},
        {"overlap with a larger gap after it",
         Rec(Bytes(16, 0), 0, 0) + Rec(Bytes(16, 0x20), 8, 0) + Rec(Bytes(16, 0x50), 0x100, 0), 0x110, 0x110},
        {"linear base that goes back, overlapping the data above it",
         Rec({0, 1}, 0, 4) + Rec(Bytes(16, 0), 0, 0) + Rec({0, 0}, 0, 4) + Rec(Bytes(16, 0x90), 0xFFF8, 0), 0x10010,
         0x10010},
        {"segment base that goes back, overlapping",
         Rec({0x10, 0}, 0, 2) + Rec(Bytes(8, 0), 0, 0) + Rec({0, 0}, 0, 2) + Rec(Bytes(8, 0x70), 0xFFFC, 0), 0x10008,
         0x10008},
        {"no overlap, gaps and segments: unchanged",
         Rec(Bytes(16, 0), 0x20, 0) + Rec({0, 1}, 0, 4) + Rec(Bytes(4, 9), 0x10, 0), 0x10014, 0x10014},
        {"an empty data record past the last byte", Rec(Bytes(16, 0), 0, 0) + Rec({}, 0x1000, 0), 0x1000, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = c.text + kEof;
        CHex2Bin measure;
        std::uint32_t length = 0;
        ASSERT_EQ(measure.ConvertText(text, &length), kHexLengthOnly);
        EXPECT_EQ(length, c.now);
        EXPECT_EQ(measure.BinLength, c.now);
        EXPECT_LE(c.now, c.before);  // the rule never lengthens an image
        // Every byte is the last one written there; the image holds them all and nothing more.
        EXPECT_EQ(Image(text), Flatten(PlacedBytes(text)));

        // Exactly as much room as the image now needs is enough.
        std::vector<std::uint8_t> guarded(c.now + 16, 0x5A);
        CHex2Bin exact;
        length = c.now;
        EXPECT_EQ(exact.ConvertText(text, &length, std::span<std::uint8_t>(guarded.data(), c.now)), kHexSuccess);
        EXPECT_EQ(length, c.now);
        EXPECT_EQ(std::count(guarded.begin() + c.now, guarded.end(), 0x5A), 16);
        length = c.now - 1;
        EXPECT_EQ(exact.ConvertText(text, &length, guarded), kHexDestOverflow);
        EXPECT_EQ(length, c.now);
    }
}

// The HEX files kept in the tree (the example, the fuzzer's seeds) convert to the bytes their
// records place, with the image ending at the last of them.
TEST(Hex2BinTest, CorpusConvertsToThePlacedBytes) {
    std::vector<fs::path> files{fs::path(QUILLON_SOURCE_DIR) / "examples" / "blink" / "blink.ihx"};
    for (const auto& entry : fs::directory_iterator(fs::path(QUILLON_SOURCE_DIR) / "fuzz" / "seeds" / "hex2bin"))
        files.push_back(entry.path());
    std::size_t converted = 0;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        std::string text = ReadAll(file.string());
        if (file.extension() == ".seed") text.erase(0, 3);  // the fuzzer's capacity and buffer bytes
        CHex2Bin measure;
        std::uint32_t length = 0;
        if (measure.ConvertText(text, &length) != kHexLengthOnly) continue;
        EXPECT_EQ(Image(text), Flatten(PlacedBytes(text)));
        ++converted;
    }
    EXPECT_GE(converted, 5u);
}

TEST(Hex2BinTest, FillByteAndFileMatchesText) {
    const std::string text = Rec({1, 2}, 0x0004, 0) + kEof;
    TempDir dir;
    const auto src = dir.File("f.hex", text);
    const auto dst = dir.File("f.bin");
    CHex2Bin conv;
    conv.FillByte = 0x00;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> buffer(6, 0x5A);
    EXPECT_EQ(conv.ConvertText(text, &length, buffer), kHexSuccess);
    EXPECT_EQ(buffer, (std::vector<std::uint8_t>{0, 0, 0, 0, 1, 2}));
    // The file quillon-cli writes holds the same bytes, with its fill byte 0xFF.
    EXPECT_EQ(Hex2Bin(src, dst).code, 0);
    EXPECT_EQ(ReadAll(dst), std::string("\xFF\xFF\xFF\xFF\x01\x02", 6));
}

TEST(Hex2BinTest, SdccExampleMatchesObjcopy) {
    const std::string ihx = std::string(QUILLON_SOURCE_DIR) + "/examples/blink/blink.ihx";
    const std::string text = ReadAll(ihx);
    ASSERT_FALSE(text.empty());
    // The example must exercise out-of-order records.
    EXPECT_NE(text.find(":03000B"), std::string::npos);
    EXPECT_LT(text.find(":20006D"), text.find(":20001E"));

    TempDir dir;
    std::string reference = std::string(QUILLON_SOURCE_DIR) + "/examples/blink/blink.bin";
    test::ProcessOptions probe;
    probe.mustStart = false;
    if (test::RunProcess("objcopy", {"--version"}, probe).code == 0) {
        reference = dir.File("objcopy.bin");
        ASSERT_EQ(test::RunProcess("objcopy", {"-I", "ihex", "-O", "binary", "--gap-fill", "0xFF", ihx, reference}).code, 0);
    }
    const auto dst = dir.File("ours.bin");
    CHex2Bin conv;
    std::uint32_t length = 524288;
    std::vector<std::uint8_t> buffer(length);
    ASSERT_EQ(conv.ConvertText(text, &length, buffer), kHexSuccess) << conv.LastMessage;
    const std::string expected = ReadAll(reference);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), length), expected);
    EXPECT_EQ(length, expected.size());
    ASSERT_EQ(Hex2Bin(ihx, dst).code, 0);
    EXPECT_EQ(ReadAll(dst), expected);
}

}  // namespace
}  // namespace quillon::hex
