// Figures of the window, measured in one run: time from process start to the first painted
// window, peak memory with a 512 KiB image in the hex view, and the longest stall of the UI
// thread during a paced 32 KiB Write on the simulated programmer. Prints one line per figure.
// Usage: window_figures [xcb|offscreen]  (Qt's platform; xcb needs a display, e.g. Xvfb)
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gui/MainWindow.h"
#include "gui/QtUiHost.h"
#include "hotkey/GlobalHotKey.h"
#include "log/Log.h"
#include "ops/Operations.h"
#include "sim/SimPlatform.h"

namespace {

// Milliseconds since the kernel started this process (field 22 of /proc/self/stat).
double MillisSinceProcessStart() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long start = 0;
    for (int i = 3; i <= 22 && fields >> field; ++i)
        if (i == 22) start = std::stoull(field);
    std::ifstream uptimeFile("/proc/uptime");
    double uptime = 0;
    uptimeFile >> uptime;
    return uptime * 1000.0 - static_cast<double>(start) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class NoHotKey : public quillon::hotkey::GlobalHotKey {
public:
    bool registerF9(std::function<void()>) override { return true; }
    void unregister() override {}
    bool handleNativeEvent(std::string_view, void*) override { return false; }
};

class FirstPaint : public QObject {
public:
    bool painted = false;
    double at = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && !painted) {
            painted = true;
            at = MillisSinceProcessStart();
        }
        return false;
    }
};

}  // namespace

int main(int argc, char** argv) {
    using namespace quillon;
    if (argc > 1) qputenv("QT_QPA_PLATFORM", argv[1]);
    qputenv("QUILLON_UPDATE_HOST", "127.0.0.1:9");
    QApplication app(argc, argv);
    auto sim = sim::SimPlatform::fromOptions({"lu1-32k", true, "", 1});
    gui::QtUiHost host;
    const std::string image = "/tmp/quillon-figures-512k.bin";
    const std::string image32 = "/tmp/quillon-figures-32k.bin";
    for (auto [path, size] : {std::pair{image, 512 * 1024}, std::pair{image32, 32 * 1024}}) {
        std::vector<char> bytes(static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + (i >> 8));
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    gui::WindowHooks hooks;
    hooks.makeHotKey = [](UiHost&) { return std::make_unique<NoHotKey>(); };
    hooks.settingsPath = "/nonexistent/config.ini";
    std::string next = image;
    hooks.openDialog = [&](const QString&) { return std::optional<std::string>(next); };
    gui::TForm1 form(host, *sim, hooks);
    FirstPaint firstPaint;
    form.installEventFilter(&firstPaint);
    form.show();
    form.FormCreate();
    while (!firstPaint.painted) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    std::printf("start to first painted window: %.1f ms\n", firstPaint.at);

    form.BtnLoadFileClick();
    form.PageControl1->setCurrentIndex(1);
    for (int i = 0; i < 20; ++i) QApplication::processEvents();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory with a 512 KiB image in the hex view: %.1f MiB\n", usage.ru_maxrss / 1024.0);

    // A paced 32 KiB Write: a 1 ms timer on the UI thread shows how long the thread was away.
    form.PageControl1->setCurrentIndex(0);
    form.cbbDevChange(2);
    next = image32;
    form.BtnLoadFileClick();
    bool done = false;
    QElapsedTimer clock;
    qint64 last = 0, worst = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        worst = std::max(worst, now - last);
        last = now;
        if (form.RichEdit1->toPlainText().contains(QStringLiteral("Verify "))) done = true;
    });
    clock.start();
    tick.start();
    QElapsedTimer total;
    total.start();
    form.BtnAutoClick();
    while (!done && total.elapsed() < 30000) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    tick.stop();
    std::printf("paced 32 KiB write: %.0f ms, longest UI-thread gap %.1f ms (1 ms timer)%s\n",
                static_cast<double>(total.elapsed()), static_cast<double>(worst) / 1e6, done ? "" : " [did not finish]");
    return done ? 0 : 1;
}
