// End-to-end runs of the built quillon-cli against the simulated programmer: each case starts the
// real binary in a scratch directory, as a script or a production line would, and judges it by
// its exit code, its output and, through a chip file shared between runs, what landed in flash.
#include <json/json.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Bytes.h"
#include "support/Process.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using ::testing::HasSubstr;
using ::testing::Not;

using CliRun = test::ProcessResult;

std::string ReadText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Bytes ReadBytes(const fs::path& p) {
    const std::string text = ReadText(p);
    return Bytes(text.begin(), text.end());
}

void WriteBytes(const fs::path& p, const Bytes& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

Bytes Pattern(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(gen());
    return b;
}

std::string HexText(const std::map<std::uint32_t, Bytes>& segments) { return test::IntelHexText(segments); }

// The flat image of HEX text: data records over erased (0xFF) flash. Handles the record types a
// compiler emits for a small 8051 image (data and end of file).
Bytes ImageOfHex(const std::string& text) {
    Bytes image;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != ':') continue;
        auto byteAt = [&](std::size_t i) { return static_cast<std::uint8_t>(std::stoul(line.substr(1 + 2 * i, 2), nullptr, 16)); };
        const unsigned n = byteAt(0);
        const unsigned addr = (byteAt(1) << 8) | byteAt(2);
        if (byteAt(3) == 1) break;
        if (byteAt(3) != 0) continue;
        if (image.size() < addr + n) image.resize(addr + n, 0xFF);
        for (unsigned i = 0; i < n; ++i) image[addr + i] = byteAt(4 + i);
    }
    return image;
}

// The chip's whole flash after programming the image onto an erased chip.
Bytes Flashed(const Bytes& image, std::size_t flashSize) {
    Bytes flash(flashSize, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    return flash;
}

class CliProgramTest : public ::testing::Test {
protected:
    fs::path P(const std::string& name) const { return dir_ / name; }

    // Runs quillon-cli in the scratch directory; a run that hangs is killed and fails the test.
    CliRun Cli(const std::vector<std::string>& args) {
        test::ProcessOptions options;
        options.workingDir = scratch_.str();
        return test::RunProcess(QUILLON_CLI_PATH, args, options);
    }

    // Writes the file with the given chip, then reads the chip back through the shared chip file.
    Bytes WriteThenRead(const std::string& file, const std::string& chip, const std::string& scenario = "default") {
        const std::string flash = P("chip.flash").string();
        const CliRun w = Cli({"--sim", scenario, "--sim-flash", flash, "write", "--chip", chip, file});
        EXPECT_EQ(w.code, 0) << w.all();
        EXPECT_THAT(w.out, HasSubstr("Verify Success")) << w.all();
        const CliRun r = Cli({"--sim", scenario, "--sim-flash", flash, "read", "--chip", chip, "back.bin"});
        EXPECT_EQ(r.code, 0) << r.all();
        return ReadBytes(P("back.bin"));
    }

    test::ScratchDir scratch_{"quillon-cli"};
    const fs::path dir_ = scratch_.path();
};

// --- write, then read back ---------------------------------------------------------------------

TEST_F(CliProgramTest, BinImagesOfSeveralSizesReadBackIdentical) {
    for (std::size_t size : {std::size_t{1}, std::size_t{100}, std::size_t{64 * 5 + 17}, std::size_t{16384}}) {
        SCOPED_TRACE(size);
        fs::remove(P("chip.flash"));
        const Bytes image = Pattern(size, static_cast<unsigned>(size));
        WriteBytes(P("image.bin"), image);
        EXPECT_EQ(WriteThenRead("image.bin", "NRF24LE1_16K"), Flashed(image, 16384));
    }
}

TEST_F(CliProgramTest, HexWithHolesLeavesTheHolesErased) {
    const std::map<std::uint32_t, Bytes> segments = {
        {0x0000, Pattern(40, 1)}, {0x0100, Pattern(33, 2)}, {0x1234, Pattern(7, 3)}, {0x3FF0, Pattern(16, 4)}};
    const std::string text = HexText(segments);
    WriteText(P("holes.hex"), text);
    Bytes expected(16384, 0xFF);
    for (const auto& [base, data] : segments) std::copy(data.begin(), data.end(), expected.begin() + base);
    EXPECT_EQ(ImageOfHex(text), expected);  // the generator and the oracle agree
    EXPECT_EQ(WriteThenRead("holes.hex", "NRF24LU1_16K"), expected);
}

TEST_F(CliProgramTest, FullSizeHexFillsTheWholeChip) {
    const Bytes image = Pattern(16384, 77);
    WriteText(P("full.HEX"), HexText({{0, image}}));
    EXPECT_EQ(WriteThenRead("full.HEX", "NRF24LE1_16K"), image);
}

TEST_F(CliProgramTest, ThirtyTwoKilobyteImageOnTheLargeChip) {
    const Bytes image = Pattern(32768, 32);
    WriteBytes(P("big.bin"), image);
    EXPECT_EQ(WriteThenRead("big.bin", "NRF24LU1_32K", "lu1-32k"), image);

    // The same chip file read as a 16 KiB chip yields just the first half.
    const CliRun r = Cli({"--sim", "lu1-32k", "--sim-flash", P("chip.flash").string(), "read", "--chip", "NRF24LU1_16K",
                       "half.bin"});
    ASSERT_EQ(r.code, 0) << r.all();
    EXPECT_EQ(ReadBytes(P("half.bin")), Bytes(image.begin(), image.begin() + 16384));
}

TEST_F(CliProgramTest, ExampleFirmwareReadsBackAsCompiled) {
    const fs::path source = fs::path(QUILLON_SOURCE_DIR) / "examples/blink/blink.ihx";
    ASSERT_TRUE(fs::exists(source));
    fs::copy_file(source, P("blink.hex"));
    const Bytes image = ImageOfHex(ReadText(source));
    ASSERT_FALSE(image.empty());
    const CliRun w = Cli({"--sim", "--sim-flash", P("chip.flash").string(), "write", "--chip", "NRF24LE1_16K", "blink.hex"});
    ASSERT_EQ(w.code, 0) << w.all();
    EXPECT_THAT(w.out, HasSubstr("Write FLASH"));
    EXPECT_THAT(w.out, HasSubstr("Write finish"));
    EXPECT_THAT(w.out, HasSubstr("Verify Success"));
    // Loading a HEX file leaves its BIN copy beside it, exactly the image.
    EXPECT_EQ(ReadBytes(P("blink.hex.bin")), image);
    const CliRun r = Cli({"--sim", "--sim-flash", P("chip.flash").string(), "read", "--chip", "NRF24LE1_16K", "back.bin"});
    ASSERT_EQ(r.code, 0) << r.all();
    EXPECT_THAT(r.out, HasSubstr("16384 byte"));
    EXPECT_EQ(ReadBytes(P("back.bin")), Flashed(image, 16384));
}

// --- exit codes ----------------------------------------------------------------------------------

TEST_F(CliProgramTest, CommandLineMistakesAreUsageErrors) {
    WriteBytes(P("a.bin"), Pattern(64, 1));
    EXPECT_EQ(Cli({}).code, 2);
    EXPECT_EQ(Cli({"--sim", "write", "--chip", "NRF24LE1_16K", "--bogus", "a.bin"}).code, 2);
    EXPECT_EQ(Cli({"--sim", "write", "a.bin"}).code, 2);  // --chip is required
    EXPECT_EQ(Cli({"--sim", "write", "--chip", "NRF24LE2_8K", "a.bin"}).code, 2);
    EXPECT_EQ(Cli({"--sim", "read", "--chip", "NRF24LE1_16K"}).code, 2);  // no output file
    const CliRun both = Cli({"--sim", "write", "--chip", "NRF24LE1_16K", "--readback", "--protect", "a.bin"});
    EXPECT_EQ(both.code, 2) << both.all();
    EXPECT_THAT(both.out + both.err, HasSubstr("--protect"));
    EXPECT_EQ(Cli({"--lang", "fr", "--sim", "detect"}).code, 2);
    EXPECT_EQ(Cli({"--sim", "--sim-count", "0", "detect"}).code, 2);
}

TEST_F(CliProgramTest, BadImagesAreRefusedBeforeAnythingIsWritten) {
    const std::string flash = P("chip.flash").string();
    // Give the chip known contents first, so a refused write that touched it would show.
    const Bytes before = Pattern(16384, 5);
    WriteBytes(P("before.bin"), before);
    ASSERT_EQ(Cli({"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "before.bin"}).code, 0);

    WriteText(P("notes.txt"), ":0100000000FF\n:00000001FF\n");
    std::string corrupt = HexText({{0, Pattern(48, 9)}});
    corrupt[corrupt.find('\n') - 1] ^= 1;  // last checksum digit of the first record
    WriteText(P("corrupt.hex"), corrupt);
    WriteBytes(P("empty.bin"), {});
    WriteText(P("empty.hex"), ":00000001FF\n");
    WriteBytes(P("huge.bin"), Pattern(40000, 6));

    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "missing.hex"}, "missing.hex"},
        {{"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "notes.txt"}, "notes.txt"},
        {{"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "corrupt.hex"}, "corrupt.hex"},
        {{"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "empty.bin"}, "empty.bin: the image is empty"},
        {{"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "empty.hex"}, "empty.hex: the image is empty"},
        {{"--sim", "lu1-32k", "--sim-flash", P("chip32.flash").string(), "write", "--chip", "NRF24LU1_32K", "huge.bin"},
         "Select file is out of chip memory"},
        {{"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "huge.bin"},
         "Select file is out of chip memory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        const CliRun r = Cli(c.args);
        EXPECT_EQ(r.code, 3) << r.all();
        EXPECT_THAT(r.all(), HasSubstr(c.says));
        EXPECT_THAT(r.out, Not(HasSubstr("Write finish")));
    }
    ASSERT_EQ(Cli({"--sim", "--sim-flash", flash, "read", "--chip", "NRF24LE1_16K", "after.bin"}).code, 0);
    EXPECT_EQ(ReadBytes(P("after.bin")), before);
    // A refused empty image leaves no empty BIN copy beside it.
    EXPECT_FALSE(fs::exists(P("empty.hex.bin")));
}

TEST_F(CliProgramTest, MissingProgrammerIsItsOwnExitCode) {
    WriteBytes(P("a.bin"), Pattern(64, 1));
    const CliRun none = Cli({"--sim", "no-programmer", "detect"});
    EXPECT_EQ(none.code, 4) << none.all();
    EXPECT_THAT(none.err, HasSubstr("no programmer"));
    EXPECT_EQ(Cli({"--sim", "no-programmer", "write", "--chip", "NRF24LE1_16K", "a.bin"}).code, 4);
    EXPECT_EQ(Cli({"--sim", "no-programmer", "read", "--chip", "NRF24LE1_16K", "o.bin"}).code, 4);
    EXPECT_FALSE(fs::exists(P("o.bin")));

    const CliRun unmatched = Cli({"--sim", "detect", "--device", "SIM9999"});
    EXPECT_EQ(unmatched.code, 4) << unmatched.all();
    EXPECT_THAT(unmatched.err, HasSubstr("SIM9999"));
    // The same programmer picked by its serial number or its path.
    EXPECT_EQ(Cli({"--sim", "detect", "--device", "SIM0001"}).code, 0);
    EXPECT_EQ(Cli({"--sim", "--sim-count", "2", "detect", "--device", "sim:programmer:2"}).code, 0);
    // A programmer held by another program cannot be opened.
    EXPECT_EQ(Cli({"--sim", "busy", "detect"}).code, 4);
    // Unrelated HID devices beside the programmer are passed over.
    EXPECT_EQ(Cli({"--sim", "mixed", "detect"}).code, 0);
}

TEST_F(CliProgramTest, SilentProgrammerTimesOut) {
    const CliRun detect = Cli({"--sim", "silent", "detect"});
    EXPECT_EQ(detect.code, 5) << detect.all();
    EXPECT_THAT(detect.err, HasSubstr("did not answer"));

    WriteBytes(P("a.bin"), Pattern(640, 1));
    const CliRun write = Cli({"--sim", "silent", "write", "--chip", "NRF24LE1_16K", "a.bin"});
    EXPECT_EQ(write.code, 5) << write.all();
}

TEST_F(CliProgramTest, ReadStreamThatStopsTimesOutWithTheOffset) {
    const CliRun r = Cli({"--sim", "stall-read", "read", "--chip", "NRF24LE1_16K", "out.bin"});
    EXPECT_EQ(r.code, 5) << r.all();
    EXPECT_THAT(r.out, HasSubstr("operation timeout1024  16384"));
    EXPECT_THAT(r.err, HasSubstr("1024"));
    EXPECT_THAT(r.out, Not(HasSubstr("Read finish")));
    // A partial read leaves no output file that could pass for a whole chip.
    EXPECT_FALSE(fs::exists(P("out.bin")));
}

TEST_F(CliProgramTest, DeviceFailuresAreReportedAsSuch) {
    WriteBytes(P("a.bin"), Pattern(64 * 40, 1));

    const CliRun nochip = Cli({"--sim", "nochip", "detect"});
    EXPECT_EQ(nochip.code, 6) << nochip.all();
    EXPECT_THAT(nochip.out, HasSubstr("chip dected fail"));
    EXPECT_THAT(nochip.out, HasSubstr("Chip is not connected! Please confirm: correct connection / module OK / good line contact"));
    EXPECT_EQ(Cli({"--sim", "nochip", "write", "--chip", "NRF24LE1_16K", "a.bin"}).code, 6);

    const CliRun failWrite = Cli({"--sim", "fail-write", "write", "--chip", "NRF24LE1_16K", "a.bin"});
    EXPECT_EQ(failWrite.code, 6) << failWrite.all();
    EXPECT_THAT(failWrite.err, HasSubstr("(86)"));
    EXPECT_THAT(failWrite.out, Not(HasSubstr("Verify Success")));

    const CliRun failRead = Cli({"--sim", "fail-read", "read", "--chip", "NRF24LE1_16K", "o.bin"});
    EXPECT_EQ(failRead.code, 6) << failRead.all();
    EXPECT_FALSE(fs::exists(P("o.bin")));

    const CliRun badEcho = Cli({"--sim", "bad-echo", "detect"});
    EXPECT_EQ(badEcho.code, 6) << badEcho.all();
    EXPECT_THAT(badEcho.out, HasSubstr("verify fail：upload："));
    EXPECT_THAT(badEcho.out, HasSubstr("2 2 4"));

    const CliRun unplug = Cli({"--sim", "unplug-write", "write", "--chip", "NRF24LE1_16K", "a.bin"});
    EXPECT_EQ(unplug.code, 6) << unplug.all();
    EXPECT_THAT(unplug.out, HasSubstr("HID Close "));
    EXPECT_THAT(unplug.out, Not(HasSubstr("Verify Success")));
}

// The run ends as soon as the failure reply is seen, while the reader thread may still be
// handling that very report: the report must reach the log intact, every time. Ending the run
// must wait for the reader; a reader left running on a torn-down session logs garbage bytes
// ("操作失败:D6") or "未知操作" in perhaps one run of thirty, hence the repetitions.
TEST_F(CliProgramTest, FailureReplyIsLoggedIntactWhenTheRunEnds) {
    WriteBytes(P("a.bin"), Pattern(640, 1));
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        const CliRun w = Cli({"--sim", "fail-write", "write", "--chip", "NRF24LE1_16K", "a.bin"});
        EXPECT_EQ(w.code, 6);
        EXPECT_THAT(w.out, HasSubstr("操作失败:86"));
        EXPECT_THAT(w.out, Not(HasSubstr("未知操作")));
        const CliRun r = Cli({"--sim", "fail-read", "read", "--chip", "NRF24LE1_16K", "o.bin"});
        EXPECT_EQ(r.code, 6);
        EXPECT_THAT(r.out, HasSubstr("操作失败:85"));
        EXPECT_THAT(r.out, Not(HasSubstr("未知操作")));
    }
}

TEST_F(CliProgramTest, ChecksumMismatchIsAVerifyFailure) {
    WriteBytes(P("a.bin"), Pattern(1000, 1));
    const CliRun r = Cli({"--sim", "bad-checksum", "write", "--chip", "NRF24LE1_16K", "a.bin"});
    EXPECT_EQ(r.code, 7) << r.all();
    EXPECT_THAT(r.out, HasSubstr("Verify Fail"));
    EXPECT_THAT(r.out, HasSubstr("本地校验："));
}

// --- read-back, several programmers, output forms ---------------------------------------------------

TEST_F(CliProgramTest, ReadbackFindsBitsThatAnUnerasedFlashCannotSet) {
    const std::string flash = P("chip.flash").string();
    WriteBytes(P("zeros.bin"), Bytes(1024, 0x00));
    ASSERT_EQ(Cli({"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "zeros.bin"}).code, 0);

    // Same first 0x123 bytes, then bytes with bits set that NOR flash cannot set without an erase.
    Bytes second(1024, 0x00);
    for (std::size_t i = 0x123; i < second.size(); ++i) second[i] = 0x5A;
    WriteBytes(P("second.bin"), second);
    const CliRun r = Cli({"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "--no-erase", "--no-verify",
                       "--readback", "second.bin"});
    EXPECT_EQ(r.code, 7) << r.all();
    EXPECT_THAT(r.err, HasSubstr("0x0123"));

    // With the erase, the same read-back passes and the chip holds the new image.
    const CliRun ok = Cli({"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "--readback", "second.bin"});
    EXPECT_EQ(ok.code, 0) << ok.all();
    ASSERT_EQ(Cli({"--sim", "--sim-flash", flash, "read", "--chip", "NRF24LE1_16K", "after.bin"}).code, 0);
    EXPECT_EQ(ReadBytes(P("after.bin")), Flashed(second, 16384));
}

TEST_F(CliProgramTest, AllProgrammersAreWrittenInParallel) {
    WriteBytes(P("a.bin"), Pattern(4096, 3));
    const CliRun r = Cli({"--sim", "--sim-count", "3", "--json", "write", "--chip", "NRF24LE1_16K", "--all", "a.bin"});
    EXPECT_EQ(r.code, 0) << r.all();
    std::vector<std::string> devices;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        Json::Value v;
        std::istringstream s(line);
        std::string errs;
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), s, &v, &errs)) << line;
        if (v["type"].asString() != "result") continue;
        EXPECT_TRUE(v["ok"].asBool()) << line;
        EXPECT_EQ(v["exit"].asInt(), 0) << line;
        devices.push_back(v["device"].asString());
    }
    std::sort(devices.begin(), devices.end());
    EXPECT_EQ(devices, (std::vector<std::string>{"sim:programmer:1", "sim:programmer:2", "sim:programmer:3"}));

    // Plain output: one result line per programmer.
    const CliRun plain = Cli({"--sim", "--sim-count", "3", "write", "--chip", "NRF24LE1_16K", "--all", "a.bin"});
    EXPECT_EQ(plain.code, 0) << plain.all();
    std::size_t results = 0;
    for (std::size_t at = plain.out.find("write ["); at != std::string::npos; at = plain.out.find("write [", at + 1))
        ++results;
    EXPECT_EQ(results, 3u) << plain.out;
}

// Every stdout line of a --json run is one object of a known type; exactly one result, last.
void ExpectJsonLines(const CliRun& r, const std::string& op) {
    std::istringstream lines(r.out);
    std::string line;
    std::vector<Json::Value> values;
    while (std::getline(lines, line)) {
        Json::Value v;
        std::istringstream s(line);
        std::string errs;
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), s, &v, &errs)) << errs << ": " << line;
        ASSERT_TRUE(v.isObject()) << line;
        const std::string type = v["type"].asString();
        EXPECT_TRUE(type == "log" || type == "progress" || type == "result") << line;
        values.push_back(v);
    }
    ASSERT_FALSE(values.empty());
    int results = 0;
    for (const auto& v : values) results += v["type"].asString() == "result";
    EXPECT_EQ(results, 1);
    const Json::Value& last = values.back();
    EXPECT_EQ(last["type"].asString(), "result");
    EXPECT_EQ(last["op"].asString(), op);
    EXPECT_EQ(last["exit"].asInt(), r.code);
    EXPECT_EQ(last["ok"].asBool(), r.code == 0);
    EXPECT_FALSE(last["message"].asString().empty());
}

TEST_F(CliProgramTest, JsonOutputIsOneObjectPerLine) {
    WriteText(P("img.hex"), HexText({{0, Pattern(5000, 8)}}));
    const CliRun w = Cli({"--json", "--sim", "write", "--chip", "NRF24LE1_16K", "img.hex"});
    EXPECT_EQ(w.code, 0) << w.all();
    ExpectJsonLines(w, "write");
    EXPECT_THAT(w.out, HasSubstr("{\"type\":\"log\",\"line\":"));
    // Progress counts rise to the image size and never pass it.
    std::istringstream lines(w.out);
    std::string line;
    std::int64_t last = -1;
    while (std::getline(lines, line)) {
        Json::Value v;
        std::istringstream s(line);
        std::string errs;
        Json::parseFromStream(Json::CharReaderBuilder(), s, &v, &errs);
        if (v["type"].asString() != "progress") continue;
        EXPECT_EQ(v["total"].asInt(), 5000);
        EXPECT_GT(v["done"].asInt64(), last);
        EXPECT_LE(v["done"].asInt64(), 5000);
        last = v["done"].asInt64();
    }
    EXPECT_GT(last, 0);

    // Failures and Chinese log lines stay valid JSON too.
    const CliRun nochip = Cli({"--json", "--lang", "cn", "--sim", "nochip", "detect"});
    EXPECT_EQ(nochip.code, 6);
    ExpectJsonLines(nochip, "detect");
    EXPECT_THAT(nochip.out, HasSubstr("芯片检测失败"));
    const CliRun stall = Cli({"--json", "--sim", "stall-read", "read", "--chip", "NRF24LE1_16K", "o.bin"});
    EXPECT_EQ(stall.code, 5);
    ExpectJsonLines(stall, "read");
    const CliRun refused = Cli({"--json", "--sim", "write", "--chip", "NRF24LE1_16K", "nothing.bin"});
    EXPECT_EQ(refused.code, 3);
    ExpectJsonLines(refused, "write");
}

TEST_F(CliProgramTest, QuietRunPrintsNoLogLines) {
    WriteBytes(P("a.bin"), Pattern(256, 2));
    const CliRun ok = Cli({"--quiet", "--sim", "write", "--chip", "NRF24LE1_16K", "a.bin"});
    EXPECT_EQ(ok.code, 0) << ok.all();
    EXPECT_THAT(ok.all(), Not(HasSubstr("Write FLASH")));
    const CliRun bad = Cli({"--quiet", "--sim", "bad-checksum", "write", "--chip", "NRF24LE1_16K", "a.bin"});
    EXPECT_EQ(bad.code, 7);
    EXPECT_THAT(bad.err, HasSubstr("checksum"));
}

TEST_F(CliProgramTest, ChineseLogLines) {
    WriteBytes(P("a.bin"), Pattern(300, 4));
    const CliRun w = Cli({"--lang", "cn", "--sim", "write", "--chip", "NRF24LE1_16K", "a.bin"});
    EXPECT_EQ(w.code, 0) << w.all();
    EXPECT_THAT(w.out, HasSubstr("开始写FLASH"));
    EXPECT_THAT(w.out, HasSubstr("写完成"));
    EXPECT_THAT(w.out, HasSubstr("校验 成功"));
    EXPECT_THAT(w.out, Not(HasSubstr("Write finish")));
    const CliRun d = Cli({"--lang", "cn", "--sim", "detect"});
    EXPECT_EQ(d.code, 0);
    EXPECT_THAT(d.out, HasSubstr("编程器已连接"));
    EXPECT_THAT(d.out, HasSubstr("芯片检测成功"));
}

TEST_F(CliProgramTest, DetectShowsTheHandshakeInOrder) {
    const CliRun d = Cli({"--sim", "detect"});
    EXPECT_EQ(d.code, 0) << d.all();
    const auto opened = d.out.find("HID Opened");
    const auto connected = d.out.find("Programer is connected!Quillon Sim Programmer SIM0001");
    const auto comm = d.out.find("Programer Communication is   OK：firmware:");
    const auto chip = d.out.find("chip dected OK");
    ASSERT_NE(opened, std::string::npos) << d.out;
    ASSERT_NE(connected, std::string::npos) << d.out;
    ASSERT_NE(comm, std::string::npos) << d.out;
    ASSERT_NE(chip, std::string::npos) << d.out;
    EXPECT_LT(opened, connected);
    EXPECT_LT(connected, comm);
    EXPECT_LT(comm, chip);
    EXPECT_THAT(d.out, Not(HasSubstr("verify fail")));
}


// --- one image per run, verify, and what each programmer says ---------------------------------

std::vector<Json::Value> JsonValues(const std::string& out) {
    std::vector<Json::Value> values;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        Json::Value v;
        std::istringstream s(line);
        std::string errs;
        if (Json::parseFromStream(Json::CharReaderBuilder(), s, &v, &errs)) values.push_back(v);
    }
    return values;
}

// verify reads the chip and compares it with the image: exit 0 when equal, 7 with the first
// differing address and the count when not; an SDCC .ihx file is a HEX image everywhere.
TEST_F(CliProgramTest, VerifyComparesTheChipWithTheImageAndIhxIsHex) {
    const std::string flash = P("chip.flash").string();
    const Bytes image = Pattern(3000, 4);
    WriteText(P("fw.ihx"), HexText({{0, image}}));
    const CliRun w = Cli({"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "fw.ihx"});
    ASSERT_EQ(w.code, 0) << w.all();
    EXPECT_EQ(ReadBytes(P("fw.ihx.bin")), image);

    Bytes changed = image;
    changed[0x123] ^= 0x01;
    changed[0x200] ^= 0x80;
    changed[0x201] ^= 0x80;
    WriteBytes(P("other.bin"), changed);
    struct Case {
        std::string file;
        int code;
        std::int64_t first, differing;
    };
    for (const Case& c : {Case{"fw.ihx", 0, -1, 0}, Case{"other.bin", 7, 0x123, 3}}) {
        SCOPED_TRACE(c.file);
        const CliRun v = Cli({"--json", "--sim", "--sim-flash", flash, "verify", "--chip", "NRF24LE1_16K", c.file});
        EXPECT_EQ(v.code, c.code) << v.all();
        const auto values = JsonValues(v.out);
        ASSERT_FALSE(values.empty());
        const Json::Value& result = values.back();
        EXPECT_EQ(result["op"].asString(), "verify");
        EXPECT_EQ(result["differing"].asInt64(), c.differing) << v.out;
        if (c.first >= 0) {
            EXPECT_EQ(result["first_difference"].asInt64(), c.first) << v.out;
        }
        EXPECT_EQ(v.out.find("Write FLASH"), std::string::npos);  // verify never writes
    }
    // The chip is unchanged by the verifies.
    ASSERT_EQ(Cli({"--sim", "--sim-flash", flash, "read", "--chip", "NRF24LE1_16K", "back.bin"}).code, 0);
    EXPECT_EQ(ReadBytes(P("back.bin")), Flashed(image, 16384));
}

// write --all reads its image once: a file rewritten while four paced programmers are written
// gives every chip the same bytes, the ones read back and compared; each programmer's log lines
// name it.
TEST_F(CliProgramTest, AllProgrammersGetTheOneImageLoadedAtTheStart) {
    const Bytes first = Pattern(16384, 21);
    WriteBytes(P("fw.bin"), first);
    fs::create_directory(P("chips"));
    std::atomic<bool> stop{false};
    std::atomic<unsigned> versions{0};
    std::thread rewriter([&] {
        // Rewrites the file again and again while the run goes on.
        // (On Windows a rename onto a file that the run has open fails; that version is skipped.)
        for (unsigned i = 0; !stop; ++i) {
            WriteBytes(P("fw.bin.new"), Pattern(16384, 100 + i));
            std::error_code failed;
            fs::rename(P("fw.bin.new"), P("fw.bin"), failed);
            if (!failed) versions = i + 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const CliRun r = Cli({"--json", "--sim", "swap:1", "--sim-paced", "--sim-count", "4", "--sim-flash-dir",
                          P("chips").string(), "write", "--chip", "NRF24LE1_16K", "--all", "--readback", "fw.bin"});
    stop = true;
    rewriter.join();
    EXPECT_EQ(r.code, 0) << r.all();
    int results = 0;
    std::set<std::string> loggedBy;
    for (const auto& v : JsonValues(r.out)) {
        if (v["type"].asString() == "log" && v.isMember("device")) loggedBy.insert(v["device"].asString());
        if (v["type"].asString() != "result") continue;
        ++results;
        EXPECT_TRUE(v["ok"].asBool()) << v.toStyledString();
    }
    EXPECT_EQ(results, 4);
    EXPECT_EQ(loggedBy.size(), 4u);
    // Whichever version the run read, every chip holds that one.
    std::vector<Bytes> chips;
    for (const auto& entry : fs::directory_iterator(P("chips"))) chips.push_back(ReadBytes(entry.path()));
    ASSERT_EQ(chips.size(), 4u);
    for (const Bytes& chip : chips) EXPECT_EQ(chip, chips[0]);
    bool known = chips[0] == first;
    for (unsigned i = 0; i < versions && !known; ++i) known = chips[0] == Pattern(16384, 100 + i);
    EXPECT_TRUE(known);
    EXPECT_GT(versions.load(), 10u);  // the file really changed during the run
}

// detect --json names the programmer and what it answered; a link that stops taking reports in
// the middle of the image is a device failure, never a success.
TEST_F(CliProgramTest, DetectReportsTheProgrammerAndFailedLinkWritesFailTheWrite) {
    const CliRun d = Cli({"--json", "--sim", "detect"});
    ASSERT_EQ(d.code, 0) << d.all();
    const Json::Value result = JsonValues(d.out).back();
    EXPECT_EQ(result["path"].asString(), "sim:programmer:1");
    EXPECT_EQ(result["serial"].asString(), "SIM0001");
    EXPECT_TRUE(result["chip_present"].asBool());
    EXPECT_TRUE(result["firmware"].isInt());
    EXPECT_TRUE(result["version"].isInt());
    const CliRun nochip = Cli({"--json", "--sim", "nochip", "detect"});
    EXPECT_EQ(nochip.code, 6);
    EXPECT_FALSE(JsonValues(nochip.out).back()["chip_present"].asBool());
    // A programmer the user may not write to: the log line and the result say what to do.
    const CliRun readonly = Cli({"--sim", "readonly", "detect"});
    EXPECT_EQ(readonly.code, 4);
    EXPECT_THAT(readonly.out, HasSubstr("opened for reading only, nothing can be sent to it (no permission"));
    EXPECT_THAT(readonly.err, HasSubstr("plugdev group"));

    WriteBytes(P("a.bin"), Pattern(16384, 2));
    for (const char* verify : {"--no-verify", "--readback"}) {
        const CliRun w = Cli({"--sim", "refuse-out", "write", "--chip", "NRF24LE1_16K", verify, "a.bin"});
        EXPECT_EQ(w.code, 6) << w.all();
        EXPECT_THAT(w.all(), HasSubstr("failed after 2048 of 16384 bytes"));
        EXPECT_THAT(w.out, Not(HasSubstr("Write finish")));
    }
}

// The same words for a programmer that another program holds, with one or with all.
TEST_F(CliProgramTest, ABusyProgrammerIsNamedTheSameWayWithAndWithoutAll) {
    WriteBytes(P("a.bin"), Pattern(64, 1));
    const CliRun one = Cli({"--sim", "busy", "--sim-count", "2", "write", "--chip", "NRF24LE1_16K", "a.bin"});
    const CliRun all = Cli({"--sim", "busy", "--sim-count", "2", "write", "--chip", "NRF24LE1_16K", "--all", "a.bin"});
    EXPECT_EQ(one.code, 4);
    EXPECT_EQ(all.code, 4);
    EXPECT_THAT(one.err, HasSubstr("in use by another program"));
    EXPECT_THAT(all.err, HasSubstr("in use by another program"));
}

// No run writes over its own source: a BIN copy whose name leads to the HEX file, a dump or an
// image that is the simulated chip's own file.
TEST_F(CliProgramTest, NoOutputIsWrittenOverTheRunsOwnFiles) {
    const Bytes image = Pattern(4096, 22);
    const std::string hex = HexText({{0, image}});
    WriteText(P("fw.hex"), hex);
    const std::string flash = P("chip.flash").string();
    struct Case {
        const char* what;
        std::function<void(std::error_code&)> link;  // makes fw.hex.bin another name of fw.hex
    };
    std::vector<Case> cases = {
        {"hard link", [&](std::error_code& e) { fs::create_hard_link(P("fw.hex"), P("fw.hex.bin"), e); }}};
    // Wine has no symbolic links.
    if (!test::OnWindows())
        cases.push_back({"symbolic link", [&](std::error_code& e) { fs::create_symlink("fw.hex", P("fw.hex.bin"), e); }});
    for (const Case& c : cases) {
        fs::remove(P("fw.hex.bin"));
        std::error_code error;
        c.link(error);
        if (error) {
            ASSERT_TRUE(test::OnWindows()) << c.what << ": " << error.message();
            continue;  // a file system without that kind of link
        }
        const CliRun w = Cli({"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "fw.hex", "--readback"});
        EXPECT_EQ(w.code, 0) << c.what << w.all();
        EXPECT_THAT(w.err, HasSubstr("fw.hex.bin: not written")) << c.what;
        EXPECT_EQ(ReadText(P("fw.hex")), hex) << c.what;
        const CliRun r = Cli({"--sim", "--sim-flash", flash, "read", "--chip", "NRF24LE1_16K", "back.bin"});
        EXPECT_EQ(r.code, 0) << r.all();
        EXPECT_EQ(ReadBytes(P("back.bin")), Flashed(image, 16384)) << c.what;
    }

    // The chip file as read's OUT or as the image: refused before the chip is touched.
    const Bytes chip = ReadBytes(flash);
    fs::copy_file(flash, P("chip.bin"));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--sim", "--sim-flash", flash, "read", "--chip", "NRF24LE1_16K", flash},
          std::vector<std::string>{"--sim", "--sim-flash", flash, "read", "--chip", "NRF24LE1_16K", "./chip.flash"},
          std::vector<std::string>{"--sim", "--sim-flash", "chip.bin", "write", "--chip", "NRF24LE1_16K", "chip.bin"},
          std::vector<std::string>{"--sim", "--sim-flash", "new.bin", "read", "--chip", "NRF24LE1_16K", "new.bin"}}) {
        const CliRun r = Cli(args);
        EXPECT_EQ(r.code, 2) << args.back() << r.all();
        EXPECT_THAT(r.err, HasSubstr("--sim-flash chip file")) << r.all();
    }
    EXPECT_EQ(ReadBytes(flash), chip);
    EXPECT_EQ(ReadBytes(P("chip.bin")), chip);
    EXPECT_FALSE(fs::exists(P("new.bin")));
}

// A dump on standard output is the chip's bytes and nothing else; the tool's lines (log,
// progress, result, in plain text or JSON) go to standard error.
TEST_F(CliProgramTest, ReadToStandardOutputIsExactlyTheFlash) {
    const Bytes image = Pattern(5000, 23);
    WriteBytes(P("fw.bin"), image);
    const std::string flash = P("chip.flash").string();
    ASSERT_EQ(Cli({"--sim", "--sim-flash", flash, "write", "--chip", "NRF24LE1_16K", "fw.bin"}).code, 0);
    const Bytes expected = Flashed(image, 16384);
    // /dev/stdout where the system has one (not on Windows, although Wine shows the host's).
    std::vector<std::string> outs = {"-"};
    if (!test::OnWindows()) outs.emplace_back("/dev/stdout");
    for (const std::string& out : outs)
        for (const bool json : {false, true}) {
            std::vector<std::string> args = {"--sim", "--sim-flash", flash, "read", "--chip", "NRF24LE1_16K", out};
            if (json) args.insert(args.begin(), "--json");
            const CliRun r = Cli(args);
            EXPECT_EQ(r.code, 0) << out << json << r.err;
            EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), expected) << out << " json " << json << ": " << r.out.size();
            EXPECT_THAT(r.err, HasSubstr(json ? "\"type\":\"result\"" : "read: OK")) << out << json;
        }
    EXPECT_FALSE(fs::exists(P("-")));
}

}  // namespace
}  // namespace quillon
