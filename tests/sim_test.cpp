// Tests of the simulated programmer through the HID platform interface alone: the device side of
// the protocol (identify, read, write, NOR flash, protection, reset), the fault modes, access
// rules, pacing, unplugging and the chip file shared between processes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "sim/SimPlatform.h"

using namespace quillon;
using namespace quillon::sim;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Reads one report, giving up (through cancelRead) after a deadline so that a broken device
// fails the test instead of hanging it.
struct ReadResult {
    int n = -1;
    int error = 0;
    Bytes bytes;
};

ReadResult readWithin(hid::Device& dev, std::chrono::milliseconds limit = 2000ms) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread guard([&] {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, limit, [&] { return done; })) dev.cancelRead();
    });
    ReadResult r;
    r.bytes.assign(65, 0xEE);
    r.n = dev.read(r.bytes);
    r.error = r.n < 0 ? dev.lastError() : 0;
    {
        std::lock_guard lock(m);
        done = true;
    }
    cv.notify_all();
    guard.join();
    return r;
}

Bytes frame(const Bytes& message) {
    Bytes report(65, 0);
    std::copy_n(message.begin(), std::min<std::size_t>(message.size(), 64), report.begin() + 1);
    return report;
}

Bytes command(std::uint8_t op, std::uint32_t length, bool erase = false, bool protect = false,
              bool reset = false, bool verify = true) {
    Bytes c(24, 0);
    c[0] = op;
    c[1] = verify;
    c[3] = reset;
    for (int i = 0; i < 4; ++i) c[8 + i] = std::uint8_t(length >> (8 * i));
    c[12] = protect;
    c[13] = erase;
    return c;
}

const Bytes kConnect = {0x01, 0x00, 0x02, 0x02, 0x04, 0x00};

std::uint8_t xorSum(const Bytes& b, std::size_t n) {
    std::uint8_t s = 0x1A;
    for (std::size_t i = 0; i < n; ++i) s ^= b[i];
    return s;
}

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t((i * 7 + seed * 13 + (i >> 8)) & 0xFF);
    return b;
}

SimOptions opts(std::string scenario, int programmers = 1, bool paced = false, std::string file = {}) {
    SimOptions o;
    o.scenario = std::move(scenario);
    o.programmers = programmers;
    o.paced = paced;
    o.flashFile = std::move(file);
    return o;
}

template <typename Set>
SimFaults fault(Set set) {
    SimFaults f;
    set(f);
    return f;
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim = SimPlatform::fromOptions({});
        path = sim->programmerPath(0);
        dev = openRW(path);
    }
    std::shared_ptr<hid::Device> openRW(const std::string& p) {
        auto r = sim->open(p, hid::Access::ReadWrite, true);
        EXPECT_EQ(r.error, 0);
        return r.device;
    }
    void send(const Bytes& message) { ASSERT_TRUE(dev->write(frame(message))) << dev->lastError(); }
    // The next reply's 64-byte payload (report ID checked and stripped).
    Bytes reply() {
        auto r = readWithin(*dev);
        EXPECT_EQ(r.n, 65) << "error " << r.error;
        EXPECT_EQ(r.bytes[0], 0) << "report ID";
        return Bytes(r.bytes.begin() + 1, r.bytes.end());
    }
    // Writes an image the way the host streams it: full 64-byte packets padded with pad.
    std::uint8_t writeImage(const Bytes& image, bool erase, bool protect = false, bool reset = false,
                            std::uint8_t pad = 0x00) {
        send(command(kOpWrite, std::uint32_t(image.size()), erase, protect, reset));
        EXPECT_EQ(reply()[0], kOpWrite);
        for (std::size_t at = 0; at < image.size(); at += 64) {
            Bytes packet(64, pad);
            std::copy_n(image.begin() + std::ptrdiff_t(at), std::min<std::size_t>(64, image.size() - at),
                        packet.begin());
            send(packet);
        }
        Bytes sum = reply();
        EXPECT_EQ(sum[0], kOpChecksum);
        return sum[1];
    }
    Bytes readFlash(std::uint32_t length) {
        send(command(kOpRead, length));
        EXPECT_EQ(reply()[0], kOpRead);
        Bytes data;
        for (std::uint32_t i = 0; i < (length + 63) / 64; ++i) {
            Bytes p = reply();
            data.insert(data.end(), p.begin(), p.end());
        }
        return data;
    }

    std::unique_ptr<SimPlatform> sim;
    std::string path;
    std::shared_ptr<hid::Device> dev;
};

}  // namespace

TEST(SimChecksum, SeedAndXor) {
    EXPECT_EQ(checksum({}), 0x1A);
    const Bytes abc = {'a', 'b', 'c'};
    EXPECT_EQ(checksum(abc), 0x7A);
}

TEST(SimEnumeration, ProgrammersAndUnrelatedDevicesAreListedWithTheirIdentity) {
    auto sim = SimPlatform::fromOptions(opts("mixed", 2));
    auto list = sim->enumerate();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].path, "sim:keyboard");
    EXPECT_EQ(list[1].path, "sim:other");

    auto kb = sim->query("sim:keyboard", true);
    EXPECT_EQ(kb.error, 0);
    EXPECT_EQ(kb.vendorId, 0x046D);
    EXPECT_EQ(kb.productId, 0xC31C);
    EXPECT_EQ(kb.inputReportLength, 9);
    EXPECT_EQ(kb.outputReportLength, 2);
    auto other = sim->query("sim:other", true);
    EXPECT_EQ(other.vendorId, kProgrammerVendorId);
    EXPECT_NE(other.productId, kProgrammerProductId);

    for (int i = 0; i < 2; ++i) {
        auto q = sim->query(list[2 + std::size_t(i)].path, true);
        EXPECT_EQ(list[2 + std::size_t(i)].path, sim->programmerPath(i));
        EXPECT_EQ(q.error, 0);
        EXPECT_EQ(q.vendorId, 0x04D8);
        EXPECT_EQ(q.productId, 0x003F);
        EXPECT_EQ(q.inputReportLength, 65);
        EXPECT_EQ(q.outputReportLength, 65);
        EXPECT_EQ(q.featureReportLength, 0);
        EXPECT_EQ(q.productString, "Quillon Sim Programmer");
        EXPECT_EQ(q.serialNumberString, i == 0 ? "SIM0001" : "SIM0002");
    }
    auto bare = sim->query(sim->programmerPath(0), false);
    EXPECT_TRUE(bare.productString.empty());
    EXPECT_TRUE(bare.serialNumberString.empty());
    EXPECT_EQ(bare.vendorId, 0x04D8);
    EXPECT_EQ(sim->query("sim:nothing", true).error, ENOENT);
    EXPECT_EQ(sim->open("sim:nothing", hid::Access::ReadWrite, true).error, ENOENT);
}

TEST(SimScenarios, UnknownNameListsTheKnownOnes) {
    try {
        SimPlatform::fromOptions(opts("bogus"));
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("bogus"), std::string::npos);
        for (const auto& name : SimPlatform::scenarioNames()) EXPECT_NE(what.find(name), std::string::npos);
    }
    EXPECT_THROW(SimPlatform::fromOptions(opts("default", 0)), std::invalid_argument);
    for (const auto& name : SimPlatform::scenarioNames())
        EXPECT_NO_THROW(SimPlatform::fromOptions(opts(name))) << name;
    EXPECT_TRUE(SimPlatform::fromOptions(opts("no-programmer"))->enumerate().size() == 2);
    auto big = SimPlatform::fromOptions(opts("lu1-32k"));
    EXPECT_EQ(big->flash(big->programmerPath(0)).size(), kFlash32K);
}

TEST_F(SimTest, IdentifyEchoesTheConnectBlock) {
    send(kConnect);
    Bytes r = reply();
    EXPECT_EQ(r[0], kOpIdentify);
    EXPECT_EQ(r[1], 1) << "chip present";
    EXPECT_EQ(r[2], 1);
    EXPECT_EQ(r[3], 2);
    EXPECT_EQ(r[4] | r[5] << 8, 4);

    // The echo is computed from the block received, not a constant.
    send({0x01, 0x00, 0x03, 0x01, 0x10, 0x01});
    r = reply();
    EXPECT_EQ(r[4] | r[5] << 8, (0x03 ^ 0x01) | 0x0110);
    auto log = sim->commandLog(path);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(std::equal(kConnect.begin(), kConnect.end(), log[0].begin()));
}

TEST_F(SimTest, WriteProgramsOnlyTheImageAndReadsBack) {
    const Bytes image = pattern(100, 1);
    // Padding of the last packet is zero: if it were programmed, bytes 100..127 would be cleared.
    EXPECT_EQ(writeImage(image, true), xorSum(image, image.size()));
    Bytes flash = sim->flash(path);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + 100, flash.end(), [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(sim->imagePacketsReceived(path), 2u);

    Bytes back = readFlash(kFlash16K);
    ASSERT_EQ(back.size(), kFlash16K);
    EXPECT_EQ(back, flash);
}

TEST_F(SimTest, WriteWithoutEraseCanOnlyClearBits) {
    const Bytes a = pattern(4096, 2), b = pattern(4096, 5);
    writeImage(a, true);
    // The checksum covers what was received, not what the flash holds afterwards.
    EXPECT_EQ(writeImage(b, false), xorSum(b, b.size()));
    Bytes flash = sim->flash(path);
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(flash[i], a[i] & b[i]) << i;
    writeImage(b, true);
    flash = sim->flash(path);
    EXPECT_TRUE(std::equal(b.begin(), b.end(), flash.begin()));
}

TEST_F(SimTest, ProtectedChipReadsZerosAndNeedsAnErase) {
    const Bytes image = pattern(1024, 3);
    writeImage(image, true, /*protect=*/true, /*reset=*/true);
    EXPECT_TRUE(sim->isProtected(path));
    EXPECT_EQ(sim->resetCount(path), 1);

    Bytes back = readFlash(1024);
    EXPECT_TRUE(std::all_of(back.begin(), back.end(), [](auto x) { return x == 0; }));

    send(command(kOpWrite, 64, /*erase=*/false));
    EXPECT_EQ(reply()[0], kOpWrite | 0x80);
    EXPECT_EQ(sim->flash(path)[0], image[0]) << "a refused write must not touch the flash";

    writeImage(Bytes(64, 0x5A), true);
    EXPECT_FALSE(sim->isProtected(path));
    EXPECT_EQ(sim->resetCount(path), 1) << "no reset was asked for";
    EXPECT_EQ(readFlash(64), Bytes(64, 0x5A));
}

TEST_F(SimTest, BadCommandsGetFailureReplies) {
    send(command(kOpRead, kFlash16K + 64));
    EXPECT_EQ(reply()[0], 0x85);
    send(command(kOpWrite, kFlash16K + 1, true));
    EXPECT_EQ(reply()[0], 0x86);
    send(command(3, 0));
    EXPECT_EQ(reply()[0], 0x83);
    // After failures the programmer still works.
    send(kConnect);
    EXPECT_EQ(reply()[0], kOpIdentify);
    // An empty write is ready and sums nothing at once.
    send(command(kOpWrite, 0, true));
    EXPECT_EQ(reply()[0], kOpWrite);
    Bytes sum = reply();
    EXPECT_EQ(sum[0], kOpChecksum);
    EXPECT_EQ(sum[1], 0x1A);
}

TEST_F(SimTest, FaultModes) {
    SimFaults f;
    f.noChip = true;
    sim->setFaults(path, f);
    send(kConnect);
    Bytes r = reply();
    EXPECT_EQ(r[0], kOpIdentify);
    EXPECT_EQ(r[1], 0);
    send(command(kOpRead, 64));
    EXPECT_EQ(reply()[0], 0x85);
    send(command(kOpWrite, 64, true));
    EXPECT_EQ(reply()[0], 0x86);

    sim->setFaults(path, fault([](SimFaults& f) { f.failOpcode = kOpRead; }));
    send(command(kOpRead, 64));
    EXPECT_EQ(reply()[0], 0x85);
    send(kConnect);
    EXPECT_EQ(reply()[0], kOpIdentify);

    sim->setFaults(path, fault([](SimFaults& f) { f.badEcho = true; }));
    send(kConnect);
    r = reply();
    EXPECT_EQ(r[4] | r[5] << 8, 5);

    sim->setFaults(path, fault([](SimFaults& f) { f.badChecksum = true; }));
    const Bytes image = pattern(200, 4);
    EXPECT_NE(writeImage(image, true), xorSum(image, image.size()));

    sim->setFaults(path, fault([](SimFaults& f) { f.readStopAfter = 3; }));
    send(command(kOpRead, 1024));
    EXPECT_EQ(reply()[0], kOpRead);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(readWithin(*dev).n, 65);
    auto stalled = readWithin(*dev, 100ms);
    EXPECT_EQ(stalled.n, -1);
    EXPECT_EQ(stalled.error, ECANCELED);

    sim->setFaults(path, fault([](SimFaults& f) { f.silent = true; }));
    send(kConnect);
    EXPECT_EQ(readWithin(*dev, 100ms).n, -1);
    EXPECT_EQ(sim->commandLog(path).back()[0], kOpIdentify) << "a silent device still takes reports";
}

TEST_F(SimTest, UnplugDuringWriteAndReplug) {
    std::mutex m;
    std::condition_variable cv;
    int changes = 0;
    sim->setChangeListener([&] {
        std::lock_guard lock(m);
        ++changes;
        cv.notify_all();
    });
    sim->setFaults(path, fault([](SimFaults& f) { f.unplugAfterOut = 4; }));
    send(command(kOpWrite, 640, true));
    EXPECT_EQ(reply()[0], kOpWrite);
    for (int i = 0; i < 4; ++i) send(Bytes(64, 0x00));
    EXPECT_FALSE(dev->write(frame(Bytes(64, 0))));
    EXPECT_EQ(dev->lastError(), ENODEV);
    auto r = readWithin(*dev);
    EXPECT_EQ(r.n, -1);
    EXPECT_EQ(r.error, ENODEV);
    EXPECT_TRUE(sim->enumerate().empty());
    EXPECT_EQ(sim->open(path, hid::Access::ReadWrite, true).error, ENOENT);
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 2s, [&] { return changes == 1; }));
    }
    // The first 256 bytes were programmed before the cable came out.
    Bytes flash = sim->flash(path);
    EXPECT_EQ(flash[255], 0x00);
    EXPECT_EQ(flash[256], 0xFF);

    sim->plug(path);
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 2s, [&] { return changes == 2; }));
    }
    EXPECT_EQ(dev->write(frame(kConnect)), false) << "the old handle stays dead";
    dev = openRW(path);
    send(kConnect);
    EXPECT_EQ(reply()[0], kOpIdentify) << "the abandoned stream must not swallow the next command";
    sim->setChangeListener(nullptr);
}

TEST_F(SimTest, UnplugDuringReadAfterNReports) {
    sim->setFaults(path, fault([](SimFaults& f) { f.unplugAfterIn = 5; }));
    send(command(kOpRead, 4096));
    EXPECT_EQ(reply()[0], kOpRead);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(readWithin(*dev).n, 65);
    auto r = readWithin(*dev);
    EXPECT_EQ(r.n, -1);
    EXPECT_EQ(r.error, ENODEV);
    EXPECT_FALSE(sim->isPlugged(path));
}

TEST_F(SimTest, BlockedReaderWakesOnUnplugCloseAndCancel) {
    auto waitBlocked = [](hid::Device& d, auto action) {
        std::promise<int> started;
        auto result = std::async(std::launch::async, [&] {
            started.set_value(0);
            Bytes buf(65);
            int n = d.read(buf);
            return std::pair(n, d.lastError());
        });
        started.get_future().wait();
        std::this_thread::sleep_for(50ms);  // let the reader reach its wait; correctness does not depend on it
        action();
        EXPECT_EQ(result.wait_for(2s), std::future_status::ready);
        return result.get();
    };
    auto [n1, e1] = waitBlocked(*dev, [&] { dev->cancelRead(); });
    EXPECT_EQ(n1, -1);
    EXPECT_EQ(e1, ECANCELED);
    // Later reads block again and still get data.
    send(kConnect);
    EXPECT_EQ(reply()[0], kOpIdentify);

    auto [n2, e2] = waitBlocked(*dev, [&] { sim->unplug(path); });
    EXPECT_EQ(n2, -1);
    EXPECT_EQ(e2, ENODEV);

    sim->plug(path);
    dev = openRW(path);
    auto [n3, e3] = waitBlocked(*dev, [&] { dev->close(); });
    EXPECT_EQ(n3, -1);
    EXPECT_EQ(e3, EBADF);
    EXPECT_FALSE(dev->write(frame(kConnect)));
    EXPECT_EQ(sim->openHandleCount(path), 0);
}

TEST(SimAccess, HandlesHonourTheirAccessMode) {
    auto sim = SimPlatform::fromOptions({});
    const auto path = sim->programmerPath(0);
    auto writer = sim->open(path, hid::Access::Write, true).device;
    auto reader = sim->open(path, hid::Access::Read, true).device;
    auto none = sim->open(path, hid::Access::None, true).device;
    ASSERT_TRUE(writer && reader && none);
    Bytes buf(65);
    EXPECT_EQ(writer->read(buf), -1);
    EXPECT_EQ(writer->lastError(), EBADF);
    EXPECT_EQ(none->read(buf), -1);
    EXPECT_FALSE(reader->write(frame(kConnect)));
    EXPECT_EQ(reader->lastError(), EBADF);
    EXPECT_FALSE(none->write(frame(kConnect)));
    // The reply of a write through one handle reaches the reading handle.
    EXPECT_TRUE(writer->write(frame(kConnect)));
    auto r = readWithin(*reader);
    EXPECT_EQ(r.n, 65);
    EXPECT_EQ(r.bytes[1], kOpIdentify);
    // Malformed reports are refused, not half-taken.
    EXPECT_FALSE(writer->write(Bytes(64, 0)));
    EXPECT_EQ(writer->lastError(), EINVAL);
    Bytes withId = frame(kConnect);
    withId[0] = 2;
    EXPECT_FALSE(writer->write(withId));
}

TEST(SimAccess, ReducedAccessBusyAndExclusive) {
    auto ro = SimPlatform::fromOptions(opts("readonly"));
    const auto p = ro->programmerPath(0);
    EXPECT_EQ(ro->open(p, hid::Access::ReadWrite, true).error, EACCES);
    EXPECT_EQ(ro->open(p, hid::Access::Write, true).error, EACCES);
    EXPECT_NE(ro->open(p, hid::Access::Read, true).device, nullptr);
    EXPECT_EQ(ro->query(p, true).error, 0);

    auto busy = SimPlatform::fromOptions(opts("busy"));
    const auto b = busy->programmerPath(0);
    EXPECT_EQ(busy->enumerate().size(), 1u);
    EXPECT_EQ(busy->query(b, true).error, hid::kSharingViolation);
    EXPECT_EQ(busy->open(b, hid::Access::None, true).error, hid::kSharingViolation);
    busy->setHeldExclusively(b, false);
    auto mine = busy->open(b, hid::Access::ReadWrite, /*shared=*/false);
    ASSERT_NE(mine.device, nullptr);
    EXPECT_EQ(busy->open(b, hid::Access::Read, true).error, hid::kSharingViolation);
    mine.device->close();
    EXPECT_EQ(busy->open(b, hid::Access::Read, true).error, 0);
    EXPECT_FALSE(busy->errorText(hid::kSharingViolation).empty());

    auto mixed = SimPlatform::fromOptions(opts("mixed"));
    auto kb = mixed->open("sim:keyboard", hid::Access::ReadWrite, true).device;
    EXPECT_FALSE(kb->write(frame(kConnect))) << "a keyboard takes 2-byte output reports";
    EXPECT_EQ(kb->lastError(), EINVAL);
    EXPECT_TRUE(kb->write(Bytes{0, 1}));
}

TEST(SimPacing, StreamsKeepOneReportPerMillisecond) {
    auto sim = SimPlatform::fromOptions(opts("default", 1, true));
    auto dev = sim->open(sim->programmerPath(0), hid::Access::ReadWrite, true).device;
    // Each clock starts before the command: the programmer paces from the moment it takes the
    // command, which a clock started after the write would miss by a fraction of a millisecond.
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(dev->write(frame(command(kOpRead, kFlash16K))));
    for (int i = 0; i < 257; ++i) ASSERT_EQ(readWithin(*dev).n, 65) << i;
    EXPECT_GE(std::chrono::steady_clock::now() - start, 255ms);

    start = std::chrono::steady_clock::now();
    ASSERT_TRUE(dev->write(frame(command(kOpWrite, kFlash16K, true))));
    ASSERT_EQ(readWithin(*dev).bytes[1], kOpWrite);
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(dev->write(frame(Bytes(64, 0x11))));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 255ms);
    EXPECT_EQ(readWithin(*dev).bytes[1], kOpChecksum);
}

TEST(SimChipFile, SharedBetweenPlatformsAndRejectedWhenDamaged) {
    const auto file = std::filesystem::temp_directory_path() /
                      ("quillon_sim_chip_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                       "_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::remove(file);
    const Bytes image = pattern(300, 9);
    {
        auto sim = SimPlatform::fromOptions(opts("default", 1, false, file.string()));
        auto dev = sim->open(sim->programmerPath(0), hid::Access::ReadWrite, true).device;
        dev->write(frame(command(kOpWrite, 300, true, /*protect=*/true)));
        for (std::size_t at = 0; at < 300; at += 64) {
            Bytes packet(64, 0xFF);
            std::copy_n(image.begin() + std::ptrdiff_t(at), std::min<std::size_t>(64, 300 - at), packet.begin());
            dev->write(frame(packet));
        }
    }
    ASSERT_TRUE(std::filesystem::exists(file));
    {
        auto sim = SimPlatform::fromOptions(opts("default", 1, false, file.string()));
        const auto p = sim->programmerPath(0);
        Bytes flash = sim->flash(p);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
        EXPECT_EQ(flash[300], 0xFF);
        EXPECT_TRUE(sim->isProtected(p));
    }
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path()))
        EXPECT_EQ(entry.path().string().find(file.string() + ".tmp"), std::string::npos) << "temp file left";

    EXPECT_THROW(SimPlatform::fromOptions(opts("lu1-32k", 1, false, file.string())), std::runtime_error);
    std::filesystem::resize_file(file, 1000);
    EXPECT_THROW(SimPlatform::fromOptions(opts("default", 1, false, file.string())), std::runtime_error);
    std::filesystem::remove(file);
}

TEST(SimProgrammerModel, AbandonsAWriteStreamAfterASilence) {
    SimProgrammer chip(kFlash16K);
    std::vector<Emitted> out;
    auto t = SimProgrammer::Clock::now();
    Payload cmd{};
    const Bytes c = command(kOpWrite, 256, true);
    std::copy(c.begin(), c.end(), cmd.begin());
    chip.receive(cmd, t, out);
    ASSERT_EQ(out.size(), 1u);
    chip.receive(Payload{}, t + 10ms, out);
    EXPECT_TRUE(chip.receivingImage());
    Payload connect{};
    std::copy(kConnect.begin(), kConnect.end(), connect.begin());
    chip.receive(connect, t + 10ms + SimProgrammer::kStreamTimeout + 1ms, out);
    EXPECT_FALSE(chip.receivingImage());
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].bytes[0], kOpIdentify);
    EXPECT_EQ(chip.flash()[0], 0x00);
    EXPECT_EQ(chip.flash()[64], 0xFF);
}
