// End-to-end tests of `quillon-cli hex2bin`: the real program converts real files, and a failed
// run must leave OUT exactly as it was (absent, or with its old bytes).
#include <gtest/gtest.h>

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

}  // namespace
