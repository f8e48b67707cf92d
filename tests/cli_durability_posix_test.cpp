// Which outputs of quillon-cli are flushed to the disk: what a command makes again from an input
// that stays (hex2bin's OUT, the BIN copy beside a HEX image) is replaced without a flush, what
// cannot be made again (a chip's read dump, the simulated chip) is flushed with its directory.
// The real program runs under strace, which reports every flush it asks of the system.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/Process.h"

namespace {

namespace test = quillon::test;

const std::string kExample = std::string(QUILLON_SOURCE_DIR) + "/examples/blink/blink.ihx";
const std::string kExampleBin = std::string(QUILLON_SOURCE_DIR) + "/examples/blink/blink.bin";

bool HaveStrace() { return std::system("strace -V >/dev/null 2>&1") == 0; }

struct Traced {
    int code = -1;
    std::string trace;  // strace's lines: one per flush call
    std::size_t flushes = 0;
};

class CliDurabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveStrace()) GTEST_SKIP() << "strace is not installed";
    }

    // Runs quillon-cli with args in the scratch directory and counts its flush calls.
    Traced Run(const std::vector<std::string>& args) {
        const std::string log = scratch_ / "strace.log";
        // LeakSanitizer cannot work under ptrace: in a sanitizer build the traced program runs
        // without it (the leak check runs everywhere else); elsewhere the variable is unused.
        std::vector<std::string> all = {"-f", "-qq", "-e", "trace=fsync,fdatasync,sync_file_range,syncfs,sync",
                                        "-E", "ASAN_OPTIONS=detect_leaks=0", "-o", log, QUILLON_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        test::ProcessOptions options;
        options.workingDir = scratch_.str();
        const test::ProcessResult r = test::RunProcess("strace", all, options);
        Traced t;
        t.code = r.code;
        t.trace = test::ReadFileBytes(log);
        for (std::size_t at = t.trace.find("sync("); at != std::string::npos; at = t.trace.find("sync(", at + 1))
            ++t.flushes;
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        return t;
    }

    test::ScratchDir scratch_{"cli_durability"};
};

TEST_F(CliDurabilityTest, OutputsMadeFromAnInputThatStaysAreNotFlushed) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* output;  // the file the run makes
    };
    test::WriteFileBytes(scratch_ / "blink.hex", test::ReadFileBytes(kExample));
    const std::vector<Case> cases = {
        {"hex2bin OUT", {"hex2bin", "blink.hex", "out.bin"}, "out.bin"},
        {"hex2bin replacing OUT", {"hex2bin", "blink.hex", "out.bin"}, "out.bin"},
        {"BIN copy of a written HEX image", {"--sim", "write", "--chip", "NRF24LE1_16K", "blink.hex"}, "blink.hex.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Traced t = Run(c.args);
        EXPECT_EQ(t.flushes, 0u) << t.trace;
        EXPECT_EQ(test::ReadFileBytes(scratch_ / c.output), test::ReadFileBytes(kExampleBin));
    }
}

TEST_F(CliDurabilityTest, WhatCannotBeMadeAgainIsFlushedWithItsDirectory) {
    const std::string flash = scratch_ / "chip.flash";
    test::WriteFileBytes(scratch_ / "blink.hex", test::ReadFileBytes(kExample));
    ASSERT_EQ(Run({"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "blink.hex"}).code, 0);

    // The read dump: the file's data, then the directory that holds the new name.
    const Traced read = Run({"--sim", "--sim-flash", flash, "read", "--chip", "NRF24LE1_16K", "dump.bin"});
    EXPECT_GE(read.flushes, 2u) << read.trace;
    const std::string dump = test::ReadFileBytes(scratch_ / "dump.bin");
    ASSERT_EQ(dump.size(), 16384u);
    const std::string image = test::ReadFileBytes(kExampleBin);
    EXPECT_EQ(dump.substr(0, image.size()), image);
}

}  // namespace
