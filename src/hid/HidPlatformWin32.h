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

#include "core/Win32.h"
#include "hid/HidPlatform.h"

namespace quillon::hid {

// Windows errors fold into the errno rule of HidPlatform.h through the one table of the core
// (sharing violation -> EBUSY, a missing file, path or device -> ENOENT, access denied -> EACCES,
// aborted, timed out, bad handle to their errno, everything the table lacks -> EIO), which also
// remembers the Windows error behind each code for errorText().
using win32::ErrnoFromWin32;
using win32::Win32ForErrno;

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
