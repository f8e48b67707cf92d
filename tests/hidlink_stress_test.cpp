// The link under load: thousands of input reports arrive while the UI thread writes, closes and
// reopens and the reader thread writes from inside its handler. Meant to run under TSan and ASan
// as much as in a plain build.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "hid/Nrhid.h"
#include "support/FakeHidPlatform.h"

namespace quillon::hid {
namespace {

using quillon::testing::FakeHidPlatform;
using namespace std::chrono_literals;

std::vector<std::uint8_t> Report(int session, int seq) {
    std::vector<std::uint8_t> r(65, static_cast<std::uint8_t>(seq * 7 + session));
    r[0] = 0;
    r[1] = static_cast<std::uint8_t>(session);
    r[2] = static_cast<std::uint8_t>(seq & 0xFF);
    r[3] = static_cast<std::uint8_t>(seq >> 8);
    return r;
}

TEST(HidLinkStress, ReportsFlowWhileTheUiWritesClosesAndReopens) {
    constexpr int kSessions = 40;
    constexpr int kReportsPerSession = 250;

    FakeHidPlatform p;
    p.devices = {FakeHidPlatform::Device("/dev/prog", 0x04D8, 0x003F, "Programmer")};
    std::atomic<int> opens{0}, closes{0}, corrupt{0}, outOfOrder{0}, wrongLength{0};
    std::mutex m;
    std::map<int, int> lastSeq;     // session -> last sequence number delivered
    std::map<int, int> delivered;   // session -> count
    std::atomic<int> total{0};
    auto start = std::chrono::steady_clock::now();
    {
        TnrHid link(p);
        link.OnOpen = [&](DeviceLink&) { ++opens; };
        link.OnClose = [&](DeviceLink&) { ++closes; };
        link.OnAfterReceive = [&](DeviceLink& l, const std::uint8_t* b, std::uint32_t n) {
            if (n != 65) ++wrongLength;
            const int session = b[1];
            const int seq = b[2] | (b[3] << 8);
            if (std::vector<std::uint8_t>(b, b + n) != Report(session, seq)) ++corrupt;
            {
                std::lock_guard lock(m);
                auto it = lastSeq.find(session);
                if (it != lastSeq.end() && it->second >= seq) ++outOfOrder;
                lastSeq[session] = seq;
                ++delivered[session];
            }
            ++total;
            if (seq % 8 == 0) {  // like the image stream: the reader writes from its handler
                const auto out = Report(session, seq);
                l.WriteReport(out.data(), 65);
            }
        };
        link.Update();
        link.SetDeviceIndex(0);

        for (int s = 0; s < kSessions; ++s) {
            link.SetActive(true);
            ASSERT_TRUE(link.GetActive());
            auto dev = p.device(static_cast<std::size_t>(s));
            std::thread producer([&, dev] {
                for (int i = 0; i < kReportsPerSession; ++i) dev->pushReport(Report(s, i));
            });
            const auto ui = Report(s, 0xFFF);
            for (int w = 0; w < 40; ++w) link.WriteReport(ui.data(), 65);
            // Close while reports are still flowing (at least half of them were taken).
            // Bounded by the clock, not by a count of sleeps: some systems (Wine) return from a
            // 100 µs sleep almost at once.
            const auto giveUp = std::chrono::steady_clock::now() + 5s;
            while (std::chrono::steady_clock::now() < giveUp) {
                {
                    std::lock_guard lock(m);
                    if (delivered[s] >= kReportsPerSession / 2) break;
                }
                std::this_thread::sleep_for(100us);
            }
            link.SetActive(false);
            producer.join();
            EXPECT_FALSE(dev->writesOverlapped()) << "session " << s;
            for (const auto& w : dev->writes()) EXPECT_EQ(w.size(), 65u);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(opens, kSessions);
    EXPECT_EQ(closes, kSessions);
    EXPECT_EQ(corrupt, 0);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(wrongLength, 0);
    EXPECT_GE(total, kSessions * kReportsPerSession / 2);
    EXPECT_LE(total, kSessions * kReportsPerSession);
    std::printf("delivered %d reports in %.3f s over %d sessions\n", total.load(), seconds, kSessions);
}

TEST(HidLinkStress, UnplugRacesWithConcurrentWrites) {
    FakeHidPlatform p;
    p.devices = {FakeHidPlatform::Device("/dev/prog", 0x04D8, 0x003F, "Programmer")};
    for (int round = 0; round < 100; ++round) {
        std::atomic<int> closes{0};
        std::atomic<bool> stopWriting{false};
        {
            TnrHid link(p);
            link.OnClose = [&](DeviceLink&) { ++closes; };
            link.Update();
            link.SetDeviceIndex(0);
            link.SetActive(true);
            auto dev = p.device(p.openedCount() - 1);
            std::thread writer([&] {
                std::vector<std::uint8_t> r(65, 1);
                while (!stopWriting) link.WriteReport(r.data(), 65);
            });
            ASSERT_TRUE(dev->waitForPendingRead());
            dev->failReads(ENODEV);  // the reader closes from its thread ...
            link.SetActive(false);   // ... while the UI closes too
            stopWriting = true;
            writer.join();
            const std::vector<std::uint8_t> r(65, 2);
            EXPECT_FALSE(link.WriteReport(r.data(), 65));
        }
        EXPECT_EQ(closes, 1) << "round " << round;
    }
}

}  // namespace
}  // namespace quillon::hid
