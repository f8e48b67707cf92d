// The system-wide F9 key that runs Write while another application is in front.
// One interface, one implementation per window system (X11 key grabs, Win32 RegisterHotKey),
// picked at build time; MakeGlobalHotKey() returns the one for this platform. Qt-free: the window
// hands in its native events and its UiHost, nothing else.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "core/UiHost.h"

namespace quillon::hotkey {

inline constexpr int kHotKeyId = 0xB123;  // the registration's identifier
inline constexpr unsigned kVirtualKeyF9 = 0x78;

class GlobalHotKey {
public:
    virtual ~GlobalHotKey() = default;

    // Registers F9 (no modifiers) system-wide; onPressed runs on the UI thread (through host.post)
    // once per press. Registering again replaces the earlier registration. Returns false (and
    // registers nothing) when the key cannot be had: no X display, an X server that only sees X
    // clients (Xwayland), F9 grabbed by another client, RegisterHotKey failing.
    virtual bool registerF9(std::function<void()> onPressed) = 0;

    // Releases the key. Presses already on their way to the UI thread are dropped. Safe to call
    // when nothing is registered, and from inside onPressed.
    virtual void unregister() = 0;

    // Feeds one native event from the toolkit's event filter (Qt's eventType "xcb_generic_event_t"
    // with an xcb_generic_event_t*, or "windows_generic_MSG" with a MSG*). Returns true when it was
    // the F9 press of this registration and calls onPressed directly, since the filter already runs
    // on the UI thread. Returns false for anything else, and always while nothing is registered.
    virtual bool handleNativeEvent(std::string_view eventType, void* message) = 0;
};

// Makes the implementation for this platform. `connection` is the toolkit's own xcb_connection_t*
// when it has one (the window passes Qt's; then the grab is made on it and presses come through
// handleNativeEvent); nullptr means: open an own connection to $DISPLAY and read it on a small
// thread that posts onPressed to the UI thread. Ignored on Windows, where the hot key window's
// messages arrive through the UI thread's message loop either way.
std::unique_ptr<GlobalHotKey> MakeGlobalHotKey(UiHost& host, void* connection = nullptr);

}  // namespace quillon::hotkey
