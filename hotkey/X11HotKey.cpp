// F9 on X11: a passive grab of the key on every root window through xcb, so the server sends us
// the press whichever window has the focus. Either on the toolkit's connection (presses then come
// through its native event filter) or on a connection of our own, read by a small thread.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "hotkey/GlobalHotKey.h"
#include "hotkey/PressRelay.h"

namespace quillon::hotkey {
namespace {

constexpr xcb_keysym_t kKeysymF9 = 0xffc6;  // XK_F9 of X11/keysymdef.h

// F9 alone, or with NumLock and/or CapsLock on: those two locks are part of the key state the
// server matches grabs against, and a user does not think of them as modifiers.
constexpr std::uint16_t kLockMasks[] = {
    0,
    XCB_MOD_MASK_2,
    XCB_MOD_MASK_LOCK,
    XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK,
};
constexpr std::uint16_t kAllModifiers = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_CONTROL |
                                        XCB_MOD_MASK_1 | XCB_MOD_MASK_2 | XCB_MOD_MASK_3 | XCB_MOD_MASK_4 |
                                        XCB_MOD_MASK_5;
constexpr std::uint16_t kIgnoredModifiers = XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK;

// The high bit of response_type marks an event another client sent with SendEvent; it is still
// the same kind of event.
constexpr std::uint8_t kSentEventBit = 0x80;

bool isF9Press(const xcb_generic_event_t& event, const std::vector<xcb_keycode_t>& keycodes) {
    if ((event.response_type & ~kSentEventBit) != XCB_KEY_PRESS) return false;
    const auto& press = reinterpret_cast<const xcb_key_press_event_t&>(event);
    if (std::find(keycodes.begin(), keycodes.end(), press.detail) == keycodes.end()) return false;
    // Ctrl+F9 and the like reach us only while one of our own windows has the focus; they are
    // that window's keys, not the hot key.
    return (press.state & kAllModifiers & ~kIgnoredModifiers) == 0;
}

std::vector<xcb_window_t> rootWindows(xcb_connection_t* connection) {
    std::vector<xcb_window_t> roots;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(connection)); it.rem > 0; xcb_screen_next(&it))
        roots.push_back(it.data->root);
    return roots;
}

std::vector<xcb_keycode_t> f9Keycodes(xcb_connection_t* connection) {
    std::vector<xcb_keycode_t> keycodes;
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection);
    if (symbols == nullptr) return keycodes;
    if (xcb_keycode_t* found = xcb_key_symbols_get_keycode(symbols, kKeysymF9)) {
        for (const xcb_keycode_t* k = found; *k != XCB_NO_SYMBOL; ++k) keycodes.push_back(*k);
        std::free(found);
    }
    xcb_key_symbols_free(symbols);
    return keycodes;
}

// A grab on Xwayland sees only keys typed into X clients, so F9 would stay silent while a
// Wayland application is in front: the key is not system-wide there.
bool isXwayland(xcb_connection_t* connection) {
    static constexpr char kName[] = "XWAYLAND";
    auto cookie = xcb_query_extension(connection, sizeof kName - 1, kName);
    xcb_query_extension_reply_t* reply = xcb_query_extension_reply(connection, cookie, nullptr);
    const bool present = reply != nullptr && reply->present != 0;
    std::free(reply);
    return present;
}

class X11HotKey final : public GlobalHotKey {
public:
    X11HotKey(UiHost& host, xcb_connection_t* toolkitConnection) : host_(host), toolkit_(toolkitConnection) {}
    ~X11HotKey() override { unregister(); }

    X11HotKey(const X11HotKey&) = delete;
    X11HotKey& operator=(const X11HotKey&) = delete;

    bool registerF9(std::function<void()> onPressed) override {
        unregister();
        xcb_connection_t* connection = toolkit_;
        if (connection == nullptr) {
            // Without $DISPLAY (a Wayland-only session) this yields a connection in error state.
            connection = xcb_connect(nullptr, nullptr);
            if (xcb_connection_has_error(connection) != 0) {
                xcb_disconnect(connection);
                return false;
            }
        }
        if (xcb_connection_has_error(connection) != 0 || isXwayland(connection) || !grab(connection)) {
            if (connection != toolkit_) xcb_disconnect(connection);
            return false;
        }
        connection_ = connection;
        relay_ = std::make_shared<PressRelay>(host_, std::move(onPressed));
        if (connection_ != toolkit_ && !startReader()) {
            unregister();
            return false;
        }
        return true;
    }

    void unregister() override {
        if (relay_) relay_->cancel();
        relay_.reset();
        stopReader();
        if (connection_ == nullptr) return;
        release(connection_);
        if (connection_ != toolkit_) xcb_disconnect(connection_);
        connection_ = nullptr;
        keycodes_.clear();
        roots_.clear();
    }

    bool handleNativeEvent(std::string_view eventType, void* message) override {
        if (eventType != "xcb_generic_event_t" || message == nullptr || !relay_) return false;
        if (!isF9Press(*static_cast<const xcb_generic_event_t*>(message), keycodes_)) return false;
        auto relay = relay_;  // onPressed may unregister
        relay->pressNow();
        return true;
    }

private:
    // Grabs every (root, keycode, lock state) combination, or none: a partial grab would keep F9
    // from another client although we report failure.
    bool grab(xcb_connection_t* connection) {
        roots_ = rootWindows(connection);
        keycodes_ = f9Keycodes(connection);
        bool ok = !roots_.empty() && !keycodes_.empty();
        std::vector<xcb_void_cookie_t> cookies;
        for (xcb_window_t root : roots_)
            for (xcb_keycode_t keycode : keycodes_)
                for (std::uint16_t mask : kLockMasks)
                    cookies.push_back(xcb_grab_key_checked(connection, 1, root, mask, keycode,
                                                           XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        // Check every cookie, even after a failure, so no error is left to surface later as an
        // event on the toolkit's connection. BadAccess means another client holds the grab.
        for (xcb_void_cookie_t cookie : cookies) {
            if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
                ok = false;
                std::free(error);
            }
        }
        if (!ok) {
            release(connection);
            keycodes_.clear();
            roots_.clear();
        }
        return ok;
    }

    // Releases only our own grabs; one held by another client on the same key stays. Waits for
    // the server, so that F9 is free for the next client once this returns (closing our own
    // connection would release it too, but only whenever the server notices).
    void release(xcb_connection_t* connection) {
        for (xcb_window_t root : roots_)
            for (xcb_keycode_t keycode : keycodes_)
                for (std::uint16_t mask : kLockMasks) xcb_ungrab_key(connection, keycode, root, mask);
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }

    bool startReader() {
        wakeFd_ = eventfd(0, EFD_CLOEXEC);
        if (wakeFd_ < 0) return false;
        reader_ = std::thread(readEvents, connection_, wakeFd_, keycodes_, relay_);
        return true;
    }

    void stopReader() {
        if (reader_.joinable()) {
            const std::uint64_t one = 1;
            while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
            }
            reader_.join();
        }
        if (wakeFd_ >= 0) close(wakeFd_);
        wakeFd_ = -1;
    }

    // Runs until woken through wakeFd or the server goes away; the connection is ours alone while
    // it runs (the UI thread touches it again only after join).
    static void readEvents(xcb_connection_t* connection, int wakeFd, std::vector<xcb_keycode_t> keycodes,
                           std::shared_ptr<PressRelay> relay) {
        pollfd fds[2] = {{xcb_get_file_descriptor(connection), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        for (;;) {
            // Drain first: xcb may already hold events read while the grab requests were checked.
            while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
                if (isF9Press(*event, keycodes)) relay->post();
                std::free(event);
            }
            if (xcb_connection_has_error(connection) != 0) return;
            if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if ((fds[1].revents & POLLIN) != 0) return;
        }
    }

    UiHost& host_;
    xcb_connection_t* const toolkit_;
    xcb_connection_t* connection_ = nullptr;  // set while registered
    std::vector<xcb_window_t> roots_;
    std::vector<xcb_keycode_t> keycodes_;
    std::shared_ptr<PressRelay> relay_;
    std::thread reader_;
    int wakeFd_ = -1;
};

}  // namespace

std::unique_ptr<GlobalHotKey> MakeGlobalHotKey(UiHost& host, void* connection) {
    return std::make_unique<X11HotKey>(host, static_cast<xcb_connection_t*>(connection));
}

}  // namespace quillon::hotkey
