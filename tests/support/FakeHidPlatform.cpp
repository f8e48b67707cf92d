// The scripted HID platform's devices: blocking reads fed by the test, recorded writes.
#include "support/FakeHidPlatform.h"

#include <algorithm>
#include <cstring>

namespace quillon::testing {

int FakeHidDevice::read(std::span<std::uint8_t> buffer) {
    std::unique_lock lock(mutex_);
    ++readCalls_;
    readerThreads_.insert(std::this_thread::get_id());
    if (closed_) ++readsAfterClose_;
    const unsigned cancelAtStart = cancel_;
    ++pending_;
    cv_.notify_all();
    cv_.wait(lock, [&] {
        return !queue_.empty() || failError_ != 0 || (!held_ && (closed_ || cancel_ != cancelAtStart));
    });
    --pending_;
    if (!queue_.empty()) {
        Bytes report = std::move(queue_.front());
        queue_.pop_front();
        const std::size_t n = std::min(report.size(), buffer.size());
        std::copy_n(report.begin(), n, buffer.begin());
        return static_cast<int>(n);
    }
    if (failError_ != 0) {
        lastError_ = failError_;
        failError_ = 0;
        return -1;
    }
    lastError_ = closed_ ? EBADF : ECANCELED;
    return -1;
}

bool FakeHidDevice::write(std::span<const std::uint8_t> report) {
    {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] {
            std::lock_guard log(writeLog_);
            return closed_ || writes_.size() < holdWritesAfter_;
        });
        if (closed_) {
            lastError_ = EBADF;
            return false;
        }
    }
    if (writesInFlight_.fetch_add(1) != 0) overlapped_ = true;
    // Copy byte by byte with a pause in the middle, so two unserialised writes would interleave.
    Bytes copy;
    for (std::size_t i = 0; i < report.size(); ++i) {
        copy.push_back(report[i]);
        if (i == report.size() / 2 && writeDelay_.count() > 0) std::this_thread::sleep_for(writeDelay_);
    }
    writesInFlight_.fetch_sub(1);
    std::lock_guard lock(writeLog_);
    writes_.push_back(std::move(copy));
    return true;
}

void FakeHidDevice::cancelRead() {
    std::lock_guard lock(mutex_);
    ++cancel_;
    cv_.notify_all();
}

void FakeHidDevice::holdWritesAfter(std::size_t n) {
    std::lock_guard lock(mutex_);
    holdWritesAfter_ = n;
    cv_.notify_all();
}

void FakeHidDevice::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    cv_.notify_all();
}

int FakeHidDevice::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

void FakeHidDevice::pushReport(Bytes report) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(report));
    cv_.notify_all();
}

void FakeHidDevice::failReads(int error) {
    std::lock_guard lock(mutex_);
    failError_ = error;
    cv_.notify_all();
}

void FakeHidDevice::holdReads(bool held) {
    std::lock_guard lock(mutex_);
    held_ = held;
    cv_.notify_all();
}

void FakeHidDevice::setWriteDelay(std::chrono::microseconds delay) { writeDelay_ = delay; }

bool FakeHidDevice::waitForPendingRead(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return pending_ > 0; });
}

int FakeHidDevice::readCalls() const {
    std::lock_guard lock(mutex_);
    return readCalls_;
}

int FakeHidDevice::readsAfterClose() const {
    std::lock_guard lock(mutex_);
    return readsAfterClose_;
}

std::set<std::thread::id> FakeHidDevice::readerThreads() const {
    std::lock_guard lock(mutex_);
    return readerThreads_;
}

std::vector<FakeHidDevice::Bytes> FakeHidDevice::writes() const {
    std::lock_guard lock(writeLog_);
    return writes_;
}

bool FakeHidDevice::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

FakeHidPlatform::Entry FakeHidPlatform::Device(const std::string& path, std::uint16_t vid, std::uint16_t pid,
                                               const std::string& product, std::uint16_t inLen,
                                               std::uint16_t outLen) {
    Entry e;
    e.raw.path = path;
    e.raw.description = "HID-compliant device";
    e.raw.manufacturer = "(Standard system devices)";
    e.query.productString = product;
    e.query.haveAttributes = true;
    e.query.vendorId = vid;
    e.query.productId = pid;
    e.query.versionNumber = 0x0100;
    e.query.haveCaps = true;
    e.query.usagePage = 0xFF00;
    e.query.usage = 1;
    e.query.inputReportLength = inLen;
    e.query.outputReportLength = outLen;
    return e;
}

std::vector<hid::RawDevice> FakeHidPlatform::enumerate() {
    ++enumerateCalls;
    if (onEnumerate) onEnumerate();
    std::vector<hid::RawDevice> out;
    for (const auto& e : devices) out.push_back(e.raw);
    return out;
}

hid::DeviceQuery FakeHidPlatform::query(const std::string& path, bool readStrings) {
    queries.emplace_back(path, readStrings);
    for (const auto& e : devices) {
        if (e.raw.path != path) continue;
        hid::DeviceQuery q = e.query;
        if (!readStrings) {
            q.productString.clear();
            q.manufacturerString.clear();
            q.serialNumberString.clear();
            q.indexedString3.clear();
        }
        return q;
    }
    hid::DeviceQuery gone;
    gone.error = ENOENT;
    return gone;
}

hid::OpenResult FakeHidPlatform::open(const std::string& path, hid::Access access, bool shared) {
    openCalls.emplace_back(access, shared);
    hid::OpenResult result;
    if (auto it = openFailures.find(access); it != openFailures.end()) {
        result.error = it->second;
        return result;
    }
    const bool present =
        std::any_of(devices.begin(), devices.end(), [&](const Entry& e) { return e.raw.path == path; });
    if (!present) {
        result.error = ENOENT;
        return result;
    }
    auto dev = std::make_shared<FakeHidDevice>();
    if (prepareDevice) prepareDevice(*dev);
    {
        std::lock_guard lock(mutex_);
        opened_.push_back(dev);
    }
    result.device = dev;
    return result;
}

std::string FakeHidPlatform::errorText(int code) const { return "fake error " + std::to_string(code); }

void FakeHidPlatform::setChangeListener(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

void FakeHidPlatform::fireChange() {
    std::function<void()> listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (listener) listener();
}

std::shared_ptr<FakeHidDevice> FakeHidPlatform::device(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < opened_.size() ? opened_[index] : nullptr;
}

std::size_t FakeHidPlatform::openedCount() const {
    std::lock_guard lock(mutex_);
    return opened_.size();
}

}  // namespace quillon::testing
