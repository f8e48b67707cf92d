// End-to-end tests of `quillon-cli hex2bin`: the real program converts real files, and a failed
// run must leave OUT exactly as it was (absent, or with its old bytes).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/Process.h"

namespace {

namespace fs = std::filesystem;

struct RunResult {
    int exitCode = -1;
    std::string stdoutText;
    std::string stderrText;
};

std::string ReadAll(const fs::path& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class CliHex2BinTest : public ::testing::Test {
protected:
    fs::path Write(const std::string& name, const std::string& contents) {
        std::ofstream(dir_ / name, std::ios::binary) << contents;
        return dir_ / name;
    }

    RunResult Run(const std::vector<std::string>& args) {
        const quillon::test::ProcessResult r = quillon::test::RunProcess(QUILLON_CLI_PATH, args);
        return {r.code, r.out, r.err};
    }

    // Nothing but the files the test made itself: no temporary left behind.
    std::size_t FileCount() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}));
    }

    static std::string Q(const fs::path& p) { return quillon::test::Utf8(p); }

    quillon::test::ScratchDir scratch_{"cli_hex2bin"};
    const fs::path dir_ = scratch_.path();
};

const std::string kExample = std::string(QUILLON_SOURCE_DIR) + "/examples/blink/blink.ihx";
const std::string kExampleBin = std::string(QUILLON_SOURCE_DIR) + "/examples/blink/blink.bin";

TEST_F(CliHex2BinTest, ConvertsAndReplacesALongerOutput) {
    const fs::path out = Write("out.bin", std::string(4096, 'Z'));
    const RunResult r = Run({"hex2bin", kExample, Q(out)});
    EXPECT_EQ(r.exitCode, 0) << r.stderrText;
    EXPECT_EQ(ReadAll(out), ReadAll(kExampleBin));
    EXPECT_NE(r.stdoutText.find("160 bytes"), std::string::npos) << r.stdoutText;
    EXPECT_EQ(FileCount(), 1u);

    const fs::path fresh = dir_ / "fresh.bin";
    EXPECT_EQ(Run({"--quiet", "hex2bin", kExample, Q(fresh)}).exitCode, 0);
    EXPECT_EQ(ReadAll(fresh), ReadAll(kExampleBin));

    const RunResult json = Run({"--json", "hex2bin", kExample, Q(fresh)});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_NE(json.stdoutText.find("\"ok\":true"), std::string::npos) << json.stdoutText;
    EXPECT_NE(json.stdoutText.find("\"bytes\":160"), std::string::npos) << json.stdoutText;
}

TEST_F(CliHex2BinTest, NamesBeyondAsciiAndWithBlanksReachTheFiles) {
    // Through the command line as UTF-8 (UTF-16 on Windows) and back to the file system.
    const fs::path in = dir_ / quillon::test::PathOf("固件 v1 (测试).hex");
    std::ofstream(in, std::ios::binary) << ReadAll(kExample);
    const fs::path out = dir_ / quillon::test::PathOf("输出 文件.bin");
    const RunResult r = Run({"hex2bin", Q(in), Q(out)});
    EXPECT_EQ(r.exitCode, 0) << r.stderrText;
    EXPECT_EQ(ReadAll(out), ReadAll(kExampleBin));
    EXPECT_EQ(FileCount(), 2u);
}

TEST_F(CliHex2BinTest, BadInputLeavesOutputUntouched) {
    const fs::path out = Write("keep.bin", "old contents");
    const fs::path bad = Write("bad.hex", ":0400000001020304F1\r\n:00000001FF\r\n");  // checksum should be F2
    RunResult r = Run({"hex2bin", Q(bad), Q(out)});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.stderrText.find("Hex file checksum error."), std::string::npos) << r.stderrText;
    EXPECT_EQ(ReadAll(out), "old contents");

    r = Run({"hex2bin", Q(dir_ / "missing.hex"), Q(dir_ / "new.bin")});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.stderrText.find("Open hex file error."), std::string::npos) << r.stderrText;
    EXPECT_FALSE(fs::exists(dir_ / "new.bin"));

    const fs::path noEnd = Write("noend.hex", ":0400000001020304F2\r\n");
    r = Run({"hex2bin", Q(noEnd), Q(out)});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.stderrText.find("Hex file eof error."), std::string::npos) << r.stderrText;
    EXPECT_EQ(ReadAll(out), "old contents");
    EXPECT_EQ(FileCount(), 3u);
}

TEST_F(CliHex2BinTest, OutputErrorsAreNotBadInput) {
    const RunResult r = Run({"hex2bin", kExample, Q(dir_ / "no" / "dir" / "out.bin")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(r.stderrText.empty());
    // A directory in OUT's place cannot be replaced by a file.
    fs::create_directory(dir_ / "taken");
    EXPECT_EQ(Run({"hex2bin", kExample, Q(dir_ / "taken")}).exitCode, 1);
    EXPECT_TRUE(fs::is_directory(dir_ / "taken"));
    EXPECT_EQ(FileCount(), 1u);
}

TEST_F(CliHex2BinTest, ImageSizeLimit) {
    // 16 bytes at 0x00090000 make a 589,840-byte image: beyond the 512 KiB default.
    const fs::path big = Write("big.hex",
                               ":020000040009F1\r\n:10000000000102030405060708090A0B0C0D0E0F78\r\n:00000001FF\r\n");
    const fs::path out = Write("big.bin", "old");
    RunResult r = Run({"hex2bin", Q(big), Q(out)});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.stderrText.find("589840"), std::string::npos) << r.stderrText;
    EXPECT_NE(r.stderrText.find("--max-size"), std::string::npos) << r.stderrText;
    EXPECT_EQ(ReadAll(out), "old");
    EXPECT_EQ(FileCount(), 2u);

    r = Run({"hex2bin", "--max-size", "1m", Q(big), Q(out)});
    EXPECT_EQ(r.exitCode, 0) << r.stderrText;
    const std::string image = ReadAll(out);
    ASSERT_EQ(image.size(), 589840u);
    EXPECT_EQ(image[0x8FFFF], '\xFF');
    EXPECT_EQ(image[0x90000], '\x00');
    EXPECT_EQ(image[0x9000F], '\x0F');

    // A far address in a tiny file cannot make the tool build gigabytes, whatever the limit.
    const fs::path far = Write("far.hex", ":02000004FFFFFC\r\n:0100000055AA\r\n:00000001FF\r\n");
    r = Run({"hex2bin", "--max-size", "256m", Q(far), Q(dir_ / "far.bin")});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_FALSE(fs::exists(dir_ / "far.bin"));

    EXPECT_EQ(Run({"hex2bin", "--max-size", "300m", Q(big), Q(out)}).exitCode, 2);
    EXPECT_EQ(Run({"hex2bin", "--max-size", "0", Q(big), Q(out)}).exitCode, 2);
    const RunResult help = Run({"hex2bin", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.stdoutText.find("--max-size"), std::string::npos);
}

// A file of nothing but the end marker is a valid, empty image; an empty file has no marker.
TEST_F(CliHex2BinTest, EndMarkerOnlyAndEmptyFiles) {
    const fs::path only = Write("only.hex", ":00000001FF\r\n");
    const fs::path out = Write("only.bin", "old contents");
    RunResult r = Run({"hex2bin", Q(only), Q(out)});
    EXPECT_EQ(r.exitCode, 0) << r.stderrText;
    ASSERT_TRUE(fs::exists(out));
    EXPECT_EQ(fs::file_size(out), 0u);
    r = Run({"--json", "hex2bin", Q(only), Q(dir_ / "fresh.bin")});
    EXPECT_EQ(r.exitCode, 0) << r.stdoutText;
    EXPECT_NE(r.stdoutText.find("\"bytes\":0"), std::string::npos) << r.stdoutText;
    ASSERT_TRUE(fs::exists(dir_ / "fresh.bin"));
    EXPECT_EQ(fs::file_size(dir_ / "fresh.bin"), 0u);

    const fs::path empty = Write("empty.hex", "");
    const fs::path keep = Write("keep.bin", "kept");
    r = Run({"hex2bin", Q(empty), Q(keep)});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.stderrText.find(Q(empty) + ": Hex file eof error."), std::string::npos) << r.stderrText;
    EXPECT_EQ(ReadAll(keep), "kept");
    EXPECT_EQ(FileCount(), 5u);
}

// The warnings come from the one conversion, with the lines they refer to, and the image is
// the same with or without them; records that write a byte twice do not lengthen the image.
TEST_F(CliHex2BinTest, WarningsAndOverlappingRecords) {
    std::string chip = "; full 16 KiB image\r\n";
    std::string expected;
    for (int a = 0; a < 0x4000; a += 16) {
        std::string rec = ":10" + std::string(1, "0123456789ABCDEF"[(a >> 12) & 15]) +
                          "0123456789ABCDEF"[(a >> 8) & 15] + "0123456789ABCDEF"[(a >> 4) & 15] + "000";
        unsigned sum = 0x10 + static_cast<unsigned>(a >> 8) + static_cast<unsigned>(a & 0xFF);
        for (int i = 0; i < 16; ++i) {
            rec += "5A";
            sum += 0x5A;
            expected += '\x5A';
        }
        char cc[3];
        std::snprintf(cc, sizeof cc, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
        chip += rec + cc + "\r\n";
    }
    // Line 1026: the first 4 bytes once more, different.
    chip += ":0400000001020304F2\r\n:00000001FF\r\n";
    expected.replace(0, 4, "\x01\x02\x03\x04");
    const fs::path in = Write("chip.hex", chip);
    const fs::path out = dir_ / "chip.bin";
    RunResult r = Run({"hex2bin", "--max-size", "16384", Q(in), Q(out)});
    EXPECT_EQ(r.exitCode, 0) << r.stderrText;
    EXPECT_EQ(ReadAll(out), expected);
    EXPECT_NE(r.stderrText.find("warning: line 1: text outside the records"), std::string::npos) << r.stderrText;
    EXPECT_NE(r.stderrText.find("warning: line 1026: data records overlap"), std::string::npos) << r.stderrText;

    r = Run({"-q", "hex2bin", "--max-size", "16384", Q(in), Q(dir_ / "quiet.bin")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.stderrText.find("warning"), std::string::npos) << r.stderrText;
    EXPECT_EQ(ReadAll(dir_ / "quiet.bin"), expected);

    // One byte less room is too little, and says how large the image is.
    r = Run({"hex2bin", "--max-size", "16383", Q(in), Q(dir_ / "small.bin")});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.stderrText.find("16384 bytes"), std::string::npos) << r.stderrText;
    EXPECT_FALSE(fs::exists(dir_ / "small.bin"));
}

}  // namespace
