// Linux HID platform: hidapi (hidraw) for enumeration and I/O, sysfs for report descriptors,
// libudev for arrival/removal. Reads wait in slices so a close or cancel is noticed without a
// busy CPU; the report ID byte that hidraw leaves out for unnumbered reports is put back here.
#include "hid/HidapiPlatform.h"

#include "core/Utf8.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <libudev.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "hid/ReportDescriptor.h"

namespace quillon::hid {
namespace {

// How long one wait for input lasts before the reader looks at its close/cancel flags again:
// short enough that a close is noticed at once by a person, long enough to cost nothing idle.
constexpr int kReadSliceMs = 100;

std::string Utf8(const wchar_t* text) {
    std::string out;
    if (text == nullptr) return out;
    for (; *text != L'\0'; ++text) {
        AppendUtf8(out, static_cast<char32_t>(static_cast<std::uint32_t>(*text)));
    }
    return out;
}

// /dev/hidraw3 -> /sys/class/hidraw/hidraw3/device/<file>
std::string SysfsFile(const std::string& path, const char* file) {
    const auto slash = path.find_last_of('/');
    const std::string node = slash == std::string::npos ? path : path.substr(slash + 1);
    return "/sys/class/hidraw/" + node + "/device/" + file;
}

bool ReadDescriptor(const std::string& path, std::vector<std::uint8_t>& out) {
    std::ifstream in(SysfsFile(path, "report_descriptor"), std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !out.empty();
}

// The kernel's name for the device (HID_NAME in uevent): "Manufacturer Product" as a rule.
std::string KernelName(const std::string& path) {
    std::ifstream in(SysfsFile(path, "uevent"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("HID_NAME=", 0) == 0) return line.substr(9);
    }
    return {};
}

bool UsesReportIds(const std::string& path) {
    std::vector<std::uint8_t> d;
    return ReadDescriptor(path, d) && ParseReportDescriptor(d).usesReportIds;
}

// Common read/write logic over a handle that can wait for input with a time limit.
class SlicedDevice : public Device {
public:
    explicit SlicedDevice(bool usesReportIds) : usesReportIds_(usesReportIds) {}

    int read(std::span<std::uint8_t> buffer) override {
        const auto generation = cancel_.load();
        std::uint8_t* dst = buffer.data();
        std::size_t room = buffer.size();
        std::size_t prefix = 0;
        if (!usesReportIds_) {
            // hidraw gives unnumbered reports without their (zero) report ID: put it back.
            if (room == 0) return Fail(EINVAL);
            buffer[0] = 0;
            ++dst;
            --room;
            prefix = 1;
        }
        for (;;) {
            if (closed_) return Fail(EBADF);
            if (cancel_.load() != generation) return Fail(ECANCELED);
            int err = 0;
            const int got = ReadSlice(dst, room, kReadSliceMs, err);
            if (got < 0) return Fail(err != 0 ? err : EIO);
            if (got == 0) continue;  // time slice over, nothing arrived
            std::fill(dst + got, dst + room, std::uint8_t{0});
            return got + static_cast<int>(prefix);
        }
    }

    bool write(std::span<const std::uint8_t> report) override {
        if (closed_) return Fail(EBADF) >= 0;
        int err = 0;
        if (!WriteRaw(report.data(), report.size(), err)) return Fail(err != 0 ? err : EIO) >= 0;
        return true;
    }

    void cancelRead() override { ++cancel_; }
    // The handle itself is released by the destructor, when neither the link nor the reader
    // holds the device any more, so a read slice in progress never runs on a freed handle.
    void close() override { closed_ = true; }
    int lastError() const override { return lastError_; }

protected:
    // > 0: bytes read; 0: nothing within ms; < 0: failure with err set.
    virtual int ReadSlice(std::uint8_t* data, std::size_t size, int ms, int& err) = 0;
    virtual bool WriteRaw(const std::uint8_t* data, std::size_t size, int& err) = 0;

private:
    int Fail(int code) {
        lastError_ = code;
        return -1;
    }
    const bool usesReportIds_;
    std::atomic<bool> closed_{false};
    std::atomic<unsigned> cancel_{0};
    std::atomic<int> lastError_{0};
};

// Read+write through hidapi. hidapi's per-device error string is not safe to touch from two
// threads, so the reader and the writers use two handles on the same node (hidraw allows it).
class HidapiDevice : public SlicedDevice {
public:
    HidapiDevice(hid_device* reader, hid_device* writer, bool usesReportIds)
        : SlicedDevice(usesReportIds), reader_(reader), writer_(writer) {}
    ~HidapiDevice() override {
        hid_close(reader_);
        hid_close(writer_);
    }

protected:
    int ReadSlice(std::uint8_t* data, std::size_t size, int ms, int& err) override {
        errno = 0;
        const int got = hid_read_timeout(reader_, data, size, ms);
        if (got < 0) err = errno;
        return got;
    }
    bool WriteRaw(const std::uint8_t* data, std::size_t size, int& err) override {
        errno = 0;
        if (hid_write(writer_, data, size) >= 0) return true;
        err = errno;
        return false;
    }

private:
    hid_device* reader_;
    hid_device* writer_;
};

// One direction only, on a plain descriptor (hidapi always asks for both).
class FdDevice : public SlicedDevice {
public:
    FdDevice(int fd, bool usesReportIds) : SlicedDevice(usesReportIds), fd_(fd) {}
    ~FdDevice() override { ::close(fd_); }

protected:
    int ReadSlice(std::uint8_t* data, std::size_t size, int ms, int& err) override {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, ms);
        if (ready < 0) {
            if (errno == EINTR) return 0;
            err = errno;
            return -1;
        }
        if (ready == 0) return 0;
        if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            err = ENODEV;
            return -1;
        }
        const ssize_t got = ::read(fd_, data, size);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) return 0;
            err = errno;
            return -1;
        }
        return static_cast<int>(got);  // 0 (an empty read) is treated like a quiet slice
    }
    bool WriteRaw(const std::uint8_t* data, std::size_t size, int& err) override {
        const ssize_t done = ::write(fd_, data, size);
        if (done < 0) err = errno;
        return done >= 0;
    }

private:
    int fd_;
};

std::mutex g_initMutex;
int g_users = 0;

}  // namespace

HidapiPlatform::HidapiPlatform() {
    std::lock_guard lock(g_initMutex);
    if (g_users++ == 0) hid_init();
}

HidapiPlatform::~HidapiPlatform() {
    StopMonitor();
    std::lock_guard lock(g_initMutex);
    if (--g_users == 0) hid_exit();
}

std::vector<RawDevice> HidapiPlatform::enumerate() {
    std::vector<RawDevice> out;
    std::map<std::string, Info> infos;
    hid_device_info* all = hid_enumerate(0, 0);
    for (hid_device_info* d = all; d != nullptr; d = d->next) {
        if (d->path == nullptr) continue;
        // hidapi lists one entry per top-level usage; the link wants one per node.
        if (infos.count(d->path) != 0) continue;
        Info info;
        info.vendorId = d->vendor_id;
        info.productId = d->product_id;
        info.release = d->release_number;
        info.usagePage = d->usage_page;
        info.usage = d->usage;
        info.product = Utf8(d->product_string);
        info.manufacturer = Utf8(d->manufacturer_string);
        info.serial = Utf8(d->serial_number);
        RawDevice raw;
        raw.path = d->path;
        raw.description = KernelName(raw.path);
        if (raw.description.empty()) raw.description = info.product;
        raw.manufacturer = info.manufacturer;
        out.push_back(raw);
        infos.emplace(d->path, std::move(info));
    }
    hid_free_enumeration(all);
    std::lock_guard lock(infoMutex_);
    infos_ = std::move(infos);
    return out;
}

DeviceQuery HidapiPlatform::query(const std::string& path, bool readStrings) {
    DeviceQuery q;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        q.error = errno;
        return q;
    }
    Info info;
    {
        std::unique_lock lock(infoMutex_);
        auto it = infos_.find(path);
        if (it == infos_.end()) {
            lock.unlock();
            enumerate();
            lock.lock();
            it = infos_.find(path);
            if (it == infos_.end()) {
                q.error = ENOENT;
                return q;
            }
        }
        info = it->second;
    }
    if (readStrings) {
        q.productString = info.product;
        q.manufacturerString = info.manufacturer;
        q.serialNumberString = info.serial;
        // hidraw offers no indexed string read; string 3 stays empty.
    }
    q.haveAttributes = true;
    q.vendorId = info.vendorId;
    q.productId = info.productId;
    q.versionNumber = info.release;

    std::vector<std::uint8_t> descriptor;
    if (ReadDescriptor(path, descriptor)) {
        const ReportDescriptorInfo parsed = ParseReportDescriptor(descriptor);
        if (parsed.valid) {
            q.haveCaps = true;
            q.usagePage = parsed.usagePage;
            q.usage = parsed.usage;
            q.inputReportLength = parsed.inputReportLength;
            q.outputReportLength = parsed.outputReportLength;
            q.featureReportLength = parsed.featureReportLength;
        }
    }
    return q;
}

OpenResult HidapiPlatform::open(const std::string& path, Access access, bool /*shared*/) {
    OpenResult result;
    auto probeError = [&path] {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return errno;
        ::close(fd);
        return ENOTSUP;
    };
    switch (access) {
    case Access::ReadWrite: {
        // hidapi keeps only a text for its errors and may touch errno while making it, so the
        // reason is taken from a plain open of the node instead.
        hid_device* reader = hid_open_path(path.c_str());
        if (reader == nullptr) {
            result.error = probeError();
            return result;
        }
        hid_device* writer = hid_open_path(path.c_str());
        if (writer == nullptr) {
            hid_close(reader);
            result.error = probeError();
            return result;
        }
        result.device = std::make_shared<HidapiDevice>(reader, writer, UsesReportIds(path));
        return result;
    }
    case Access::Read:
    case Access::Write: {
        const int fd = ::open(path.c_str(), (access == Access::Read ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
        if (fd < 0) {
            result.error = errno;
            return result;
        }
        result.device = std::make_shared<FdDevice>(fd, UsesReportIds(path));
        return result;
    }
    case Access::None:
        break;
    }
    result.error = probeError();
    return result;
}

std::string HidapiPlatform::errorText(int code) const {
    std::string text = std::strerror(code);
    if (code == EACCES || code == EPERM) {
        text += " (no access to the hidraw device node: install the udev rule, see README \"USB permissions\")";
    }
    return text;
}

void HidapiPlatform::setChangeListener(std::function<void()> listener) {
    if (!listener) {
        {
            std::lock_guard lock(listenerMutex_);
            listener_ = nullptr;
        }
        StopMonitor();
        return;
    }
    std::lock_guard lock(listenerMutex_);
    listener_ = std::move(listener);
    if (monitor_.joinable()) return;
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) return;  // no notifications; searches still work
    monitor_ = std::thread([this, fd = stopPipe_[0]] { MonitorLoop(fd); });
}

void HidapiPlatform::StopMonitor() {
    std::thread monitor;
    {
        std::lock_guard lock(listenerMutex_);
        if (!monitor_.joinable()) return;
        monitor = std::move(monitor_);
        const char byte = 0;
        [[maybe_unused]] auto n = ::write(stopPipe_[1], &byte, 1);
    }
    if (monitor.get_id() == std::this_thread::get_id()) {
        monitor.detach();  // unsubscribed from inside the listener: the loop ends on its own
    } else {
        monitor.join();
    }
    std::lock_guard lock(listenerMutex_);
    ::close(stopPipe_[1]);
    stopPipe_[1] = -1;
    stopPipe_[0] = -1;  // closed by the loop
}

void HidapiPlatform::MonitorLoop(int stopFd) {
    udev* u = udev_new();
    udev_monitor* mon = u ? udev_monitor_new_from_netlink(u, "udev") : nullptr;
    if (mon != nullptr && (udev_monitor_filter_add_match_subsystem_devtype(mon, "hidraw", nullptr) < 0 ||
                           udev_monitor_enable_receiving(mon) < 0)) {
        udev_monitor_unref(mon);
        mon = nullptr;
    }
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {mon ? udev_monitor_get_fd(mon) : -1, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, mon ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) break;
        if (mon != nullptr && (fds[1].revents & POLLIN) != 0) {
            if (udev_device* dev = udev_monitor_receive_device(mon)) {
                udev_device_unref(dev);
                std::function<void()> listener;
                {
                    std::lock_guard lock(listenerMutex_);
                    listener = listener_;
                }
                if (listener) listener();
            }
        }
    }
    if (mon != nullptr) udev_monitor_unref(mon);
    if (u != nullptr) udev_unref(u);
    ::close(stopFd);
}

std::unique_ptr<Platform> MakeSystemPlatform() { return std::make_unique<HidapiPlatform>(); }

}  // namespace quillon::hid
