// The station's hold: after K failures in a row on one programmer its station takes no new chip
// until the operator acknowledges, while the other programmers go on; driven end to end on the
// simulated chip swapper, judged by the chips written and the states the view was shown.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "image/Image.h"
#include "protocol/Chips.h"
#include "sim/SimPlatform.h"
#include "station/Station.h"

namespace quillon {
namespace {

using station::StationState;
using namespace std::chrono_literals;

// What the stations showed, per programmer, in order.
class Recorder : public station::StationView {
public:
    void status(const station::StationStatus& s) override {
        std::lock_guard lock(mutex_);
        if (!s.path.empty()) states_[s.path].push_back({s.state, s.text});
    }
    void unitFinished(const station::UnitRecord& r) override {
        std::lock_guard lock(mutex_);
        results_[r.programmerPath].push_back(r.pass);
        records_.push_back(r);
    }
    std::vector<station::UnitRecord> records() {
        std::lock_guard lock(mutex_);
        return records_;
    }
    std::vector<bool> results(const std::string& path) {
        std::lock_guard lock(mutex_);
        return results_[path];
    }
    // The last state shown for path, and how many times Held was shown.
    std::pair<StationState, std::string> last(const std::string& path) {
        std::lock_guard lock(mutex_);
        const auto& v = states_[path];
        return v.empty() ? std::pair{StationState::Ended, std::string("none")} : v.back();
    }
    int holds(const std::string& path) {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& s : states_[path]) n += s.first == StationState::Held;
        return n;
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::vector<std::pair<StationState, std::string>>> states_;
    std::map<std::string, std::vector<bool>> results_;
    std::vector<station::UnitRecord> records_;
};

template <typename Condition>
bool WaitFor(Condition done, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

struct Line {
    std::unique_ptr<sim::SimPlatform> platform;
    Recorder view;
    std::unique_ptr<station::StationRunner> runner;
    std::thread thread;
    station::StationSummary summary;

    Line(const std::string& scenario, int programmers, int hold, const std::string& lot = {}) {
        sim::SimOptions options;
        options.scenario = scenario;
        options.programmers = programmers;
        platform = sim::SimPlatform::fromOptions(options);
        station::StationConfig config;
        config.chipIndex = 0;
        config.chipName = kChips[0].name;
        config.flashSize = kChips[0].flashSize;
        auto image = std::make_shared<Image>();
        image->bytes.assign(512, 0x5A);
        config.image = image;
        config.pollMs = 10;
        config.all = true;
        config.holdAfterFailures = hold;
        if (!lot.empty()) {
            config.station = "bench-2";
            config.operatorName = "Ana";
            config.lot = lot;
            config.part = "PCB-7";
        }
        runner = std::make_unique<station::StationRunner>(*platform, std::move(config), view, nullptr);
        thread = std::thread([this] { summary = runner->run(); });
    }
    ~Line() {
        if (thread.joinable()) {
            runner->abort();
            thread.join();
        }
    }
    void Stop() {
        runner->stopAfterUnit();
        thread.join();
    }
};

TEST(StationHold, KFailuresInARowHoldOnlyThatProgrammerUntilAcknowledged) {
    // The first programmer's chips 2 to 4 fail: three in a row, a hold after the fourth chip.
    Line line("swap:6:fail-write=2-4", 2, 3);
    const std::string first = line.platform->programmerPath(0), second = line.platform->programmerPath(1);
    ASSERT_TRUE(WaitFor([&] { return line.view.last(first).first == StationState::Held; })) << line.view.last(first).second;
    EXPECT_EQ(line.view.last(first).second, "HOLD: 3 failures in a row \u2014 check the fixture");
    EXPECT_EQ(line.view.results(first), (std::vector<bool>{true, false, false, false}));
    // The other programmer goes on through all its chips while the first one holds.
    ASSERT_TRUE(WaitFor([&] { return line.view.results(second).size() == 6; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(line.view.results(first).size(), 4u) << "a held station took a chip";
    EXPECT_EQ(line.view.last(first).first, StationState::Held);
    // An acknowledgement for the other programmer does not release this one.
    line.runner->acknowledge(second);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(line.view.last(first).first, StationState::Held);

    line.runner->acknowledge(first);
    ASSERT_TRUE(WaitFor([&] { return line.view.results(first).size() == 6; }));
    EXPECT_EQ(line.view.results(first), (std::vector<bool>{true, false, false, false, true, true}));
    EXPECT_EQ(line.view.holds(first), 1);
    EXPECT_EQ(line.view.holds(second), 0);
    line.Stop();
    EXPECT_EQ(line.summary.good, 9u);
    EXPECT_EQ(line.summary.failed, 3u);
}

TEST(StationHold, APassBetweenFailuresOrNoThresholdNeverHolds) {
    struct Case {
        const char* scenario;
        int hold;
        std::vector<bool> results;
    };
    const Case cases[] = {
        {"swap:5:fail-write=2-3", 3, {true, false, false, true, true}},     // two in a row, then a pass
        {"swap:5:fail-write=1-5", 0, {false, false, false, false, false}},  // 0: never
        {"swap:3:fail-write=1-3", 4, {false, false, false}},                // fewer than K
    };
    for (const Case& c : cases) {
        Line line(c.scenario, 1, c.hold);
        const std::string path = line.platform->programmerPath(0);
        ASSERT_TRUE(WaitFor([&] { return line.view.results(path).size() == c.results.size(); })) << c.scenario;
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(line.view.results(path), c.results) << c.scenario;
        EXPECT_EQ(line.view.holds(path), 0) << c.scenario;
        line.Stop();
    }
}

TEST(StationHold, StopEndsAHeldStationAndAnEarlyAcknowledgementDoesNotCount) {
    Line line("swap:4:fail-write=1-4", 1, 2);
    const std::string path = line.platform->programmerPath(0);
    line.runner->acknowledge(path);  // before any hold: forgotten when the hold comes
    ASSERT_TRUE(WaitFor([&] { return line.view.last(path).first == StationState::Held; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(line.view.results(path).size(), 2u);
    line.Stop();
    EXPECT_EQ(line.view.last(path).first, StationState::Ended);
    EXPECT_EQ(line.summary.failed, 2u);
}

TEST(StationRecords, CarryTheStationOperatorLotAndPart) {
    Line line("swap:2", 1, 3, "LOT-42");
    const std::string path = line.platform->programmerPath(0);
    ASSERT_TRUE(WaitFor([&] { return line.view.results(path).size() == 2; }));
    line.Stop();
    for (const station::UnitRecord& r : line.view.records()) {
        EXPECT_EQ(r.station, "bench-2");
        EXPECT_EQ(r.operatorName, "Ana");
        EXPECT_EQ(r.lot, "LOT-42");
        EXPECT_EQ(r.part, "PCB-7");
    }
}

TEST(SimSwapScenario, FailingRuns) {
    struct Case {
        const char* name;
        bool valid;
        int failWrite, failWriteLast;
    };
    const Case cases[] = {
        {"swap:5:fail-write=2", true, 2, 2},   {"swap:5:fail-write=2-4", true, 2, 4},
        {"swap:5:fail-write=4-2", false, 0, 0}, {"swap:5:fail-write=2-", false, 0, 0},
        {"swap:5:fail-write=-2", false, 0, 0},  {"swap:5:unplug=2-3", false, 0, 0},
    };
    for (const Case& c : cases) {
        const auto swap = sim::ParseSwapScenario(c.name);
        ASSERT_EQ(swap.has_value(), c.valid) << c.name;
        if (!swap) continue;
        EXPECT_EQ(swap->failWrite, c.failWrite) << c.name;
        EXPECT_EQ(swap->failWriteLast, c.failWriteLast) << c.name;
    }
}

}  // namespace
}  // namespace quillon
