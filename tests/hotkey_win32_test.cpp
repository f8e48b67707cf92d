// The global F9 key on Windows: RegisterHotKey on the module's message-only window, WM_HOTKEY
// reaching the action through the window procedure (posted to the UI thread) or through the
// toolkit's native-event filter, and the "key is taken" path when another registration holds F9.
// Nobody can press a key under a headless Wine, so the system's WM_HOTKEY is posted to the window.
#include <windows.h>
#include <gtest/gtest.h>

#include <functional>

#include "hotkey/GlobalHotKey.h"
#include "support/ManualUiHost.h"

namespace quillon::hotkey {
namespace {

constexpr wchar_t kHotKeyWindowClass[] = L"QuillonHotKeyWindow";

// This process's hot key window: message-only windows of every process share one list.
HWND HotKeyWindow() {
    for (HWND w = FindWindowExW(HWND_MESSAGE, nullptr, kHotKeyWindowClass, nullptr); w != nullptr;
         w = FindWindowExW(HWND_MESSAGE, w, kHotKeyWindowClass, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == GetCurrentProcessId()) return w;
    }
    return nullptr;
}

// What the system posts when the user presses a registered key.
void PostHotKey(HWND window, UINT virtualKey) {
    PostMessageW(window, WM_HOTKEY, kHotKeyId, MAKELPARAM(0, virtualKey));
}

// The toolkit's message loop: everything queued for this thread goes to its window procedure.
void PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

struct HotKeyWin32Test : ::testing::Test {
    ManualUiHost host;
    std::unique_ptr<GlobalHotKey> key = MakeGlobalHotKey(host);
    int presses = 0;
    std::function<void()> count = [this] { ++presses; };
};

TEST_F(HotKeyWin32Test, F9PressesReachTheActionOnTheUiThreadUntilUnregistered) {
    ASSERT_TRUE(key->registerF9(count));
    const HWND window = HotKeyWindow();
    ASSERT_NE(window, nullptr);

    PostHotKey(window, kVirtualKeyF9);
    PostHotKey(window, VK_F8);  // not ours: ignored
    PumpMessages();
    EXPECT_EQ(presses, 0);  // posted to the UI host, not run inside the window procedure
    host.runPending();
    EXPECT_EQ(presses, 1);

    // A press still queued when the key is released never runs.
    PostHotKey(window, kVirtualKeyF9);
    PumpMessages();
    key->unregister();
    host.runPending();
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(HotKeyWindow(), nullptr);
    key->unregister();  // harmless when nothing is registered
}

TEST_F(HotKeyWin32Test, TheNativeEventFilterTakesOnlyF9ForItsOwnWindow) {
    ASSERT_TRUE(key->registerF9(count));
    MSG msg{};
    msg.hwnd = HotKeyWindow();
    msg.message = WM_HOTKEY;
    msg.lParam = MAKELPARAM(0, kVirtualKeyF9);
    EXPECT_FALSE(key->handleNativeEvent("xcb_generic_event_t", &msg));
    EXPECT_TRUE(key->handleNativeEvent("windows_generic_MSG", &msg));
    EXPECT_EQ(presses, 1);  // the filter runs on the UI thread: at once

    MSG other = msg;
    other.lParam = MAKELPARAM(0, VK_F8);
    EXPECT_FALSE(key->handleNativeEvent("windows_generic_MSG", &other));
    other = msg;
    other.hwnd = GetDesktopWindow();
    EXPECT_FALSE(key->handleNativeEvent("windows_generic_MSG", &other));
    other = msg;
    other.message = WM_KEYDOWN;
    EXPECT_FALSE(key->handleNativeEvent("windows_generic_MSG", &other));
    EXPECT_EQ(presses, 1);

    // The action may release the key from inside the press.
    ASSERT_TRUE(key->registerF9([&] {
        ++presses;
        key->unregister();
    }));
    msg.hwnd = HotKeyWindow();
    EXPECT_TRUE(key->handleNativeEvent("windows_generic_MSG", &msg));
    EXPECT_EQ(presses, 2);
    EXPECT_FALSE(key->handleNativeEvent("windows_generic_MSG", &msg));
    EXPECT_EQ(presses, 2);
}

TEST_F(HotKeyWin32Test, RegisteringAgainReplacesTheEarlierRegistration) {
    ASSERT_TRUE(key->registerF9(count));
    int replaced = 0;
    ASSERT_TRUE(key->registerF9([&] { ++replaced; }));
    PostHotKey(HotKeyWindow(), kVirtualKeyF9);
    PumpMessages();
    host.runPending();
    EXPECT_EQ(presses, 0);
    EXPECT_EQ(replaced, 1);
    key->unregister();
    EXPECT_TRUE(key->registerF9(count));  // the key was really given back
}

TEST_F(HotKeyWin32Test, F9HeldByAnotherRegistrationFailsUntilItIsReleased) {
    // Another program holding F9 (a thread hot key has no window of ours).
    constexpr int kOtherId = 0x4242;
    ASSERT_TRUE(RegisterHotKey(nullptr, kOtherId, 0, kVirtualKeyF9)) << GetLastError();
    EXPECT_FALSE(key->registerF9(count));
    EXPECT_EQ(HotKeyWindow(), nullptr);  // nothing is left behind by a failed registration
    MSG msg{};
    msg.message = WM_HOTKEY;
    msg.lParam = MAKELPARAM(0, kVirtualKeyF9);
    EXPECT_FALSE(key->handleNativeEvent("windows_generic_MSG", &msg));

    // A second module of ours counts as another holder too.
    ASSERT_TRUE(UnregisterHotKey(nullptr, kOtherId));
    ASSERT_TRUE(key->registerF9(count));
    auto rival = MakeGlobalHotKey(host);
    EXPECT_FALSE(rival->registerF9(count));
    key->unregister();
    EXPECT_TRUE(rival->registerF9(count));
}

}  // namespace
}  // namespace quillon::hotkey
