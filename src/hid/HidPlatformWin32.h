// Real HID devices on Windows: the SetupAPI walk over the HID interface class, identity and report
// lengths from hid.dll, overlapped reads and writes that a close or cancel always ends, and
// device arrival/removal from a message-only window's WM_DEVICECHANGE.
// Windows error codes are folded into the errno rule of HidPlatform.h; errorText() still gives
// the system's own words for the Windows error that was behind a code.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "hid/HidPlatform.h"

namespace quillon::hid {

// The errno code for a Windows error (GetLastError), by the platform's error rule: sharing
// violation -> EBUSY, a missing file, path or device -> ENOENT, access denied -> EACCES, a few
// I/O outcomes (aborted, timed out, bad handle) to their errno, everything else -> EIO.
int ErrnoFromWin32(unsigned long win32Error);

// The Windows error whose system text explains an errno code: the one most recently folded into
// it by this process when there was one, otherwise the first Windows error that maps to it;
// 0 when no Windows error maps to it.
unsigned long Win32ForErrno(int code);

// The window class of the message-only window that receives the device-change broadcasts.
inline constexpr wchar_t kDeviceChangeWindowClass[] = L"QuillonHidDeviceChange";

class Win32HidPlatform : public Platform {
public:
    Win32HidPlatform();
    ~Win32HidPlatform() override;
    Win32HidPlatform(const Win32HidPlatform&) = delete;
    Win32HidPlatform& operator=(const Win32HidPlatform&) = delete;

    // Present HID interfaces; description and manufacturer from the device's registry properties.
    std::vector<RawDevice> enumerate() override;
    // Opens the path with no access, shared, and reads attributes, capabilities and (when asked)
    // the strings. A device held exclusively elsewhere gives kSharingViolation and nothing else.
    DeviceQuery query(const std::string& path, bool readStrings) override;
    // Overlapped handle; shared=false asks Windows for exclusive use.
    OpenResult open(const std::string& path, Access access, bool shared) override;
    // The system's message text (UTF-8) for the Windows error behind the code.
    std::string errorText(int code) const override;
    // Runs a watcher thread with a message-only window registered for HID interface notices.
    void setChangeListener(std::function<void()> listener) override;

private:
    struct Watcher;
    void StopWatcher();

    std::mutex watcherMutex_;
    std::shared_ptr<Watcher> watcher_;
};

}  // namespace quillon::hid
