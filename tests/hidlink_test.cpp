// The HID link against a scripted platform: how devices are identified and listed, the open
// attempts and fatal errors, what the receive handler is given, and the close races between the
// UI thread and the reader.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "hid/Nrhid.h"
#include "support/FakeHidPlatform.h"

namespace quillon::hid {
namespace {

using quillon::testing::FakeHidDevice;
using quillon::testing::FakeHidPlatform;
using namespace std::chrono_literals;

// Waits (briefly) until cond holds; reader-thread effects are asynchronous.
template <typename Cond>
bool Eventually(Cond cond) {
    for (int i = 0; i < 500; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return cond();
}

// ---- Enumeration ---------------------------------------------------------------------------

TEST(HidLinkList, StringsShorterThanThreeBytesCountAsMissing) {
    FakeHidPlatform p;
    auto ab = FakeHidPlatform::Device("/dev/a", 1, 2, "AB");
    ab.raw.description = "USB Input Device";
    ab.query.manufacturerString = "Ac";
    ab.query.serialNumberString = "12";
    ab.query.indexedString3 = "S3-SERIAL";
    auto named = FakeHidPlatform::Device("/dev/b", 3, 4, "Widget");
    named.query.manufacturerString = "Acme";
    p.devices = {ab, named};

    TnrHid link(p);
    link.Update();
    ASSERT_EQ(link.GetDeviceCount(), 2);
    const TnrHidDevice& a = *link.GetHidDevice(0);
    EXPECT_EQ(a.productString, "USB Input Device");
    EXPECT_EQ(a.manufacturer, "(Standard system devices)");  // "Ac" does not replace it
    EXPECT_EQ(a.serialNumberString, "S3-SERIAL");             // "12" falls back to string 3
    const TnrHidDevice& b = *link.GetHidDevice(1);
    EXPECT_EQ(b.productString, "Widget");
    EXPECT_EQ(b.manufacturer, "Acme");
    EXPECT_EQ(b.serialNumberString, "");  // neither serial nor string 3

    std::vector<std::string> names;
    link.GetDeviceList(&names);
    EXPECT_EQ(names, (std::vector<std::string>{"USB Input Device", "Widget"}));
}

TEST(HidLinkList, WithoutFullModeNoStringsAreAskedFor) {
    FakeHidPlatform p;
    p.devices = {FakeHidPlatform::Device("/dev/a", 0x04D8, 0x003F, "Programmer")};
    TnrHid link(p);
    link.SetEnumFullMode(false);
    link.Update();
    ASSERT_EQ(p.queries.size(), 1u);
    EXPECT_FALSE(p.queries[0].second);
    EXPECT_EQ(link.GetHidDevice(0)->productString, "HID-compliant device");
    EXPECT_EQ(link.GetHidDevice(0)->GetVendorId(), 0x04D8);
}

TEST(HidLinkList, HeldDevicesAreListedWithoutIdentityAndUnusableOnesLeftOut) {
    FakeHidPlatform p;
    auto held = FakeHidPlatform::Device("/dev/held", 0x04D8, 0x003F, "Programmer");
    held.raw.description = "Keyboard";
    held.query.error = kSharingViolation;
    held.query.serialNumberString = "SER";
    auto gone = FakeHidPlatform::Device("/dev/gone", 1, 1, "Gone");
    gone.query.error = ENOENT;
    auto noAttr = FakeHidPlatform::Device("/dev/noattr", 1, 1, "NoAttr");
    noAttr.query.haveAttributes = false;
    auto noCaps = FakeHidPlatform::Device("/dev/nocaps", 1, 1, "NoCaps");
    noCaps.query.haveCaps = false;
    auto good = FakeHidPlatform::Device("/dev/good", 5, 6, "Good", 9, 2);
    good.query.featureReportLength = 4;
    p.devices = {gone, held, noAttr, good, noCaps};

    TnrHid link(p);
    link.Update();
    ASSERT_EQ(link.GetDeviceCount(), 2);
    const TnrHidDevice& h = *link.GetHidDevice(0);
    EXPECT_EQ(h.devicePath, "/dev/held");
    EXPECT_EQ(h.productString, "Keyboard");
    EXPECT_EQ(h.serialNumberString, "");
    EXPECT_EQ(h.GetVendorId(), 0);
    EXPECT_EQ(h.GetProductId(), 0);
    EXPECT_EQ(h.GetReportLength(ReportKind::Output) + h.GetReportLength(ReportKind::Input) +
                  h.GetReportLength(ReportKind::Feature),
              0);

    const TnrHidDevice& g = *link.GetHidDevice(1);
    EXPECT_EQ(g.devicePath, "/dev/good");
    EXPECT_EQ(g.GetReportLength(ReportKind::Output), 2);  // output
    EXPECT_EQ(g.GetReportLength(ReportKind::Input), 9);  // input
    EXPECT_EQ(g.GetReportLength(ReportKind::Feature), 4);  // feature
    // A kind outside the three (never made by the link itself) reads as the feature length.
    EXPECT_EQ(g.GetReportLength(static_cast<ReportKind>(-1)), 4);
    EXPECT_EQ(g.GetReportLength(static_cast<ReportKind>(7)), 4);
}

TEST(HidLinkList, SelectionIsRestoredByIndexAfterALoad) {
    FakeHidPlatform p;
    p.devices = {FakeHidPlatform::Device("/dev/a", 1, 1, "First"), FakeHidPlatform::Device("/dev/b", 2, 2, "Second")};
    TnrHid link(p);
    link.Update();
    link.SetDeviceIndex(1);
    EXPECT_EQ(link.GetProductString(), "Second");

    // The device at index 1 is another one now: the index, not the device, is kept.
    p.devices = {FakeHidPlatform::Device("/dev/a", 1, 1, "First"), FakeHidPlatform::Device("/dev/c", 3, 3, "Third")};
    link.Update();
    EXPECT_EQ(link.GetProductString(), "Third");
    EXPECT_EQ(link.GetDevicePath(), "/dev/c");

    // An index equal to the new count selects nothing.
    p.devices = {FakeHidPlatform::Device("/dev/a", 1, 1, "First")};
    link.Update();
    EXPECT_EQ(link.GetCurrentDevice(), nullptr);
    EXPECT_EQ(link.GetVendorId(), 0);
    EXPECT_EQ(link.GetProductString(), "");

    link.SetDeviceIndex(0);
    link.Update();
    EXPECT_EQ(link.GetProductString(), "First");

    link.SetDeviceIndex(-1);
    EXPECT_EQ(link.GetCurrentDevice(), nullptr);
}

TEST(HidLinkList, ANestedLoadIsIgnoredAndAFailedLoadDoesNotBlockTheNext) {
    FakeHidPlatform p;
    p.devices = {FakeHidPlatform::Device("/dev/a", 1, 1, "First")};
    TnrHid link(p);
    int nested = 0;
    p.onEnumerate = [&] {
        if (nested++ == 0) link.Update();
    };
    link.Update();
    EXPECT_EQ(p.enumerateCalls, 1);
    EXPECT_EQ(link.GetDeviceCount(), 1);

    p.onEnumerate = [] { throw std::runtime_error("walk failed"); };
    EXPECT_THROW(link.Update(), std::runtime_error);
    p.onEnumerate = nullptr;
    link.Update();
    EXPECT_EQ(p.enumerateCalls, 3);
    EXPECT_EQ(link.GetDeviceCount(), 1);
}

TEST(HidLinkList, GetDeviceListLoadsOnlyAnEmptyList) {
    FakeHidPlatform p;
    TnrHid link(p);
    link.Update();
    link.GetDeviceList();
    EXPECT_EQ(p.enumerateCalls, 2);
    EXPECT_EQ(link.GetDeviceCount(), 0);

    p.devices = {FakeHidPlatform::Device("/dev/a", 1, 1, "First")};
    link.Update();
    link.GetDeviceList();
    EXPECT_EQ(p.enumerateCalls, 3);
}

// ---- Opening -------------------------------------------------------------------------------

struct LinkFixture : ::testing::Test {
    FakeHidPlatform p;
    TnrHid link{p};
    std::atomic<int> opens{0}, closes{0};
    std::mutex got;
    std::vector<std::vector<std::uint8_t>> reports;
    std::vector<std::uint32_t> lengths;

    void SetUp() override {
        p.devices = {FakeHidPlatform::Device("/dev/prog", 0x04D8, 0x003F, "Programmer")};
        link.OnOpen = [this](DeviceLink&) { ++opens; };
        link.OnClose = [this](DeviceLink&) { ++closes; };
        link.OnAfterReceive = [this](DeviceLink&, const std::uint8_t* b, std::uint32_t n) {
            std::lock_guard lock(got);
            reports.emplace_back(b, b + n);
            lengths.push_back(n);
        };
        link.Update();
        link.SetDeviceIndex(0);
    }
    std::size_t ReportCount() {
        std::lock_guard lock(got);
        return reports.size();
    }
};

TEST_F(LinkFixture, OpenFallsBackThroughTheFourAccessModes) {
    link.SetSharedMode(false);
    p.openFailures = {{Access::ReadWrite, EACCES}};
    link.SetActive(true);
    ASSERT_TRUE(link.GetActive());
    EXPECT_TRUE(link.CanRead());
    EXPECT_FALSE(link.CanWrite());
    ASSERT_EQ(p.openCalls.size(), 2u);
    EXPECT_EQ(p.openCalls[1].first, Access::Read);
    EXPECT_FALSE(p.openCalls[1].second);
    EXPECT_TRUE(p.device(0)->waitForPendingRead());  // a reader runs
    const std::uint8_t report[65] = {};
    EXPECT_FALSE(link.WriteReport(report, 65));
    EXPECT_TRUE(p.device(0)->writes().empty());
    link.SetActive(false);

    p.openFailures = {{Access::ReadWrite, EACCES}, {Access::Read, EACCES}};
    link.SetActive(true);
    EXPECT_FALSE(link.CanRead());
    EXPECT_TRUE(link.CanWrite());
    EXPECT_TRUE(link.WriteReport(report, 65));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(p.device(1)->readCalls(), 0);  // no reader without read access
    link.SetActive(false);

    p.openFailures = {{Access::ReadWrite, EACCES}, {Access::Read, EACCES}, {Access::Write, EACCES}};
    link.SetActive(true);
    EXPECT_TRUE(link.GetActive());
    EXPECT_FALSE(link.CanRead());
    EXPECT_FALSE(link.CanWrite());
    EXPECT_FALSE(link.WriteReport(report, 65));
    EXPECT_EQ(opens, 3);
    link.SetActive(false);
    EXPECT_EQ(closes, 3);
    EXPECT_TRUE(p.device(2)->closed());
}

TEST_F(LinkFixture, NoSelectionRaisesCode16Detail2) {
    link.SetDeviceIndex(5);
    std::vector<std::tuple<std::uint32_t, std::uint32_t, std::string>> errors;
    link.OnFatalError = [&](DeviceLink&, std::uint32_t code, std::uint32_t detail, const std::string& msg, bool& raise) {
        errors.emplace_back(code, detail, msg);
        EXPECT_TRUE(raise);
    };
    try {
        link.SetActive(true);
        FAIL() << "no error raised";
    } catch (const HidError& e) {
        EXPECT_EQ(e.ErrorCode(), 16u);
        EXPECT_EQ(e.Detail(), 2u);
        EXPECT_STREQ(e.what(), "Active device is not selected");
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], std::make_tuple(16u, 2u, std::string("Active device is not selected")));
    EXPECT_TRUE(p.openCalls.empty());
    EXPECT_FALSE(link.GetActive());
    EXPECT_EQ(opens, 0);
}

TEST_F(LinkFixture, AllAttemptsFailingReportTheLastError) {
    p.openFailures = {{Access::ReadWrite, EACCES}, {Access::Read, EBUSY}, {Access::Write, EIO}, {Access::None, ENODEV}};
    std::uint32_t detail = 0;
    std::string message;
    link.OnFatalError = [&](DeviceLink&, std::uint32_t, std::uint32_t d, const std::string& m, bool&) {
        detail = d;
        message = m;
    };
    EXPECT_THROW(link.SetActive(true), HidError);
    EXPECT_EQ(p.openCalls.size(), 4u);
    EXPECT_EQ(detail, static_cast<std::uint32_t>(ENODEV));
    EXPECT_EQ(message, p.errorText(ENODEV));

    // A handler that clears RaiseException suppresses the error; the link stays closed.
    link.OnFatalError = [](DeviceLink&, std::uint32_t, std::uint32_t, const std::string&, bool& raise) {
        raise = false;
    };
    EXPECT_NO_THROW(link.SetActive(true));
    EXPECT_FALSE(link.GetActive());
    EXPECT_EQ(opens, 0);
    EXPECT_EQ(closes, 0);
}

TEST_F(LinkFixture, SetActiveToTheCurrentStateDoesNothing) {
    link.SetActive(false);
    EXPECT_EQ(closes, 0);
    link.SetActive(true);
    link.SetActive(true);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(p.openCalls.size(), 1u);
    link.SetActive(false);
    link.SetActive(false);
    link.Close();
    EXPECT_EQ(closes, 1);
    const std::uint8_t report[65] = {};
    EXPECT_FALSE(link.WriteReport(report, 65));
}

TEST_F(LinkFixture, FailingOpenAndCloseHandlersDoNotChangeTheState) {
    link.OnOpen = [](DeviceLink&) { throw std::runtime_error("open handler"); };
    link.OnClose = [](DeviceLink&) { throw std::runtime_error("close handler"); };
    EXPECT_NO_THROW(link.SetActive(true));
    EXPECT_TRUE(link.GetActive());
    EXPECT_NO_THROW(link.SetActive(false));
    EXPECT_FALSE(link.GetActive());
}

// ---- The reader ----------------------------------------------------------------------------

TEST_F(LinkFixture, EveryReportHasTheInputLengthAndAShortReadEndsInZeros) {
    link.SetActive(true);
    auto dev = p.device(0);
    dev->pushReport(std::vector<std::uint8_t>(65, 0xAA));
    dev->pushReport({0x00, 0x11, 0x22, 0x33});
    ASSERT_TRUE(Eventually([&] { return ReportCount() == 2; }));
    link.SetActive(false);
    std::lock_guard lock(got);
    EXPECT_EQ(lengths, (std::vector<std::uint32_t>{65, 65}));
    EXPECT_EQ(reports[0], std::vector<std::uint8_t>(65, 0xAA));
    std::vector<std::uint8_t> shortOne(65, 0);
    shortOne[1] = 0x11;
    shortOne[2] = 0x22;
    shortOne[3] = 0x33;
    EXPECT_EQ(reports[1], shortOne);  // no 0xAA left over from the previous report
}

TEST_F(LinkFixture, AFailedReadClosesTheLinkOnTheReaderThread) {
    std::thread::id closeThread;
    link.OnClose = [&](DeviceLink&) {
        closeThread = std::this_thread::get_id();
        ++closes;
    };
    link.SetActive(true);
    auto dev = p.device(0);
    ASSERT_TRUE(dev->waitForPendingRead());
    dev->failReads(ENODEV);
    ASSERT_TRUE(Eventually([&] { return !link.GetActive(); }));
    ASSERT_TRUE(Eventually([&] { return closes == 1; }));
    EXPECT_NE(closeThread, std::this_thread::get_id());
    EXPECT_TRUE(dev->closed());
    link.SetActive(false);  // the search's close afterwards finds nothing to close
    EXPECT_EQ(closes, 1);
}

TEST_F(LinkFixture, AThrowingReceiveHandlerClosesTheLinkSoItCanBeReopened) {
    std::atomic<int> calls{0};
    link.OnAfterReceive = [&](DeviceLink&, const std::uint8_t*, std::uint32_t) {
        if (calls++ == 0) throw std::runtime_error("decoder failed");
    };
    link.SetActive(true);
    p.device(0)->pushReport({0, 1});
    ASSERT_TRUE(Eventually([&] { return closes == 1; }));
    EXPECT_FALSE(link.GetActive());

    link.SetActive(true);
    p.device(1)->pushReport({0, 2});
    ASSERT_TRUE(Eventually([&] { return calls == 2; }));
    EXPECT_TRUE(link.GetActive());
}

TEST_F(LinkFixture, AReportCompletingDuringCloseIsNotDelivered) {
    p.prepareDevice = [](FakeHidDevice& d) { d.holdReads(true); };
    link.SetActive(true);
    auto dev = p.device(0);
    ASSERT_TRUE(dev->waitForPendingRead());
    link.SetActive(false);  // returns at once although the read is still pending
    EXPECT_EQ(closes, 1);
    dev->pushReport(std::vector<std::uint8_t>(65, 0x55));
    dev->holdReads(false);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ReportCount(), 0u);
    EXPECT_EQ(dev->readCalls(), 1);
    EXPECT_EQ(closes, 1);
}

TEST_F(LinkFixture, AWindingDownReaderNeverTouchesTheNextSession) {
    p.prepareDevice = [](FakeHidDevice& d) { d.holdReads(true); };
    link.SetActive(true);
    auto first = p.device(0);
    ASSERT_TRUE(first->waitForPendingRead());
    link.SetActive(false);

    p.prepareDevice = nullptr;
    link.SetActive(true);
    auto second = p.device(1);
    second->pushReport({0, 0xB1});
    ASSERT_TRUE(Eventually([&] { return ReportCount() == 1; }));

    // Now the old read completes with data: it must be neither delivered nor followed by a read.
    first->pushReport({0, 0xA1});
    first->holdReads(false);
    second->pushReport({0, 0xB2});
    ASSERT_TRUE(Eventually([&] { return ReportCount() == 2; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(link.GetActive());
    EXPECT_EQ(closes, 1);
    {
        std::lock_guard lock(got);
        ASSERT_EQ(reports.size(), 2u);
        EXPECT_EQ(reports[0][1], 0xB1);
        EXPECT_EQ(reports[1][1], 0xB2);
    }
    EXPECT_EQ(first->readCalls(), 1);
    const auto oldReaders = first->readerThreads();
    const auto newReaders = second->readerThreads();
    ASSERT_EQ(oldReaders.size(), 1u);
    ASSERT_EQ(newReaders.size(), 1u);
    EXPECT_NE(*oldReaders.begin(), *newReaders.begin());
    EXPECT_EQ(second->readsAfterClose(), 0);
}

TEST(HidLinkRace, UnplugDuringReadClosesExactlyOnce) {
    for (int round = 0; round < 200; ++round) {
        FakeHidPlatform p;
        p.devices = {FakeHidPlatform::Device("/dev/prog", 0x04D8, 0x003F, "Programmer")};
        std::atomic<int> closes{0}, delivered{0};
        std::shared_ptr<FakeHidDevice> dev;
        {
            TnrHid link(p);
            link.OnClose = [&](DeviceLink&) { ++closes; };
            link.OnAfterReceive = [&](DeviceLink&, const std::uint8_t*, std::uint32_t) { ++delivered; };
            link.Update();
            link.SetDeviceIndex(0);
            link.SetActive(true);
            dev = p.device(0);
            ASSERT_TRUE(dev->waitForPendingRead());
            std::thread unplug([&] { dev->failReads(ENODEV); });
            link.SetActive(false);  // the removal's search, racing the reader's own close
            unplug.join();
            EXPECT_FALSE(link.GetActive());
        }  // destroying the link waits for the reader
        EXPECT_EQ(closes, 1) << "round " << round;
        EXPECT_EQ(delivered, 0);
        EXPECT_LE(dev->readCalls(), 1);
    }
}

TEST_F(LinkFixture, WritesFromTwoThreadsNeverInterleave) {
    link.SetActive(true);
    auto dev = p.device(0);
    dev->setWriteDelay(std::chrono::microseconds(20));
    auto writer = [&](std::uint8_t value) {
        std::vector<std::uint8_t> report(65, value);
        report[0] = 0;
        for (int i = 0; i < 300; ++i) EXPECT_TRUE(link.WriteReport(report.data(), 65));
    };
    std::thread a(writer, 0x11), b(writer, 0x22);
    a.join();
    b.join();
    EXPECT_FALSE(dev->writesOverlapped());
    const auto writes = dev->writes();
    ASSERT_EQ(writes.size(), 600u);
    for (const auto& w : writes) {
        ASSERT_EQ(w.size(), 65u);
        EXPECT_EQ(std::count(w.begin() + 1, w.end(), w[1]), 64);
    }
}

TEST(HidLinkLifetime, DestroyingAnOpenLinkClosesItOnce) {
    FakeHidPlatform p;
    p.devices = {FakeHidPlatform::Device("/dev/prog", 0x04D8, 0x003F, "Programmer")};
    int closes = 0;
    std::shared_ptr<FakeHidDevice> dev;
    {
        TnrHid link(p);
        link.OnClose = [&](DeviceLink&) { ++closes; };
        link.Update();
        link.SetDeviceIndex(0);
        link.SetActive(true);
        dev = p.device(0);
        ASSERT_TRUE(dev->waitForPendingRead());
    }
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(dev->closed());
}

}  // namespace
}  // namespace quillon::hid
