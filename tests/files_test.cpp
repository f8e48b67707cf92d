// The file layer's own contract, the same on every system: read errors and limits, replacing
// an existing file, exact bytes (no text mode), UTF-8 names, renames that replace, locks
// between handles; and the chip table's name lookup. The atomic writer's other cases are
// exercised through the settings, hex document and output tests.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "fs/Durable.h"
#include "fs/Files.h"
#include "protocol/Chips.h"
#include "support/Process.h"

namespace quillon {
namespace {

namespace stdfs = std::filesystem;

class FilesTest : public ::testing::Test {
protected:
    std::string P(const std::string& name) const { return (dir_ / name).string(); }

    test::ScratchDir scratch_{"quillon-files"};
    const stdfs::path dir_ = scratch_.path();
};

int ReadError(const std::string& path, std::size_t maxSize = std::string::npos) {
    try {
        ReadWholeFile(path, maxSize);
    } catch (const std::system_error& e) {
        return e.code().value();
    }
    return 0;
}

TEST_F(FilesTest, ReadFailuresCarryTheirReason) {
    std::ofstream(P("five")) << "12345";
    EXPECT_EQ(ReadError(P("missing")), ENOENT);
    EXPECT_EQ(ReadError(dir_.string()), EISDIR);
    EXPECT_EQ(ReadError(P("five"), 4), EFBIG);
    EXPECT_EQ(ReadError(P("five"), 5), 0);
    EXPECT_EQ(ReadWholeFile(P("five"), 5), "12345");
}

// Both shapes of the one whole-file reader give the same bytes and the same limits, at sizes
// around the first block, its doubling and the limit.
TEST_F(FilesTest, BlockAndStringReadsAgreeAtEverySizeAndLimit) {
    const auto blockError = [](const std::string& path, std::size_t maxSize) {
        try {
            ReadWholeFileBlock(path, maxSize);
        } catch (const std::system_error& e) {
            return e.code().value();
        }
        return 0;
    };
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{4097},
                                   std::size_t{70000}}) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
        test::WriteFileBytes(P("f"), bytes);
        EXPECT_EQ(ReadWholeFileBlock(P("f")).view(), bytes);
        EXPECT_EQ(ReadWholeFileBlock(P("f"), size).view(), bytes);
        EXPECT_EQ(ReadWholeFile(P("f"), size), bytes);
        if (size > 0) {
            EXPECT_EQ(blockError(P("f"), size - 1), EFBIG);
            EXPECT_EQ(ReadError(P("f"), size - 1), EFBIG);
        }
    }
    EXPECT_EQ(blockError(P("missing"), 10), ENOENT);
    EXPECT_EQ(blockError(dir_.string(), 10), EISDIR);
}

// A UTF-8 path inside the scratch directory (a std::filesystem::path's string() would be in the
// 8-bit code page on Windows).
std::string Utf8Name(const stdfs::path& dir, const std::string& name) { return test::Utf8(dir) + "/" + name; }

TEST_F(FilesTest, ReplacesKeepExactBytesUnderAnyName) {
    // Bytes a text-mode stream would change: CR LF, a lone CR, 0x1A (the old end of file), NUL.
    const std::string bytes = std::string("a\r\nb\rc\x1a\0d\n", 10) + std::string(70000, '\xff');
    for (const std::string name : {"plain.bin", "固件 烧录.bin", "ünïcödé.hex"}) {
        SCOPED_TRACE(name);
        const std::string path = Utf8Name(dir_, name);
        WriteFileAtomically(path, "older and longer content that must not survive the replace", Durability::Durable);
        WriteFileAtomically(path, bytes, Durability::Durable);  // replaces an existing file
        EXPECT_EQ(ReadWholeFile(path), bytes);
        EXPECT_TRUE(stdfs::exists(PathFromUtf8(path)));  // the name on disk is the one given
        EXPECT_EQ(StatPath(path).size, bytes.size());
        WriteFileInPlace(path, "x", 1);
        EXPECT_EQ(ReadWholeFile(path), "x");
    }
    // Nothing but the three files: no temporary file is left behind.
    EXPECT_EQ(std::distance(stdfs::directory_iterator(dir_), stdfs::directory_iterator()), 3);
}

TEST_F(FilesTest, RenamesReplaceAndRemovalsSayWhyTheyFail) {
    const std::string a = Utf8Name(dir_, "a.bin"), b = Utf8Name(dir_, "目标.bin");
    WriteFileAtomically(a, "new", Durability::Durable);
    WriteFileAtomically(b, "old", Durability::Durable);
    EXPECT_EQ(RenameFile(a, b), 0);
    EXPECT_EQ(ReadWholeFile(b), "new");
    EXPECT_FALSE(PathEntryExists(a));
    EXPECT_EQ(RenameFile(a, b), ENOENT);
    EXPECT_EQ(RemoveFile(b), 0);
    EXPECT_EQ(RemoveFile(b), ENOENT);
    stdfs::create_directory(dir_ / "folder");
    EXPECT_EQ(RemoveFile(Utf8Name(dir_, "folder")), EISDIR);
    EXPECT_TRUE(StatPath(Utf8Name(dir_, "folder")).isDirectory);
    EXPECT_EQ(StatPath(Utf8Name(dir_, "none")).error, ENOENT);
}

TEST_F(FilesTest, ALockIsHeldUntilItsOwnerLetsGo) {
    const std::string lock = Utf8Name(dir_, "chip.lock");
    auto first = LockedFile::TryOpen(lock, 0);
    ASSERT_TRUE(first);
    EXPECT_FALSE(LockedFile::TryOpen(lock, 50));  // a second handle waits, then gives up
    first.reset();
    EXPECT_TRUE(LockedFile::TryOpen(lock, 0));
    EXPECT_THROW(LockedFile::TryOpen(Utf8Name(dir_, "missing/x.lock"), 0), std::system_error);
}

TEST(ChipTable, NamesMapToTheirIndexExactly) {
    for (std::size_t i = 0; i < kChips.size(); ++i) EXPECT_EQ(ChipIndex(kChips[i].name), static_cast<int>(i));
    for (const char* other : {"", "nrf24le1_16k", "NRF24LE1_16K ", "NRF24LU1"}) EXPECT_EQ(ChipIndex(other), -1) << other;
    static_assert(ChipIndex("NRF24LU1_32K") == 2);
}

}  // namespace
}  // namespace quillon
