// The Windows HID platform against the system's own HID devices (under Wine: its virtual mouse
// and keyboard): the SetupAPI walk and hid.dll identity, overlapped reads that a cancel or close
// ends promptly, the Windows-error to errno folding with the system's texts, and the
// device-change window. What a system cannot show (Wine ignores sharing modes) is skipped.
#include <windows.h>
#include <dbt.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "hid/HidPlatformWin32.h"
#include "hid/Nrhid.h"

namespace quillon::hid {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A device path that cannot exist: the HID interface class, a vendor no one has.
const std::string kMissingPath = R"(\\?\hid#vid_0000&pid_0000#0&dead&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030})";

// Windows names every HID interface after its device instance: ...#vid_XXXX&pid_YYYY#...
std::optional<std::pair<unsigned, unsigned>> IdsInPath(std::string path) {
    for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto vid = path.find("vid_");
    const auto pid = path.find("pid_");
    if (vid == std::string::npos || pid == std::string::npos) return std::nullopt;
    return std::make_pair(std::stoul(path.substr(vid + 4, 4), nullptr, 16),
                          std::stoul(path.substr(pid + 4, 4), nullptr, 16));
}

std::string SystemText(DWORD error) {
    wchar_t text[512] = {};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                   text, 512, nullptr);
    std::string out;
    for (DWORD i = 0; i < n; ++i) out += static_cast<char>(text[i] < 0x80 ? text[i] : '?');
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
    return out;
}

class HidWin32Test : public ::testing::Test {
protected:
    void SetUp() override {
        devices = platform.enumerate();
        if (devices.empty()) GTEST_SKIP() << "this system lists no HID device";
    }

    // The first device that opens for reading and has input reports, with its input length.
    std::optional<std::pair<std::string, int>> Readable() {
        for (const RawDevice& d : devices) {
            const DeviceQuery q = platform.query(d.path, false);
            if (q.error != 0 || q.inputReportLength == 0) continue;
            if (platform.open(d.path, Access::ReadWrite, true).device) return std::make_pair(d.path, q.inputReportLength);
        }
        return std::nullopt;
    }

    Win32HidPlatform platform;
    std::vector<RawDevice> devices;
};

TEST_F(HidWin32Test, EnumerationGivesOpenablePathsWhoseIdentityMatchesTheirInstanceNames) {
    int identified = 0;
    for (const RawDevice& d : devices) {
        SCOPED_TRACE(d.path);
        EXPECT_FALSE(d.description.empty());  // every HID device has a description in the registry
        const DeviceQuery q = platform.query(d.path, false);
        ASSERT_EQ(q.error, 0) << platform.errorText(q.error);
        ASSERT_TRUE(q.haveAttributes);
        ASSERT_TRUE(q.haveCaps);
        EXPECT_NE(q.usagePage, 0);
        // Report lengths count the report ID byte: a device with input reports has at least two.
        EXPECT_TRUE(q.inputReportLength == 0 || q.inputReportLength >= 2);
        if (auto ids = IdsInPath(d.path)) {
            EXPECT_EQ(q.vendorId, ids->first);
            EXPECT_EQ(q.productId, ids->second);
            ++identified;
        }
    }
    EXPECT_GT(identified, 0) << "no device path names its vendor and product";
}

TEST_F(HidWin32Test, StringsAreReadOnlyWhenAskedAndTheIdentityIsTheSameEitherWay) {
    bool anyProduct = false;
    for (const RawDevice& d : devices) {
        SCOPED_TRACE(d.path);
        const DeviceQuery bare = platform.query(d.path, false);
        const DeviceQuery full = platform.query(d.path, true);
        ASSERT_EQ(full.error, 0);
        EXPECT_TRUE(bare.productString.empty() && bare.manufacturerString.empty() &&
                    bare.serialNumberString.empty() && bare.indexedString3.empty());
        EXPECT_EQ(std::tie(bare.vendorId, bare.productId, bare.versionNumber, bare.inputReportLength,
                           bare.outputReportLength, bare.featureReportLength),
                  std::tie(full.vendorId, full.productId, full.versionNumber, full.inputReportLength,
                           full.outputReportLength, full.featureReportLength));
        anyProduct = anyProduct || !full.productString.empty();
    }
    EXPECT_TRUE(anyProduct) << "no device gave a product string";
}

TEST_F(HidWin32Test, TheLinkListsEveryDeviceUnderItsHidProductString) {
    TnrHid link(platform);
    link.Update();
    ASSERT_EQ(link.GetDeviceCount(), static_cast<int>(devices.size()));
    for (int i = 0; i < link.GetDeviceCount(); ++i) {
        const TnrHidDevice& entry = *link.GetHidDevice(i);
        const DeviceQuery q = platform.query(entry.devicePath, true);
        EXPECT_EQ(entry.GetVendorId(), q.vendorId);
        EXPECT_EQ(entry.GetReportLength(ReportKind::Input), q.inputReportLength);
        EXPECT_EQ(entry.productString, q.productString.size() >= 3 ? q.productString : entry.description);
    }
}

TEST_F(HidWin32Test, CancelWakesAPendingReadAndLaterReadsBlockUntilClose) {
    const auto readable = Readable();
    if (!readable) GTEST_SKIP() << "no HID device here opens for reading";
    OpenResult opened = platform.open(readable->first, Access::ReadWrite, true);
    ASSERT_TRUE(opened.device);
    auto device = opened.device;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(readable->second));
    std::future<int> first, second;
    // Whatever fails, the reads are ended before their futures wait for them.
    const std::shared_ptr<void> closer(nullptr, [&](void*) { device->close(); });

    // Nobody moves Wine's mouse: the read stays pending until it is cancelled. A cancel that comes
    // before the read started does not count for it, so keep cancelling until it returns.
    first = std::async(std::launch::async, [&] { return device->read(buffer); });
    const auto start = Clock::now();
    while (first.wait_for(20ms) != std::future_status::ready && Clock::now() - start < 5s) device->cancelRead();
    ASSERT_EQ(first.wait_for(0ms), std::future_status::ready) << "a cancelled read did not return";
    EXPECT_EQ(first.get(), -1);
    EXPECT_EQ(device->lastError(), ECANCELED);

    // The device is still open; the next read blocks again, and a close ends it.
    second = std::async(std::launch::async, [&] { return device->read(buffer); });
    EXPECT_EQ(second.wait_for(200ms), std::future_status::timeout);
    const auto closing = Clock::now();
    device->close();
    ASSERT_EQ(second.wait_for(2s), std::future_status::ready) << "close left a read pending";
    EXPECT_LT(Clock::now() - closing, 2s);
    EXPECT_EQ(second.get(), -1);
    EXPECT_EQ(device->lastError(), EBADF);

    // Closed for good: reads and writes fail at once, and a second close is harmless.
    device->close();
    EXPECT_EQ(device->read(buffer), -1);
    const std::uint8_t report[2] = {0, 0};
    EXPECT_FALSE(device->write(report));
    EXPECT_EQ(device->lastError(), EBADF);
}

TEST_F(HidWin32Test, AnExclusiveOpenIsRefusedWhileTheDeviceIsOpenElsewhere) {
    const auto readable = Readable();
    if (!readable) GTEST_SKIP() << "no HID device here opens for reading";
    auto holder = platform.open(readable->first, Access::Read, false).device;
    ASSERT_TRUE(holder);
    const OpenResult second = platform.open(readable->first, Access::Read, true);
    if (second.device) GTEST_SKIP() << "this system (Wine) does not enforce sharing modes on HID devices";
    EXPECT_EQ(second.error, kSharingViolation);
    EXPECT_EQ(platform.query(readable->first, true).error, kSharingViolation);
    EXPECT_EQ(platform.errorText(kSharingViolation), SystemText(ERROR_SHARING_VIOLATION));
}

TEST_F(HidWin32Test, AMissingDeviceIsENOENTInTheSystemsWords) {
    for (Access access : {Access::ReadWrite, Access::Read, Access::Write, Access::None}) {
        const OpenResult r = platform.open(kMissingPath, access, true);
        EXPECT_FALSE(r.device);
        EXPECT_EQ(r.error, ENOENT);
    }
    EXPECT_EQ(platform.query(kMissingPath, true).error, ENOENT);
    // The text is the system's for the very error that opening the path gives.
    HANDLE h = CreateFileW(L"\\\\?\\hid#vid_0000&pid_0000#0&dead&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030}", 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(h, INVALID_HANDLE_VALUE);
    const DWORD error = GetLastError();
    ErrnoFromWin32(error);
    EXPECT_EQ(platform.errorText(ENOENT), SystemText(error));
}

TEST(HidWin32ErrorTest, WindowsErrorsFoldIntoErrnoAndKeepTheirOwnText) {
    Win32HidPlatform platform;
    struct Row {
        DWORD win32;
        int code;
    };
    const Row rows[] = {
        {ERROR_SHARING_VIOLATION, EBUSY}, {ERROR_FILE_NOT_FOUND, ENOENT},  {ERROR_PATH_NOT_FOUND, ENOENT},
        {ERROR_DEVICE_NOT_CONNECTED, ENOENT}, {ERROR_ACCESS_DENIED, EACCES}, {ERROR_OPERATION_ABORTED, ECANCELED},
        {ERROR_TIMEOUT, ETIMEDOUT},       {ERROR_INVALID_HANDLE, EBADF},   {ERROR_CRC, EIO},
        {ERROR_INVALID_PARAMETER, EIO},   {ERROR_GEN_FAILURE, EIO},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.win32);
        EXPECT_EQ(ErrnoFromWin32(row.win32), row.code);
        // The last Windows error behind a code is the one whose words the user reads.
        EXPECT_EQ(Win32ForErrno(row.code), row.win32);
        const std::string text = platform.errorText(row.code);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
        if (const std::string system = SystemText(row.win32); !system.empty()) {
            EXPECT_EQ(text, system);
        }
    }
    EXPECT_NE(platform.errorText(EBUSY), platform.errorText(ENOENT));
    // No Windows error stands behind EINVAL: the C library's text.
    EXPECT_EQ(Win32ForErrno(EINVAL), 0u);
    EXPECT_EQ(platform.errorText(EINVAL), std::strerror(EINVAL));
}

// One table folds Windows errors for files and devices alike: each mapping either side had
// before stays, and a parameter the system refuses is an I/O failure for both.
TEST(HidWin32ErrorTest, OneTableServesFilesAndDevices) {
    struct Row {
        DWORD win32;
        int code;
    };
    const Row rows[] = {
        {ERROR_SUCCESS, 0},           {ERROR_DISK_FULL, ENOSPC},       {ERROR_FILE_EXISTS, EEXIST},
        {ERROR_INVALID_NAME, EINVAL}, {ERROR_LOCK_VIOLATION, EBUSY},   {ERROR_DIRECTORY, ENOTDIR},
        {ERROR_BROKEN_PIPE, EPIPE},   {ERROR_FILE_TOO_LARGE, EFBIG},   {ERROR_DEVICE_NOT_CONNECTED, ENOENT},
        {ERROR_TIMEOUT, ETIMEDOUT},   {ERROR_INVALID_PARAMETER, EIO},  {ERROR_WRITE_PROTECT, EACCES},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.win32);
        EXPECT_EQ(win32::ErrnoFromWin32(row.win32), row.code);
    }
}

// The message-only window both the watcher and the hot key run: messages reach the handler on
// the thread that made it, the rest the default procedure, and a window the handler destroyed
// is not destroyed twice.
TEST(Win32MessageWindowTest, MessagesReachTheHandlerAndTheWindowMayCloseItself) {
    constexpr UINT kPing = WM_APP + 7;
    std::vector<UINT> seen;
    HWND self = nullptr;
    win32::MessageWindow window(L"QuillonMessageWindowTest",
                                [&](unsigned message, std::uintptr_t wParam, std::intptr_t, std::intptr_t& result) {
                                    if (message == kPing) {
                                        seen.push_back(static_cast<UINT>(wParam));
                                        result = 42;
                                        return true;
                                    }
                                    if (message == WM_CLOSE) {
                                        DestroyWindow(self);
                                        return true;
                                    }
                                    return false;
                                });
    self = static_cast<HWND>(window.handle());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(SendMessageW(self, kPing, 5, 0), 42);
    PostMessageW(self, kPing, 6, 0);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    EXPECT_EQ(seen, (std::vector<UINT>{5, 6}));
    SendMessageW(self, WM_CLOSE, 0, 0);
    EXPECT_EQ(window.handle(), nullptr);
    EXPECT_FALSE(IsWindow(self));
}

// The watcher window as another part of the system would reach it.
// This process's watcher window: ctest runs other test programs beside this one, and message-only
// windows of every process share one list.
HWND WatcherWindow() {
    for (HWND w = FindWindowExW(HWND_MESSAGE, nullptr, kDeviceChangeWindowClass, nullptr); w != nullptr;
         w = FindWindowExW(HWND_MESSAGE, w, kDeviceChangeWindowClass, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == GetCurrentProcessId()) return w;
    }
    return nullptr;
}

LRESULT Broadcast(HWND window, WPARAM event) {
    DEV_BROADCAST_DEVICEINTERFACE_W notice{};
    notice.dbcc_size = sizeof notice;
    notice.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    return SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&notice));
}

TEST(HidWin32ChangeTest, ArrivalAndRemovalReachTheListenerUntilItUnsubscribes) {
    Win32HidPlatform platform;
    std::atomic<int> first{0}, second{0};
    platform.setChangeListener([&] { ++first; });
    const HWND window = WatcherWindow();
    ASSERT_NE(window, nullptr) << "the device-change window was not made";
    // SendMessage returns once the watcher thread has handled the notice.
    Broadcast(window, DBT_DEVICEARRIVAL);
    Broadcast(window, DBT_DEVICEREMOVECOMPLETE);
    Broadcast(window, DBT_DEVICEQUERYREMOVE);  // not a change of the device set
    EXPECT_EQ(first, 2);

    platform.setChangeListener([&] { ++second; });  // replaces, same watcher
    EXPECT_EQ(WatcherWindow(), window);
    Broadcast(window, DBT_DEVICEARRIVAL);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 1);

    const auto start = Clock::now();
    platform.setChangeListener({});
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(WatcherWindow(), nullptr);
    EXPECT_EQ(second, 1);
}

TEST(HidWin32ChangeTest, TheWatcherEndsWithThePlatformAndWhenTheListenerUnsubscribesItself) {
    {
        Win32HidPlatform platform;
        platform.setChangeListener([] {});
        ASSERT_NE(WatcherWindow(), nullptr);
    }
    EXPECT_EQ(WatcherWindow(), nullptr);

    Win32HidPlatform platform;
    std::atomic<int> calls{0};
    platform.setChangeListener([&] {
        ++calls;
        platform.setChangeListener({});
    });
    const HWND window = WatcherWindow();
    ASSERT_NE(window, nullptr);
    Broadcast(window, DBT_DEVICEARRIVAL);
    EXPECT_EQ(calls, 1);
    const auto start = Clock::now();
    while (IsWindow(window) && Clock::now() - start < 5s) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(IsWindow(window)) << "the watcher did not end after unsubscribing from its own thread";
    // A fresh subscription gets a fresh watcher.
    platform.setChangeListener([&] { ++calls; });
    ASSERT_NE(WatcherWindow(), nullptr);
    Broadcast(WatcherWindow(), DBT_DEVICEARRIVAL);
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace quillon::hid
