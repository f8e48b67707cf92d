// quillon-cli against hostile paths, signals and odd inputs, through the real binary: what it
// refuses, what it leaves behind, the exit code it ends with, and that every --json line it prints
// is one object of the documented shape.
#include <json/json.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fs/Durable.h"
#include "fs/Files.h"
#include "support/Process.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kExample = std::string(QUILLON_SOURCE_DIR) + "/examples/blink/blink.ihx";

using CliRun = test::ProcessResult;

std::string ReadAll(const fs::path& p) { return test::ReadFileBytes(test::Utf8(p)); }

std::vector<Json::Value> JsonLines(const std::string& text) {
    std::vector<Json::Value> values;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        Json::Value v;
        std::istringstream s(line);
        std::string errors;
        EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), s, &v, &errors)) << errors << ": " << line;
        values.push_back(v);
    }
    return values;
}

// Every line an object with a known type; exactly one result, last, in the versioned shape.
Json::Value CheckJsonRun(const CliRun& r, const std::string& op) {
    const auto values = JsonLines(r.out);
    EXPECT_FALSE(values.empty()) << r.all();
    if (values.empty()) return {};
    int results = 0;
    for (const auto& v : values) {
        const std::string type = v["type"].asString();
        EXPECT_TRUE(type == "log" || type == "progress" || type == "warning" || type == "result" || type == "device")
            << v.toStyledString();
        results += type == "result";
    }
    EXPECT_EQ(results, 1) << r.out;
    const Json::Value& last = values.back();
    EXPECT_EQ(last["type"].asString(), "result");
    EXPECT_EQ(last["schema"].asInt(), 1);
    EXPECT_EQ(last["op"].asString(), op);
    EXPECT_EQ(last["exit"].asInt(), r.code);
    EXPECT_EQ(last["ok"].asBool(), r.code == 0);
    EXPECT_FALSE(last["message"].asString().empty());
    return last;
}

class CliHardeningTest : public ::testing::Test {
protected:
    void SetUp() override { fs::copy_file(kExample, P("fw.hex")); }
    std::string P(const std::string& name) const { return scratch_ / name; }
    void Put(const std::string& name, const std::string& text) const { test::WriteFileBytes(P(name), text); }

    // Starts quillon-cli in the scratch directory; the test may watch its output while it runs.
    std::unique_ptr<test::Process> Start(const std::vector<std::string>& args) const {
        test::ProcessOptions options;
        options.workingDir = scratch_.str();
        return std::make_unique<test::Process>(QUILLON_CLI_PATH, args, options);
    }

    CliRun Cli(const std::vector<std::string>& args) const { return Start(args)->Finish(); }

    // Names in the scratch directory other than the test's own.
    std::vector<std::string> Hidden() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) {
            const std::string n = e.path().filename().string();
            if (n[0] == '.' || n.find(".~") != std::string::npos) names.push_back(n);
        }
        return names;
    }

    test::ScratchDir scratch_{"quillon-hard"};
    const fs::path dir_ = scratch_.path();
};

// --- files and paths ------------------------------------------------------------------------------

TEST_F(CliHardeningTest, InputsThatAreNotRegularFilesAreRefusedAtOnce) {
    // Longer than the HEX text of any image of 1 KiB can be; sparse, so nothing is stored.
    { std::ofstream(P("long.hex")); }
    fs::resize_file(P("long.hex"), 8u << 20);
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"hex2bin", "--max-size", "1k", "long.hex", "o.bin"}, 3, "--max-size"},
        {{"hex2bin", "missing.hex", "o.bin"}, 3, "No such file or directory"},
        {{"hex2bin", ".", "o.bin"}, 3, ".: is a directory"},
        {{"--sim", "write", "--chip", "NRF24LE1_16K", "."}, 3, "cannot open .: is a directory"},
        {{"--sim", "write", "--chip", "NRF24LE1_16K", "long.hex"}, 3, "longer than"},
        // The reason reaches the result line, not only the (suppressible) log.
        {{"--quiet", "--sim", "write", "--chip", "NRF24LE1_16K", "corrupt.hex"}, 3, "Hex file checksum error."},
        {{"--quiet", "--sim", "write", "--chip", "NRF24LE1_16K", "huge.bin"}, 3, "larger than the 524288-byte"},
    };
    { std::ofstream(P("huge.bin")); }
    fs::resize_file(P("huge.bin"), 524289);
    Put("corrupt.hex", ":0400000001020304F1\n:00000001FF\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back() + " " + c.args[c.args.size() - 2]);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--json");
        const CliRun r = Cli(args);
        EXPECT_EQ(r.code, c.code) << r.all();
        EXPECT_THAT(r.out, HasSubstr(c.says));
        CheckJsonRun(r, c.args[0] == "hex2bin" ? "hex2bin" : "write");
        EXPECT_THAT(r.out, Not(HasSubstr("HID Opened")));
    }
    EXPECT_FALSE(fs::exists(P("o.bin")));
}

TEST_F(CliHardeningTest, FifosAndDevicesAreRefusedAsInputs) {
    QUILLON_SKIP_ON_WINDOWS("FIFOs and symbolic links to /dev/zero are POSIX nodes (and Wine has no symlinks)");
    ASSERT_TRUE(test::MakeFifo(P("pipe.hex")));
    fs::create_symlink("/dev/zero", P("zero.hex"));
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"hex2bin", "pipe.hex", "o.bin"}, "pipe.hex: is a FIFO"},
        {{"hex2bin", "zero.hex", "o.bin"}, "zero.hex: is a character device"},
        {{"--sim", "write", "--chip", "NRF24LE1_16K", "pipe.hex"}, "cannot open pipe.hex: is a FIFO"},
        {{"--sim", "write", "--chip", "NRF24LE1_16K", "zero.hex"}, "cannot open zero.hex: is a character device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back() + " " + c.args[c.args.size() - 2]);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--json");
        const CliRun r = Cli(args);
        EXPECT_EQ(r.code, 3) << r.all();
        EXPECT_THAT(r.out, HasSubstr(c.says));
        CheckJsonRun(r, c.args[0] == "hex2bin" ? "hex2bin" : "write");
        EXPECT_THAT(r.out, Not(HasSubstr("HID Opened")));
    }
    EXPECT_FALSE(fs::exists(P("o.bin")));

    // A FIFO as the simulated chip file is refused before the programmer is touched.
    const CliRun chip = Cli({"--sim", "--sim-flash", "pipe.hex", "detect"});
    EXPECT_EQ(chip.code, 1) << chip.all();
    EXPECT_THAT(chip.all(), HasSubstr("FIFO"));
    EXPECT_THAT(chip.all(), Not(HasSubstr("HID Opened")));
    CheckJsonRun(Cli({"--json", "--sim", "--sim-flash", "pipe.hex", "detect"}), "detect");
}

TEST_F(CliHardeningTest, OutputsFollowTheirKind) {
    const CliRun first = Cli({"hex2bin", "fw.hex", "fw.bin"});
    ASSERT_EQ(first.code, 0) << first.all();
    const std::string image = ReadAll(P("fw.bin"));
    ASSERT_EQ(image.size(), 160u);

    // Device: written, still a device. As root the test makes its own null device, so that a
    // faulty build cannot replace the system's; without privileges /dev is not writable anyway.
    if (const std::string null = test::NullDeviceFor(dir_.string()); !null.empty()) {
        EXPECT_EQ(Cli({"hex2bin", "fw.hex", null}).code, 0);
        EXPECT_TRUE(test::IsCharacterDevice(null));
        fs::remove(P("null"));
    }

    // Standard output, by "-": the image and nothing else on it.
    const CliRun dash = Cli({"hex2bin", "fw.hex", "-"});
    EXPECT_EQ(dash.code, 0) << dash.err;
    EXPECT_EQ(dash.out, image);
    EXPECT_THAT(dash.err, HasSubstr("160 bytes"));

    // Directory: refused and untouched, with the reason.
    fs::create_directory(P("dir.bin"));
    const CliRun dir = Cli({"hex2bin", "fw.hex", "dir.bin"});
    EXPECT_EQ(dir.code, 1);
    EXPECT_THAT(dir.err, HasSubstr("Is a directory"));
    EXPECT_TRUE(fs::is_directory(P("dir.bin")));

    // The source itself: refused, the HEX file kept.
    const std::string hex = ReadAll(P("fw.hex"));
    const CliRun same = Cli({"hex2bin", "fw.hex", "fw.hex"});
    EXPECT_EQ(same.code, 2) << same.all();
    EXPECT_THAT(same.err, HasSubstr("same file"));
    EXPECT_EQ(ReadAll(P("fw.hex")), hex);
    EXPECT_TRUE(Hidden().empty());
}

TEST_F(CliHardeningTest, LinkedOutputsAreFollowed) {
    QUILLON_SKIP_ON_WINDOWS("symbolic links are not implemented by Wine");
    ASSERT_EQ(Cli({"hex2bin", "fw.hex", "fw.bin"}).code, 0);
    const std::string image = ReadAll(P("fw.bin"));
    // The BIN copy beside a loaded HEX file follows the same rules.
    fs::create_symlink("copy-target.bin", P("fw.hex.bin"));
    const CliRun load = Cli({"--sim", "write", "--chip", "NRF24LE1_16K", "fw.hex"});
    EXPECT_EQ(load.code, 0) << load.all();
    EXPECT_TRUE(fs::is_symlink(P("fw.hex.bin")));
    EXPECT_EQ(ReadAll(P("copy-target.bin")), image);

    // The source itself through a link: refused, the HEX file kept.
    const std::string hex = ReadAll(P("fw.hex"));
    fs::create_symlink("fw.hex", P("alias.bin"));
    const CliRun same = Cli({"hex2bin", "fw.hex", "alias.bin"});
    EXPECT_EQ(same.code, 2) << same.all();
    EXPECT_THAT(same.err, HasSubstr("same file"));
    EXPECT_EQ(ReadAll(P("fw.hex")), hex);
    EXPECT_TRUE(Hidden().empty());
}

TEST_F(CliHardeningTest, NamesThatAreNotUtf8StayExact) {
    QUILLON_SKIP_ON_WINDOWS("file names are UTF-16 there: a name that is not UTF-8 cannot be passed at all");
    // A read into a name that is not UTF-8: the JSON stays valid and keeps the exact bytes.
    const std::string odd = "r\xff" "d.bin";
    const CliRun read = Cli({"--json", "--sim", "read", "--chip", "NRF24LE1_16K", odd});
    ASSERT_EQ(read.code, 0) << read.all();
    const Json::Value result = CheckJsonRun(read, "read");
    EXPECT_EQ(result["output_bytes"].asString(), "72ff642e62696e");
    EXPECT_EQ(ReadAll(dir_ / odd).size(), 16384u);
    EXPECT_TRUE(Hidden().empty());
}

// --- signals --------------------------------------------------------------------------------------

TEST_F(CliHardeningTest, InterruptedWriteEndsCleanlyAndSaysSo) {
    QUILLON_SKIP_ON_WINDOWS("a console Ctrl event cannot be sent reliably to a child under Wine");
    std::string image(32768, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + 3);
    Put("big.bin", image);
    struct Case {
        test::StopSignal signal;
        int code;
    };
    for (const Case c : {Case{test::StopSignal::Interrupt, 130}, Case{test::StopSignal::Terminate, 143}}) {
        SCOPED_TRACE(c.code);
        const auto run = Start({"--json", "--sim", "lu1-32k", "--sim-paced", "--sim-flash", "chip.flash", "write",
                                "--chip", "NRF24LU1_32K", "big.bin"});
        ASSERT_TRUE(run->started());
        // The image is streaming once a progress line shows; at one report per millisecond the
        // rest of it takes about half a second.
        ASSERT_TRUE(run->WaitForOutput("\"type\":\"progress\""));
        ASSERT_TRUE(run->Send(c.signal));
        const CliRun r = run->Finish();
        EXPECT_EQ(r.code, c.code) << r.all();
        const Json::Value result = CheckJsonRun(r, "write");
        EXPECT_THAT(result["message"].asString(), HasSubstr("interrupted"));
        EXPECT_FALSE(result.isMember("checked"));
        EXPECT_THAT(r.out, Not(HasSubstr("Verify Success")));
        EXPECT_TRUE(Hidden().empty());
        // The link was closed: the next run finds the programmer free and the chip usable.
        const CliRun again = Cli({"--sim", "lu1-32k", "--sim-flash", "chip.flash", "detect"});
        EXPECT_EQ(again.code, 0) << again.all();
    }
}

TEST_F(CliHardeningTest, InterruptedConversionLeavesNothingBehind) {
    QUILLON_SKIP_ON_WINDOWS("needs a FIFO and SIGHUP, neither of which Windows has");
    // One odd line makes the tool print a warning before it writes: the signal comes after it.
    Put("odd.hex", "; made by hand\n" + ReadAll(P("fw.hex")));
    ASSERT_TRUE(test::MakeFifo(P("nobody.fifo")));
    const auto run = Start({"--json", "hex2bin", "odd.hex", "nobody.fifo"});
    ASSERT_TRUE(run->WaitForOutput("\"type\":\"warning\""));
    ASSERT_TRUE(run->Send(test::StopSignal::Hangup));
    const CliRun r = run->Finish();
    EXPECT_EQ(r.code, 129) << r.all();
    EXPECT_THAT(CheckJsonRun(r, "hex2bin")["message"].asString(), HasSubstr("interrupted"));
    EXPECT_TRUE(Hidden().empty());
}

// --- programmer, exit codes, claims ---------------------------------------------------------------

TEST_F(CliHardeningTest, ExitCodesAsDocumented) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--sim", "readonly", "detect"}, 4, "for writing"},
        {{"--sim", "busy", "detect"}, 4, "in use by another program"},
        {{"--sim-paced", "detect"}, 2, "--sim"},
        {{"--sim-flash", "c.flash", "detect"}, 2, "--sim"},
        {{"detect", "--sim-count", "2"}, 2, "--sim"},
        {{"--sim", "--sim-flash", "no/such/dir/c.flash", "detect"}, 1, "No such file or directory"},
        {{"--sim", "--sim-flash", "damaged.flash", "detect"}, 1, "damaged.flash"},
        // A missing folder and a file given for one are different mistakes.
        {{"--sim", "--sim-flash-dir", "no-such-dir", "detect"}, 1, "no-such-dir: No such file or directory"},
        {{"--sim", "--sim-flash-dir", "fw.hex", "detect"}, 1, "fw.hex is not a directory"},
    };
    Put("damaged.flash", "QSIMCHIP\x01");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const CliRun r = Cli(c.args);
        EXPECT_EQ(r.code, c.code) << r.all();
        EXPECT_THAT(r.all(), HasSubstr(c.says));
        // Settings that cannot work are refused before the programmer is touched; no case waits
        // for the watchdog.
        if (c.code == 1) {
            EXPECT_THAT(r.all(), Not(HasSubstr("HID Opened")));
        }
        EXPECT_THAT(r.all(), Not(HasSubstr("did not answer")));
        if (c.code != 2) {
            std::vector<std::string> json = c.args;
            json.insert(json.begin(), "--json");
            CheckJsonRun(Cli(json), "detect");
        }
    }
}

TEST_F(CliHardeningTest, UsageErrorsEndWithOneResultLine) {
    struct Case {
        std::vector<std::string> args;  // run with --json in front, and without it
        std::string op;
    };
    const std::vector<Case> cases = {
        {{"--sim", "bogus", "detect"}, "detect"},
        {{"--sim", "write", "--chip", "NRF24XX", "fw.hex"}, "write"},
        {{"--sim", "write", "--chip", "NRF24LE1_16K"}, "write"},
        {{"hex2bin", "fw.hex"}, "hex2bin"},
        {{"--bogus", "detect"}, "detect"},
        {{"detect", "--frob"}, "detect"},
        {{"read", "--chip"}, "read"},
        {{"--lang"}, "quillon-cli"},
        {{}, "quillon-cli"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> json = c.args;
        json.insert(json.begin(), "--json");
        SCOPED_TRACE(::testing::PrintToString(json));
        const CliRun r = Cli(json);
        EXPECT_EQ(r.code, 2) << r.all();
        EXPECT_FALSE(r.err.empty());
        CheckJsonRun(r, c.op);
        // Without --json stdout stays empty and CLI11's text, with its pointer to --help, is all.
        const CliRun plain = Cli(c.args);
        EXPECT_EQ(plain.code, 2) << plain.all();
        EXPECT_EQ(plain.out, "");
        EXPECT_THAT(plain.err, HasSubstr("--help"));
    }
    // list has a --json of its own, which counts as well.
    CheckJsonRun(Cli({"list", "--json", "--frob"}), "list");
    EXPECT_FALSE(fs::exists(P("fw.hex.bin")));
}

TEST_F(CliHardeningTest, FileNamesStartingWithADashGoAfterTheMarker) {
    const std::string image = ReadAll(std::string(QUILLON_SOURCE_DIR) + "/examples/blink/blink.bin");
    Put("-lead.bin", image);
    fs::copy_file(kExample, P("-lead.hex"));

    // After "--" the names are positionals of the subcommand: the image reaches the chip.
    const CliRun w = Cli({"--sim", "--sim-flash", "chip.flash", "write", "--chip", "NRF24LE1_16K", "--", "-lead.bin"});
    ASSERT_EQ(w.code, 0) << w.all();
    ASSERT_EQ(Cli({"--sim", "--sim-flash", "chip.flash", "read", "--chip", "NRF24LE1_16K", "dump.bin"}).code, 0);
    EXPECT_EQ(ReadAll(P("dump.bin")).substr(0, image.size()), image);
    const CliRun h = Cli({"hex2bin", "--", "-lead.hex", "-out.bin"});
    EXPECT_EQ(h.code, 0) << h.all();
    EXPECT_EQ(ReadAll(P("-out.bin")), image);

    // Before it they read as options; when one of them is an existing file, the error says why.
    struct Case {
        std::vector<std::string> args;
        bool hinted;
    };
    const std::vector<Case> cases = {
        {{"--sim", "write", "--chip", "NRF24LE1_16K", "-lead.bin"}, true},
        {{"hex2bin", "-lead.hex", "o.bin"}, true},
        {{"--sim", "write", "--chip", "NRF24LE1_16K", "-none.bin"}, false},
        {{"--sim", "write", "--chip", "NRF24LE1_16K", "-lead.bin", "fw.hex"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const CliRun plain = Cli(c.args);
        EXPECT_EQ(plain.code, 2) << plain.all();
        EXPECT_EQ(plain.err.find("put it after --") != std::string::npos, c.hinted) << plain.err;
        std::vector<std::string> json = c.args;
        json.insert(json.begin(), "--json");
        const CliRun r = Cli(json);
        const std::string message = CheckJsonRun(r, c.args[0] == "hex2bin" ? "hex2bin" : "write")["message"].asString();
        EXPECT_EQ(message.find("put it after --") != std::string::npos, c.hinted) << message;
    }
    EXPECT_FALSE(fs::exists(P("o.bin")));
}

TEST_F(CliHardeningTest, ChipFileIsOneChip) {
    ASSERT_EQ(Cli({"--sim", "--sim-flash", "chip.flash", "detect"}).code, 0);
    // Another run holds the chip: this one finds the programmer busy.
    ASSERT_TRUE(fs::exists(P("chip.flash.lock")));
    auto lock = LockedFile::TryOpen(P("chip.flash.lock"), 0);
    ASSERT_NE(lock, nullptr);
    Put("a.bin", std::string(64, 'a'));
    const CliRun busy = Cli({"--json", "--sim", "--sim-flash", "chip.flash", "write", "--chip", "NRF24LE1_16K", "a.bin"});
    EXPECT_EQ(busy.code, 4) << busy.all();
    EXPECT_THAT(CheckJsonRun(busy, "write")["message"].asString(), HasSubstr("in use by another program"));
    lock.reset();
    EXPECT_EQ(Cli({"--sim", "--sim-flash", "chip.flash", "write", "--chip", "NRF24LE1_16K", "a.bin"}).code, 0);
}

TEST_F(CliHardeningTest, ResultsClaimOnlyWhatWasChecked) {
    Put("zeros.bin", std::string(256, '\0'));
    Put("ones.bin", std::string(256, '\x5A'));
    const std::vector<std::string> sim = {"--json", "--sim", "--sim-flash", "chip.flash"};
    const auto write = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = sim;
        args.insert(args.end(), {"write", "--chip", "NRF24LE1_16K"});
        args.insert(args.end(), extra.begin(), extra.end());
        return Cli(args);
    };
    const CliRun plain = write({"zeros.bin"});
    ASSERT_EQ(plain.code, 0) << plain.all();
    const Json::Value ok = CheckJsonRun(plain, "write");
    EXPECT_EQ(ok["checked"].asString(), "transfer checksum");
    EXPECT_THAT(ok["message"].asString(), HasSubstr("transfer checksum"));
    EXPECT_THAT(ok["message"].asString(), Not(HasSubstr("verified by the programmer")));

    // Over a programmed chip without an erase: the transfer checksum still matches, but the
    // flash holds old AND new. The read-back that --no-erase brings finds it.
    const CliRun noErase = write({"--no-erase", "ones.bin"});
    EXPECT_EQ(noErase.code, 7) << noErase.all();
    EXPECT_THAT(CheckJsonRun(noErase, "write")["message"].asString(), HasSubstr("read-back differs at 0x0000"));

    // Without the read-back it succeeds, and says what it did not check.
    const CliRun unchecked = write({"--no-erase", "--no-readback", "ones.bin"});
    EXPECT_EQ(unchecked.code, 0) << unchecked.all();
    EXPECT_THAT(CheckJsonRun(unchecked, "write")["message"].asString(), HasSubstr("flash content not checked"));
    EXPECT_THAT(unchecked.out, HasSubstr("\"type\":\"warning\",\"message\":\"--no-erase: the flash content was not checked"));
    EXPECT_EQ(write({"--no-erase", "--no-readback", "--readback", "ones.bin"}).code, 2);

    // A read-protected chip reads as zeros: the dump is flagged as not the chip's content.
    ASSERT_EQ(write({"--protect", "ones.bin"}).code, 0);
    std::vector<std::string> read = sim;
    read.insert(read.end(), {"read", "--chip", "NRF24LE1_16K", "dump.bin"});
    const CliRun dump = Cli(read);
    EXPECT_EQ(dump.code, 0) << dump.all();
    EXPECT_THAT(dump.out, HasSubstr("read-protected"));
    CheckJsonRun(dump, "read");
}

TEST_F(CliHardeningTest, OddHexFilesWarnWithLineNumbers) {
    const std::string hex = ReadAll(P("fw.hex"));
    Put("odd.hex", "; header\n" + hex.substr(0, hex.find('\n')) + "00\n" + hex.substr(hex.find('\n') + 1));
    const CliRun h = Cli({"--json", "hex2bin", "odd.hex", "odd.bin"});
    EXPECT_EQ(h.code, 0) << h.all();
    std::vector<std::pair<std::string, int>> warnings;
    for (const auto& v : JsonLines(h.out))
        if (v["type"].asString() == "warning") warnings.emplace_back(v["message"].asString(), v["line"].asInt());
    ASSERT_EQ(warnings.size(), 2u) << h.out;
    EXPECT_THAT(warnings[0].first, HasSubstr("after a record's checksum"));
    EXPECT_EQ(warnings[0].second, 2);
    EXPECT_THAT(warnings[1].first, HasSubstr("text outside the records"));
    EXPECT_EQ(warnings[1].second, 1);
    CheckJsonRun(h, "hex2bin");
    EXPECT_EQ(ReadAll(P("odd.bin")), ReadAll(std::string(QUILLON_SOURCE_DIR) + "/examples/blink/blink.bin"));

    const CliRun w = Cli({"--sim", "write", "--chip", "NRF24LE1_16K", "odd.hex"});
    EXPECT_EQ(w.code, 0) << w.all();
    EXPECT_THAT(w.err, HasSubstr("warning: line 2: hex digits after a record's checksum"));
    const CliRun quiet = Cli({"--quiet", "hex2bin", "odd.hex", "odd.bin"});
    EXPECT_EQ(quiet.code, 0);
    EXPECT_THAT(quiet.all(), Not(HasSubstr("warning")));
}

TEST_F(CliHardeningTest, EveryCommandSpeaksTheSameJson) {
    const CliRun list = Cli({"--json", "--sim", "mixed", "list"});
    EXPECT_EQ(list.code, 0) << list.all();
    int devices = 0;
    for (const auto& v : JsonLines(list.out)) devices += v["type"].asString() == "device";
    EXPECT_GT(devices, 0);
    EXPECT_EQ(CheckJsonRun(list, "list")["count"].asInt(), devices);
    // list's own --json also gets its result line when the run fails before the first device.
    const CliRun failed = Cli({"--sim", "--sim-flash-dir", "no-such-dir", "list", "--json"});
    EXPECT_EQ(failed.code, 1) << failed.all();
    CheckJsonRun(failed, "list");
    const CliRun h = Cli({"--json", "hex2bin", "fw.hex", "fw.bin"});
    EXPECT_EQ(CheckJsonRun(h, "hex2bin")["bytes"].asInt(), 160);
}

// A chip file that cannot be saved (here: a file-size limit, as a full disk would) fails the
// run before its result says ok; the chip file keeps the chip it had.
TEST_F(CliHardeningTest, ASimulatedChipThatCannotBeSavedFailsTheWrite) {
    QUILLON_SKIP_ON_WINDOWS("the file-size limit is set through the POSIX shell");
    ASSERT_EQ(Cli({"--sim", "--sim-flash", "chip.sim", "write", "--chip", "NRF24LE1_16K", "fw.hex"}).code, 0);
    const std::string before = ReadAll(P("chip.sim"));
    std::string image(16384, '\x5A');
    Put("full.bin", image);
    // The limit (8 KiB) is below the chip file's size; SIGXFSZ ignored, so the write fails with
    // EFBIG instead of ending the process.
    test::ProcessOptions options;
    options.workingDir = scratch_.str();
    for (const bool json : {false, true}) {
        std::vector<std::string> args = {"-c", "ulimit -f 16 && trap '' XFSZ && exec \"$0\" \"$@\"", QUILLON_CLI_PATH,
                                         "--sim", "--sim-flash", "chip.sim", "write", "--chip", "NRF24LE1_16K",
                                         "full.bin", "--readback"};
        if (json) args.push_back("--json");
        const CliRun r = test::RunProcess("sh", args, options);
        EXPECT_EQ(r.code, 1) << r.all();
        EXPECT_THAT(r.all(), HasSubstr("unusable --sim-flash file"));
        EXPECT_THAT(r.out, Not(HasSubstr("write: OK")));
        if (json) {
            EXPECT_EQ(CheckJsonRun(r, "write")["ok"].asBool(), false);
        }
        EXPECT_EQ(ReadAll(P("chip.sim")), before);
    }
    // The chip file still holds the first image, as the next run sees it.
    EXPECT_EQ(Cli({"--sim", "--sim-flash", "chip.sim", "verify", "--chip", "NRF24LE1_16K", "fw.hex"}).code, 0);
}

}  // namespace
}  // namespace quillon
