// Windows HID platform on SetupAPI and hid.dll. Every read and write is overlapped and waits on
// its own I/O event together with the handle's close event (and, for reads, a cancel event), so a
// close or cancel from another thread always ends it; an abandoned I/O is cancelled and waited
// for before its buffer can be reused or freed. Device arrival and removal come from
// WM_DEVICECHANGE on a message-only window (core/Win32.h) owned by a small watcher thread.
#include "hid/HidPlatformWin32.h"

#include <windows.h>
// SetupAPI before the HID headers; hidsdi.h before hidpi.h, and neither says extern "C".
#include <dbt.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/Win32.h"

namespace quillon::hid {
namespace {

// A device that does not take an output report within this time is treated as hung: the write
// is cancelled and fails, so a caller (the reader thread streaming an image) never blocks for
// good. A working programmer takes a report every millisecond.
constexpr DWORD kWriteTimeoutMs = 1000;
// How long a cancelled I/O may take to come back before its buffer is given up for lost.
constexpr DWORD kCancelWaitMs = 5000;
constexpr NTSTATUS kHidpStatusSuccess = 0x00110000;

using win32::ErrnoFromWin32;
using win32::Utf8;

// A device path for CreateFileW; a path that is not UTF-8 names no device (ENOENT).
bool DevicePath(const std::string& path, std::wstring& wide) {
    try {
        wide = win32::Wide(path);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

// A text property of a device from the registry (SPDRP_DEVICEDESC, SPDRP_MFG); empty when absent.
std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    DWORD needed = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, nullptr, 0, &needed);
    if (needed == 0) return {};
    std::vector<wchar_t> text(needed / sizeof(wchar_t) + 1, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, reinterpret_cast<BYTE*>(text.data()),
                                           needed, nullptr)) {
        return {};
    }
    return Utf8(text.data());
}

// One of hid.dll's string reads; the buffer keeps room for a terminating zero whatever it returns.
template <typename Read>
std::string HidString(Read read) {
    wchar_t text[128] = {};
    if (!read(text, static_cast<ULONG>(sizeof text - 2 * sizeof(wchar_t)))) return {};
    return Utf8(text);
}

HANDLE NewEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

// One overlapped transfer: the record and the buffer the system writes into stay where they are
// until the I/O is over.
struct Transfer {
    OVERLAPPED overlapped{};
    std::vector<std::uint8_t> data;

    Transfer() { overlapped.hEvent = NewEvent(); }
    ~Transfer() {
        if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    void Restart() {
        HANDLE event = overlapped.hEvent;
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
    }
};

class Win32Device : public Device {
public:
    Win32Device(HANDLE handle, std::size_t inputLength, std::size_t outputLength)
        : handle_(handle),
          inputLength_(inputLength),
          outputLength_(outputLength),
          closeEvent_(NewEvent()),
          cancelEvent_(NewEvent()),
          reader_(std::make_unique<Transfer>()),
          writer_(std::make_unique<Transfer>()) {}

    ~Win32Device() override {
        close();
        CloseHandle(closeEvent_);
        CloseHandle(cancelEvent_);
    }
    Win32Device(const Win32Device&) = delete;
    Win32Device& operator=(const Win32Device&) = delete;

    bool Usable() const {
        return closeEvent_ != nullptr && cancelEvent_ != nullptr && reader_->overlapped.hEvent != nullptr &&
               writer_->overlapped.hEvent != nullptr;
    }

    int read(std::span<std::uint8_t> buffer) override {
        if (buffer.empty()) return Fail(EINVAL);
        Operation op(*this);
        if (!op.entered) return Fail(EBADF);
        if (!reader_) return Fail(EIO);
        const unsigned generation = cancelGeneration_.load();
        Transfer& t = *reader_;
        // Windows wants room for a whole input report, whatever the caller asked for.
        const std::size_t room = std::max(inputLength_, buffer.size());
        if (t.data.size() < room) t.data.resize(room);
        t.Restart();
        if (!ReadFile(handle_, t.data.data(), static_cast<DWORD>(t.data.size()), nullptr, &t.overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) return Fail(ErrnoFromWin32(error));
            const HANDLE waits[] = {t.overlapped.hEvent, closeEvent_, cancelEvent_};
            for (;;) {
                const DWORD woke = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
                if (woke == WAIT_OBJECT_0) break;
                if (woke == WAIT_OBJECT_0 + 2) {
                    ResetEvent(cancelEvent_);
                    if (cancelGeneration_.load() == generation) continue;  // meant for an earlier read
                    return Abandon(reader_, ECANCELED);
                }
                return Abandon(reader_, woke == WAIT_OBJECT_0 + 1 ? EBADF : ErrnoFromWin32(GetLastError()));
            }
        }
        DWORD got = 0;
        if (!GetOverlappedResult(handle_, &t.overlapped, &got, FALSE)) return Fail(ErrnoFromWin32(GetLastError()));
        const std::size_t stored = std::min<std::size_t>(got, buffer.size());
        std::copy_n(t.data.begin(), stored, buffer.begin());
        return static_cast<int>(stored);
    }

    bool write(std::span<const std::uint8_t> report) override {
        Operation op(*this);
        if (!op.entered) return Fail(EBADF) >= 0;
        if (!writer_) return Fail(EIO) >= 0;
        Transfer& t = *writer_;
        // A report shorter than the device's output report is padded with zeros, as Windows
        // takes only whole reports.
        t.data.assign(report.begin(), report.end());
        if (t.data.size() < outputLength_) t.data.resize(outputLength_, 0);
        t.Restart();
        if (!WriteFile(handle_, t.data.data(), static_cast<DWORD>(t.data.size()), nullptr, &t.overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) return Fail(ErrnoFromWin32(error)) >= 0;
            const HANDLE waits[] = {t.overlapped.hEvent, closeEvent_};
            const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kWriteTimeoutMs);
            if (woke == WAIT_TIMEOUT) return Abandon(writer_, ETIMEDOUT) >= 0;
            if (woke != WAIT_OBJECT_0) {
                return Abandon(writer_, woke == WAIT_OBJECT_0 + 1 ? EBADF : ErrnoFromWin32(GetLastError())) >= 0;
            }
        }
        DWORD done = 0;
        if (!GetOverlappedResult(handle_, &t.overlapped, &done, FALSE)) {
            return Fail(ErrnoFromWin32(GetLastError())) >= 0;
        }
        return true;
    }

    void cancelRead() override {
        ++cancelGeneration_;
        SetEvent(cancelEvent_);
    }

    // Wakes every read and write in progress, waits until they have let go of the handle (each
    // one cancels its I/O and waits a bounded time for it), then closes the handle.
    void close() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            closed_ = true;
        }
        SetEvent(closeEvent_);
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return operations_ == 0; });
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

    int lastError() const override { return lastError_; }

private:
    // A read or write in progress: it keeps close() from closing the handle under it.
    struct Operation {
        explicit Operation(Win32Device& device) : device(device) {
            std::lock_guard lock(device.mutex_);
            entered = !device.closed_;
            if (entered) ++device.operations_;
        }
        ~Operation() {
            if (!entered) return;
            std::lock_guard lock(device.mutex_);
            if (--device.operations_ == 0) device.idle_.notify_all();
        }
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;
        Win32Device& device;
        bool entered = false;
    };

    int Fail(int code) {
        lastError_ = code;
        return -1;
    }

    // Gives up an I/O in progress. Its record and buffer belong to the system until it comes
    // back; one that never does (a driver that ignores the cancel) keeps them for good, and that
    // direction of the device is out of use from then on.
    int Abandon(std::unique_ptr<Transfer>& transfer, int code) {
        CancelIoEx(handle_, &transfer->overlapped);
        if (WaitForSingleObject(transfer->overlapped.hEvent, kCancelWaitMs) == WAIT_OBJECT_0) {
            DWORD ignored = 0;
            GetOverlappedResult(handle_, &transfer->overlapped, &ignored, FALSE);
        } else {
            [[maybe_unused]] Transfer* lost = transfer.release();
        }
        return Fail(code);
    }

    HANDLE handle_;
    const std::size_t inputLength_;
    const std::size_t outputLength_;
    const HANDLE closeEvent_;   // manual reset: set once, by close()
    const HANDLE cancelEvent_;  // manual reset: set by cancelRead(), reset by the read it woke
    std::unique_ptr<Transfer> reader_;
    std::unique_ptr<Transfer> writer_;
    std::atomic<unsigned> cancelGeneration_{0};
    std::atomic<int> lastError_{0};
    std::mutex mutex_;
    std::condition_variable idle_;
    bool closed_ = false;
    int operations_ = 0;
};

GUID HidInterfaceClass() {
    GUID guid{};
    HidD_GetHidGuid(&guid);
    return guid;
}

}  // namespace

// The watcher thread's state. The thread holds a share of it, so a listener that unsubscribes
// from the watcher thread itself (which then cannot be joined) leaves nothing dangling.
struct Win32HidPlatform::Watcher {
    std::mutex mutex;
    std::function<void()> listener;
    HWND window = nullptr;
    HDEVNOTIFY notification = nullptr;
    std::thread thread;

    // Handles the watcher window's messages on the watcher thread.
    bool Handle(HWND window, unsigned message, std::uintptr_t wParam, std::intptr_t& result) {
        switch (message) {
        case WM_DEVICECHANGE:
            if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) {
                std::function<void()> current;
                {
                    std::lock_guard lock(mutex);
                    current = listener;
                }
                if (current) current();
            }
            result = TRUE;
            return true;
        case WM_CLOSE:
            if (notification != nullptr) {
                UnregisterDeviceNotification(notification);
                notification = nullptr;
            }
            DestroyWindow(window);
            return true;
        case WM_DESTROY:
            PostQuitMessage(0);
            return true;
        default:
            return false;
        }
    }

    static void Run(std::shared_ptr<Watcher> self, std::promise<HWND> ready) {
        // The window lives on this thread's stack: it ends with the loop (WM_CLOSE destroys it).
        HWND handle = nullptr;
        win32::MessageWindow window(kDeviceChangeWindowClass,
                                    [&self, &handle](unsigned message, std::uintptr_t wParam, std::intptr_t,
                                                     std::intptr_t& result) {
                                        return self->Handle(handle, message, wParam, result);
                                    });
        handle = static_cast<HWND>(window.handle());
        if (handle == nullptr) {
            ready.set_value(nullptr);
            return;
        }
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = HidInterfaceClass();
        // Without it no notice arrives; the owner's searches still work, so this is no failure.
        self->notification = RegisterDeviceNotificationW(handle, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        ready.set_value(handle);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    }
};

Win32HidPlatform::Win32HidPlatform() = default;

Win32HidPlatform::~Win32HidPlatform() { StopWatcher(); }

std::vector<RawDevice> Win32HidPlatform::enumerate() {
    std::vector<RawDevice> out;
    GUID hidClass = HidInterfaceClass();
    HDEVINFO set = SetupDiGetClassDevsW(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return out;
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hidClass, index, &iface); ++index) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &needed, nullptr);
        if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        // DWORD elements keep the record aligned as the structure wants.
        std::vector<DWORD> block((needed + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed, nullptr, &device)) continue;
        RawDevice raw;
        raw.path = Utf8(detail->DevicePath);
        raw.description = DeviceProperty(set, device, SPDRP_DEVICEDESC);
        raw.manufacturer = DeviceProperty(set, device, SPDRP_MFG);
        out.push_back(std::move(raw));
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

DeviceQuery Win32HidPlatform::query(const std::string& path, bool readStrings) {
    DeviceQuery q;
    std::wstring wide;
    if (!DevicePath(path, wide)) {
        q.error = ENOENT;
        return q;
    }
    HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        q.error = ErrnoFromWin32(GetLastError());
        return q;
    }
    if (readStrings) {
        q.productString = HidString([&](wchar_t* s, ULONG n) { return HidD_GetProductString(handle, s, n); });
        q.manufacturerString =
            HidString([&](wchar_t* s, ULONG n) { return HidD_GetManufacturerString(handle, s, n); });
        q.serialNumberString =
            HidString([&](wchar_t* s, ULONG n) { return HidD_GetSerialNumberString(handle, s, n); });
        q.indexedString3 = HidString([&](wchar_t* s, ULONG n) { return HidD_GetIndexedString(handle, 3, s, n); });
    }
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (HidD_GetAttributes(handle, &attributes)) {
        q.haveAttributes = true;
        q.vendorId = attributes.VendorID;
        q.productId = attributes.ProductID;
        q.versionNumber = attributes.VersionNumber;
    }
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (HidD_GetPreparsedData(handle, &preparsed)) {
        HIDP_CAPS caps{};
        if (HidP_GetCaps(preparsed, &caps) == kHidpStatusSuccess) {
            q.haveCaps = true;
            q.usage = caps.Usage;
            q.usagePage = caps.UsagePage;
            q.inputReportLength = caps.InputReportByteLength;
            q.outputReportLength = caps.OutputReportByteLength;
            q.featureReportLength = caps.FeatureReportByteLength;
        }
        HidD_FreePreparsedData(preparsed);
    }
    CloseHandle(handle);
    return q;
}

OpenResult Win32HidPlatform::open(const std::string& path, Access access, bool shared) {
    OpenResult result;
    DWORD desired = 0;
    switch (access) {
    case Access::ReadWrite:
        desired = GENERIC_READ | GENERIC_WRITE;
        break;
    case Access::Read:
        desired = GENERIC_READ;
        break;
    case Access::Write:
        desired = GENERIC_WRITE;
        break;
    case Access::None:
        break;
    }
    const DWORD share = shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    std::wstring wide;
    if (!DevicePath(path, wide)) {
        result.error = ENOENT;
        return result;
    }
    HANDLE handle =
        CreateFileW(wide.c_str(), desired, share, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        result.error = ErrnoFromWin32(GetLastError());
        return result;
    }
    std::size_t inputLength = 0, outputLength = 0;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (HidD_GetPreparsedData(handle, &preparsed)) {
        HIDP_CAPS caps{};
        if (HidP_GetCaps(preparsed, &caps) == kHidpStatusSuccess) {
            inputLength = caps.InputReportByteLength;
            outputLength = caps.OutputReportByteLength;
        }
        HidD_FreePreparsedData(preparsed);
    }
    auto device = std::make_shared<Win32Device>(handle, inputLength, outputLength);
    if (!device->Usable()) {  // out of event handles; the device closes the handle
        result.error = ErrnoFromWin32(GetLastError());
        return result;
    }
    result.device = std::move(device);
    return result;
}

std::string Win32HidPlatform::errorText(int code) const {
    if (const DWORD win32 = win32::Win32ForErrno(code); win32 != 0) {
        wchar_t* text = nullptr;
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            win32, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::string message = length > 0 ? Utf8(std::wstring(text, length)) : std::string();
        if (text != nullptr) LocalFree(text);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
            message.pop_back();
        }
        if (!message.empty()) return message;
    }
    return std::strerror(code);
}

void Win32HidPlatform::setChangeListener(std::function<void()> listener) {
    if (!listener) {
        StopWatcher();
        return;
    }
    std::lock_guard lock(watcherMutex_);
    if (watcher_) {
        std::lock_guard listenerLock(watcher_->mutex);
        watcher_->listener = std::move(listener);
        return;
    }
    auto watcher = std::make_shared<Watcher>();
    watcher->listener = std::move(listener);
    std::promise<HWND> ready;
    std::future<HWND> window = ready.get_future();
    watcher->thread = std::thread(&Watcher::Run, watcher, std::move(ready));
    watcher->window = window.get();
    if (watcher->window == nullptr) {  // no window, no notices; searches still work
        watcher->thread.join();
        return;
    }
    watcher_ = std::move(watcher);
}

void Win32HidPlatform::StopWatcher() {
    std::shared_ptr<Watcher> watcher;
    {
        std::lock_guard lock(watcherMutex_);
        watcher = std::move(watcher_);
    }
    if (!watcher) return;
    {
        std::lock_guard lock(watcher->mutex);
        watcher->listener = nullptr;
    }
    PostMessageW(watcher->window, WM_CLOSE, 0, 0);
    if (watcher->thread.get_id() == std::this_thread::get_id()) {
        watcher->thread.detach();  // unsubscribed from inside the listener: the loop ends on its own
    } else {
        watcher->thread.join();
    }
}

std::unique_ptr<Platform> MakeSystemPlatform() { return std::make_unique<Win32HidPlatform>(); }

}  // namespace quillon::hid
