// The fake-clock host that tests drive, and the command-line tool's event loop.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/UiHost.h"
#include "support/ManualUiHost.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;

TEST(ManualUiHost, TimersFireInTimeOrderAndStopWorks) {
    ManualUiHost host;
    std::vector<int> fired;
    auto a = host.startTimer(2000ms, false, [&] { fired.push_back(1); });
    host.startTimer(500ms, true, [&] { fired.push_back(2); });
    host.advance(1999ms);
    EXPECT_EQ(fired, (std::vector<int>{2, 2, 2}));
    host.stopTimer(a);
    host.advance(1ms);
    EXPECT_EQ(fired.size(), 4u);  // the periodic one at 2000, not the stopped one-shot
    // A restarted watchdog counts from the restart.
    auto w = host.startTimer(2000ms, false, [&] { fired.push_back(9); });
    host.advance(1500ms);
    host.stopTimer(w);
    w = host.startTimer(2000ms, false, [&] { fired.push_back(9); });
    host.advance(1999ms);
    EXPECT_EQ(std::count(fired.begin(), fired.end(), 9), 0);
    host.advance(1ms);
    EXPECT_EQ(std::count(fired.begin(), fired.end(), 9), 1);
}

TEST(ManualUiHost, PostedTasksRunInOrderIncludingNestedPosts) {
    ManualUiHost host;
    std::vector<int> order;
    host.post([&] {
        order.push_back(1);
        host.post([&] { order.push_back(3); });
    });
    host.post([&] { order.push_back(2); });
    EXPECT_EQ(host.runPending(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(LoopUiHost, RunsPostsFromOtherThreadsInOrderAndTimers) {
    LoopUiHost host;
    std::vector<int> order;
    std::thread producer([&] {
        for (int i = 0; i < 1000; ++i) host.post([&order, i] { order.push_back(i); });
    });
    bool timerFired = false;
    host.startTimer(5ms, false, [&] { timerFired = true; });
    host.runUntil([&] { return order.size() == 1000 && timerFired; });
    producer.join();
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(order[i], i);
    EXPECT_TRUE(host.onUiThread());
}

}  // namespace
}  // namespace quillon
