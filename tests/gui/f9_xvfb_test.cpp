// The global F9 key end to end on a real X server: the test starts its own Xvfb, runs the window
// program on the simulated programmer with a settings file naming a chip and an image, gives the
// focus to a window of another client, presses F9 with xdotool and then finds the image in the
// simulated chip's flash file.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimProgrammer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool OnPath(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// In a forked child: standard output and error go to logFile (replaced).
void SendOutputTo(const std::string& logFile) {
    const int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
    }
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& logFile) {
    const pid_t pid = fork();
    if (pid == 0) {
        SendOutputTo(logFile);
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Starts Xvfb on a display it picks itself and returns once it accepts clients: -displayfd makes
// the server name its display when it is ready, so no number is guessed from lock files and two
// tests side by side never race for one. name is ":N", or ":" when no display was named in 10 s.
pid_t StartXvfb(const std::string& logFile, std::string& name) {
    name = ":";
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        SendOutputTo(logFile);
        dup2(ready[1], 3);
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset", "-screen", "0", "1280x800x24",
               nullptr);
        _exit(127);
    }
    close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    for (char c = 0; poll(&p, 1, 10000) > 0 && read(ready[0], &c, 1) == 1 && c != '\n';) name += c;
    close(ready[0]);
    return pid;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return done();
}

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
        pclose(p);
    }
    return out;
}

void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(20ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::vector<std::uint8_t> ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(GlobalF9, PressedWhileAnotherWindowHasTheFocusWritesTheImage) {
    if (!OnPath("Xvfb") || !OnPath("xdotool"))
        GTEST_SKIP() << "Xvfb or xdotool is missing (apt-get install xvfb xdotool): the X11 F9 test cannot run";

    const fs::path dir = fs::temp_directory_path() / ("quillon-f9-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);

    std::string name;
    const pid_t xvfb = StartXvfb((dir / "xvfb.log").string(), name);
    if (name == ":") Stop(xvfb);
    ASSERT_NE(name, ":") << "Xvfb named no display within 10 s";

    // The program runs from its own folder so that config.ini beside it is the one it reads.
    fs::copy_file(QUILLON_GUI_PATH, dir / "quillon");
    const fs::path image = dir / "fw.bin";
    fs::copy_file(fs::path(QUILLON_SOURCE_DIR) / "examples/blink/blink.bin", image);
    {
        std::ofstream ini(dir / "config.ini");
        ini << "[CONFIG]\nfile=" << image.string() << "\nchipidx=0\nreload=1\nerase=1\nencry=0\nverify=1\nrstrun=1\nlang=en\n";
    }
    const fs::path chip = dir / "chip.sim";

    // Another client's window takes the focus.
    const std::string displayEnv = "DISPLAY=" + name;
    xcb_connection_t* other = xcb_connect(name.c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(other), 0);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(other)).data;
    const xcb_window_t focusWindow = xcb_generate_id(other);
    xcb_create_window(other, XCB_COPY_FROM_PARENT, focusWindow, screen->root, 0, 0, 200, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    xcb_map_window(other, focusWindow);
    xcb_flush(other);

    const pid_t quillon = Spawn({(dir / "quillon").string(), "--sim", "--sim-flash", chip.string()},
                                {displayEnv, "QT_QPA_PLATFORM=xcb", "QUILLON_UPDATE_HOST=127.0.0.1:9"},
                                (dir / "quillon.log").string());
    // The caption gains its version after F9 is registered.
    const std::string env = "DISPLAY=" + name + " ";
    const bool up = WaitFor([&] { return !Shell(env + "xdotool search --name 'Quillon V200' 2>/dev/null").empty(); }, 30s);
    if (!up) {
        Stop(quillon);
        Stop(xvfb);
        FAIL() << "the window did not come up; its output:\n" << Shell("cat " + (dir / "quillon.log").string());
    }
    // The search greeted the simulated programmer; wait until the chip file exists only after F9.
    EXPECT_FALSE(fs::exists(chip));
    xcb_set_input_focus(other, XCB_INPUT_FOCUS_POINTER_ROOT, focusWindow, XCB_CURRENT_TIME);
    xcb_flush(other);
    std::this_thread::sleep_for(100ms);
    const std::string focused = Shell(env + "xdotool getwindowfocus");
    EXPECT_EQ(std::stoul(focused.empty() ? "0" : focused), focusWindow) << "the other client's window should have the focus";

    Shell(env + "xdotool key F9");

    const auto expected = ReadFile(image);
    ASSERT_FALSE(expected.empty());
    std::vector<std::uint8_t> flash;
    const bool written = WaitFor(
        [&] {
            if (!fs::exists(chip)) return false;
            try {
                quillon::sim::SimProgrammer model(16384);
                if (!quillon::sim::loadChipFile(chip.string(), model)) return false;
                flash = model.flash();
            } catch (const std::exception&) {
                return false;  // caught between the temporary file and the rename
            }
            return flash.size() >= expected.size() && std::equal(expected.begin(), expected.end(), flash.begin());
        },
        30s);
    Stop(quillon);
    xcb_disconnect(other);
    Stop(xvfb);
    EXPECT_TRUE(written) << "the chip does not hold the image after F9; the window's output:\n"
                         << Shell("cat " + (dir / "quillon.log").string());
    if (written) fs::remove_all(dir);
}
