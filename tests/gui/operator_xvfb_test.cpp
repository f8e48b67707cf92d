// The operator's station on a real X server, as an operator meets it: the test starts its own
// Xvfb, runs the window program with --station and the simulated chip swapper in English and in
// Chinese (config.ini beside a copy of the program), starts the line from the keyboard the way a
// barcode scanner does (code, Enter, Enter, Enter, then Start), and once one programmer holds
// after its failures reads the screen back: the held tile's red is there, the two languages show
// different words, and the unit log has no unit after the hold. The screens are kept as PNG files
// in the test's folder of the build (screenshots/operator-xvfb-LANG.png).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QImage>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "station/Profile.h"
#include "support/Process.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool OnPath(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& logFile) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Xvfb on a display it names itself once it accepts clients; name ":" when none was named in 10 s.
pid_t StartXvfb(std::string& name) {
    name = ":";
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(ready[1], 3);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset", "-screen", "0", "1280x900x24", nullptr);
        _exit(127);
    }
    close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    for (char c = 0; poll(&p, 1, 10000) > 0 && read(ready[0], &c, 1) == 1 && c != '\n';) name += c;
    close(ready[0]);
    return pid;
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

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

int Shell(const std::string& command) { return std::system(command.c_str()); }

// The whole screen of display, as the X server holds it.
QImage GrabScreen(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return {};
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    QImage image;
    xcb_get_image_reply_t* reply = xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0, screen->width_in_pixels,
                         screen->height_in_pixels, ~0u),
        nullptr);
    if (reply != nullptr && reply->depth == 24 &&
        xcb_get_image_data_length(reply) >= screen->width_in_pixels * screen->height_in_pixels * 4) {
        image = QImage(xcb_get_image_data(reply), screen->width_in_pixels, screen->height_in_pixels,
                       QImage::Format_RGB32)
                    .copy();
    }
    free(reply);
    xcb_disconnect(c);
    return image;
}

std::size_t PixelsOf(const QImage& image, QRgb colour) {
    std::size_t n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) n += (image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
    return n;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(OperatorStationOnX, AScannerStartsTheLineAndAHeldTileShowsInBothLanguages) {
    if (!OnPath("Xvfb") || !OnPath("xdotool"))
        GTEST_SKIP() << "Xvfb or xdotool is missing (apt-get install xvfb xdotool): the X11 station test cannot run";
    quillon::test::ScratchDir dir("operator-xvfb");
    const fs::path shots = fs::current_path() / "screenshots";
    fs::create_directories(shots);
    std::string image;
    for (int i = 0; i < 4096; ++i) image.push_back(static_cast<char>(i * 5 + 1));
    quillon::test::WriteFileBytes(dir / "fw.bin", image);

    std::string display;
    const pid_t xvfb = StartXvfb(display);
    ASSERT_NE(display, ":") << "Xvfb named no display within 10 s";
    std::vector<QImage> screens;
    for (const std::string lang : {"en", "cn"}) {
        SCOPED_TRACE(lang);
        // A copy of the program in a folder of its own, with the language in config.ini beside it.
        const std::string folder = dir / lang;
        fs::create_directories(quillon::test::PathOf(folder));
        const std::string program = folder + "/quillon";
        fs::copy_file(QUILLON_GUI_PATH, quillon::test::PathOf(program));
        quillon::test::WriteFileBytes(folder + "/config.ini", "[CONFIG]\nlang=" + lang + "\n");
        quillon::test::WriteFileBytes(folder + "/serial.txt", "99\n");
        quillon::station::Profile profile;
        profile.chip = "NRF24LE1_16K";
        profile.image = dir / "fw.bin";
        profile.imageSha256 = quillon::station::ImageFileSha256(profile.image);
        profile.serial = "0x3FFC:u32le";
        profile.serialFile = folder + "/serial.txt";
        profile.log = folder + "/units.log";
        profile.pollMs = 20;
        profile.requireLot = true;
        profile.holdAfterFailures = 2;
        quillon::station::SaveProfile(profile, folder + "/line.ini");

        const std::vector<std::string> env = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "QUILLON_UPDATE_HOST=127.0.0.1:9"};
        const pid_t window = Spawn({program, "--station", folder + "/line.ini", "--sim", "swap:6:fail-write=1-4",
                                    "--sim-count", "2"},
                                   env, folder + "/window.log");
        const std::string x = "DISPLAY=" + display + " xdotool ";
        std::string id;
        ASSERT_TRUE(WaitFor(
            [&] {
                FILE* p = popen((x + "search --name line.ini 2>/dev/null").c_str(), "r");
                char buf[64] = {};
                if (p != nullptr) {
                    if (fgets(buf, sizeof buf, p) == nullptr) buf[0] = 0;
                    pclose(p);
                }
                id = buf;
                while (!id.empty() && id.back() == '\n') id.pop_back();
                return !id.empty();
            },
            20s))
            << quillon::test::ReadFileBytes(folder + "/window.log");
        Shell(x + "windowmove " + id + " 0 0 windowsize " + id + " 1280 900 >/dev/null 2>&1");
        Shell(x + "windowfocus --sync " + id + " >/dev/null 2>&1");
        std::this_thread::sleep_for(500ms);
        // The scanner: the lot's code and Enter, then Enter through operator and part to Start.
        Shell(x + "type --delay 20 LOT-77 && " + x + "key Return Return Return && " + x + "key space");
        ASSERT_TRUE(WaitFor([&] { return Count(quillon::test::ReadFileBytes(folder + "/units.log"), "\"result\":\"fail\"") >= 2; },
                            30s))
            << quillon::test::ReadFileBytes(folder + "/window.log");
        // The other programmer's six chips pass meanwhile; the held one takes no third chip.
        ASSERT_TRUE(WaitFor([&] { return Count(quillon::test::ReadFileBytes(folder + "/units.log"), "\"result\":\"pass\"") >= 6; },
                            30s));
        std::this_thread::sleep_for(700ms);
        const std::string log = quillon::test::ReadFileBytes(folder + "/units.log");
        EXPECT_EQ(Count(log, "\"result\":\"fail\""), 2u) << log;
        EXPECT_EQ(Count(log, "\"result\":\"pass\""), 6u) << log;

        const QImage screen = GrabScreen(display);
        ASSERT_FALSE(screen.isNull());
        EXPECT_TRUE(screen.save(QString::fromStdString((shots / ("operator-xvfb-" + lang + ".png")).string())));
        // The held tile, red from edge to edge (a tile is at least 280 x 170).
        EXPECT_GT(PixelsOf(screen, qRgb(0xc6, 0x28, 0x28)), 280u * 170u / 2);
        screens.push_back(screen);
        Stop(window);
    }
    Stop(xvfb);
    ASSERT_EQ(screens.size(), 2u);
    // Two languages, two different screens (same layout, other words).
    EXPECT_NE(screens[0], screens[1]);
}

}  // namespace
