// The simulated HID platform: devices with their identity and access rules, open handles with
// their own input queues, pacing on a steady-clock schedule, unplugging and the change
// notifications (delivered on a thread of their own, as a device monitor would).
#include "SimPlatform.h"


#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "fs/Durable.h"
#include "fs/Files.h"

namespace quillon::sim {

using Clock = std::chrono::steady_clock;
using hid::Access;

// Delivers change notifications one by one on its own thread, so that a device that unplugs
// inside a read never calls back into the caller's stack.
class ChangeNotifier {
public:
    ~ChangeNotifier() { shutdown(); }

    void notify() {
        std::lock_guard lock(mutex_);
        if (stopped_ || !listener_) return;
        ++pending_;
        cv_.notify_all();
    }

    void setListener(std::function<void()> listener) {
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return;
            listener_ = std::move(listener);
            if (!listener_) pending_ = 0;
            if (listener_ && !thread_.joinable()) thread_ = std::thread([this] { run(); });
        }
        // Once unsubscribed, no call may still be running when we return (unless we are in it).
        if (std::this_thread::get_id() != threadId()) std::lock_guard wait(callMutex_);
    }

    void shutdown() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
            listener_ = nullptr;
            cv_.notify_all();
        }
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
        else if (thread_.joinable()) thread_.detach();
    }

private:
    std::thread::id threadId() {
        std::lock_guard lock(mutex_);
        return thread_.get_id();
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [&] { return stopped_ || pending_ > 0; });
            if (stopped_) return;
            --pending_;
            lock.unlock();
            {
                // Re-read under callMutex_, so that an unsubscribe that returned is final.
                std::lock_guard call(callMutex_);
                std::function<void()> listener;
                {
                    std::lock_guard copy(mutex_);
                    listener = listener_;
                }
                if (listener) listener();
            }
            lock.lock();
        }
    }

    std::mutex mutex_, callMutex_;
    std::condition_variable cv_;
    std::function<void()> listener_;
    int pending_ = 0;
    bool stopped_ = false;
    std::thread thread_;
};

class SimHandle;

// One simulated HID device; every field below the mutex is guarded by it.
class SimDevice {
public:
    SimDevice(std::string path, std::string description, hid::DeviceQuery identity,
              std::unique_ptr<SimProgrammer> chip, std::shared_ptr<ChangeNotifier> notifier)
        : path(std::move(path)), description(std::move(description)), identity(std::move(identity)),
          chip(std::move(chip)), notifier(std::move(notifier)) {}

    const std::string path;
    const std::string description;
    const hid::DeviceQuery identity;  // attributes, caps and strings

    std::mutex mutex;
    std::condition_variable cv;
    std::unique_ptr<SimProgrammer> chip;  // null for devices that are not programmers
    std::shared_ptr<ChangeNotifier> notifier;
    bool plugged = true;
    bool held = false;  // by another program
    bool allowRead = true, allowWrite = true;
    bool paced = false;
    std::vector<SimHandle*> handles;
    SimHandle* exclusive = nullptr;
    Clock::time_point nextIn{}, nextOut{};
    int dataIn = 0, dataOut = 0;  // data reports counted for the unplug faults
    std::string chipFile;
    std::string saveError;  // the first save of the chip that failed ("" while none has)

    std::mutex writeMutex;  // one write at a time, held across its pacing wait
    std::unique_ptr<LockedFile> chipLock;  // holds the chip file's lock while this device lives

    // Chip swapping (scenario swap:N); total 0: the same chip stays on the pins.
    struct Swap {
        int total = 0;
        int presented = 0;     // chips put on the pins so far
        bool present = false;
        bool written = false;  // a write command reached the chip on the pins
        Clock::time_point nextAt{};
        int failWrite = 0, unplug = 0;  // ordinal of the chip with that fault (0: none)
        int failWriteLast = 0;          // the last chip of the failing run
    } swap;
    std::string flashDir;
    int chipNumber = 0;  // the chip on the pins, numbered across all programmers
    std::shared_ptr<std::atomic<int>> chipCounter;
    bool replugPending = false;
    Clock::time_point replugAt{};

    void presentNextChipLocked();
    void swapBeforeLocked(std::span<const std::uint8_t> payload);

    void unplugLocked();
    void saveChipLocked();
    // Moves chipNumber on until its chip file in flashDir is new (created here).
    void claimChipNumberLocked();
    void emitLocked(const std::vector<Emitted>& out);
};

class SimHandle : public hid::Device, public std::enable_shared_from_this<SimHandle> {
public:
    struct Queued {
        Payload bytes;
        bool data;
        Clock::time_point at;
    };

    SimHandle(std::shared_ptr<SimDevice> device, Access access)
        : device_(std::move(device)), canRead_(access == Access::ReadWrite || access == Access::Read),
          canWrite_(access == Access::ReadWrite || access == Access::Write) {}
    ~SimHandle() override { close(); }

    int read(std::span<std::uint8_t> buffer) override;
    bool write(std::span<const std::uint8_t> report) override;
    void cancelRead() override;
    void close() override;
    int lastError() const override {
        std::lock_guard lock(device_->mutex);
        return error_;
    }

    bool canRead() const { return canRead_; }

    // Guarded by the device's mutex.
    std::deque<Queued> queue;
    bool gone = false;

private:
    int failLocked(int code) {
        error_ = code;
        return -1;
    }

    std::shared_ptr<SimDevice> device_;
    const bool canRead_, canWrite_;
    bool closed_ = false;
    std::uint64_t cancels_ = 0;
    int error_ = 0;
};

void SimDevice::unplugLocked() {
    if (!plugged) return;
    plugged = false;
    for (SimHandle* h : handles) {
        h->gone = true;
        h->queue.clear();
    }
    exclusive = nullptr;
    if (chip) {
        chip->abandonStream();
        saveChipLocked();
    }
    cv.notify_all();
    notifier->notify();
}

void SimDevice::saveChipLocked() {
    if (!chip || !chip->takeChanged()) return;
    try {
        if (!chipFile.empty()) saveChipFile(chipFile, *chip);
        if (!flashDir.empty() && chipNumber > 0) {
            char name[32];
            std::snprintf(name, sizeof name, "/chip-%04d.bin", chipNumber);
            const auto& bytes = chip->flash();
            WriteFileAtomically(flashDir + name,
                                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                                Durability::Durable);
        }
    } catch (const std::exception& e) {
        // The host's operation went through, but the chip it leaves is not the one later runs
        // find: the run must not end as a success (SimPlatform::chipFileError).
        if (saveError.empty()) saveError = e.what();
        std::fprintf(stderr, "simulated programmer: %s\n", e.what());
    }
}

void SimDevice::presentNextChipLocked() {
    ++swap.presented;
    swap.present = true;
    swap.written = false;
    chip->abandonStream();
    const std::vector<std::uint8_t> fresh(chip->flashSize(), 0xFF);
    chip->setFlash(fresh);
    chip->setProtected(false);
    chip->setResetCount(0);
    chip->faults.noChip = false;
    const bool failing = swap.failWrite > 0 && swap.presented >= swap.failWrite && swap.presented <= swap.failWriteLast;
    chip->faults.failOpcode = failing ? kOpWrite : 0;
    chip->faults.unplugAfterOut = swap.presented == swap.unplug ? 32 : -1;
    dataOut = 0;
    chipNumber = chipCounter ? ++*chipCounter : swap.presented;
    claimChipNumberLocked();
    saveChipLocked();
}

void SimDevice::claimChipNumberLocked() {
    if (flashDir.empty() || chipNumber <= 0) return;
    // Another process may share the folder: a number is ours once its file is created by us,
    // and the counter skips every number already taken there.
    for (;;) {
        char name[32];
        std::snprintf(name, sizeof name, "/chip-%04d.bin", chipNumber);
        const int error = CreateNewFile(flashDir + name);
        if (error != EEXIST) {
            if (error != 0) std::fprintf(stderr, "simulated programmer: %s%s: %s\n", flashDir.c_str(), name,
                                         SystemReason(error).c_str());
            return;
        }
        chipNumber = chipCounter ? ++*chipCounter : chipNumber + 1;
    }
}

void SimDevice::swapBeforeLocked(std::span<const std::uint8_t> payload) {
    if (swap.total == 0 || chip->receivingImage() || payload.empty()) return;
    const auto now = Clock::now();
    if (swap.present && swap.written && payload[0] == kOpIdentify) {
        swap.present = false;
        chip->faults.noChip = true;
        swap.nextAt = now + kSwapGap;
        return;
    }
    if (!swap.present && swap.presented < swap.total && now >= swap.nextAt) presentNextChipLocked();
    if (swap.present && payload[0] == kOpWrite) swap.written = true;
}

void SimDevice::emitLocked(const std::vector<Emitted>& out) {
    if (out.empty()) return;
    const auto now = Clock::now();
    for (const Emitted& e : out) {
        Clock::time_point at = now;
        if (paced) {
            at = std::max(now, nextIn);
            nextIn = at + std::chrono::milliseconds(1);
        }
        for (SimHandle* h : handles)
            if (h->canRead() && !h->gone) h->queue.push_back({e.bytes, e.data, at});
    }
    cv.notify_all();
}

int SimHandle::read(std::span<std::uint8_t> buffer) {
    SimDevice& d = *device_;
    std::unique_lock lock(d.mutex);
    if (buffer.empty()) return failLocked(EINVAL);
    if (!canRead_ || closed_) return failLocked(EBADF);
    const std::uint64_t cancels = cancels_;
    for (;;) {
        if (closed_) return failLocked(EBADF);
        if (gone) return failLocked(ENODEV);
        if (cancels_ != cancels) return failLocked(ECANCELED);
        if (queue.empty()) {
            d.cv.wait(lock);
            continue;
        }
        const auto at = queue.front().at;
        if (Clock::now() < at) {
            d.cv.wait_until(lock, at);
            continue;
        }
        break;
    }
    const Queued item = queue.front();
    queue.pop_front();
    std::fill(buffer.begin(), buffer.end(), std::uint8_t(0));
    buffer[0] = 0;  // these devices use no report IDs
    const std::size_t n = std::min(buffer.size() - 1, item.bytes.size());
    std::copy_n(item.bytes.begin(), n, buffer.begin() + 1);

    if (item.data && d.chip && d.chip->faults.unplugAfterIn >= 0 &&
        ++d.dataIn >= d.chip->faults.unplugAfterIn) {
        d.chip->faults.unplugAfterIn = -1;  // a cable is pulled once
        d.unplugLocked();
    }
    error_ = 0;
    return int(n + 1);
}

bool SimHandle::write(std::span<const std::uint8_t> report) {
    SimDevice& d = *device_;
    std::lock_guard serial(d.writeMutex);
    std::unique_lock lock(d.mutex);
    const auto check = [&]() -> int {
        if (closed_ || !canWrite_) return EBADF;
        if (gone) return ENODEV;
        if (report.size() != d.identity.outputReportLength || report[0] != 0) return EINVAL;
        return 0;
    };
    if (int code = check()) return failLocked(code), false;
    if (d.chip && d.chip->faults.refuseOutAfter >= 0 &&
        d.chip->imagePacketsReceived() >= static_cast<std::size_t>(d.chip->faults.refuseOutAfter))
        return failLocked(EIO), false;

    if (d.paced) {
        const auto slot = std::max(Clock::now(), d.nextOut);
        d.nextOut = slot + std::chrono::milliseconds(1);
        lock.unlock();
        std::this_thread::sleep_until(slot);
        lock.lock();
        if (int code = check()) return failLocked(code), false;
    }

    error_ = 0;
    if (!d.chip) return true;  // other devices take output reports and ignore them
    std::vector<Emitted> out;
    const std::size_t packetsBefore = d.chip->imagePacketsReceived();
    d.swapBeforeLocked(report.subspan(1));
    d.chip->receive(report.subspan(1), Clock::now(), out);
    d.emitLocked(out);
    d.saveChipLocked();
    if (d.chip->imagePacketsReceived() != packetsBefore && d.chip->faults.unplugAfterOut >= 0 &&
        ++d.dataOut >= d.chip->faults.unplugAfterOut) {
        d.chip->faults.unplugAfterOut = -1;
        d.unplugLocked();
        if (d.swap.total > 0) {
            // The operator plugs the cable back in: the programmer returns on the next look.
            d.replugPending = true;
            d.replugAt = Clock::now() + kReplugDelay;
        }
    }
    return true;
}

void SimHandle::cancelRead() {
    std::lock_guard lock(device_->mutex);
    ++cancels_;
    device_->cv.notify_all();
}

void SimHandle::close() {
    SimDevice& d = *device_;
    std::lock_guard lock(d.mutex);
    if (closed_) return;
    closed_ = true;
    queue.clear();
    std::erase(d.handles, this);
    if (d.exclusive == this) d.exclusive = nullptr;
    d.cv.notify_all();
}

// ---------------------------------------------------------------------------------------------

namespace {

hid::DeviceQuery identityOf(std::uint16_t vid, std::uint16_t pid, std::uint16_t version,
                            std::uint16_t usagePage, std::uint16_t usage, std::uint16_t in,
                            std::uint16_t out, std::string product, std::string manufacturer,
                            std::string serial) {
    hid::DeviceQuery q;
    q.haveAttributes = true;
    q.vendorId = vid;
    q.productId = pid;
    q.versionNumber = version;
    q.haveCaps = true;
    q.usagePage = usagePage;
    q.usage = usage;
    q.inputReportLength = in;
    q.outputReportLength = out;
    q.featureReportLength = 0;
    q.productString = std::move(product);
    q.manufacturerString = std::move(manufacturer);
    q.serialNumberString = std::move(serial);
    return q;
}

}  // namespace

SimPlatform::SimPlatform() : notifier_(std::make_shared<ChangeNotifier>()) {}

SimPlatform::~SimPlatform() { notifier_->shutdown(); }

std::shared_ptr<SimDevice> SimPlatform::add(std::shared_ptr<SimDevice> device) {
    std::lock_guard lock(mutex_);
    device->paced = paced_;
    devices_.push_back(device);
    return device;
}

std::string SimPlatform::addProgrammer(std::size_t flashSize) {
    if (flashSize == 0 || flashSize % 64 != 0)
        throw std::invalid_argument("simulated flash size must be a positive multiple of 64");
    int number;
    {
        std::lock_guard lock(mutex_);
        number = int(programmerPaths_.size()) + 1;
    }
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM%04d", number);
    const std::string path = "sim:programmer:" + std::to_string(number);
    auto dev = std::make_shared<SimDevice>(
        path, "USB Input Device",
        identityOf(kProgrammerVendorId, kProgrammerProductId, 0x0100, 0xFF00, 0x0001, 65, 65,
                   "Quillon Sim Programmer", "Quillon", serial),
        std::make_unique<SimProgrammer>(flashSize), notifier_);
    add(dev);
    std::lock_guard lock(mutex_);
    programmerPaths_.push_back(path);
    return path;
}

std::string SimPlatform::addKeyboard() {
    add(std::make_shared<SimDevice>(
        "sim:keyboard", "HID Keyboard Device",
        identityOf(0x046D, 0xC31C, 0x6400, 0x0001, 0x0006, 9, 2, "USB Keyboard", "Logitech", ""),
        nullptr, notifier_));
    return "sim:keyboard";
}

std::string SimPlatform::addOtherDevice() {
    add(std::make_shared<SimDevice>(
        "sim:other", "USB Input Device",
        identityOf(kProgrammerVendorId, 0x000A, 0x0001, 0xFF00, 0x0001, 33, 33,
                   "Quillon Sim Other Device", "Quillon", "OTHER01"),
        nullptr, notifier_));
    return "sim:other";
}

std::string SimPlatform::programmerPath(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || std::size_t(index) >= programmerPaths_.size())
        throw std::out_of_range("no simulated programmer " + std::to_string(index));
    return programmerPaths_[std::size_t(index)];
}

void SimPlatform::setPaced(bool paced) {
    std::lock_guard lock(mutex_);
    paced_ = paced;
    for (auto& d : devices_) {
        std::lock_guard dl(d->mutex);
        d->paced = paced;
    }
}

std::shared_ptr<SimDevice> SimPlatform::find(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (auto& d : devices_)
        if (d->path == path) return d;
    return nullptr;
}

namespace {
template <typename Fn>
auto withDevice(const std::shared_ptr<SimDevice>& d, const std::string& path, Fn fn) {
    if (!d) throw std::out_of_range("no simulated device " + path);
    std::lock_guard lock(d->mutex);
    return fn(*d);
}
template <typename Fn>
auto withChip(const std::shared_ptr<SimDevice>& d, const std::string& path, Fn fn) {
    return withDevice(d, path, [&](SimDevice& dev) {
        if (!dev.chip) throw std::invalid_argument(path + " is not a simulated programmer");
        return fn(dev, *dev.chip);
    });
}
}  // namespace

void SimPlatform::setFaults(const std::string& path, const SimFaults& faults) {
    withChip(find(path), path, [&](SimDevice& d, SimProgrammer& chip) {
        chip.faults = faults;
        d.dataIn = d.dataOut = 0;
        return 0;
    });
}

SimFaults SimPlatform::faults(const std::string& path) const {
    return withChip(find(path), path, [](SimDevice&, SimProgrammer& chip) { return chip.faults; });
}

void SimPlatform::setAllowedAccess(const std::string& path, bool read, bool write) {
    withDevice(find(path), path, [&](SimDevice& d) {
        d.allowRead = read;
        d.allowWrite = write;
        return 0;
    });
}

void SimPlatform::setHeldExclusively(const std::string& path, bool held) {
    withDevice(find(path), path, [&](SimDevice& d) { return d.held = held; });
}

void SimPlatform::unplug(const std::string& path) {
    withDevice(find(path), path, [](SimDevice& d) {
        d.unplugLocked();
        return 0;
    });
}

void SimPlatform::plug(const std::string& path) {
    withDevice(find(path), path, [](SimDevice& d) {
        if (d.plugged) return 0;
        d.plugged = true;
        d.notifier->notify();
        return 0;
    });
}

bool SimPlatform::isPlugged(const std::string& path) const {
    return withDevice(find(path), path, [](SimDevice& d) { return d.plugged; });
}

namespace {

// The chip file's companion lock: one chip, one user. The chip file itself cannot carry the lock
// because every save replaces it by a new file. Returns null when another process still holds it
// after a short wait; throws when it cannot even be created.
std::unique_ptr<LockedFile> LockChipFile(const std::string& file) {
    const std::string lockName = file + ".lock";
    try {
        return LockedFile::TryOpen(lockName, 1000);
    } catch (const std::system_error& e) {
        throw std::runtime_error("cannot use simulated chip file " + file + ": " + SystemReason(e.code().value()) +
                                 " (" + lockName + ")");
    }
}

// Refuses what cannot hold a chip, before anything runs: a chip that could not be saved would
// only be noticed after the operation had reported success.
void CheckChipFile(const std::string& file) {
    if (StatPath(file).error == 0) {
        if (const std::string kind = NonRegularKind(file); !kind.empty())
            throw std::runtime_error("simulated chip file " + file + " is " + kind + ", not a regular file");
        if (IsReadOnlyFile(file))
            throw std::runtime_error("cannot write simulated chip file " + file + ": " + SystemReason(EACCES));
        return;
    }
    const std::size_t slash = file.find_last_of(kPathSeparators);
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
    if (const int error = CheckCreatableIn(dir); error != 0)
        throw std::runtime_error("cannot create simulated chip file " + file + ": " + SystemReason(error));
}

}  // namespace

void SimPlatform::setChipFile(const std::string& path, const std::string& file) {
    CheckChipFile(file);
    auto lock = LockChipFile(file);
    withChip(find(path), path, [&](SimDevice& d, SimProgrammer& chip) {
        d.chipLock = std::move(lock);
        if (!d.chipLock) {
            // Another run has this chip: to us its programmer is busy, as a real one held by
            // another program would be.
            d.held = true;
            return 0;
        }
        loadChipFile(file, chip);
        d.chipFile = file;
        return 0;
    });
}

std::vector<std::uint8_t> SimPlatform::flash(const std::string& path) const {
    return withChip(find(path), path, [](SimDevice&, SimProgrammer& c) { return c.flash(); });
}

void SimPlatform::setFlash(const std::string& path, std::span<const std::uint8_t> bytes) {
    withChip(find(path), path, [&](SimDevice& d, SimProgrammer& c) {
        c.setFlash(bytes);
        d.saveChipLocked();
        return 0;
    });
}

std::string SimPlatform::chipFileError(const std::string& path) const {
    if (!path.empty()) return withDevice(find(path), path, [](SimDevice& d) { return d.saveError; });
    std::lock_guard lock(mutex_);
    for (const auto& device : devices_) {
        std::lock_guard deviceLock(device->mutex);
        if (!device->saveError.empty()) return device->saveError;
    }
    return {};
}

bool SimPlatform::isProtected(const std::string& path) const {
    return withChip(find(path), path, [](SimDevice&, SimProgrammer& c) { return c.isProtected(); });
}

void SimPlatform::setProtected(const std::string& path, bool on) {
    withChip(find(path), path, [&](SimDevice&, SimProgrammer& c) {
        c.setProtected(on);
        return 0;
    });
}

int SimPlatform::resetCount(const std::string& path) const {
    return withChip(find(path), path, [](SimDevice&, SimProgrammer& c) { return c.resetCount(); });
}

std::vector<Payload> SimPlatform::commandLog(const std::string& path) const {
    return withChip(find(path), path, [](SimDevice&, SimProgrammer& c) { return c.commandLog(); });
}

std::size_t SimPlatform::imagePacketsReceived(const std::string& path) const {
    return withChip(find(path), path,
                    [](SimDevice&, SimProgrammer& c) { return c.imagePacketsReceived(); });
}

int SimPlatform::openHandleCount(const std::string& path) const {
    return withDevice(find(path), path, [](SimDevice& d) { return int(d.handles.size()); });
}

// ---------------------------------------------------------------------------------------------

std::vector<hid::RawDevice> SimPlatform::enumerate() {
    std::lock_guard lock(mutex_);
    std::vector<hid::RawDevice> list;
    for (auto& d : devices_) {
        std::lock_guard dl(d->mutex);
        if (d->replugPending && Clock::now() >= d->replugAt) {
            d->replugPending = false;
            d->plugged = true;
            d->notifier->notify();
        }
        if (d->plugged) list.push_back({d->path, d->description, "(Standard system devices)"});
    }
    return list;
}

hid::DeviceQuery SimPlatform::query(const std::string& path, bool readStrings) {
    hid::DeviceQuery q;
    auto d = find(path);
    if (!d) {
        q.error = ENOENT;
        return q;
    }
    std::lock_guard lock(d->mutex);
    if (!d->plugged) {
        q.error = ENOENT;
    } else if (d->held || d->exclusive) {
        q.error = hid::kSharingViolation;
    } else {
        q = d->identity;
        if (!readStrings) {
            q.productString.clear();
            q.manufacturerString.clear();
            q.serialNumberString.clear();
        }
    }
    return q;
}

hid::OpenResult SimPlatform::open(const std::string& path, Access access, bool shared) {
    auto d = find(path);
    if (!d) return {nullptr, ENOENT};
    std::lock_guard lock(d->mutex);
    if (!d->plugged) return {nullptr, ENOENT};
    if (d->held || d->exclusive) return {nullptr, hid::kSharingViolation};
    const bool wantsRead = access == Access::ReadWrite || access == Access::Read;
    const bool wantsWrite = access == Access::ReadWrite || access == Access::Write;
    if ((wantsRead && !d->allowRead) || (wantsWrite && !d->allowWrite)) return {nullptr, EACCES};
    if (!shared && !d->handles.empty()) return {nullptr, hid::kSharingViolation};
    auto handle = std::make_shared<SimHandle>(d, access);
    d->handles.push_back(handle.get());
    if (!shared) d->exclusive = handle.get();
    return {handle, 0};
}

std::string SimPlatform::errorText(int code) const { return std::generic_category().message(code); }

void SimPlatform::setChangeListener(std::function<void()> listener) {
    notifier_->setListener(std::move(listener));
}

// ---------------------------------------------------------------------------------------------

const std::vector<std::string>& SimPlatform::scenarioNames() {
    static const std::vector<std::string> names = {
        "default",      "nochip",       "fail-write", "fail-read", "bad-echo",
        "stall-read",   "bad-checksum", "unplug-write", "no-programmer", "busy",
        "readonly",     "lu1-32k",      "mixed",      "silent",       "refuse-out"};
    return names;
}

std::optional<SwapScenario> ParseSwapScenario(const std::string& name) {
    if (name.rfind("swap:", 0) != 0) return std::nullopt;
    SwapScenario swap;
    std::size_t at = 5;
    bool first = true;
    while (at <= name.size()) {
        std::size_t end = name.find(':', at);
        if (end == std::string::npos) end = name.size();
        const std::string part = name.substr(at, end - at);
        at = end + 1;
        int* field = &swap.chips;
        std::string digits = part;
        if (!first) {
            const std::size_t eq = part.find('=');
            if (eq == std::string::npos) return std::nullopt;
            const std::string key = part.substr(0, eq);
            digits = part.substr(eq + 1);
            if (key == "fail-write") field = &swap.failWrite;
            else if (key == "unplug") field = &swap.unplug;
            else return std::nullopt;
        }
        first = false;
        if (field == &swap.failWrite) {
            // K-L: a run of failing chips.
            const std::size_t dash = digits.find('-');
            const std::string last = dash == std::string::npos ? digits : digits.substr(dash + 1);
            digits = digits.substr(0, dash);
            if (last.empty() || last.size() > 6 || last.find_first_not_of("0123456789") != std::string::npos)
                return std::nullopt;
            swap.failWriteLast = std::stoi(last);
        }
        if (digits.empty() || digits.size() > 6 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        *field = std::stoi(digits);
    }
    if (swap.chips < 1 || swap.failWriteLast < swap.failWrite) return std::nullopt;
    return swap;
}

bool SimPlatform::isScenario(const std::string& name) {
    const auto& names = scenarioNames();
    return std::find(names.begin(), names.end(), name) != names.end() || ParseSwapScenario(name).has_value();
}

std::string SimPlatform::scenarioProblem(const std::string& name) {
    return isScenario(name) ? std::string() : "unknown scenario '" + name + "' (see the README's simulator section)";
}

std::unique_ptr<SimPlatform> SimPlatform::fromOptions(const SimOptions& options) {
    const std::string& s = options.scenario;
    const std::optional<SwapScenario> swap = ParseSwapScenario(s);
    if (!isScenario(s)) {
        const auto& names = scenarioNames();
        std::string list;
        for (const auto& n : names) list += (list.empty() ? "" : ", ") + n;
        throw std::invalid_argument("unknown simulation scenario '" + s + "' (known: " + list +
                                    ", swap:N[:fail-write=K[-L]][:unplug=K])");
    }
    if (options.programmers < 1 || options.programmers > 16)
        throw std::invalid_argument("simulated programmer count must be 1 to 16, not " +
                                    std::to_string(options.programmers));

    auto p = std::make_unique<SimPlatform>();
    p->setPaced(options.paced);
    if (s == "mixed" || s == "no-programmer") {
        p->addKeyboard();
        p->addOtherDevice();
    }
    if (s == "no-programmer") return p;

    SimFaults f;
    if (s == "nochip") f.noChip = true;
    if (s == "fail-write") f.failOpcode = kOpWrite;
    if (s == "fail-read") f.failOpcode = kOpRead;
    if (s == "bad-echo") f.badEcho = true;
    if (s == "stall-read") f.readStopAfter = 16;
    if (s == "bad-checksum") f.badChecksum = true;
    if (s == "unplug-write") f.unplugAfterOut = 32;
    if (s == "refuse-out") f.refuseOutAfter = 32;
    if (s == "silent") f.silent = true;

    if (!options.flashDir.empty()) {
        // A missing folder is a different mistake from a file given for one: say which.
        const PathStatus st = StatPath(options.flashDir);
        if (st.error != 0)
            throw std::runtime_error("simulated flash directory " + options.flashDir + ": " + SystemReason(st.error));
        if (!st.isDirectory)
            throw std::runtime_error("simulated flash directory " + options.flashDir + " is not a directory");
    }
    auto counter = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < options.programmers; ++i) {
        const std::string path = p->addProgrammer(s == "lu1-32k" ? kFlash32K : kFlash16K);
        p->setFaults(path, f);
        if (s == "busy") p->setHeldExclusively(path, true);
        if (s == "readonly") p->setAllowedAccess(path, true, false);
        if (i == 0 && !options.flashFile.empty()) p->setChipFile(path, options.flashFile);
        auto d = p->find(path);
        std::lock_guard lock(d->mutex);
        d->flashDir = options.flashDir;
        d->chipCounter = counter;
        if (swap) {
            d->swap.total = swap->chips;
            if (i == 0) {
                d->swap.failWrite = swap->failWrite;
                d->swap.failWriteLast = swap->failWriteLast;
                d->swap.unplug = swap->unplug;
            }
            d->presentNextChipLocked();
        } else {
            d->chipNumber = ++*counter;
            d->claimChipNumberLocked();
            if (!d->flashDir.empty()) {
                d->chip->setFlash(d->chip->flash());  // the chip as it starts, so every chip has a file
                d->saveChipLocked();
            }
        }
    }
    return p;
}

}  // namespace quillon::sim
