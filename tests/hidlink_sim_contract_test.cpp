// The HID link against the simulated programmer: the list, the open with its access fallbacks,
// a connect round trip through WriteReport and OnAfterReceive, an image streamed from the reader
// thread, and an unplug during a read that closes the link exactly once.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "hid/Nrhid.h"
#include "sim/SimPlatform.h"

using namespace quillon;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

sim::SimOptions scenario(const std::string& name) {
    sim::SimOptions o;
    o.scenario = name;
    return o;
}

Bytes frame(const Bytes& message) {
    Bytes report(65, 0);
    std::copy_n(message.begin(), std::min<std::size_t>(message.size(), 64), report.begin() + 1);
    return report;
}

const Bytes kConnect = {0x01, 0x00, 0x02, 0x02, 0x04, 0x00};

// Records what the link raises; the handlers run on the reader thread.
struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::deque<Bytes> reports;
    int opens = 0, closes = 0;

    void attach(hid::TnrHid& link) {
        link.OnOpen = [this](hid::DeviceLink&) { bump(opens); };
        link.OnClose = [this](hid::DeviceLink&) { bump(closes); };
        link.OnAfterReceive = [this](hid::DeviceLink&, const std::uint8_t* buf, std::uint32_t n) {
            std::lock_guard lock(m);
            reports.emplace_back(buf, buf + n);
            cv.notify_all();
        };
    }
    void bump(int& counter) {
        std::lock_guard lock(m);
        ++counter;
        cv.notify_all();
    }
    Bytes next() {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, 3s, [&] { return !reports.empty(); })) return {};
        Bytes r = reports.front();
        reports.pop_front();
        return r;
    }
    bool waitCloses(int n) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, 3s, [&] { return closes >= n; });
    }
};

int indexOfProgrammer(hid::TnrHid& link) {
    for (int i = 0; i < link.GetDeviceCount(); ++i) {
        auto* d = link.GetHidDevice(i);
        if (d->GetVendorId() == sim::kProgrammerVendorId && d->GetProductId() == sim::kProgrammerProductId)
            return i;
    }
    return -1;
}

}  // namespace

TEST(HidLinkSim, ListsEveryDeviceAndFindsTheProgrammerAmongThem) {
    auto platform = sim::SimPlatform::fromOptions(scenario("mixed"));
    hid::TnrHid link(*platform);
    link.Update();
    ASSERT_EQ(link.GetDeviceCount(), 3);
    const int at = indexOfProgrammer(link);
    ASSERT_GE(at, 0);
    auto* prog = link.GetHidDevice(at);
    EXPECT_EQ(prog->serialNumberString, "SIM0001");
    EXPECT_EQ(prog->GetReportLength(hid::ReportKind::Input), 65);
    EXPECT_EQ(prog->GetReportLength(hid::ReportKind::Output), 65);
    EXPECT_EQ(link.GetHidDevice(0)->GetReportLength(hid::ReportKind::Input), 9) << "the keyboard keeps its own lengths";
}

TEST(HidLinkSim, ConnectRoundTripThroughTheReader) {
    auto platform = sim::SimPlatform::fromOptions(scenario("default"));
    Recorder rec;
    hid::TnrHid link(*platform);
    rec.attach(link);
    link.Update();
    link.SetDeviceIndex(indexOfProgrammer(link));
    link.SetActive(true);
    ASSERT_TRUE(link.GetActive());
    EXPECT_TRUE(link.CanRead());
    EXPECT_TRUE(link.CanWrite());

    const Bytes report = frame(kConnect);
    ASSERT_TRUE(link.WriteReport(report.data(), std::uint32_t(report.size())));
    Bytes reply = rec.next();
    ASSERT_EQ(reply.size(), 65u);
    EXPECT_EQ(reply[0], 0) << "report ID first";
    EXPECT_EQ(reply[1], sim::kOpIdentify);
    EXPECT_EQ(reply[2], 1);
    EXPECT_EQ(reply[5] | reply[6] << 8, 4);

    link.SetActive(false);
    EXPECT_FALSE(link.GetActive());
    std::lock_guard lock(rec.m);
    EXPECT_EQ(rec.opens, 1);
    EXPECT_EQ(rec.closes, 1);
}

TEST(HidLinkSim, ImageStreamedFromTheReaderThreadIsVerified) {
    auto platform = sim::SimPlatform::fromOptions(scenario("default"));
    const std::string path = platform->programmerPath(0);
    Recorder rec;
    hid::TnrHid link(*platform);
    rec.attach(link);
    Bytes image(1000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = std::uint8_t(i * 31 + 7);
    // As the engine does: the ready reply makes the reader send the whole image at once.
    link.OnAfterReceive = [&](hid::DeviceLink& com, const std::uint8_t* buf, std::uint32_t n) {
        if (n == 65 && buf[1] == sim::kOpWrite) {
            for (std::size_t at = 0; at < image.size(); at += 64) {
                Bytes packet(64, 0xFF);
                std::copy_n(image.begin() + std::ptrdiff_t(at), std::min<std::size_t>(64, image.size() - at),
                            packet.begin());
                const Bytes r = frame(packet);
                com.WriteReport(r.data(), 65);
            }
        }
        std::lock_guard lock(rec.m);
        rec.reports.emplace_back(buf, buf + n);
        rec.cv.notify_all();
    };
    link.Update();
    link.SetDeviceIndex(indexOfProgrammer(link));
    link.SetActive(true);

    Bytes cmd(24, 0);
    cmd[0] = sim::kOpWrite;
    cmd[8] = std::uint8_t(image.size() & 0xFF);
    cmd[9] = std::uint8_t(image.size() >> 8);
    cmd[13] = 1;
    const Bytes r = frame(cmd);
    ASSERT_TRUE(link.WriteReport(r.data(), 65));
    EXPECT_EQ(rec.next()[1], sim::kOpWrite);
    Bytes sum = rec.next();
    ASSERT_EQ(sum.size(), 65u);
    EXPECT_EQ(sum[1], sim::kOpChecksum);
    EXPECT_EQ(sum[2], sim::checksum(image));
    const Bytes flash = platform->flash(path);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    link.SetActive(false);
}

TEST(HidLinkSim, UnplugDuringAReadClosesExactlyOnce) {
    auto platform = sim::SimPlatform::fromOptions(scenario("default"));
    const std::string path = platform->programmerPath(0);
    sim::SimFaults f;
    f.unplugAfterIn = 10;
    platform->setFaults(path, f);
    Recorder rec;
    {
        hid::TnrHid link(*platform);
        rec.attach(link);
        link.Update();
        link.SetDeviceIndex(indexOfProgrammer(link));
        link.SetActive(true);
        Bytes cmd(24, 0);
        cmd[0] = sim::kOpRead;
        cmd[9] = 0x40;  // 16384 bytes
        const Bytes r = frame(cmd);
        ASSERT_TRUE(link.WriteReport(r.data(), 65));
        ASSERT_TRUE(rec.waitCloses(1));
        EXPECT_FALSE(link.GetActive());
        {
            std::lock_guard lock(rec.m);
            EXPECT_EQ(rec.reports.size(), 11u) << "the ready reply and ten data reports";
        }
        link.SetActive(false);  // already inactive: nothing happens
        EXPECT_FALSE(link.WriteReport(r.data(), 65));

        // Back in: the link opens the new device and talks to it again.
        platform->plug(path);
        link.Update();
        link.SetDeviceIndex(indexOfProgrammer(link));
        link.SetActive(true);
        {
            std::lock_guard lock(rec.m);
            rec.reports.clear();
        }
        const Bytes c = frame(kConnect);
        ASSERT_TRUE(link.WriteReport(c.data(), 65));
        EXPECT_EQ(rec.next()[1], sim::kOpIdentify);
    }
    std::lock_guard lock(rec.m);
    EXPECT_EQ(rec.opens, 2);
    EXPECT_EQ(rec.closes, 2) << "one per open: the unplug, then the link's destruction";
}

TEST(HidLinkSim, ReducedAccessAndBusyDevices) {
    auto ro = sim::SimPlatform::fromOptions(scenario("readonly"));
    {
        hid::TnrHid link(*ro);
        link.Update();
        link.SetDeviceIndex(indexOfProgrammer(link));
        link.SetActive(true);
        EXPECT_TRUE(link.GetActive());
        EXPECT_TRUE(link.CanRead());
        EXPECT_FALSE(link.CanWrite());
        const Bytes c = frame(kConnect);
        EXPECT_FALSE(link.WriteReport(c.data(), 65));
        link.SetActive(false);
    }

    auto busy = sim::SimPlatform::fromOptions(scenario("busy"));
    hid::TnrHid link(*busy);
    link.Update();
    ASSERT_EQ(link.GetDeviceCount(), 1);
    EXPECT_EQ(link.GetHidDevice(0)->GetVendorId(), 0) << "a device held elsewhere has no identity";
    link.SetDeviceIndex(0);
    try {
        link.SetActive(true);
        FAIL() << "opening a device held exclusively must fail";
    } catch (const hid::HidError& e) {
        EXPECT_EQ(e.ErrorCode(), 16u);
        EXPECT_EQ(e.Detail(), std::uint32_t(hid::kSharingViolation));
        EXPECT_EQ(std::string(e.what()), busy->errorText(hid::kSharingViolation));
    }
    EXPECT_FALSE(link.GetActive());
}
