// The global F9 key on a real X server: each test starts its own Xvfb, xdotool plays the user
// pressing keys while another client's window has the focus, and raw xcb clients play the other
// applications (holding the focus or the F9 grab). Skipped where Xvfb or xdotool is missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "hotkey/GlobalHotKey.h"

namespace quillon::hotkey {
namespace {

using namespace std::chrono_literals;
constexpr xcb_keysym_t kF9 = 0xffc6, kF8 = 0xffc5;
constexpr std::uint16_t kLockVariants[] = {0, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK};

bool pressKeys(const std::string& keys) { return std::system(("timeout 10 xdotool key " + keys).c_str()) == 0; }

// The UI thread, counting what is posted to it.
struct CountingHost : LoopUiHost {
    void post(Task fn) override {
        ++posts;
        LoopUiHost::post(std::move(fn));
    }
    bool runUntil(const std::function<bool()>& done, Millis limit = 5000ms) {
        bool expired = false;
        auto timer = startTimer(limit, false, [&] { expired = true; });
        LoopUiHost::runUntil([&] { return expired || done(); });
        stopTimer(timer);
        return done();
    }
    std::atomic<int> posts{0};
};

// Another application on the test's display.
struct XClient {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    ~XClient() { xcb_disconnect(connection); }

    xcb_keycode_t keycode(xcb_keysym_t keysym) {
        xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection);
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym);
        const xcb_keycode_t first = codes ? codes[0] : 0;
        std::free(codes);
        xcb_key_symbols_free(symbols);
        return first;
    }
    bool sync(xcb_void_cookie_t cookie) {
        xcb_generic_error_t* error = xcb_request_check(connection, cookie);
        const bool done = error == nullptr;
        std::free(error);
        return done;
    }
};

class HotKeyOnX : public testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v Xvfb >/dev/null && command -v xdotool >/dev/null") != 0)
            GTEST_SKIP() << "Xvfb or xdotool is not installed: the global F9 tests need an X server of their "
                            "own and a client that presses keys (apt-get install xvfb xdotool)";
        // Xvfb picks a free display and reports it once it accepts clients (-displayfd), so tests
        // side by side never race for a number. -noreset: a server resets when its last client
        // leaves and drops connections made meanwhile; these tests connect and leave all the time.
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        if ((xvfb_ = fork()) == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // no stray server when a test dies
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            dup2(ready[1], 3);
            execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset", nullptr);
            _exit(127);
        }
        close(ready[1]);
        std::string display = ":";
        pollfd fd{ready[0], POLLIN, 0};
        for (char c = 0; poll(&fd, 1, 10000) > 0 && read(ready[0], &c, 1) == 1 && c != '\n';) display += c;
        close(ready[0]);
        ASSERT_NE(display, ":") << "Xvfb reported no display within 10 s";
        setenv("DISPLAY", display.c_str(), 1);  // for our own connections and for xdotool
    }
    void TearDown() override {
        if (xvfb_ > 0 && kill(xvfb_, SIGTERM) == 0) waitpid(xvfb_, nullptr, 0);
    }

    CountingHost host;
    int presses = 0;
    bool allOnUiThread = true;
    std::function<void()> onPressed = [this] {
        ++presses;
        allOnUiThread = allOnUiThread && host.onUiThread();
    };

private:
    pid_t xvfb_ = 0;
};

TEST_F(HotKeyOnX, F9WhileAnotherWindowHasFocusRunsOnUiThreadOncePerPress) {
    XClient other;
    const xcb_window_t window = xcb_generate_id(other.connection);
    xcb_create_window(other.connection, XCB_COPY_FROM_PARENT, window, other.root, 0, 0, 100, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_map_window(other.connection, window);
    ASSERT_TRUE(other.sync(xcb_set_input_focus_checked(other.connection, XCB_INPUT_FOCUS_PARENT, window, 0)));
    auto hotKey = MakeGlobalHotKey(host);
    ASSERT_TRUE(hotKey->registerF9(onPressed));
    // Each row presses F9 exactly once; Ctrl+F9 and F8 are not the hot key.
    const char* rows[] = {"F9", "ctrl+F9 F8 F9", "Num_Lock F9 Num_Lock", "Caps_Lock F9 Caps_Lock"};
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(pressKeys(rows[i]));
        ASSERT_TRUE(host.runUntil([&] { return presses > i; })) << rows[i];
    }
    host.runUntil([] { return false; }, 200ms);  // room for a stray second call (a release, a double post)
    EXPECT_EQ(presses, 4);
    EXPECT_TRUE(allOnUiThread);
}

TEST_F(HotKeyOnX, F9HeldByAnotherClientFailsAndGrabsNothing) {
    // The other client holds one lock variant only: a registration that stopped at the first error
    // or forgot to roll back would keep the others.
    XClient toolkit, other;
    const xcb_keycode_t f9 = other.keycode(kF9);
    for (std::uint16_t held : kLockVariants) {
        SCOPED_TRACE(held);
        ASSERT_TRUE(other.sync(xcb_grab_key_checked(other.connection, 1, other.root, held, f9, 1, 1)));
        EXPECT_FALSE(MakeGlobalHotKey(host)->registerF9(onPressed));
        EXPECT_FALSE(MakeGlobalHotKey(host, toolkit.connection)->registerF9(onPressed));
        ASSERT_TRUE(other.sync(xcb_ungrab_key_checked(other.connection, f9, other.root, held)));
        // The toolkit connection stays open, so a grab left on it would make this fail.
        EXPECT_TRUE(MakeGlobalHotKey(host)->registerF9(onPressed));
    }
}

TEST_F(HotKeyOnX, UnregisterReleasesTheKeyAndDropsQueuedPresses) {
    auto first = MakeGlobalHotKey(host);
    ASSERT_TRUE(first->registerF9(onPressed));
    ASSERT_TRUE(pressKeys("F9"));
    for (int waited = 0; host.posts == 0; ++waited) {  // posted, not yet run on the UI thread
        ASSERT_LT(waited, 5000);
        std::this_thread::sleep_for(1ms);
    }
    first->unregister();
    host.runPending();
    EXPECT_EQ(presses, 0);

    // F9 is free for another registration (a grab still held would refuse it), and only it hears F9.
    int secondPresses = 0;
    auto second = MakeGlobalHotKey(host);
    ASSERT_TRUE(second->registerF9([&] { ++secondPresses; }));
    ASSERT_TRUE(pressKeys("F9"));
    EXPECT_TRUE(host.runUntil([&] { return secondPresses == 1; }));
    EXPECT_EQ(presses, 0);
}

TEST_F(HotKeyOnX, ToolkitConnectionTakesF9ThroughItsEventFilter) {
    XClient toolkit;
    auto hotKey = MakeGlobalHotKey(host, toolkit.connection);
    xcb_key_press_event_t event{XCB_KEY_PRESS, toolkit.keycode(kF9), 0, 0, toolkit.root, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    EXPECT_FALSE(hotKey->handleNativeEvent("xcb_generic_event_t", &event)) << "taken before registration";
    ASSERT_TRUE(hotKey->registerF9(onPressed));
    struct { std::uint8_t response; xcb_keysym_t key; std::uint16_t state; bool taken; } rows[] = {
        {XCB_KEY_PRESS, kF9, XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK, true}, {XCB_KEY_PRESS | 0x80, kF9, 0, true},
        {XCB_KEY_PRESS, kF9, XCB_MOD_MASK_CONTROL, false}, {XCB_KEY_PRESS, kF9, XCB_MOD_MASK_SHIFT, false},
        {XCB_KEY_RELEASE, kF9, 0, false}, {XCB_KEY_PRESS, kF8, 0, false}};
    int expected = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.response) << " key " << row.key << " state " << row.state);
        event = {row.response, toolkit.keycode(row.key), 0, 0, toolkit.root, 0, 0, 0, 0, 0, 0, row.state, 1, 0};
        EXPECT_FALSE(hotKey->handleNativeEvent("windows_generic_MSG", &event));
        EXPECT_EQ(hotKey->handleNativeEvent("xcb_generic_event_t", &event), row.taken);
        EXPECT_EQ(presses, expected += row.taken);  // called right away, not posted
    }
    // A real press from another client arrives on the toolkit's connection.
    ASSERT_TRUE(pressKeys("F9"));
    bool taken = false;
    for (pollfd fd{xcb_get_file_descriptor(toolkit.connection), POLLIN, 0}; !taken && poll(&fd, 1, 5000) > 0;) {
        while (xcb_generic_event_t* real = xcb_poll_for_event(toolkit.connection)) {
            taken = taken || hotKey->handleNativeEvent("xcb_generic_event_t", real);
            std::free(real);
        }
    }
    EXPECT_TRUE(taken);
    EXPECT_EQ(presses, expected + 1);
    EXPECT_EQ(host.posts, 0);
    // An action that unregisters from inside the filter is safe; later presses are not taken, and
    // the toolkit's connection (still open) no longer holds F9.
    ASSERT_TRUE(hotKey->registerF9([&] { hotKey->unregister(); ++presses; }));
    event = {XCB_KEY_PRESS, toolkit.keycode(kF9), 0, 0, toolkit.root, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    EXPECT_TRUE(hotKey->handleNativeEvent("xcb_generic_event_t", &event));
    EXPECT_FALSE(hotKey->handleNativeEvent("xcb_generic_event_t", &event));
    EXPECT_EQ(presses, expected + 2);
    EXPECT_TRUE(MakeGlobalHotKey(host)->registerF9(onPressed));
}

TEST(HotKeyWithoutX, RegistrationFailsWithoutAReachableDisplay) {  // runs last: leaves DISPLAY unset
    CountingHost host;
    for (const char* display : {":65000", "not a display", ""}) {
        SCOPED_TRACE(display);
        if (*display) setenv("DISPLAY", display, 1); else unsetenv("DISPLAY");
        EXPECT_FALSE(MakeGlobalHotKey(host)->registerF9([] {}));
    }
}

}  // namespace
}  // namespace quillon::hotkey
