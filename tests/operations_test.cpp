// The programming operations on the simulated programmer, with the watchdog on a fake clock:
// detect, read, write and their failure paths and results, the programmer search and hot-plug,
// the control setters, and image loading.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "core/UiHost.h"
#include "support/Bytes.h"
#include "support/ManualUiHost.h"
#include "log/Log.h"
#include "ops/Operations.h"
#include "sim/SimPlatform.h"
#include "support/FakeHidPlatform.h"
#include "support/Process.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What the view was told, one entry per call, in order.
enum class Seen { LinkOpened, LinkClosed, LinkError, Identified, ReadComplete, WriteStreamed, Verified, FailureReply,
                  Timeout, Refused };
struct SeenEvent {
    Seen outcome;
    std::uint32_t a = 0;  // Identified: chip present; ReadComplete/WriteStreamed: bytes; Verified: agree;
                          // FailureReply: reply byte; Timeout: offset; Refused: the refusal
    std::uint32_t b = 0;  // Identified: echo matched; Timeout: length
};

// Collects log lines (they come from the reader thread too) and the news the view receives.
class Fixture : public ::testing::Test, public OpsView {
protected:
    void SetUp() override {
        Language = "en";
        SetLogSink([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line.substr(line.find("]  ") + 3));
        });
    }
    void TearDown() override {
        ops_.reset();
        SetLogSink(nullptr);
        Language = "en";
    }

    void linkChanged(LinkEvent e) override {
        events_.push_back({e == LinkEvent::Opened   ? Seen::LinkOpened
                           : e == LinkEvent::Closed ? Seen::LinkClosed
                                                    : Seen::LinkError});
    }
    void identified(const ProgrammerInfo& p) override {
        events_.push_back({Seen::Identified, p.chipPresent ? 1u : 0u, p.echoOk ? 1u : 0u});
    }
    void readDone(std::uint32_t bytes) override { events_.push_back({Seen::ReadComplete, bytes}); }
    void streamDone(std::uint32_t bytes) override { events_.push_back({Seen::WriteStreamed, bytes}); }
    void verifyOutcome(bool agree) override { events_.push_back({Seen::Verified, agree ? 1u : 0u}); }
    void failureReply(std::uint8_t reply) override { events_.push_back({Seen::FailureReply, reply}); }
    void timedOut(std::uint32_t offset, std::uint32_t length) override {
        events_.push_back({Seen::Timeout, offset, length});
    }
    void refused(OpsRefusal why) override { events_.push_back({Seen::Refused, static_cast<std::uint32_t>(why)}); }
    void controlsChanged(const OpsControls& c) override {
        controls_ = c;
        ++controlsChanges_;
    }
    void finished(const OpsResult& r) override {
        EXPECT_TRUE(host_.onUiThread());
        results_.push_back(r);
    }
    void error(const std::string& message) override { errors_.push_back(message); }
    void loadedSize(std::size_t bytes) override { loadedSize_ = bytes; }

    sim::SimPlatform& Sim() { return *sim_; }
    Operations& Ops() { return *ops_; }

    void Start(const std::string& scenario = "default", int programmers = 1) {
        sim::SimOptions options;
        options.scenario = scenario;
        options.programmers = programmers;
        ops_.reset();  // it holds on to the platform it was given
        sim_ = sim::SimPlatform::fromOptions(options);
        ops_ = std::make_unique<Operations>(host_, *sim_, this);
    }

    // Runs posted tasks until pred holds; the reader thread works in real time, so this waits
    // (bounded) for it, while the watchdog only moves with host_.advance().
    bool Until(const std::function<bool()>& pred) { return host_.runUntil(pred); }
    bool UntilEvent(Seen outcome) {
        return Until([&] {
            for (const auto& e : events_)
                if (e.outcome == outcome) return true;
            return false;
        });
    }
    const SeenEvent* Find(Seen outcome) const {
        for (const auto& e : events_)
            if (e.outcome == outcome) return &e;
        return nullptr;
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool HasLine(const std::string& text) {
        for (const auto& l : Lines())
            if (l == text) return true;
        return false;
    }
    int CountLine(const std::string& text) {
        int n = 0;
        for (const auto& l : Lines()) n += l == text;
        return n;
    }
    void ClearLines() {
        std::lock_guard lock(mutex_);
        lines_.clear();
        events_.clear();
        results_.clear();
    }
    // Opens the programmer and waits for its answer to the connect block.
    void Connect() {
        Ops().searchProgrammer();
        ASSERT_TRUE(Ops().linkOpen());
        ASSERT_TRUE(UntilEvent(Seen::Identified));
    }
    std::string WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    std::string WriteText(const std::string& name, const std::string& text) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    int CommandsWithOpcode(std::uint8_t opcode) {
        int n = 0;
        for (const auto& p : Sim().commandLog(Sim().programmerPath(0))) n += p[0] == opcode;
        return n;
    }

    ManualUiHost host_;
    std::unique_ptr<sim::SimPlatform> sim_;
    std::unique_ptr<Operations> ops_;
    std::vector<SeenEvent> events_;
    std::vector<OpsResult> results_;
    std::vector<std::string> errors_;
    OpsControls controls_;
    int controlsChanges_ = 0;
    std::size_t loadedSize_ = 0;
    std::mutex mutex_;
    std::vector<std::string> lines_;
    test::ScratchDir scratch_{"quillon-ops"};
    const fs::path dir_ = scratch_.path();
};

std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed = 7) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * 31 + seed) ^ (i >> 8));
    return v;
}

// Intel HEX text of bytes from address 0.
std::string HexOf(const std::vector<std::uint8_t>& data) { return test::IntelHexText({{0, data}}); }

// --- the search and detect ------------------------------------------------------------------

TEST_F(Fixture, SearchOpensGreetsAndConnectsInOrderThenDetectStopsTheWatchdog) {
    Start();
    Connect();
    const auto lines = Lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "HID Opened");
    EXPECT_EQ(lines[1], "Programer is connected!Quillon Sim Programmer SIM0001");
    EXPECT_EQ(lines[2], "连接编程器");
    EXPECT_EQ(lines[3], "Programer Communication is   OK：firmware:1 version:2 ");
    EXPECT_EQ(lines[4], "chip dected OK");
    EXPECT_TRUE(controls_.link.programmerOpen);
    EXPECT_TRUE(controls_.link.usable);

    ClearLines();
    Ops().detect();
    EXPECT_TRUE(Ops().watchdogRunning());
    ASSERT_TRUE(UntilEvent(Seen::Identified));
    EXPECT_FALSE(Ops().watchdogRunning());
    host_.advance(5000ms);
    EXPECT_EQ(CountLine("operation timeout0  0"), 0);
}

TEST_F(Fixture, WrongEchoIsReportedAndTheChipResultStillFollows) {
    Start("bad-echo");
    Connect();
    const auto lines = Lines();
    const auto at = std::find(lines.begin(), lines.end(), "2 2 4");
    ASSERT_NE(at, lines.end());
    ASSERT_NE(at, lines.begin());
    EXPECT_EQ((at - 1)->rfind("verify fail：upload：", 0), 0u) << *(at - 1);
    EXPECT_NE((at - 1)->find("calc:：4"), std::string::npos);
    ASSERT_NE(at + 1, lines.end());
    EXPECT_EQ(*(at + 1), "chip dected OK");
    EXPECT_EQ(Find(Seen::Identified)->b, 0u);
}

TEST_F(Fixture, NoChipOnThePinsAndDetectWithoutProgrammerTimesOut) {
    Start("nochip");
    Connect();
    EXPECT_TRUE(HasLine("chip dected fail"));
    EXPECT_TRUE(HasLine("Chip is not connected! Please confirm: correct connection / module OK / good line contact"));

    Start("no-programmer");
    ClearLines();
    Ops().searchProgrammer();
    EXPECT_FALSE(Ops().linkOpen());
    EXPECT_TRUE(Lines().empty());  // nothing open, nothing to say
    Ops().detect();
    host_.advance(1999ms);
    EXPECT_FALSE(HasLine("operation timeout0  0"));
    host_.advance(1ms);
    EXPECT_TRUE(HasLine("operation timeout0  0"));
    EXPECT_FALSE(Ops().watchdogRunning());
}

TEST_F(Fixture, TwoProgrammersOnlyTheFirstIsOpenedAndASecondSearchIsSilent) {
    Start("default", 2);
    Connect();
    EXPECT_EQ(Sim().openHandleCount(Sim().programmerPath(0)), 1);
    EXPECT_EQ(Sim().openHandleCount(Sim().programmerPath(1)), 0);
    ClearLines();
    Ops().searchProgrammer();
    host_.runPending();
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(CommandsWithOpcode(1), 1);  // one connect block in all
}

TEST_F(Fixture, UnplugDuringReadClosesOnceAndTheNextSearchGreysTheList) {
    Start();
    Ops().setHotPlug(false);  // the searches are run by hand here
    Ops().selectChip(0);
    Connect();
    sim::SimFaults faults;
    faults.unplugAfterIn = 8;
    Sim().setFaults(Sim().programmerPath(0), faults);
    ClearLines();
    Ops().read();
    ASSERT_TRUE(UntilEvent(Seen::LinkClosed));
    EXPECT_FALSE(controls_.link.usable);
    EXPECT_TRUE(controls_.link.programmerOpen);  // the reader's close leaves the chip list as it was
    Ops().searchProgrammer();
    host_.runPending();
    EXPECT_FALSE(controls_.link.programmerOpen);
    EXPECT_EQ(CountLine("HID Close "), 1);
    // Plugged in again: one search opens and greets it.
    Sim().plug(Sim().programmerPath(0));
    Ops().searchProgrammer();
    EXPECT_TRUE(Ops().linkOpen());
    EXPECT_EQ(CountLine("HID Opened"), 1);
}

// The length of the last write command the programmer received (0: none).
std::uint32_t LastWriteLength(sim::SimPlatform& sim) {
    std::uint32_t length = 0;
    for (const auto& p : sim.commandLog(sim.programmerPath(0)))
        if (p[0] == OP_WRITE) length = p[8] | (p[9] << 8) | (p[10] << 16) | (std::uint32_t(p[11]) << 24);
    return length;
}

// One matcher for every search: vendor and product first, then the path or serial asked for.
TEST(ProgrammerMatch, VendorAndProductThenPathOrSerial) {
    struct Case {
        std::uint16_t vendor, product;
        const char* want;
        bool match;
    };
    const Case cases[] = {
        {0x04D8, 0x003F, "", true},          {0x04D8, 0x003E, "", false},
        {0x04D9, 0x003F, "", false},         {0x04D8, 0x003F, "/dev/hidraw3", true},
        {0x04D8, 0x003F, "SN42", true},      {0x04D8, 0x003F, "SN4", false},
        {0x04D8, 0x003F, "/dev/hidraw", false}, {0x1234, 0x003F, "SN42", false},
    };
    for (const Case& c : cases) {
        hid::TnrHidDevice d;
        d.vendorId = c.vendor;
        d.productId = c.product;
        d.devicePath = "/dev/hidraw3";
        d.serialNumberString = "SN42";
        EXPECT_EQ(MatchesProgrammer(d, c.want), c.match) << c.vendor << ":" << c.product << " " << c.want;
    }
    // The scans built on it: the simulator's programmers by serial, and other devices left out.
    sim::SimOptions options;
    options.programmers = 2;
    auto sim = sim::SimPlatform::fromOptions(options);
    const auto all = FindProgrammers(*sim);
    ASSERT_EQ(all.size(), 2u);
    const auto one = FindProgrammers(*sim, all[1].serial);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].path, all[1].path);
    EXPECT_EQ(FindProgrammers(*sim, all[0].path).size(), 1u);
    EXPECT_TRUE(FindProgrammers(*sim, "nobody").empty());
}

// --- read -----------------------------------------------------------------------------------

TEST_F(Fixture, ReadFillsTheHexViewWithTheWholeFlash) {
    Start();
    const auto flash = Pattern(16384);
    Sim().setFlash(Sim().programmerPath(0), flash);
    Ops().selectChip(1);
    Connect();
    Ops().read();
    ASSERT_TRUE(UntilEvent(Seen::ReadComplete));
    host_.runPending();
    EXPECT_TRUE(HasLine("Read FLASH"));
    EXPECT_TRUE(HasLine("开始读FLASH...16384"));
    EXPECT_TRUE(HasLine("Read finish16384 byte"));
    ASSERT_EQ(Ops().hexView().GetDataSize(), 16384u);
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), Ops().hexView().Data().begin()));
    // The result carries the chip's bytes themselves, for shells without a view.
    ASSERT_EQ(results_.size(), 1u);
    ASSERT_TRUE(results_[0].image);
    EXPECT_EQ(results_[0].image->bytes, flash);
    EXPECT_FALSE(Ops().watchdogRunning());
    EXPECT_EQ(controls_.link.progressMax, 16384u);
}

TEST_F(Fixture, StalledReadTimesOutWithOffsetAndLengthAndLeavesTheView) {
    Start("stall-read");
    Ops().selectChip(0);
    Connect();
    Ops().read();
    ASSERT_TRUE(Until([&] { return controls_.link.progressPosition == 1024; }));
    host_.runPending();
    host_.advance(1999ms);
    EXPECT_FALSE(Find(Seen::Timeout));
    host_.advance(1ms);
    EXPECT_TRUE(HasLine("operation timeout1024  16384"));
    EXPECT_EQ(Ops().hexView().GetDataSize(), 0u);
    // The engine is idle again: the programmer's next answer is taken as a reply, not as data.
    results_.clear();
    Ops().detect();
    ASSERT_TRUE(Until([&] { return !results_.empty(); }));
    EXPECT_EQ(results_[0].status, OpStatus::Ok) << results_[0].message;
}

TEST_F(Fixture, FailureReplyThenTimeoutForRead) {
    Start("fail-read");
    Ops().selectChip(0);
    Connect();
    Ops().read();
    ASSERT_TRUE(UntilEvent(Seen::FailureReply));
    EXPECT_TRUE(Until([&] { return HasLine("操作失败:85"); }));
    host_.advance(2000ms);
    EXPECT_TRUE(HasLine("operation timeout0  16384"));
}

// --- write ----------------------------------------------------------------------------------

TEST_F(Fixture, WriteBinProgramsTheChipAndVerifies) {
    Start();
    Ops().selectChip(0);
    Connect();
    const auto image = Pattern(5000);
    OpsControls c = Ops().controls();
    Ops().applySettings(c, WriteFile("fw.bin", image));
    ClearLines();
    Ops().write();
    ASSERT_TRUE(UntilEvent(Seen::Verified));
    EXPECT_EQ(Find(Seen::Verified)->a, 1u);
    const auto lines = Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Write FLASH");
    EXPECT_EQ(lines[1], "开始写FLASH");
    EXPECT_EQ(lines[2], "Write finish");
    EXPECT_EQ(lines[3], "Verify Success");
    const auto flash = Sim().flash(Sim().programmerPath(0));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    // The last packet is whole: the 40 bytes after the image come from the erased write buffer.
    EXPECT_EQ(flash[5000], 0xFF);
}

TEST_F(Fixture, RestoredChipSelectionAppliesItsFlashSize) {
    Start("lu1-32k");
    OpsControls c = Ops().controls();
    c.chipIndex = 2;
    Ops().applySettings(c, WriteFile("exact.bin", Pattern(32768)));
    EXPECT_EQ(Ops().flashSize(), 32768u);
    EXPECT_STREQ(kChips[static_cast<std::size_t>(Ops().controls().chipIndex)].name, "NRF24LU1_32K");
    Connect();
    Ops().write();
    ASSERT_TRUE(UntilEvent(Seen::Verified));
    EXPECT_FALSE(HasLine("Select file is out of chip memory"));
}

TEST_F(Fixture, WriteRefusalsSendNothingAndEndInOneRefusedResult) {
    Start("lu1-32k");
    Ops().selectChip(2);
    Connect();
    const std::pair<std::string, const char*> cases[] = {
        {(dir_ / "missing.bin").string(), "File Not Exists"},
        {"", "Please load HEX/BIN file"},  // reload off, nothing loaded
        {WriteFile("big.bin", Pattern(40000)), "Select file is out of chip memory"},
        {WriteText("bad.hex", ":0400000001020304F3\n:00000001FF\n"), "Hex file checksum error."},
    };
    for (const auto& [file, line] : cases) {
        ClearLines();
        OpsControls settings = Ops().controls();
        settings.reload = !file.empty();
        Ops().applySettings(settings, file);
        Ops().write();
        host_.advance(std::chrono::milliseconds(kWriteQuietMs * 2));
        ASSERT_EQ(results_.size(), 1u) << line;
        EXPECT_EQ(results_[0].status, OpStatus::Refused) << line;
        EXPECT_NE(Lines().back().find(line), std::string::npos) << line;
    }
    EXPECT_EQ(CommandsWithOpcode(6), 0);
    OpsControls settings = Ops().controls();
    settings.reload = true;
    Ops().applySettings(settings, WriteFile("exact.bin", Pattern(32768)));
    Ops().write();
    ASSERT_TRUE(UntilEvent(Seen::Verified));
    EXPECT_EQ(CommandsWithOpcode(6), 1);
}

TEST_F(Fixture, WriteAfterReadWithoutReloadSendsTheLoadedImageAndReadMarks) {
    Start();
    Ops().selectChip(0);
    Ops().loadChosenFile(WriteFile("small.bin", Pattern(5000)));  // the image in the write buffer
    Connect();
    Ops().read();
    ASSERT_TRUE(UntilEvent(Seen::ReadComplete));
    host_.runPending();
    Ops().setReload(false);
    Ops().write();
    ASSERT_TRUE(UntilEvent(Seen::WriteStreamed));
    const auto commands = Sim().commandLog(Sim().programmerPath(0));
    ASSERT_FALSE(commands.empty());
    const auto& cmd = commands.back();
    EXPECT_EQ(cmd[0], OP_WRITE);
    // The image loaded, not the view's size that the Read left.
    EXPECT_EQ(LastWriteLength(Sim()), 5000u);
    EXPECT_EQ((std::array<std::uint8_t, 4>{cmd[18], cmd[19], cmd[20], cmd[21]}),
              (std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(Fixture, ChecksumMismatchIsAFailedVerify) {
    Start("bad-checksum");
    Ops().selectChip(0);
    Connect();
    OpsControls c = Ops().controls();
    Ops().applySettings(c, WriteFile("fw.bin", Pattern(300)));
    Ops().write();
    ASSERT_TRUE(UntilEvent(Seen::Verified));
    EXPECT_EQ(Find(Seen::Verified)->a, 0u);
    EXPECT_TRUE(HasLine("Verify Fail"));
    EXPECT_TRUE(Until([&] {
        for (const auto& l : Lines())
            if (l.rfind("本地校验：", 0) == 0) return true;
        return false;
    }));
}

TEST_F(Fixture, WriteWithNoProgrammerOpenGoesNowhereQuietly) {
    Start("no-programmer");
    Ops().searchProgrammer();
    Ops().selectChip(0);
    OpsControls c = Ops().controls();
    Ops().applySettings(c, WriteFile("fw.bin", Pattern(100)));
    Ops().write();  // what F9 runs, enabled buttons or not
    host_.advance(5000ms);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Write FLASH");
}

TEST_F(Fixture, ChineseModeLines) {
    Start();
    Language = "cn";
    Ops().selectChip(0);
    Connect();
    EXPECT_TRUE(HasLine("编程器已连接Quillon Sim Programmer SIM0001"));
    EXPECT_TRUE(HasLine("芯片检测成功"));
    OpsControls c = Ops().controls();
    Ops().applySettings(c, WriteFile("fw.bin", Pattern(64)));
    Ops().write();
    ASSERT_TRUE(UntilEvent(Seen::Verified));
    EXPECT_TRUE(HasLine("写完成"));
    EXPECT_TRUE(HasLine("校验 成功"));
    Ops().read();
    ASSERT_TRUE(UntilEvent(Seen::ReadComplete));
    EXPECT_TRUE(HasLine("读完成16384 byte"));
}

// --- image loading --------------------------------------------------------------------------

TEST_F(Fixture, HexLoadWritesAnExactBinCopyAndAFailedConversionKeepsTheImage) {
    Start("no-programmer");
    const std::string hex = WriteText("fw.HEX", ":0400000001020304F2\n:00000001FF\n");
    // An older, longer copy must not keep its tail.
    WriteFile("fw.HEX.bin", Pattern(1000));
    Ops().loadFile(hex);
    EXPECT_TRUE(HasLine("Load File" + hex + "  4 Bytes"));
    EXPECT_EQ(loadedSize_, 4u);
    EXPECT_EQ(fs::file_size(hex + ".bin"), 4u);
    ASSERT_TRUE(Ops().image());
    EXPECT_EQ(Ops().image()->bytes, (std::vector<std::uint8_t>{1, 2, 3, 4}));

    const std::string bad = WriteText("bad.hex", ":0400000001020304F3\n:00000001FF\n");
    EXPECT_FALSE(Ops().loadImage(bad));
    EXPECT_TRUE(HasLine(bad + ": Hex file checksum error."));
    EXPECT_EQ(Ops().hexView().GetDataSize(), 4u);
    EXPECT_EQ(Ops().image()->bytes[0], 0x01);
    EXPECT_EQ(Ops().rememberedFile(), bad);
}

TEST_F(Fixture, OversizedImagesAreRefusedAndOtherKindsStayOutOfTheWriteBuffer) {
    Start("no-programmer");
    const std::string big = WriteFile("big.bin", std::vector<std::uint8_t>(CPro::kBufferSize + 1, 0x11));
    EXPECT_FALSE(Ops().loadImage(big));
    EXPECT_EQ(Ops().hexView().GetDataSize(), 0u);
    EXPECT_FALSE(Ops().image());

    const std::string txt = WriteText("notes.txt", "hello");
    Ops().loadFile(txt);
    EXPECT_EQ(Ops().hexView().GetDataSize(), 5u);
    EXPECT_FALSE(Ops().image());

    EXPECT_THROW(Ops().loadFile((dir_ / "none.bin").string()), OpsError);
}

TEST_F(Fixture, SetFlashSizeParsesAndRefuses) {
    Start("no-programmer");
    Ops().loadFile(WriteFile("fw.bin", Pattern(5000)));
    for (const char* text : {"16384", " 0x4000 ", "$4000"}) {
        Ops().setFlashSize(text);
        EXPECT_EQ(Ops().hexView().GetDataSize(), 16384u) << text;
    }
    EXPECT_EQ(Ops().hexView().ByteAt(5000), 0x00);
    ASSERT_TRUE(Ops().image());
    EXPECT_EQ(Ops().image()->bytes.size(), 5000u);
    for (const char* text : {"abc", "-5", "", "600000"}) {
        EXPECT_THROW(Ops().setFlashSize(text), OpsError) << text;
        EXPECT_EQ(Ops().hexView().GetDataSize(), 16384u);
    }
    try {
        Ops().setFlashSize("abc");
    } catch (const OpsError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
    }
}

TEST_F(Fixture, LoadWithArgumentsTakesTheSecondAsHexSilently) {
    Start("no-programmer");
    const std::string hex = WriteText("fw.hex", ":0200000055AAFF\n:00000001FF\n");
    Ops().setCommandLineArguments({"x", hex});
    Ops().loadFile(std::nullopt);
    EXPECT_EQ(Ops().hexView().GetDataSize(), 2u);
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(Ops().rememberedFile(), "");
    EXPECT_TRUE(fs::exists(hex + ".bin"));

    Ops().setCommandLineArguments({"x"});
    Ops().loadFile(std::nullopt);  // one argument only: nothing
    EXPECT_EQ(Ops().hexView().GetDataSize(), 2u);
}

// --- one image: Write sends the image value's bytes, whatever a load or the view did -----------

// A good image, then a load that fails in each way the Load dialog allows: Write (reload off)
// still sends the good image, and the result speaks of exactly the bytes sent.
TEST_F(Fixture, AFailedLoadLeavesTheImageWriteSends) {
    struct Case {
        const char* what;
        std::function<void(const std::string& file)> spoil;  // the second load
    };
    const auto good = Pattern(4096, 5);
    const Case cases[] = {
        {"checksum error",
         [this](const std::string& file) {
             std::string text = HexOf(Pattern(4096, 5));
             text[text.find('\n') - 1] ^= 1;  // one checksum digit
             WriteText(fs::path(file).filename().string(), text);
             Ops().loadChosenFile(file);
             EXPECT_TRUE(HasLine(file + ": Hex file checksum error."));
         }},
        {"typed HEX name that does not exist",
         [this](const std::string&) { Ops().loadChosenFile((dir_ / "typo.hex").string()); }},
        {"typed BIN name that does not exist",
         [this](const std::string&) {
             EXPECT_THROW(Ops().loadChosenFile((dir_ / "typo.bin").string()), OpsError);
         }},
        {"BIN over 512 KiB",
         [this](const std::string&) {
             Ops().loadChosenFile(WriteFile("huge.bin", std::vector<std::uint8_t>(CPro::kBufferSize + 1, 0x00)));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start();
        Ops().selectChip(0);
        Connect();
        Ops().setReload(false);
        const std::string file = WriteText("fw.hex", HexOf(good));
        Ops().loadChosenFile(file);
        ASSERT_TRUE(Ops().image());
        c.spoil(file);
        ASSERT_TRUE(Ops().image());
        EXPECT_EQ(Ops().image()->bytes, good);
        ClearLines();
        Ops().write();
        ASSERT_TRUE(Until([&] { return !results_.empty(); }));
        EXPECT_EQ(results_[0].status, OpStatus::Ok) << results_[0].message;
        ASSERT_TRUE(results_[0].image);
        EXPECT_EQ(results_[0].image->bytes, good);
        const auto flash = Sim().flash(Sim().programmerPath(0));
        EXPECT_TRUE(std::equal(good.begin(), good.end(), flash.begin()));
        EXPECT_EQ(LastWriteLength(Sim()), 4096u);
    }
}

// With no image before it, a failed load leaves none: Write refuses and sends nothing.
TEST_F(Fixture, AFailedFirstLoadLeavesNoImageAndWriteRefuses) {
    Start();
    Ops().selectChip(0);
    Connect();
    Ops().setReload(false);
    Ops().loadChosenFile(WriteText("bad.hex", ":0400000001020304F3\n:00000001FF\n"));
    EXPECT_FALSE(Ops().image());
    Ops().write();
    host_.runPending();
    ASSERT_EQ(results_.size(), 1u);
    EXPECT_EQ(results_[0].status, OpStatus::Refused);
    EXPECT_EQ(CommandsWithOpcode(OP_WRITE), 0);
}

// Reload ticked and the remembered file gone bad since: Write stops with the loader's message.
TEST_F(Fixture, AFailedReloadStopsTheWriteWithTheLoadersMessage) {
    Start();
    Ops().selectChip(0);
    Connect();
    const std::string file = WriteText("fw.hex", HexOf(Pattern(1024)));
    Ops().loadChosenFile(file);
    WriteText("fw.hex", ":0400000001020304F3\n:00000001FF\n");
    Ops().write();
    host_.runPending();
    ASSERT_EQ(results_.size(), 1u);
    EXPECT_EQ(results_[0].status, OpStatus::Refused);
    EXPECT_EQ(results_[0].message, file + ": Hex file checksum error.");
    EXPECT_EQ(CommandsWithOpcode(OP_WRITE), 0);
    EXPECT_EQ(Sim().imagePacketsReceived(Sim().programmerPath(0)), 0u);
}

// Set Flash Size changes the view (and Save BIN), never what Write sends: a 32 KiB file replaced
// by a 4 KiB one, reloaded once, then the size box's 32768 applied: the chip gets the 4 KiB and
// erased flash after it, not the old file's tail; a smaller size does not cut the image.
TEST_F(Fixture, SetFlashSizeNeverChangesWhatWriteSends) {
    for (const char* size : {"32768", "100"}) {
        SCOPED_TRACE(size);
        Start("lu1-32k");
        ClearLines();
        Ops().selectChip(2);
        Connect();
        const std::string file = WriteFile("fw.bin", Pattern(32768, 1));
        Ops().loadChosenFile(file);
        const auto small = Pattern(4096, 2);
        WriteFile("fw.bin", small);
        Ops().write();  // reload on: the new 4 KiB
        ASSERT_TRUE(Until([&] { return !results_.empty(); }));
        ASSERT_EQ(results_[0].status, OpStatus::Ok);
        Ops().setReload(false);
        Ops().setFlashSize(size);
        ClearLines();
        Ops().write();
        ASSERT_TRUE(Until([&] { return !results_.empty(); }));
        EXPECT_EQ(results_[0].status, OpStatus::Ok) << results_[0].message;
        EXPECT_EQ(results_[0].bytes, 4096u);
        ASSERT_TRUE(results_[0].image);
        EXPECT_EQ(results_[0].image->bytes, small);
        EXPECT_EQ(LastWriteLength(Sim()), 4096u);
        auto expected = small;
        expected.resize(32768, 0xFF);
        EXPECT_EQ(Sim().flash(Sim().programmerPath(0)), expected);
    }
}

// A session's write of an image of its own goes to the chip and leaves the window's image, view
// and remembered file alone.
TEST_F(Fixture, WritingAGivenImageLeavesTheLoadedOneAndTheView) {
    Start();
    Ops().selectChip(0);
    Connect();
    const std::string file = WriteFile("a.bin", Pattern(700, 1));
    Ops().loadChosenFile(file);
    auto other = std::make_shared<Image>();
    other->bytes = Pattern(900, 2);
    Ops().write(other);
    ASSERT_TRUE(Until([&] { return !results_.empty(); }));
    EXPECT_EQ(results_[0].status, OpStatus::Ok) << results_[0].message;
    EXPECT_EQ(results_[0].image, other);
    EXPECT_TRUE(std::equal(other->bytes.begin(), other->bytes.end(), Sim().flash(Sim().programmerPath(0)).begin()));
    EXPECT_EQ(Ops().image()->bytes, Pattern(700, 1));
    EXPECT_EQ(Ops().hexView().GetDataSize(), 700u);
    EXPECT_EQ(Ops().rememberedFile(), file);
}

// The workspace on its own: no programmer, no gate. Each failed load leaves the image and the
// view exactly as they were; resizing and a chip's bytes change the view only.
TEST(ImageWorkspace, FailedLoadsResizesAndChipReadsNeverChangeTheImage) {
    test::ScratchDir scratch("quillon-workspace");
    const auto write = [&](const std::string& name, const std::string& bytes) {
        const std::string path = (scratch.path() / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    };
    ImageWorkspace ws(4096);
    const auto good = Pattern(1000, 8);
    const std::string goodFile = write("good.bin", std::string(good.begin(), good.end()));
    ASSERT_TRUE(ws.load(goodFile).error.empty());
    struct Case {
        std::string file;
        bool errorBox;
    };
    const Case failures[] = {
        {write("bad.hex", ":0400000001020304F3\n:00000001FF\n"), false},
        {(scratch.path() / "missing.hex").string(), false},
        {(scratch.path() / "missing.bin").string(), true},
        {write("big.bin", std::string(4097, 'x')), false},
        {(scratch.path() / "missing.txt").string(), true},
    };
    for (const Case& c : failures) {
        const ImageWorkspace::Load load = ws.load(c.file);
        EXPECT_FALSE(load.error.empty()) << c.file;
        EXPECT_EQ(load.errorBox, c.errorBox) << c.file;
        ASSERT_TRUE(ws.image()) << c.file;
        EXPECT_EQ(ws.image()->bytes, good) << c.file;
        EXPECT_EQ(ws.view().GetDataSize(), 1000u) << c.file;
        EXPECT_EQ(ws.rememberedFile(), c.file);
    }
    ws.resize(2000);
    EXPECT_FALSE(ws.viewMatchesImage());
    ws.resize(10);
    EXPECT_TRUE(ws.viewMatchesImage());
    Image chip;
    chip.bytes = Pattern(4096, 9);
    ws.showChip(chip);
    EXPECT_EQ(ws.view().GetDataSize(), 4096u);
    EXPECT_FALSE(ws.viewMatchesImage());
    EXPECT_EQ(ws.image()->bytes, good);
    // A file of another kind is shown, and leaves no image to write.
    EXPECT_TRUE(ws.load(write("notes.txt", "hello")).error.empty());
    EXPECT_FALSE(ws.image());
}

// --- the gate: one operation at a time --------------------------------------------------------

// While a paced 32 KiB Write runs, every other operation, load, size change and search is refused
// or waits; the chip ends with exactly the image and the Write keeps its own result.
TEST_F(Fixture, NothingCutsIntoAWrite) {
    Start("lu1-32k");
    Sim().setPaced(true);
    Ops().selectChip(2);  // NRF24LU1_32K
    const auto image = Pattern(32768, 3);
    const std::string file = WriteFile("a.bin", image);
    Ops().loadChosenFile(file);
    Connect();
    ClearLines();
    const std::string other = WriteFile("b.bin", Pattern(300, 9));
    Ops().write();  // reloads a.bin, then streams it
    EXPECT_TRUE(controls_.link.busy);
    EXPECT_FALSE(controls_.link.usable);
    ASSERT_TRUE(Until([&] { return Ops().streaming(); }));
    Ops().read();
    Ops().detect();
    Ops().write();
    EXPECT_FALSE(Ops().loadImage(other));
    Ops().loadChosenFile(other);
    Ops().setFlashSize("64");
    Ops().searchProgrammer();  // held off until the Write's result
    ASSERT_EQ(results_.size(), 0u);  // refusals are posted
    host_.runPending();
    ASSERT_EQ(results_.size(), 3u);
    for (const auto& r : results_) EXPECT_EQ(r.status, OpStatus::Refused) << OpKindName(r.op);
    EXPECT_EQ(results_[0].op, OpKind::Read);
    EXPECT_EQ(results_[1].op, OpKind::Detect);
    EXPECT_EQ(results_[2].op, OpKind::Write);
    ASSERT_TRUE(Until([&] { return results_.size() == 4; }));
    EXPECT_EQ(results_[3].op, OpKind::Write);
    EXPECT_EQ(results_[3].status, OpStatus::Ok) << results_[3].message;
    ASSERT_TRUE(results_[3].image);
    EXPECT_EQ(results_[3].image->bytes, image);
    EXPECT_EQ(Sim().flash(Sim().programmerPath(0)), image);
    EXPECT_EQ(Ops().hexView().GetDataSize(), 32768u);
    EXPECT_EQ(CommandsWithOpcode(OP_READ), 0);
    EXPECT_FALSE(controls_.link.busy);
    EXPECT_TRUE(controls_.link.usable);
    // Once the Write has its result, loading works again.
    EXPECT_TRUE(Ops().loadImage(other));
}

// A name that is neither HEX nor BIN is shown, but a Write of it is refused before anything is
// sent; so is a Write after a chip read with no image ever loaded.
TEST_F(Fixture, WriteRefusesWhatIsNoImage) {
    for (const bool readFirst : {false, true}) {
        Start();
        ClearLines();
        Ops().selectChip(0);
        Connect();
        Ops().setReload(false);
        if (readFirst) {
            Ops().read();
            ASSERT_TRUE(Until([&] { return !results_.empty(); }));
        } else {
            Ops().loadChosenFile(WriteText("notes.txt", "hello, this is no firmware"));
        }
        ASSERT_GT(Ops().hexView().GetDataSize(), 0u);
        ClearLines();
        Ops().write();
        host_.runPending();
        ASSERT_EQ(results_.size(), 1u);
        EXPECT_EQ(results_[0].status, OpStatus::Refused);
        EXPECT_EQ(CommandsWithOpcode(OP_WRITE), 0);
        EXPECT_EQ(Sim().imagePacketsReceived(Sim().programmerPath(0)), 0u);
        ASSERT_TRUE(Find(Seen::Refused));
        EXPECT_EQ(Find(Seen::Refused)->a, static_cast<std::uint32_t>(OpsRefusal::NotAnImage));
    }
}

// A link that stops taking reports mid-stream: the stream ends there, and the result says so.
TEST_F(Fixture, FailedLinkWritesEndTheWriteAsADeviceFailure) {
    for (const bool verify : {true, false}) {
        Start("refuse-out");
        Ops().selectChip(0);
        Ops().loadChosenFile(WriteFile("a.bin", Pattern(16384)));
        Ops().setVerify(verify);
        Ops().setReload(false);
        Connect();
        ClearLines();
        Ops().write();
        ASSERT_TRUE(Until([&] { return !results_.empty(); }));
        host_.advance(std::chrono::milliseconds(kWriteQuietMs + 10));
        host_.runPending();
        ASSERT_EQ(results_.size(), 1u);
        EXPECT_EQ(results_[0].status, OpStatus::DeviceFailure) << results_[0].message;
        EXPECT_NE(results_[0].message.find("after 2048 of 16384 bytes"), std::string::npos) << results_[0].message;
        EXPECT_FALSE(HasLine("Write finish"));
        EXPECT_EQ(Sim().imagePacketsReceived(Sim().programmerPath(0)), 32u);
    }
}

// A stream belongs to the open it started on: after a close and a new open, nothing of it
// reaches the new one.
TEST_F(Fixture, AStreamNeverReachesALaterSession) {
    testing::FakeHidPlatform fake;
    fake.devices = {testing::FakeHidPlatform::Device("fake:prog", kProgrammerVendorId, kProgrammerProductId, "Prog")};
    // The first open takes the command and 20 packets, then holds every write until it is closed.
    fake.prepareDevice = [&fake](testing::FakeHidDevice& d) {
        if (fake.openedCount() == 0) d.holdWritesAfter(2 + 20);
    };
    ops_ = std::make_unique<Operations>(host_, fake, this);
    Ops().selectChip(2);
    Ops().loadChosenFile(WriteFile("a.bin", Pattern(32768)));
    Ops().setReload(false);
    Ops().searchProgrammer();
    ASSERT_EQ(fake.openedCount(), 1u);
    Ops().write();
    fake.device(0)->pushReport({0, OP_WRITE});
    ASSERT_TRUE(Until([&] { return fake.device(0)->writes().size() == 22; }));
    Ops().closeProgrammer();
    Ops().searchProgrammer();  // waits for the stream to let go
    ASSERT_TRUE(Until([&] { return fake.openedCount() == 2 && !Ops().streaming(); }));
    ASSERT_TRUE(Until([&] { return !results_.empty(); }));
    EXPECT_EQ(results_[0].status, OpStatus::DeviceFailure);
    const auto later = fake.device(1)->writes();
    ASSERT_EQ(later.size(), 1u);  // the search's connect block, nothing else
    EXPECT_EQ(std::vector<std::uint8_t>(later[0].begin(), later[0].begin() + 7),
              (std::vector<std::uint8_t>{0, 1, 0, 2, 2, 4, 0}));
    EXPECT_EQ(fake.device(0)->writes().size(), 22u);  // the stream ended at the close
    ops_.reset();  // before the platform it uses
}

// --- one result per operation -----------------------------------------------------------------

TEST_F(Fixture, EveryOperationEndsInExactlyOneResult) {
    struct Case {
        const char* scenario;
        OpKind op;
        OpStatus status;
        std::uint32_t bytes;
    };
    const Case cases[] = {
        {"default", OpKind::Detect, OpStatus::Ok, 0},
        {"nochip", OpKind::Detect, OpStatus::DeviceFailure, 0},
        {"bad-echo", OpKind::Detect, OpStatus::DeviceFailure, 0},
        {"silent", OpKind::Detect, OpStatus::Timeout, 0},
        {"no-programmer", OpKind::Detect, OpStatus::NoProgrammer, 0},
        {"default", OpKind::Read, OpStatus::Ok, 16384},
        {"stall-read", OpKind::Read, OpStatus::Timeout, 1024},
        {"fail-read", OpKind::Read, OpStatus::DeviceFailure, 0},
        {"default", OpKind::Write, OpStatus::Ok, 2563},
        {"bad-checksum", OpKind::Write, OpStatus::VerifyFailure, 2563},
        {"fail-write", OpKind::Write, OpStatus::DeviceFailure, 0},
        {"unplug-write", OpKind::Write, OpStatus::DeviceFailure, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + " " + OpKindName(c.op));
        Start(c.scenario);
        results_.clear();
        Ops().selectChip(0);
        OpsControls settings = Ops().controls();
        Ops().applySettings(settings, WriteFile("fw.bin", Pattern(2563)));
        Ops().searchProgrammer();
        if (std::string(c.scenario) != "silent" && Ops().linkOpen()) {
            ASSERT_TRUE(UntilEvent(Seen::Identified));
        }
        EXPECT_TRUE(results_.empty());  // the search's handshake is nobody's operation
        ClearLines();
        if (c.op == OpKind::Detect) Ops().detect();
        if (c.op == OpKind::Read) Ops().read();
        if (c.op == OpKind::Write) Ops().write();
        // The reader answers in real time; the watchdog only moves with the fake clock.
        if (c.status == OpStatus::Timeout || c.status == OpStatus::NoProgrammer) {
            ASSERT_TRUE(Until([&] { return controls_.link.progressPosition == c.bytes; }));
            host_.advance(std::chrono::milliseconds(kWatchdogMs));
        }
        ASSERT_TRUE(Until([&] { return !results_.empty(); }));
        EXPECT_EQ(results_[0].op, c.op);
        EXPECT_EQ(results_[0].status, c.status) << OpStatusName(results_[0].status) << ": " << results_[0].message;
        EXPECT_EQ(results_[0].verified, c.status == OpStatus::Ok && c.op == OpKind::Write);
        if (c.bytes != 0) {
            EXPECT_EQ(results_[0].bytes, c.bytes);
        }
        // A failure reply is followed by the watchdog's line, but never by a second result.
        host_.advance(std::chrono::milliseconds(kWriteQuietMs * 2));
        EXPECT_EQ(results_.size(), 1u);
        EXPECT_EQ(HasLine("operation timeout0  16384"), std::string(c.scenario) == "fail-read");
    }
}

TEST_F(Fixture, SilentWriteEndsAfterTheQuietPeriodWithoutALine) {
    Start("silent");
    Ops().searchProgrammer();
    Ops().loadFile(WriteFile("fw.bin", Pattern(300)));
    ClearLines();
    Ops().write();
    host_.runPending();
    const int changes = controlsChanges_;
    host_.advance(std::chrono::milliseconds(kWriteQuietMs - 1));
    EXPECT_TRUE(results_.empty());
    host_.advance(1ms);
    ASSERT_EQ(results_.size(), 1u);
    EXPECT_EQ(results_[0].status, OpStatus::Timeout);
    EXPECT_EQ(results_[0].message, "no answer");
    EXPECT_EQ(Lines(), std::vector<std::string>{"Write FLASH"});
    // The only control that changes is the gate's: the buttons come back.
    EXPECT_EQ(controlsChanges_, changes + 1);
    EXPECT_FALSE(controls_.link.busy);
}

// A programmer that takes the whole image but sends no checksum: a success without verification
// when verify is off, a timeout when it is on.
TEST_F(Fixture, CompleteStreamWithoutChecksumDependsOnVerify) {
    testing::FakeHidPlatform fake;
    fake.devices = {testing::FakeHidPlatform::Device("fake:1", kProgrammerVendorId, kProgrammerProductId, "P")};
    Operations ops(host_, fake, this);
    ops.searchProgrammer();
    ASSERT_TRUE(ops.loadImage(WriteFile("fw.bin", Pattern(100))));
    ops.setReload(false);
    for (const bool verify : {false, true}) {
        ops.setVerify(verify);
        ClearLines();
        ops.write();
        std::vector<std::uint8_t> ready(65, 0);
        ready[1] = OP_WRITE;
        fake.device(0)->pushReport(ready);
        ASSERT_TRUE(UntilEvent(Seen::WriteStreamed));
        ASSERT_TRUE(fake.device(0)->waitForPendingRead());  // that report is handled completely
        host_.advance(std::chrono::milliseconds(kWriteQuietMs - 1));
        EXPECT_TRUE(results_.empty());
        host_.advance(1ms);
        ASSERT_EQ(results_.size(), 1u);
        EXPECT_EQ(results_[0].status, verify ? OpStatus::Timeout : OpStatus::Ok) << verify;
        EXPECT_EQ(results_[0].bytes, 100u);
    }
}

// A second operation while one is pending is refused and changes nothing; cancel ends the
// pending one as interrupted.
TEST_F(Fixture, ASecondOperationIsRefusedAndCancelEndsThePendingOne) {
    Start("silent");
    Ops().searchProgrammer();
    Ops().detect();
    Ops().read();
    const int readCommands = CommandsWithOpcode(OP_READ);
    Ops().cancel("stopped by the user");
    Ops().cancel("nothing pending");
    host_.advance(5000ms);
    ASSERT_EQ(results_.size(), 2u);
    EXPECT_EQ(results_[0].op, OpKind::Read);
    EXPECT_EQ(results_[0].status, OpStatus::Refused);
    EXPECT_EQ(readCommands, 0);
    EXPECT_EQ(results_[1].op, OpKind::Detect);
    EXPECT_EQ(results_[1].status, OpStatus::Interrupted);
    EXPECT_EQ(results_[1].message, "stopped by the user");
    // Nothing was closed, and the watchdog still speaks, but owes nobody a result.
    EXPECT_TRUE(Ops().linkOpen());
    EXPECT_TRUE(HasLine("operation timeout0  0"));
}

// Cancel during a paced 32 KiB Read: the read still streams, so the gate stays closed (a Write
// pressed meanwhile is refused and never sent) until its last report; nothing of the cancelled
// read reaches the log, the bar or the view. Then a Write goes out and leaves the bar full.
TEST_F(Fixture, CancelDuringAReadHoldsTheGateUntilTheProgrammerIsQuietAndShowsNothingMore) {
    Start("lu1-32k");
    Sim().setPaced(true);
    Ops().selectChip(2);
    Connect();
    const auto image = Pattern(2048, 4);
    Ops().loadChosenFile(WriteFile("fw.bin", image));
    Ops().setReload(false);
    ClearLines();
    Ops().read();
    ASSERT_TRUE(Until([&] { return controls_.link.progressPosition > 0; }));
    ASSERT_LT(controls_.link.progressPosition, 32768u);
    const std::size_t linesAtCancel = Lines().size();
    Ops().cancel("cancelled by the user");
    EXPECT_EQ(controls_.link.progressPosition, 0u);  // the bar is reset at once
    EXPECT_TRUE(controls_.link.busy);
    Ops().write();  // 50 ms later, in the words: still the read's time
    host_.runPending();
    ASSERT_EQ(results_.size(), 2u);
    EXPECT_EQ(results_[0].op, OpKind::Read);
    EXPECT_EQ(results_[0].status, OpStatus::Interrupted);
    EXPECT_EQ(results_[1].op, OpKind::Write);
    EXPECT_EQ(results_[1].status, OpStatus::Refused);
    EXPECT_EQ(CommandsWithOpcode(OP_WRITE), 0);
    // Quiet again only after the read's last report.
    ASSERT_TRUE(Until([&] { return !controls_.link.busy; }));
    EXPECT_EQ(CommandsWithOpcode(OP_WRITE), 0);
    EXPECT_FALSE(Ops().watchdogRunning());
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), linesAtCancel + 1);
    EXPECT_EQ(lines.back(), "Busy: read in progress, write refused");
    EXPECT_EQ(Ops().hexView().GetDataSize(), image.size());  // still the image, not the chip
    EXPECT_EQ(controls_.link.progressPosition, 0u);
    EXPECT_TRUE(controls_.link.usable);

    ClearLines();
    Ops().write();
    ASSERT_TRUE(Until([&] { return !results_.empty(); }));
    EXPECT_EQ(results_[0].status, OpStatus::Ok) << results_[0].message;
    EXPECT_TRUE(std::equal(image.begin(), image.end(), Sim().flash(Sim().programmerPath(0)).begin()));
    EXPECT_EQ(controls_.link.progressPosition, controls_.link.progressMax);
    EXPECT_EQ(controls_.link.progressMax, 2048u);
}

// Cancel during a paced Write: the stream stops before its next packet, and from the Cancel on
// the log, the bar and the result say nothing more of it; the gate opens once the stream stopped.
TEST_F(Fixture, CancelDuringAWriteShowsNothingMore) {
    Start("lu1-32k");
    Sim().setPaced(true);
    Ops().selectChip(2);
    Connect();
    Ops().loadChosenFile(WriteFile("a.bin", Pattern(32768, 5)));
    Ops().setReload(false);
    ClearLines();
    Ops().write();
    ASSERT_TRUE(Until([&] { return controls_.link.progressPosition > 0; }));
    const std::size_t linesAtCancel = Lines().size();
    Ops().cancel("cancelled by the user");
    EXPECT_EQ(controls_.link.progressPosition, 0u);
    ASSERT_TRUE(Until([&] { return !controls_.link.busy; }));
    host_.advance(std::chrono::milliseconds(kWriteQuietMs * 2));
    EXPECT_EQ(Lines().size(), linesAtCancel);
    EXPECT_EQ(controls_.link.progressPosition, 0u);
    ASSERT_EQ(results_.size(), 1u);
    EXPECT_EQ(results_[0].status, OpStatus::Interrupted);
    EXPECT_LT(Sim().imagePacketsReceived(Sim().programmerPath(0)), 512u);
}

// The other ends of a cancelled operation's traffic: the link reset (an unplug), and the
// watchdog when the stream stalls. Either opens the gate; neither shows the read.
TEST_F(Fixture, ACancelledReadEndsWithTheLinkResetOrTheWatchdog) {
    for (const bool unplug : {true, false}) {
        SCOPED_TRACE(unplug ? "unplug" : "watchdog");
        Start(unplug ? "lu1-32k" : "stall-read");
        ClearLines();
        Sim().setPaced(unplug);
        Ops().selectChip(unplug ? 2 : 0);
        Connect();
        Ops().read();
        ASSERT_TRUE(Until([&] { return controls_.link.progressPosition > 0; }));
        Ops().cancel("cancelled by the user");
        host_.runPending();
        EXPECT_TRUE(controls_.link.busy);
        if (unplug) {
            Sim().unplug(Sim().programmerPath(0));
            ASSERT_TRUE(Until([&] { return !controls_.link.busy; }));
        } else {
            host_.advance(1999ms);
            EXPECT_TRUE(controls_.link.busy);
            host_.advance(1ms);
            EXPECT_FALSE(controls_.link.busy);
        }
        EXPECT_FALSE(HasLine("Read finish32768 byte"));
        EXPECT_EQ(Ops().hexView().GetDataSize(), 0u);
        EXPECT_EQ(controls_.link.progressPosition, 0u);
        ASSERT_EQ(results_.size(), 1u);
        EXPECT_EQ(results_[0].status, OpStatus::Interrupted);
    }
}

TEST_F(Fixture, ControlSettersChangeOneThingAndLeaveProgressAlone) {
    Start();
    Connect();
    const std::string loaded = WriteFile("fw.bin", Pattern(1000));
    Ops().loadFile(loaded);
    Ops().setErase(false);
    Ops().setEncrypt(true);
    Ops().setResetRun(false);
    Ops().write();
    ASSERT_TRUE(Until([&] { return !results_.empty(); }));
    const auto sent = Sim().commandLog(Sim().programmerPath(0)).back();
    ASSERT_EQ(sent[0], OP_WRITE);
    // The command record's flags: erase, protect, reset-and-run, verify.
    EXPECT_EQ((std::array<int, 4>{sent[13], sent[12], sent[3], sent[1]}), (std::array<int, 4>{0, 1, 0, 1}));
    const OpsControls before = controls_;
    const int changes = controlsChanges_;
    Ops().setVerify(false);
    Ops().setVerify(false);  // unchanged: nothing to tell
    Ops().setReload(false);
    EXPECT_EQ(controlsChanges_, changes + 2);
    EXPECT_EQ(controls_.link.progressMax, before.link.progressMax);
    EXPECT_EQ(controls_.link.progressPosition, before.link.progressPosition);
    EXPECT_EQ(Ops().rememberedFile(), loaded);
    EXPECT_TRUE(Ops().viewMatchesWriteImage());
    Ops().hexView().EditByte(0, static_cast<std::uint8_t>(~Ops().image()->bytes[0]));
    EXPECT_FALSE(Ops().viewMatchesWriteImage());
    Ops().setChipIndex(2);
    EXPECT_EQ(Ops().flashSize(), 32768u);
}

TEST_F(Fixture, PluggingAndUnpluggingRunTheSearch) {
    Start();
    const std::string path = Sim().programmerPath(0);
    Sim().unplug(path);
    Sim().plug(path);
    ASSERT_TRUE(Until([&] { return Ops().linkOpen(); }));
    ASSERT_TRUE(UntilEvent(Seen::Identified));
    Sim().unplug(path);
    ASSERT_TRUE(Until([&] { return !controls_.link.programmerOpen; }));
    EXPECT_EQ(CountLine("HID Opened"), 1);
    EXPECT_EQ(CountLine("HID Close "), 1);
    EXPECT_EQ(CommandsWithOpcode(OP_IDENTIFY), 1);
}

TEST_F(Fixture, OneSearchPerDeviceChangeItsErrorReachesTheViewAndItStopsWithTheOperations) {
    testing::FakeHidPlatform fake;
    fake.devices = {testing::FakeHidPlatform::Device("fake:1", kProgrammerVendorId, kProgrammerProductId, "P")};
    for (auto access : {hid::Access::ReadWrite, hid::Access::Read, hid::Access::Write, hid::Access::None})
        fake.openFailures[access] = EIO;
    {
        Operations ops(host_, fake, this);
        fake.fireChange();
        host_.runPending();
        EXPECT_EQ(errors_, std::vector<std::string>{fake.errorText(EIO)});
        fake.openFailures.clear();
        for (int event = 2; event <= 3; ++event) {
            fake.fireChange();
            host_.runPending();
            EXPECT_EQ(fake.enumerateCalls, event);
        }
        EXPECT_EQ(fake.openedCount(), 1u);
        ops.setHotPlug(false);
        fake.fireChange();
        ops.setHotPlug(true);
        fake.fireChange();  // queued, then dropped with the operations
    }
    host_.runPending();
    fake.fireChange();
    EXPECT_EQ(fake.enumerateCalls, 3);
    EXPECT_EQ(errors_.size(), 1u);
}

}  // namespace
}  // namespace quillon
