// Figures of the window, measured in one run: time from process start to the first painted
// window, peak memory with a 512 KiB image in the hex view, and the longest stall of the UI
// thread during a paced 32 KiB Write on the simulated programmer. Prints one line per figure.
// Usage: window_figures [PLATFORM]  (Qt's platform: xcb or windows need a display, e.g. Xvfb;
// offscreen needs none). Built for Linux and for Windows (run under Wine there).
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/ProcessFigures.h"
#include "gui/MainWindow.h"
#include "gui/QtUiHost.h"
#include "hotkey/GlobalHotKey.h"
#include "log/Log.h"
#include "ops/Operations.h"
#include "sim/SimPlatform.h"

namespace {

using quillon::bench::MillisSinceProcessStart;

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
    sim::SimOptions simOptions;
    simOptions.scenario = "lu1-32k";
    simOptions.paced = true;
    auto sim = sim::SimPlatform::fromOptions(simOptions);
    gui::QtUiHost host;
    const std::string temp = QDir::toNativeSeparators(QDir::tempPath()).toStdString() + "/";
    const std::string image = temp + "quillon-figures-512k.bin";
    const std::string image32 = temp + "quillon-figures-32k.bin";
    for (auto [path, size] : {std::pair{image, 512 * 1024}, std::pair{image32, 32 * 1024}}) {
        std::vector<char> bytes(static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + (i >> 8));
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    gui::WindowHooks hooks;
    hooks.makeHotKey = [](UiHost&) { return std::make_unique<NoHotKey>(); };
    hooks.settingsPath = temp + "nonexistent/config.ini";
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
    std::printf("peak memory with a 512 KiB image in the hex view: %.1f MiB\n", quillon::bench::PeakMemoryMiB());

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
