// F9 on Windows: RegisterHotKey on a message-only window of our own (core/Win32.h), so the hot
// key does not depend on the toolkit's top-level window. WM_HOTKEY is posted to the thread that made the
// window (the UI thread); the toolkit's loop either hands it to handleNativeEvent or dispatches
// it to our window procedure.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "core/Win32.h"
#include "hotkey/GlobalHotKey.h"
#include "hotkey/PressRelay.h"

namespace quillon::hotkey {
namespace {

constexpr wchar_t kWindowClass[] = L"QuillonHotKeyWindow";

bool isF9HotKey(UINT message, LPARAM lParam) {
    // Only the virtual-key code counts; identifier and modifier word are not looked at.
    return message == WM_HOTKEY && HIWORD(lParam) == kVirtualKeyF9;
}

class Win32HotKey final : public GlobalHotKey {
public:
    explicit Win32HotKey(UiHost& host) : host_(host) {}
    ~Win32HotKey() override { unregister(); }

    Win32HotKey(const Win32HotKey&) = delete;
    Win32HotKey& operator=(const Win32HotKey&) = delete;

    bool registerF9(std::function<void()> onPressed) override {
        unregister();
        window_ = std::make_unique<win32::MessageWindow>(
            kWindowClass, [this](unsigned message, std::uintptr_t, std::intptr_t lParam, std::intptr_t& result) {
                if (!relay_ || !isF9HotKey(message, lParam)) return false;
                relay_->post();
                result = 0;
                return true;
            });
        HWND window = Window();
        if (window == nullptr) {
            window_.reset();
            return false;
        }
        relay_ = std::make_shared<PressRelay>(host_, std::move(onPressed));
        if (RegisterHotKey(window, kHotKeyId, 0, kVirtualKeyF9) == 0) {  // taken by another program
            relay_.reset();
            window_.reset();
            return false;
        }
        return true;
    }

    void unregister() override {
        if (relay_) relay_->cancel();
        relay_.reset();
        if (!window_) return;
        if (HWND window = Window(); window != nullptr) UnregisterHotKey(window, kHotKeyId);
        window_.reset();
    }

    bool handleNativeEvent(std::string_view eventType, void* message) override {
        if (eventType != "windows_generic_MSG" || message == nullptr || !relay_) return false;
        const MSG& msg = *static_cast<const MSG*>(message);
        if (msg.hwnd == nullptr || msg.hwnd != Window() || !isF9HotKey(msg.message, msg.lParam)) return false;
        auto relay = relay_;  // onPressed may unregister
        relay->pressNow();
        return true;
    }

private:
    HWND Window() const { return window_ ? static_cast<HWND>(window_->handle()) : nullptr; }

    UiHost& host_;
    std::unique_ptr<win32::MessageWindow> window_;
    std::shared_ptr<PressRelay> relay_;
};

}  // namespace

std::unique_ptr<GlobalHotKey> MakeGlobalHotKey(UiHost& host, void* /*connection*/) {
    return std::make_unique<Win32HotKey>(host);
}

}  // namespace quillon::hotkey
