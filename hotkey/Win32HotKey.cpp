// F9 on Windows: RegisterHotKey on a message-only window of our own, so the hot key does not
// depend on the toolkit's top-level window. WM_HOTKEY is posted to the thread that made the
// window (the UI thread); the toolkit's loop either hands it to handleNativeEvent or dispatches
// it to our window procedure.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <utility>

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
        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &Win32HotKey::windowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = kWindowClass;
        if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

        window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
        if (window_ == nullptr) return false;
        // Before RegisterHotKey, so the first WM_HOTKEY already finds us.
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        relay_ = std::make_shared<PressRelay>(host_, std::move(onPressed));
        if (RegisterHotKey(window_, kHotKeyId, 0, kVirtualKeyF9) == 0) {  // taken by another program
            relay_.reset();
            DestroyWindow(window_);
            window_ = nullptr;
            return false;
        }
        return true;
    }

    void unregister() override {
        if (relay_) relay_->cancel();
        relay_.reset();
        if (window_ == nullptr) return;
        UnregisterHotKey(window_, kHotKeyId);
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
        window_ = nullptr;
    }

    bool handleNativeEvent(std::string_view eventType, void* message) override {
        if (eventType != "windows_generic_MSG" || message == nullptr || !relay_) return false;
        const MSG& msg = *static_cast<const MSG*>(message);
        if (msg.hwnd != window_ || !isF9HotKey(msg.message, msg.lParam)) return false;
        auto relay = relay_;  // onPressed may unregister
        relay->pressNow();
        return true;
    }

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Win32HotKey*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self != nullptr && self->relay_ && isF9HotKey(message, lParam)) {
            self->relay_->post();
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    UiHost& host_;
    HWND window_ = nullptr;
    std::shared_ptr<PressRelay> relay_;
};

}  // namespace

std::unique_ptr<GlobalHotKey> MakeGlobalHotKey(UiHost& host, void* /*connection*/) {
    return std::make_unique<Win32HotKey>(host);
}

}  // namespace quillon::hotkey
