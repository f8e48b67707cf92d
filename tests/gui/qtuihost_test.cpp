// The core's UI host on the Qt event loop: order of posted tasks from several threads and
// through nested event loops, and one-shot / periodic timers that may stop themselves.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "gui/QtUiHost.h"

using quillon::gui::QtUiHost;
using Millis = quillon::UiHost::Millis;

TEST(QtUiHost, TasksFromEveryThreadRunOnTheUiThreadInPostingOrder) {
    QtUiHost host;
    std::vector<int> seen;
    std::atomic<int> next{0};
    std::mutex order;  // serialises the posters so that "posting order" is well defined
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                std::lock_guard lock(order);
                const int n = next++;
                host.post([&, n] {
                    EXPECT_TRUE(host.onUiThread());
                    seen.push_back(n);
                });
            }
        });
    }
    for (auto& p : posters) p.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() == 2000; }, 10000));
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(seen[static_cast<std::size_t>(i)], i);
}

TEST(QtUiHost, ANestedEventLoopInsideATaskKeepsTheOrder) {
    QtUiHost host;
    std::vector<int> seen;
    host.post([&] {
        seen.push_back(1);
        QEventLoop nested;  // as a message box would run one
        host.post([&] { nested.quit(); });
        nested.exec();
        seen.push_back(3);
    });
    host.post([&] { seen.push_back(2); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() == 3; }, 5000));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST(QtUiHost, TimersFireAndStopThemselves) {
    QtUiHost host;
    int once = 0, periodic = 0;
    host.startTimer(Millis(5), false, [&] { ++once; });
    quillon::UiHost::TimerId id = 0;
    id = host.startTimer(Millis(5), true, [&] {
        if (++periodic == 3) host.stopTimer(id);
    });
    const auto stopped = host.startTimer(Millis(5), false, [&] { ADD_FAILURE() << "a stopped timer fired"; });
    host.stopTimer(stopped);
    ASSERT_TRUE(QTest::qWaitFor([&] { return once == 1 && periodic == 3; }, 5000));
    QTest::qWait(30);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(periodic, 3);
    EXPECT_EQ(host.activeTimers(), 0u);
}
