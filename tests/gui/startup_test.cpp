// The window's start-up decisions that do not need a running window: its command line (its own
// "--" options against the arguments Load looks at) and where config.ini is looked for.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>

#include "gui/CommandLine.h"
#include "gui/MainWindow.h"
#include "support/Process.h"

namespace fs = std::filesystem;
using quillon::gui::ParseWindowOptions;

TEST(WindowCommandLine, OwnOptionsAreTakenOutAndTheRestKeptInOrder) {
    struct Case {
        std::vector<std::string> argv;
        bool sim;
        std::string scenario;
        int count;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {{"quillon"}, false, "default", 1, {}},
        {{"quillon", "x", "fw.hex"}, false, "default", 1, {"x", "fw.hex"}},
        {{"quillon", "x", "fw.hex", "--sim"}, true, "default", 1, {"x", "fw.hex"}},
        {{"quillon", "--sim", "nochip", "x"}, true, "nochip", 1, {"x"}},
        {{"quillon", "--sim", "swap:3", "x"}, true, "swap:3", 1, {"x"}},
        {{"quillon", "--sim", "--sim-paced", "x", "fw.hex"}, true, "default", 1, {"x", "fw.hex"}},
        {{"quillon", "x", "--sim=lu1-32k", "--sim-count", "3", "y.hex"}, true, "lu1-32k", 3, {"x", "y.hex"}},
    };
    for (const Case& c : cases) {
        const auto o = ParseWindowOptions(c.argv);
        EXPECT_EQ(o.sim, c.sim);
        EXPECT_EQ(o.simOptions.scenario, c.scenario);
        EXPECT_EQ(o.simOptions.programmers, c.count);
        EXPECT_EQ(o.args, c.args);
    }
}

TEST(WindowCommandLine, BadOptionsAreRefusedWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {"quillon", "--frobnicate"},           {"quillon", "--sim=nonesuch"},
        {"quillon", "--sim", "--sim-count"},   {"quillon", "--sim", "--sim-count", "0"},
        {"quillon", "--sim", "--sim-count", "2x"}, {"quillon", "--sim-paced"},
        {"quillon", "--sim-flash", "chip.sim"},
    };
    for (const auto& argv : bad) EXPECT_THROW(ParseWindowOptions(argv), std::invalid_argument) << argv[1];
}

// A word after --sim is its scenario, as in quillon-cli: one that names none is refused in
// quillon-cli's words, not run as the default scenario with the word kept for LoadFile.
TEST(WindowCommandLine, AnUnknownScenarioIsRefusedInTheCommandLinesWords) {
    const std::vector<std::vector<std::string>> bad = {
        {"quillon", "--sim", "nosuch"}, {"quillon", "--sim", "x", "fw.hex"}, {"quillon", "--sim=nosuch"},
        {"quillon", "--sim", "swap:0"}, {"quillon", "--sim", "swap:3:bogus=1"},
    };
    for (const auto& argv : bad) {
        const std::string name = argv[1] == "--sim" ? argv[2] : argv[1].substr(6);
        SCOPED_TRACE(name);
        try {
            ParseWindowOptions(argv);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "unknown scenario '" + name + "' (see the README's simulator section)");
        }
    }
    // The real program: exit status 2, the reason on standard error, no window.
    quillon::test::ProcessOptions options;
    options.environment = {{"QT_QPA_PLATFORM", "offscreen"}};
    options.timeout = std::chrono::seconds(30);
    const auto r = quillon::test::RunProcess(QUILLON_GUI_PATH, {"--sim", "nosuch"}, options);
    EXPECT_EQ(r.code, 2) << r.all();
    EXPECT_NE(r.err.find("unknown scenario 'nosuch'"), std::string::npos) << r.all();
    EXPECT_FALSE(r.timedOut);
    // quillon-cli says the same.
    const auto cli = quillon::test::RunProcess(QUILLON_CLI_PATH, {"--sim", "nosuch", "detect"}, options);
    EXPECT_NE(cli.code, 0);
    EXPECT_NE(cli.all().find("unknown scenario 'nosuch' (see the README's simulator section)"), std::string::npos) << cli.all();
}

// The real program prints the build's project version and the build number, and starts no window.
TEST(WindowCommandLine, VersionNamesTheReleaseAndTheBuildNumber) {
    EXPECT_TRUE(ParseWindowOptions({"quillon", "--version", "x"}).version);
    quillon::test::ProcessOptions options;
    options.environment = {{"QT_QPA_PLATFORM", "offscreen"}};
    const auto r = quillon::test::RunProcess(QUILLON_GUI_PATH, {"--version"}, options);
    EXPECT_EQ(r.code, 0) << r.all();
    std::string out = r.out;
    std::erase(out, '\r');  // a Windows program's text-mode output ends its lines with CR LF
    EXPECT_EQ(out, std::string("quillon ") + QUILLON_PROJECT_VERSION + " (build 200)\n");
}

// Every option the window's usage text lists is in its manual page.
TEST(WindowCommandLine, ManualPageNamesEveryOption) {
    std::string page = quillon::test::ReadFileBytes(std::string(QUILLON_SOURCE_DIR) + "/packaging/man/quillon.1");
    page = std::regex_replace(std::regex_replace(page, std::regex(R"(\\f[BIRP])"), ""), std::regex(R"(\\-)"), "-");
    const std::string usage = quillon::gui::WindowUsage();
    const std::regex option("--[a-z][a-z-]*");
    int seen = 0;
    for (std::sregex_iterator it(usage.begin(), usage.end(), option), end; it != end; ++it, ++seen)
        EXPECT_TRUE(std::regex_search(page, std::regex(it->str() + "($|[^a-z-])"))) << it->str();
    EXPECT_GE(seen, 6);
}

TEST(WindowSettingsPath, PortableBesideTheProgramElsePerUserWhenTheFolderIsReadOnly) {
    const fs::path root = fs::temp_directory_path() / ("quillon-settings-" + std::to_string(getpid()));
    fs::remove_all(root);
    const fs::path app = root / "app", user = root / "user";
    fs::create_directories(app);
    using quillon::gui::SettingsPath;
    constexpr auto readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    // Writable program folder: config.ini beside the program, whether it exists or not.
    EXPECT_EQ(SettingsPath(app.string(), user.string()), (app / "config.ini").string());
    // One separator between the folder and the name, whether the folder ends in one or not.
    EXPECT_EQ(SettingsPath((app / "").string(), user.string()), (app / "config.ini").string());
    // A program folder nobody may write: the per-user folder, unless config.ini is beside it.
    // Root writes everywhere, so the folder never counts as read-only; on Windows a folder's
    // read-only mark does not stop writing into it (only its access list does).
    if (!quillon::test::IsSuperUser() && !quillon::test::OnWindows()) {
        fs::permissions(app, readOnly, fs::perm_options::replace);
        EXPECT_EQ(SettingsPath(app.string(), user.string()), (user / "config.ini").string());
        fs::permissions(app, fs::perms::owner_all, fs::perm_options::add);
    }
    const fs::path gone = root / "no-such-folder";
    EXPECT_EQ(SettingsPath(gone.string(), user.string()), (user / "config.ini").string());
    std::ofstream(app / "config.ini") << "[CONFIG]\n";
    fs::permissions(app, readOnly, fs::perm_options::replace);
    EXPECT_EQ(SettingsPath(app.string(), user.string()), (app / "config.ini").string());
    fs::permissions(app, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(root);
}
