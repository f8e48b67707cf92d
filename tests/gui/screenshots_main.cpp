// Renders every tab of the window, in English and in Chinese, with a 512 KiB image in the hex
// view, and the operator's station running on four simulated programmers (one of them held after
// three failures), into PNG files (scripts/screenshots.sh). For people to look at, not for
// comparison.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTabWidget>
#include <cstdio>
#include <fstream>
#include <vector>

#include "gui/MainWindow.h"
#include "gui/OperatorView.h"
#include "station/Profile.h"
#include "gui/QtUiHost.h"
#include "hotkey/GlobalHotKey.h"
#include "log/Log.h"
#include "sim/SimPlatform.h"

namespace {

class NoHotKey : public quillon::hotkey::GlobalHotKey {
public:
    bool registerF9(std::function<void()>) override { return true; }
    void unregister() override {}
    bool handleNativeEvent(std::string_view, void*) override { return false; }
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QUILLON_UPDATE_HOST", "127.0.0.1:9");
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("build/screenshots");
    QDir().mkpath(out);
    const std::string image = (out + QStringLiteral("/image512k.bin")).toStdString();
    {
        std::vector<char> bytes(512 * 1024);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 31) ^ (i >> 9));
        std::ofstream(image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    int saved = 0;
    for (const char* lang : {"en", "cn"}) {
        quillon::Language = lang;
        auto sim = quillon::sim::SimPlatform::fromOptions({});
        quillon::gui::QtUiHost host;
        quillon::gui::WindowHooks hooks;
        hooks.makeHotKey = [](quillon::UiHost&) { return std::make_unique<NoHotKey>(); };
        hooks.settingsPath = (out + QStringLiteral("/no-config.ini")).toStdString();
        hooks.openDialog = [&](const QString&) { return std::optional<std::string>(image); };
        hooks.errorBox = [](const QString& m) { std::fprintf(stderr, "error box: %s\n", m.toUtf8().constData()); };
        quillon::gui::TForm1 form(host, *sim, hooks);
        form.show();
        form.FormCreate();
        form.BtnLoadFileClick();
        for (int i = 0; i < 50; ++i) QApplication::processEvents();
        const char* tabs[] = {"isp", "hex", "about"};
        for (int tab = 0; tab < 3; ++tab) {
            form.PageControl1->setCurrentIndex(tab);
            for (int i = 0; i < 10; ++i) QApplication::processEvents();
            const QString file = out + QStringLiteral("/%1-%2.png").arg(QLatin1String(tabs[tab]), QLatin1String(lang));
            if (form.grab().save(file)) {
                std::printf("%s\n", file.toUtf8().constData());
                ++saved;
            }
        }
    }
    // The operator's station: a profile over a 16 KiB image with serial numbers.
    const std::string dir = out.toStdString();
    {
        std::vector<char> bytes(16384);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
        std::ofstream(dir + "/station16k.bin", std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(dir + "/station-serial.txt", std::ios::trunc) << "1041\n";
        std::remove((dir + "/station-units.log").c_str());
    }
    quillon::station::Profile profile;
    profile.chip = "NRF24LE1_16K";
    profile.image = dir + "/station16k.bin";
    profile.imageSha256 = quillon::station::ImageFileSha256(profile.image);
    profile.serial = "0x3FFC:u32le";
    profile.serialFile = dir + "/station-serial.txt";
    profile.log = dir + "/station-units.log";
    profile.station = "bench-1";
    profile.pollMs = 50;
    profile.requireLot = true;
    for (const char* lang : {"en", "cn"}) {
        quillon::Language = lang;
        quillon::sim::SimOptions options;
        options.scenario = "swap:40:fail-write=2-4";
        options.programmers = 4;
        options.paced = true;
        auto sim = quillon::sim::SimPlatform::fromOptions(options);
        quillon::gui::OperatorView view(*sim, profile, dir + "/station.ini");
        view.resize(1280, 860);
        view.show();
        view.edtLot->setText(QStringLiteral("LOT-2026-118"));
        view.edtOperator->setText(QStringLiteral("Ana"));
        view.start();
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 6000) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const QString file = out + QStringLiteral("/operator-%1.png").arg(QLatin1String(lang));
        if (view.grab().save(file)) {
            std::printf("%s\n", file.toUtf8().constData());
            ++saved;
        }
        view.stop();
        while (view.running()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return saved == 8 ? 0 : 1;
}
