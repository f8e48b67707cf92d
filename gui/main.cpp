// quillon: the desktop window. Picks the HID platform (the simulated programmer only with --sim;
// never as a silent fallback), builds the window on the Qt event loop and runs its start-up.
#include <QApplication>
#include <QMessageBox>
#include <clocale>
#include <cstdio>
#include <memory>

#include "gui/AppIcon.h"
#include "gui/CommandLine.h"
#include "gui/MainWindow.h"
#include "gui/OperatorTexts.h"
#include "gui/OperatorView.h"
#include "gui/QtUiHost.h"
#include "hid/HidPlatform.h"

int main(int argc, char** argv) {
    using namespace quillon;
    QApplication app(argc, argv);  // takes Qt's own options (-platform, -style, ...) out of argv
    // Qt sets the C locale's LC_NUMERIC back; the log's time stamp follows the user's format.
    std::setlocale(LC_TIME, "");
    QApplication::setApplicationName(QStringLiteral("quillon"));
    QApplication::setWindowIcon(gui::appIcon());

    gui::WindowOptions options;
    try {
        options = gui::ParseWindowOptions(std::vector<std::string>(argv, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillon: %s\n%s", e.what(), gui::WindowUsage());
        return 2;
    }
    if (options.help) {
        std::fputs(gui::WindowUsage(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s\n", gui::WindowVersion().c_str());
        return 0;
    }
    std::unique_ptr<hid::Platform> platform;
    try {
        if (options.sim)
            platform = sim::SimPlatform::fromOptions(options.simOptions);
        else
            platform = hid::MakeSystemPlatform();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillon: %s\n", e.what());
        return 2;
    }

    if (!options.station.empty()) {
        // The operator's station instead of the main window; its language is the window's.
        gui::ChooseWindowLanguage(gui::SettingsPath());
        station::Profile profile;
        try {
            profile = station::LoadProfile(options.station);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quillon: %s\n", e.what());
            // Started from a desktop there is no terminal to read: say it in a box too (not on
            // the offscreen platform, where nobody could close it).
            if (QGuiApplication::platformName() != QStringLiteral("offscreen"))
                QMessageBox::critical(nullptr, QStringLiteral("quillon"), QString::fromStdString(e.what()));
            return 3;
        }
        gui::OperatorView view(*platform, std::move(profile), options.station);
        view.show();
        return app.exec();
    }

    gui::QtUiHost host;
    gui::WindowHooks hooks;
    gui::TForm1 form(host, *platform, hooks, options.args);
    form.show();
    form.FormCreate();
    return app.exec();
}
