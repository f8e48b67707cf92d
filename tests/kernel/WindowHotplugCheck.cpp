// quillon-window-hotplug-check: the real window (offscreen) on the real HID platform, in the VM.
// It unplugs and replugs the emulated programmer through the emulator's FIFO and checks that the
// udev monitor brings each arrival and removal to the window: the chip list turns green or grey,
// exactly one device-change notice per event and one search per notice. One PASS/FAIL line per
// check; exit status 0 only when all pass.
#include <QApplication>
#include <QColor>
#include <QComboBox>
#include <QElapsedTimer>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "gui/MainWindow.h"
#include "gui/QtUiHost.h"
#include "hid/HidPlatform.h"
#include "hotkey/GlobalHotKey.h"
#include "support/ForwardingHidPlatform.h"

using namespace quillon;

namespace {

int g_failed = 0;

void Check(bool ok, const std::string& name, const std::string& detail = {}) {
    std::printf("%s window: %s%s%s\n", ok ? "PASS" : "FAIL", name.c_str(), ok || detail.empty() ? "" : ": ",
                ok ? "" : detail.c_str());
    std::fflush(stdout);
    if (!ok) ++g_failed;
}

// Runs the event loop for ms milliseconds, or until done() holds.
template <typename F>
bool SpinUntil(int ms, F done) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (done()) return true;
    }
    return done();
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QUILLON_UPDATE_HOST", "127.0.0.1:9");  // no network in the VM: the check stays silent
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: quillon-window-hotplug-check CONTROL_FIFO SETTINGS_PATH\n");
        return 2;
    }
    const std::string fifo = argv[1];
    auto tell = [&](const char* line) { std::ofstream(fifo) << line << "\n"; };

    std::unique_ptr<hid::Platform> system = hid::MakeSystemPlatform();
    // Counts what the window asks of the system's HID layer, and the change notices it gets.
    quillon::testing::ForwardingHidPlatform platform(*system);
    gui::QtUiHost host;
    gui::WindowHooks hooks;
    hooks.errorBox = [](const QString& m) { std::fprintf(stderr, "error box: %s\n", qPrintable(m)); };
    hooks.makeHotKey = [](UiHost&) { return std::unique_ptr<hotkey::GlobalHotKey>(); };
    hooks.settingsPath = argv[2];
    {
        gui::TForm1 form(host, platform, hooks);
        form.show();
        form.FormCreate();
        const QString green = QColor(0xC0, 0xDC, 0xC0).name(), grey = QColor(0x80, 0x80, 0x80).name();
        auto shows = [&](const QString& colour) { return form.cbbDev->styleSheet().contains(colour); };
        // What each notice cost, in enumerations of the HID devices; the same for every notice.
        std::vector<int> costs;
        auto cycle = [&](const char* verb, const QString& colour, const std::string& what) {
            const int notices0 = platform.notices, enums0 = platform.enumerations;
            tell(verb);
            Check(SpinUntil(15000, [&] { return shows(colour); }), what + ": chip list " + (colour == green ? "green" : "grey"));
            SpinUntil(1500, [] { return false; });  // late or repeated notices would arrive now
            const int notices = platform.notices - notices0;
            Check(notices == 1, what + ": one device-change notice", std::to_string(notices) + " notices");
            costs.push_back(notices > 0 ? (platform.enumerations - enums0) / notices : -1);
        };
        Check(SpinUntil(15000, [&] { return shows(green); }), "programmer found at start: chip list green");
        for (int round = 1; round <= 2; ++round) {
            const std::string r = " (round " + std::to_string(round) + ")";
            cycle("unplug", grey, "programmer leaves" + r);
            cycle("plug", green, "programmer arrives" + r);
        }
        // A notice refills the programmer picker (one enumeration) and runs the search (one
        // more); a second search, or a retry loop, shows up as more.
        bool one = !costs.empty();
        std::string list;
        for (int c : costs) {
            one = one && c == 2;
            list += std::to_string(c) + " ";
        }
        Check(one, "one search per notice", "enumerations per notice: " + list);
    }
    return g_failed == 0 ? 0 : 1;
}
