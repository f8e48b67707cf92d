// The test suite's own process and scratch-directory helpers, run against a child program of
// ours: arguments arrive byte for byte (quoting on Windows), output and exit codes come back,
// input is fed, a child that overruns is killed, and scratch directories are private and go away.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/Process.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kChild = QUILLON_PROCESS_CHILD;

std::string Unhex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::vector<std::string> EchoedArguments(const std::string& out) {
    std::vector<std::string> args;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) args.push_back(Unhex(line));
    return args;
}

TEST(ProcessArguments, ArriveByteForByte) {
    const std::vector<std::string> args = {
        "plain", "two words", "", "tab\there", "quote\"inside", "\"quoted\"", "trailing\\", "C:\\dir with space\\",
        "back\\\\slashes\\\\\"quote", "\\\\server\\share", "--opt=a b", "中文名.hex", "ünïcödé", "'single'", "a&b|c<d>e^f%PATH%"};
    const ProcessResult r = RunProcess(kChild, [&] {
        std::vector<std::string> all{"args"};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }());
    ASSERT_EQ(r.code, 0) << r.all();
    EXPECT_EQ(EchoedArguments(r.out), args);
}

TEST(ProcessArguments, QuotingFollowsTheRuntimeRules) {
    struct Case {
        std::string arg, quoted;
    };
    for (const Case& c : std::vector<Case>{
             {"simple", "simple"},
             {"", "\"\""},
             {"a b", "\"a b\""},
             {"a\\b", "a\\b"},  // no quoting: backslashes stay single
             {"a\\ b\\", "\"a\\ b\\\\\""},  // the last one would escape the closing quote
             {"say \"hi\"", "\"say \\\"hi\\\"\""},
             {"x\\\"y", "\"x\\\\\\\"y\""},  // one backslash before a quote: three, then the quote
         }) {
        EXPECT_EQ(QuoteWindowsArgument(c.arg), c.quoted) << c.arg;
    }
}

TEST(ProcessRun, ExitCodesAndBothStreamsComeBack) {
    for (const int code : {0, 1, 7, 255}) {
        SCOPED_TRACE(code);
        const ProcessResult r = RunProcess(kChild, {"exit", std::to_string(code)});
        EXPECT_EQ(r.code, code);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.out, "to stdout\n");
        EXPECT_EQ(r.err, "to stderr\n");
    }
}

TEST(ProcessRun, InputIsTheGivenTextOrNothing) {
    std::string binary;
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
    binary += "\r\n\x1a after the old end-of-file byte";
    ProcessOptions options;
    options.stdinText = binary;
    EXPECT_EQ(RunProcess(kChild, {"stdin"}, options).out, binary);
    const ProcessResult none = RunProcess(kChild, {"stdin"});
    EXPECT_EQ(none.code, 0);
    EXPECT_EQ(none.out, "");
}

TEST(ProcessRun, RunsInTheGivenDirectory) {
    ScratchDir dir("quillon-cwd 目录");
    ProcessOptions options;
    options.workingDir = dir.str();
    const ProcessResult r = RunProcess(kChild, {"cwd"}, options);
    ASSERT_EQ(r.code, 0) << r.all();
    EXPECT_TRUE(fs::equivalent(PathOf(r.out), dir.path())) << r.out;
}

TEST(ProcessRun, EnvironmentIsTheCallersPlusTheGivenVariables) {
    ProcessOptions options;
    options.environment = {{"QUILLON_PROCESS_TEST_VALUE", "given value"}};
    EXPECT_EQ(RunProcess(kChild, {"env", "QUILLON_PROCESS_TEST_VALUE"}, options).out, "given value");
    EXPECT_EQ(RunProcess(kChild, {"env", "QUILLON_PROCESS_TEST_VALUE"}).out, "(unset)");
    // The rest of the caller's environment is kept: PATH is there with or without additions.
    const std::string path = RunProcess(kChild, {"env", "PATH"}).out;
    EXPECT_NE(path, "(unset)");
    EXPECT_EQ(RunProcess(kChild, {"env", "PATH"}, options).out, path);
}

TEST(ProcessRun, AChildThatOverrunsIsKilledAndFailsTheTest) {
    ProcessOptions options;
    options.timeout = 300ms;
    ProcessResult r;
    const auto start = Clock::now();
    EXPECT_NONFATAL_FAILURE(r = RunProcess(kChild, {"sleep", "30000"}, options), "did not finish in time");
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_TRUE(r.timedOut);
    EXPECT_NE(r.code, 0);
    EXPECT_EQ(r.out, "sleeping\n");
}

TEST(ProcessRun, AMissingProgramFailsToStart) {
    ScratchDir dir;
    EXPECT_NONFATAL_FAILURE(
        {
            Process p(dir / "no-such-program", {});
            EXPECT_FALSE(p.started());
            EXPECT_EQ(p.Finish().code, -1);
        },
        "cannot start");
}

TEST(ProcessControl, WaitsForOutputThenKillsMidRun) {
    Process child(kChild, {"sleep", "30000"});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.WaitForOutput("sleeping"));
    EXPECT_TRUE(child.Running());
    const auto start = Clock::now();
    child.Kill();
    const ProcessResult r = child.Finish();
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_FALSE(r.timedOut);
    EXPECT_NE(r.code, 0);
    EXPECT_FALSE(child.Running());
    EXPECT_EQ(r.out, "sleeping\n");

    // A child that ends without the text does not keep the caller waiting.
    Process quick(kChild, {"exit", "0"});
    const auto begin = Clock::now();
    EXPECT_FALSE(quick.WaitForOutput("never printed", 30s));
    EXPECT_LT(Clock::now() - begin, 10s);
    EXPECT_EQ(quick.Finish().code, 0);
}

TEST(ProcessControl, SignalsEndTheChildWithTheirNumber) {
    QUILLON_SKIP_ON_WINDOWS("there are no POSIX signals to send");
    for (const StopSignal s : {StopSignal::Interrupt, StopSignal::Terminate, StopSignal::Hangup}) {
        Process child(kChild, {"sleep", "30000"});
        ASSERT_TRUE(child.WaitForOutput("sleeping"));
        ASSERT_TRUE(child.Send(s));
        const int code = child.Finish().code;
        // SIGINT 2, SIGTERM 15, SIGHUP 1 on every POSIX system the suite runs on.
        EXPECT_EQ(code, 128 + (s == StopSignal::Interrupt ? 2 : s == StopSignal::Terminate ? 15 : 1));
    }
}

TEST(ScratchDirTest, PrivateUniqueAndRemovedWithItsContents) {
    fs::path kept;
    {
        ScratchDir a("quillon-scratch"), b("quillon-scratch");
        EXPECT_NE(a.path(), b.path());
        EXPECT_TRUE(fs::is_directory(a.path()));
        EXPECT_TRUE(fs::is_empty(a.path()));
        const std::string name = "中文 name.bin";
        WriteFileBytes(a / name, "bytes\r\n\x1a!");
        fs::create_directories(PathOf(a / "sub/deeper"));
        WriteFileBytes(a / "sub/deeper/f", "x");
        EXPECT_EQ(ReadFileBytes(a / name), "bytes\r\n\x1a!");
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(a.path())) names.push_back(Utf8(e.path().filename()));
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"sub", name}));
        kept = a.path();
    }
    EXPECT_FALSE(fs::exists(kept));
}

}  // namespace
}  // namespace quillon::test
