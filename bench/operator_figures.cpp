// Figures of the operator's station: the longest gap of the UI thread while 16 paced simulated
// programmers (full-speed USB pacing, 16 KiB units with read-back) keep their tiles, counters and
// last units moving (and how much of the longest gap was the UI thread's own work, against a
// machine busy with other processes), and the units per hour the view counted.
// Usage: operator_figures [PLATFORM] [SECONDS]  (Qt's platform; offscreen needs no display).
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>
#include <fstream>
#include <string>

#include "bench/ProcessFigures.h"
#include "gui/OperatorView.h"
#include "sim/SimPlatform.h"
#include "station/Profile.h"

int main(int argc, char** argv) {
    using namespace quillon;
    if (argc > 1) qputenv("QT_QPA_PLATFORM", argv[1]);
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
    QApplication app(argc, argv);
    const std::string dir = QDir::toNativeSeparators(QDir::tempPath()).toStdString() + "/quillon-operator-figures";
    QDir().mkpath(QString::fromStdString(dir));
    const std::string image = dir + "/fw.bin";
    {
        std::vector<char> bytes(16384);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + (i >> 8));
        std::ofstream(image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(dir + "/serial.txt", std::ios::trunc) << "0\n";
        std::remove((dir + "/units.log").c_str());
    }
    station::Profile profile;
    profile.chip = "NRF24LE1_16K";
    profile.image = image;
    profile.imageSha256 = station::ImageFileSha256(image);
    profile.serial = "0x3FFC:u32le";
    profile.serialFile = dir + "/serial.txt";
    profile.log = dir + "/units.log";
    profile.pollMs = 50;

    sim::SimOptions options;
    options.scenario = "swap:1000";
    options.programmers = 16;
    options.paced = true;
    auto sim = sim::SimPlatform::fromOptions(options);
    gui::OperatorView view(*sim, profile, dir + "/station.ini");
    view.show();
    for (int i = 0; i < 20; ++i) QApplication::processEvents();

    QElapsedTimer clock;
    qint64 last = 0, worst = 0, worstAt = 0;
    double lastCpu = bench::ThreadCpuMillis(), worstCpu = 0, busiest = 0;
    std::vector<qint64> gaps;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const double cpu = bench::ThreadCpuMillis();
        if (now - last > worst) {
            worst = now - last;
            worstAt = now;
            worstCpu = cpu - lastCpu;
        }
        busiest = std::max(busiest, cpu - lastCpu);
        lastCpu = cpu;
        gaps.push_back(now - last);
        last = now;
    });
    if (!view.start()) {
        std::fprintf(stderr, "cannot start: %s\n", view.message().toStdString().c_str());
        return 1;
    }
    clock.start();
    tick.start();
    QElapsedTimer total;
    total.start();
    while (total.elapsed() < seconds * 1000) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    tick.stop();
    const auto& counts = view.sessionCounts();
    std::printf("16 paced programmers, %d s: %llu units (%llu failed), %.0f units per hour, %zu tiles, "
                "longest UI-thread gap %.1f ms (1 ms timer)\n",
                seconds, static_cast<unsigned long long>(counts.good + counts.failed),
                static_cast<unsigned long long>(counts.failed), counts.unitsPerHour(std::chrono::steady_clock::now()),
                view.tiles().size(), static_cast<double>(worst) / 1e6);
    std::sort(gaps.begin(), gaps.end());
    if (!gaps.empty())
        std::printf("UI-thread gaps: median %.1f ms, 99th percentile %.1f ms, 99.9th %.1f ms; the longest %.1f s into the run, with %.1f ms of UI-thread CPU in it; the most CPU between two ticks %.1f ms\n",
                    static_cast<double>(gaps[gaps.size() / 2]) / 1e6, static_cast<double>(gaps[gaps.size() * 99 / 100]) / 1e6,
                    static_cast<double>(gaps[gaps.size() * 999 / 1000]) / 1e6, static_cast<double>(worstAt) / 1e9, worstCpu, busiest);
    view.stop();
    while (view.running()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return counts.failed == 0 && counts.good > 0 ? 0 : 1;
}
