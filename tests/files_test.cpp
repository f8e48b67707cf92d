// The whole-file reader's error reasons and size limit (the atomic writer is exercised through
// the settings and hex document tests), and the chip table's name lookup.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

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

TEST(ChipTable, NamesMapToTheirIndexExactly) {
    for (std::size_t i = 0; i < kChips.size(); ++i) EXPECT_EQ(ChipIndex(kChips[i].name), static_cast<int>(i));
    for (const char* other : {"", "nrf24le1_16k", "NRF24LE1_16K ", "NRF24LU1"}) EXPECT_EQ(ChipIndex(other), -1) << other;
    static_assert(ChipIndex("NRF24LU1_32K") == 2);
}

}  // namespace
}  // namespace quillon
