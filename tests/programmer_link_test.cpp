// The programmer link on its own, with no window, workspace or session around it: images go to
// the simulated chip byte for byte and come back as bytes, the gate refuses what comes while an
// operation runs, the chip and options it is given reach the programmer, and a cancelled read
// shows none of its bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "ops/ProgrammerLink.h"
#include "protocol/Chips.h"
#include "sim/SimPlatform.h"
#include "support/ManualUiHost.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;

class ProgrammerLinkTest : public ::testing::Test, public LinkListener {
protected:
    void SetUp() override {
        path_ = sim_.addProgrammer(sim::kFlash32K);
        link_ = std::make_unique<ProgrammerLink>(host_, sim_, this, /*hotPlug=*/false);
        link_->setLogSink([](const std::string&) {});
    }
    void TearDown() override { link_.reset(); }

    void stateChanged(const LinkState& s) override { states_.push_back(s); }
    void chipRead(const Image& flash) override { chipReads_.push_back(flash.bytes); }
    void refused(OpsRefusal why) override { refusals_.push_back(why); }
    void finished(const OpsResult& r) override { results_.push_back(r); }

    bool Until(const std::function<bool()>& pred) { return host_.runUntil(pred); }
    // Runs op and waits for its one result.
    OpsResult Run(const std::function<void()>& op) {
        const std::size_t before = results_.size();
        op();
        EXPECT_TRUE(Until([&] { return results_.size() > before; }));
        EXPECT_EQ(results_.size(), before + 1);
        return results_.back();
    }
    void Connect() {
        link_->searchProgrammer();
        ASSERT_TRUE(link_->linkOpen());
        const OpsResult r = Run([&] { link_->detect(/*sendConnectBlock=*/false); });
        ASSERT_EQ(r.status, OpStatus::Ok) << r.message;
    }
    static ImagePtr MakeImage(std::vector<std::uint8_t> bytes) {
        auto image = std::make_shared<Image>();
        image->bytes = std::move(bytes);
        image->source = "test image";
        return image;
    }

    ManualUiHost host_;
    sim::SimPlatform sim_;
    std::string path_;
    std::unique_ptr<ProgrammerLink> link_;
    std::vector<LinkState> states_;
    std::vector<std::vector<std::uint8_t>> chipReads_;
    std::vector<OpsRefusal> refusals_;
    std::vector<OpsResult> results_;
};

TEST_F(ProgrammerLinkTest, ImagesReachTheChipByteForByteAndComeBackAsBytes) {
    link_->useChip(ChipIndex("NRF24LU1_32K"));
    Connect();
    struct Case {
        const char* what;
        std::size_t size;
        std::uint8_t (*byte)(std::size_t);
    };
    const Case cases[] = {
        {"one byte", 1, [](std::size_t) -> std::uint8_t { return 0x5A; }},
        {"packets that begin with 0x00", 4096,
         [](std::size_t i) -> std::uint8_t { return i % 64 == 0 ? 0x00 : static_cast<std::uint8_t>(i); }},
        {"a last packet cut short", 1000, [](std::size_t i) -> std::uint8_t { return static_cast<std::uint8_t>(i * 7); }},
        {"the whole 32 KiB", 32768, [](std::size_t i) -> std::uint8_t { return static_cast<std::uint8_t>(i ^ (i >> 8)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> bytes(c.size);
        for (std::size_t i = 0; i < c.size; ++i) bytes[i] = c.byte(i);
        const ImagePtr image = MakeImage(bytes);
        const OpsResult w = Run([&] { link_->write(image); });
        ASSERT_EQ(w.status, OpStatus::Ok) << w.message;
        EXPECT_EQ(w.bytes, c.size);
        EXPECT_EQ(w.image, image);  // the result names exactly what went out
        const std::vector<std::uint8_t> flash = sim_.flash(path_);
        ASSERT_GE(flash.size(), c.size);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin()));

        chipReads_.clear();
        const OpsResult r = Run([&] { link_->read(); });
        ASSERT_EQ(r.status, OpStatus::Ok) << r.message;
        ASSERT_TRUE(r.image);
        EXPECT_EQ(r.image->bytes, flash);
        ASSERT_EQ(chipReads_.size(), 1u);
        EXPECT_EQ(chipReads_[0], flash);
    }
    // A completed operation leaves the bar full, and the gate open.
    EXPECT_FALSE(link_->busy());
    EXPECT_EQ(link_->state().progressPosition, link_->state().progressMax);
    EXPECT_TRUE(link_->state().usable);
}

TEST_F(ProgrammerLinkTest, WhileAWriteStreamsEveryOtherOperationIsRefusedAndTheChipGetsOnlyTheFirstImage) {
    sim_.setPaced(true);
    link_->useChip(ChipIndex("NRF24LU1_32K"));
    Connect();
    results_.clear();
    const ImagePtr first = MakeImage(std::vector<std::uint8_t>(32768, 0x11));
    link_->write(first);
    ASSERT_TRUE(link_->busy());
    EXPECT_TRUE(link_->state().busy);
    EXPECT_FALSE(link_->state().usable);
    link_->detect();
    link_->read();
    link_->write(MakeImage(std::vector<std::uint8_t>(64, 0x22)));
    ASSERT_TRUE(Until([&] { return results_.size() >= 4; }));
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(results_[i].status, OpStatus::Refused);
    EXPECT_EQ(results_[0].op, OpKind::Detect);
    EXPECT_EQ(results_[1].op, OpKind::Read);
    EXPECT_EQ(results_[2].op, OpKind::Write);
    EXPECT_EQ(refusals_, std::vector<OpsRefusal>(3, OpsRefusal::Busy));
    EXPECT_EQ(results_[3].status, OpStatus::Ok) << results_[3].message;
    EXPECT_EQ(sim_.flash(path_), first->bytes);
    EXPECT_FALSE(link_->busy());
}

TEST_F(ProgrammerLinkTest, TheChipAndTheOptionsItIsGivenDecideWhatTheProgrammerIsAsked) {
    // Out of the table: the engine keeps the chip it has.
    link_->useChip(ChipIndex("NRF24LU1_32K"));
    link_->useChip(-1);
    link_->useChip(static_cast<int>(kChips.size()));
    EXPECT_EQ(link_->flashSize(), 32768u);
    link_->useChip(ChipIndex("NRF24LE1_16K"));
    EXPECT_EQ(link_->flashSize(), 16384u);
    Connect();
    // Larger than the chip chosen: refused, nothing sent.
    const OpsResult big = Run([&] { link_->write(MakeImage(std::vector<std::uint8_t>(16385, 0x33))); });
    EXPECT_EQ(big.status, OpStatus::Refused);
    EXPECT_EQ(sim_.imagePacketsReceived(path_), 0u);
    // Protect asked for: the chip ends read-protected; reset off: the chip is not reset.
    WriteOptions options;
    options.protect = true;
    options.reset = false;
    link_->setOptions(options);
    const int resets = sim_.resetCount(path_);
    const OpsResult w = Run([&] { link_->write(MakeImage(std::vector<std::uint8_t>(128, 0x44))); });
    ASSERT_EQ(w.status, OpStatus::Ok) << w.message;
    EXPECT_TRUE(sim_.isProtected(path_));
    EXPECT_EQ(sim_.resetCount(path_), resets);
}

TEST_F(ProgrammerLinkTest, ACancelledReadShowsNoneOfItsBytesAndTheGateOpensOnceTheProgrammerIsQuiet) {
    sim_.setPaced(true);
    link_->useChip(ChipIndex("NRF24LU1_32K"));
    Connect();
    link_->read();
    ASSERT_TRUE(Until([&] { return link_->state().progressPosition > 0; }));
    link_->cancel("cancelled by the user");
    ASSERT_TRUE(Until([&] { return !results_.empty() && results_.back().op == OpKind::Read; }));
    EXPECT_EQ(results_.back().status, OpStatus::Interrupted);
    EXPECT_FALSE(results_.back().image);
    EXPECT_EQ(link_->state().progressPosition, 0u);
    ASSERT_TRUE(Until([&] { return !link_->busy(); }));
    EXPECT_TRUE(chipReads_.empty());
    EXPECT_EQ(link_->state().progressPosition, 0u);
    // The next operation has the programmer to itself again.
    const OpsResult w = Run([&] { link_->write(MakeImage(std::vector<std::uint8_t>(256, 0x55))); });
    EXPECT_EQ(w.status, OpStatus::Ok) << w.message;
}

}  // namespace
}  // namespace quillon
