// The programming operations on the simulated programmer, with the watchdog on a fake clock:
// detect, read, write and their failure paths, the programmer search, and image loading.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "core/UiHost.h"
#include "log/Log.h"
#include "ops/Operations.h"
#include "sim/SimPlatform.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Collects log lines (they come from the reader thread too) and the outcomes the view receives.
class Fixture : public ::testing::Test, public OpsView {
protected:
    void SetUp() override {
        Language = "en";
        SetLogSink([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line.substr(line.find("]  ") + 3));
        });
        dir_ = fs::temp_directory_path() / ("quillon-ops-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        ops_.reset();
        SetLogSink(nullptr);
        Language = "en";
        fs::remove_all(dir_);
    }

    void event(const OpsEvent& e) override { events_.push_back(e); }
    void controlsChanged(const OpsControls& c) override { controls_ = c; }

    sim::SimPlatform& Sim() { return *sim_; }
    Operations& Ops() { return *ops_; }

    void Start(const std::string& scenario = "default", int programmers = 1) {
        sim::SimOptions options;
        options.scenario = scenario;
        options.programmers = programmers;
        sim_ = sim::SimPlatform::fromOptions(options);
        ops_ = std::make_unique<Operations>(host_, *sim_, this);
    }

    // Runs posted tasks until pred holds; the reader thread works in real time, so this waits
    // (bounded) for it, while the watchdog only moves with host_.advance().
    bool Until(const std::function<bool()>& pred) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            host_.runPending();
            if (pred()) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
    }
    bool UntilEvent(OpsOutcome outcome) {
        return Until([&] {
            for (const auto& e : events_)
                if (e.outcome == outcome) return true;
            return false;
        });
    }
    const OpsEvent* Find(OpsOutcome outcome) const {
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
    }
    // Opens the programmer and waits for its answer to the connect block.
    void Connect() {
        Ops().updateUsbBridge();
        ASSERT_TRUE(Ops().Link().GetActive());
        ASSERT_TRUE(UntilEvent(OpsOutcome::Identified));
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
    std::vector<OpsEvent> events_;
    OpsControls controls_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
    fs::path dir_;
};

std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed = 7) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * 31 + seed) ^ (i >> 8));
    return v;
}

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
    EXPECT_EQ(controls_.chipListColour, kColourGreen);
    EXPECT_TRUE(controls_.buttonsEnabled);

    ClearLines();
    Ops().btnDectClick();
    EXPECT_TRUE(Ops().WatchdogRunning());
    ASSERT_TRUE(UntilEvent(OpsOutcome::Identified));
    EXPECT_FALSE(Ops().WatchdogRunning());
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
    EXPECT_EQ(Find(OpsOutcome::Identified)->b, 0u);
}

TEST_F(Fixture, NoChipOnThePinsAndDetectWithoutProgrammerTimesOut) {
    Start("nochip");
    Connect();
    EXPECT_TRUE(HasLine("chip dected fail"));
    EXPECT_TRUE(HasLine("Chip is not connected! Please confirm: correct connection / module OK / good line contact"));

    Start("no-programmer");
    ClearLines();
    Ops().updateUsbBridge();
    EXPECT_FALSE(Ops().Link().GetActive());
    EXPECT_TRUE(Lines().empty());  // nothing open, nothing to say
    Ops().btnDectClick();
    host_.advance(1999ms);
    EXPECT_FALSE(HasLine("operation timeout0  0"));
    host_.advance(1ms);
    EXPECT_TRUE(HasLine("operation timeout0  0"));
    EXPECT_FALSE(Ops().WatchdogRunning());
}

TEST_F(Fixture, TwoProgrammersOnlyTheFirstIsOpenedAndASecondSearchIsSilent) {
    Start("default", 2);
    Connect();
    EXPECT_EQ(Sim().openHandleCount(Sim().programmerPath(0)), 1);
    EXPECT_EQ(Sim().openHandleCount(Sim().programmerPath(1)), 0);
    ClearLines();
    Ops().updateUsbBridge();
    host_.runPending();
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(CommandsWithOpcode(1), 1);  // one connect block in all
}

TEST_F(Fixture, UnplugDuringReadClosesOnceAndTheNextSearchGreysTheList) {
    Start();
    Ops().SelectChipIndex(0);
    Connect();
    sim::SimFaults faults;
    faults.unplugAfterIn = 8;
    Sim().setFaults(Sim().programmerPath(0), faults);
    ClearLines();
    Ops().btnReadClick();
    ASSERT_TRUE(UntilEvent(OpsOutcome::LinkClosed));
    EXPECT_FALSE(controls_.buttonsEnabled);
    EXPECT_EQ(controls_.chipListColour, kColourGreen);  // the reader's close leaves the colour
    Ops().updateUsbBridge();
    host_.runPending();
    EXPECT_EQ(controls_.chipListColour, kColourGrey);
    EXPECT_EQ(CountLine("HID Close "), 1);
    // Plugged in again: one search opens and greets it.
    Sim().plug(Sim().programmerPath(0));
    Ops().updateUsbBridge();
    EXPECT_TRUE(Ops().Link().GetActive());
    EXPECT_EQ(CountLine("HID Opened"), 1);
}

// --- read -----------------------------------------------------------------------------------

TEST_F(Fixture, ReadFillsTheHexViewWithTheWholeFlash) {
    Start();
    const auto flash = Pattern(16384);
    Sim().setFlash(Sim().programmerPath(0), flash);
    Ops().SelectChipIndex(1);
    Connect();
    Ops().btnReadClick();
    ASSERT_TRUE(UntilEvent(OpsOutcome::ReadComplete));
    host_.runPending();
    EXPECT_TRUE(HasLine("Read FLASH"));
    EXPECT_TRUE(HasLine("开始读FLASH...16384"));
    EXPECT_TRUE(HasLine("Read finish16384 byte"));
    ASSERT_EQ(Ops().HexView().GetDataSize(), 16384u);
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), Ops().HexView().Data().begin()));
    EXPECT_FALSE(Ops().WatchdogRunning());
    EXPECT_EQ(controls_.progressMax, 16384u);
}

TEST_F(Fixture, StalledReadTimesOutWithOffsetAndLengthAndLeavesTheView) {
    Start("stall-read");
    Ops().SelectChipIndex(0);
    Connect();
    Ops().btnReadClick();
    ASSERT_TRUE(Until([&] { return Ops().Engine().ReadOffset() == 1024; }));
    host_.runPending();
    host_.advance(1999ms);
    EXPECT_FALSE(Find(OpsOutcome::Timeout));
    host_.advance(1ms);
    EXPECT_TRUE(HasLine("operation timeout1024  16384"));
    EXPECT_EQ(Ops().Engine().State(), ProState::Idle);
    EXPECT_EQ(Ops().HexView().GetDataSize(), 0u);
}

TEST_F(Fixture, FailureReplyThenTimeoutForRead) {
    Start("fail-read");
    Ops().SelectChipIndex(0);
    Connect();
    Ops().btnReadClick();
    ASSERT_TRUE(UntilEvent(OpsOutcome::FailureReply));
    EXPECT_TRUE(Until([&] { return HasLine("操作失败:85"); }));
    host_.advance(2000ms);
    EXPECT_TRUE(HasLine("operation timeout0  16384"));
}

// --- write ----------------------------------------------------------------------------------

TEST_F(Fixture, WriteBinProgramsTheChipAndVerifies) {
    Start();
    Ops().SelectChipIndex(0);
    Connect();
    const auto image = Pattern(5000);
    OpsControls c = Ops().Controls();
    c.fileBox = WriteFile("fw.bin", image);
    Ops().SetControls(c);
    ClearLines();
    Ops().BtnAutoClick();
    ASSERT_TRUE(UntilEvent(OpsOutcome::Verified));
    EXPECT_EQ(Find(OpsOutcome::Verified)->a, 1u);
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
    OpsControls c = Ops().Controls();
    c.chipIndex = 2;
    c.fileBox = WriteFile("exact.bin", Pattern(32768));
    Ops().SetControls(c);
    EXPECT_EQ(Ops().Engine().Chip().flashSize, 32768u);
    EXPECT_EQ(Ops().Controls().chipText, "NRF24LU1_32K");
    Connect();
    Ops().BtnAutoClick();
    ASSERT_TRUE(UntilEvent(OpsOutcome::Verified));
    EXPECT_FALSE(HasLine("Select file is out of chip memory"));
}

TEST_F(Fixture, WriteRefusalsSendNothing) {
    Start("lu1-32k");
    Ops().SelectChipIndex(2);
    Connect();
    OpsControls c = Ops().Controls();
    c.fileBox = (dir_ / "missing.bin").string();
    Ops().SetControls(c);
    Ops().BtnAutoClick();
    EXPECT_TRUE(HasLine("File Not Exists"));

    c.reload = false;
    Ops().SetControls(c);
    Ops().BtnAutoClick();
    EXPECT_TRUE(HasLine("Please load HEX/BIN file"));

    c.reload = true;
    c.fileBox = WriteFile("big.bin", Pattern(40000));
    Ops().SetControls(c);
    Ops().BtnAutoClick();
    EXPECT_TRUE(HasLine("Select file is out of chip memory"));
    EXPECT_EQ(CommandsWithOpcode(6), 0);

    c.fileBox = WriteFile("exact.bin", Pattern(32768));
    Ops().SetControls(c);
    Ops().BtnAutoClick();
    ASSERT_TRUE(UntilEvent(OpsOutcome::Verified));
    EXPECT_EQ(CommandsWithOpcode(6), 1);
}

TEST_F(Fixture, WriteAfterReadWithoutReloadSendsTheViewSizeAndReadMarks) {
    Start();
    Ops().SelectChipIndex(0);
    Connect();
    Ops().btnReadClick();
    ASSERT_TRUE(UntilEvent(OpsOutcome::ReadComplete));
    host_.runPending();
    OpsControls c = Ops().Controls();
    c.reload = false;
    Ops().SetControls(c);
    Ops().BtnAutoClick();
    ASSERT_TRUE(UntilEvent(OpsOutcome::WriteStreamed));
    const ProCommand cmd = Ops().Engine().Command();
    EXPECT_EQ(cmd.opcode, OP_WRITE);
    EXPECT_EQ(cmd.length, 16384u);
    EXPECT_EQ(cmd.readMark, (std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(Fixture, ChecksumMismatchIsAFailedVerify) {
    Start("bad-checksum");
    Ops().SelectChipIndex(0);
    Connect();
    OpsControls c = Ops().Controls();
    c.fileBox = WriteFile("fw.bin", Pattern(300));
    Ops().SetControls(c);
    Ops().BtnAutoClick();
    ASSERT_TRUE(UntilEvent(OpsOutcome::Verified));
    EXPECT_EQ(Find(OpsOutcome::Verified)->a, 0u);
    EXPECT_TRUE(HasLine("Verify Fail"));
    EXPECT_TRUE(Until([&] {
        for (const auto& l : Lines())
            if (l.rfind("本地校验：", 0) == 0) return true;
        return false;
    }));
}

TEST_F(Fixture, WriteWithNoProgrammerOpenGoesNowhereQuietly) {
    Start("no-programmer");
    Ops().updateUsbBridge();
    Ops().SelectChipIndex(0);
    OpsControls c = Ops().Controls();
    c.fileBox = WriteFile("fw.bin", Pattern(100));
    Ops().SetControls(c);
    Ops().BtnAutoClick();  // what F9 runs, enabled buttons or not
    host_.advance(5000ms);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Write FLASH");
}

TEST_F(Fixture, ChineseModeLines) {
    Start();
    Language = "cn";
    Ops().SelectChipIndex(0);
    Connect();
    EXPECT_TRUE(HasLine("编程器已连接Quillon Sim Programmer SIM0001"));
    EXPECT_TRUE(HasLine("芯片检测成功"));
    OpsControls c = Ops().Controls();
    c.fileBox = WriteFile("fw.bin", Pattern(64));
    Ops().SetControls(c);
    Ops().BtnAutoClick();
    ASSERT_TRUE(UntilEvent(OpsOutcome::Verified));
    EXPECT_TRUE(HasLine("写完成"));
    EXPECT_TRUE(HasLine("校验 成功"));
    Ops().btnReadClick();
    ASSERT_TRUE(UntilEvent(OpsOutcome::ReadComplete));
    EXPECT_TRUE(HasLine("读完成16384 byte"));
}

// --- image loading --------------------------------------------------------------------------

TEST_F(Fixture, HexLoadWritesAnExactBinCopyAndAFailedConversionKeepsTheImage) {
    Start("no-programmer");
    const std::string hex = WriteText("fw.HEX", ":0400000001020304F2\n:00000001FF\n");
    // An older, longer copy must not keep its tail.
    WriteFile("fw.HEX.bin", Pattern(1000));
    Ops().BtnLoadFileClick(hex);
    EXPECT_TRUE(HasLine("Load File" + hex + "  4 Bytes"));
    EXPECT_EQ(Ops().Controls().flashSizeBox, "4");
    EXPECT_EQ(fs::file_size(hex + ".bin"), 4u);
    EXPECT_EQ(Ops().Engine().WriteBuffer()[3], 0x04);
    EXPECT_EQ(Ops().Engine().WriteBuffer()[4], 0xFF);

    const std::string bad = WriteText("bad.hex", ":0400000001020304F3\n:00000001FF\n");
    EXPECT_FALSE(Ops().LoadImageFile(bad));
    EXPECT_TRUE(HasLine(bad + ": Hex file checksum error."));
    EXPECT_EQ(Ops().HexView().GetDataSize(), 4u);
    EXPECT_EQ(Ops().Engine().WriteBuffer()[0], 0x01);
    EXPECT_EQ(Ops().RememberedFile(), bad);
}

TEST_F(Fixture, OversizedImagesAreRefusedAndOtherKindsStayOutOfTheWriteBuffer) {
    Start("no-programmer");
    const std::string big = WriteFile("big.bin", std::vector<std::uint8_t>(CPro::kBufferSize + 1, 0x11));
    EXPECT_FALSE(Ops().LoadImageFile(big));
    EXPECT_EQ(Ops().HexView().GetDataSize(), 0u);
    EXPECT_EQ(Ops().Engine().WriteBuffer()[0], 0xFF);

    const std::string txt = WriteText("notes.txt", "hello");
    Ops().BtnLoadFileClick(txt);
    EXPECT_EQ(Ops().HexView().GetDataSize(), 5u);
    EXPECT_EQ(Ops().Engine().WriteBuffer()[0], 0xFF);

    EXPECT_THROW(Ops().BtnLoadFileClick((dir_ / "none.bin").string()), OpsError);
}

TEST_F(Fixture, SetFlashSizeParsesAndRefuses) {
    Start("no-programmer");
    Ops().BtnLoadFileClick(WriteFile("fw.bin", Pattern(5000)));
    for (const char* text : {"16384", " 0x4000 ", "$4000"}) {
        OpsControls c = Ops().Controls();
        c.flashSizeBox = text;
        Ops().SetControls(c);
        Ops().btnSetFlashSizeClick();
        EXPECT_EQ(Ops().HexView().GetDataSize(), 16384u) << text;
    }
    EXPECT_EQ(Ops().HexView().ByteAt(5000), 0x00);
    EXPECT_EQ(Ops().Engine().WriteBuffer()[5000], 0xFF);
    for (const char* text : {"abc", "-5", "", "600000"}) {
        OpsControls c = Ops().Controls();
        c.flashSizeBox = text;
        Ops().SetControls(c);
        EXPECT_THROW(Ops().btnSetFlashSizeClick(), OpsError) << text;
        EXPECT_EQ(Ops().HexView().GetDataSize(), 16384u);
    }
    try {
        OpsControls c = Ops().Controls();
        c.flashSizeBox = "abc";
        Ops().SetControls(c);
        Ops().btnSetFlashSizeClick();
    } catch (const OpsError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
    }
}

TEST_F(Fixture, LoadWithArgumentsTakesTheSecondAsHexSilently) {
    Start("no-programmer");
    const std::string hex = WriteText("fw.hex", ":0200000055AAFF\n:00000001FF\n");
    Ops().SetCommandLineArguments({"x", hex});
    Ops().BtnLoadFileClick(std::nullopt);
    EXPECT_EQ(Ops().HexView().GetDataSize(), 2u);
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(Ops().RememberedFile(), "");
    EXPECT_TRUE(fs::exists(hex + ".bin"));

    Ops().SetCommandLineArguments({"x"});
    Ops().BtnLoadFileClick(std::nullopt);  // one argument only: nothing
    EXPECT_EQ(Ops().HexView().GetDataSize(), 2u);
}

TEST_F(Fixture, NothingChangesTheImageWhileAWriteStreamsIt) {
    Start("no-programmer");
    Ops().SelectChipIndex(0);
    const std::string first = WriteFile("a.bin", Pattern(200, 1));
    Ops().BtnLoadFileClick(first);
    OpsControls c = Ops().Controls();
    c.reload = false;
    Ops().SetControls(c);
    Ops().BtnAutoClick();  // the command goes nowhere: no programmer is open

    // Hold the stream inside its first packet until the other operations were tried.
    std::mutex gate;
    std::unique_lock hold(gate);
    std::vector<std::uint8_t> sent;
    Ops().Engine().SendFunc = [&](const std::uint8_t* data, std::int32_t n) {
        std::lock_guard wait(gate);
        sent.insert(sent.end(), data, data + n);
        return n;
    };
    std::thread reader([&] {
        std::uint8_t ready[65] = {0, OP_WRITE};
        Ops().nrHid1AfterReceive(ready, sizeof ready);
    });
    ASSERT_TRUE(Until([&] { return Ops().Streaming(); }));
    EXPECT_FALSE(Ops().LoadImageFile(WriteFile("b.bin", Pattern(300, 2))));
    c = Ops().Controls();
    c.flashSizeBox = "64";
    Ops().SetControls(c);
    Ops().btnSetFlashSizeClick();
    Ops().BtnAutoClick();
    EXPECT_EQ(CountLine("Busy: the image is being written"), 3);
    hold.unlock();
    reader.join();
    EXPECT_FALSE(Ops().Streaming());
    EXPECT_EQ(Ops().HexView().GetDataSize(), 200u);
    const auto image = Pattern(200, 1);
    ASSERT_EQ(sent.size(), 256u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), sent.begin()));
    // Once the stream ended, loading works again.
    EXPECT_TRUE(Ops().LoadImageFile(WriteFile("b.bin", Pattern(300, 2))));
}

}  // namespace
}  // namespace quillon
