// A scripted HID platform for the link's tests: a list of devices with the query answers they
// give, open failures per access mode, and devices whose reads block until a test hands them a
// report, a failure or a close, and whose writes are recorded (and checked for overlap).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hid/HidPlatform.h"

namespace quillon::testing {

class FakeHidDevice : public hid::Device {
public:
    using Bytes = std::vector<std::uint8_t>;

    int read(std::span<std::uint8_t> buffer) override;
    bool write(std::span<const std::uint8_t> report) override;
    void cancelRead() override;
    void close() override;
    int lastError() const override;

    // Script.
    void pushReport(Bytes report);         // the next read returns it (cut to the buffer size)
    void failReads(int error);             // the pending or next read fails with error
    void holdReads(bool held);             // held: cancel and close do not wake a pending read
    void setWriteDelay(std::chrono::microseconds delay);
    // Once n writes were recorded, every further write waits until the device is closed (and then
    // fails), so a test can close in the middle of a stream without racing it.
    void holdWritesAfter(std::size_t n);

    // Observations.
    bool waitForPendingRead(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    int readCalls() const;
    int readsAfterClose() const;
    std::set<std::thread::id> readerThreads() const;
    std::vector<Bytes> writes() const;
    bool writesOverlapped() const { return overlapped_; }
    bool closed() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Bytes> queue_;
    int failError_ = 0;
    bool held_ = false;
    bool closed_ = false;
    unsigned cancel_ = 0;
    int pending_ = 0;
    int readCalls_ = 0;
    int readsAfterClose_ = 0;
    int lastError_ = 0;
    std::set<std::thread::id> readerThreads_;

    mutable std::mutex writeLog_;
    std::vector<Bytes> writes_;
    std::atomic<int> writesInFlight_{0};
    std::atomic<bool> overlapped_{false};
    std::chrono::microseconds writeDelay_{0};
    std::size_t holdWritesAfter_ = static_cast<std::size_t>(-1);  // guarded by mutex_
};

class FakeHidPlatform : public hid::Platform {
public:
    struct Entry {
        hid::RawDevice raw;
        hid::DeviceQuery query;
    };
    // A fully identified device with the given IDs and report lengths.
    static Entry Device(const std::string& path, std::uint16_t vid, std::uint16_t pid, const std::string& product,
                        std::uint16_t inLen = 65, std::uint16_t outLen = 65);

    std::vector<hid::RawDevice> enumerate() override;
    hid::DeviceQuery query(const std::string& path, bool readStrings) override;
    hid::OpenResult open(const std::string& path, hid::Access access, bool shared) override;
    std::string errorText(int code) const override;
    void setChangeListener(std::function<void()> listener) override;

    // Script (set from the test thread before the link uses them).
    std::vector<Entry> devices;
    std::function<void()> onEnumerate;                        // runs inside every enumerate()
    std::map<hid::Access, int> openFailures;                  // access -> error code
    std::function<void(FakeHidDevice&)> prepareDevice;        // runs on each new device

    // Observations.
    int enumerateCalls = 0;
    std::vector<std::pair<std::string, bool>> queries;        // path, readStrings
    std::vector<std::pair<hid::Access, bool>> openCalls;      // access, shared
    std::shared_ptr<FakeHidDevice> device(std::size_t index) const;
    std::size_t openedCount() const;
    // Calls the change listener, as the platform does when a device arrives or leaves.
    void fireChange();

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeHidDevice>> opened_;
    std::function<void()> listener_;
};

}  // namespace quillon::testing
