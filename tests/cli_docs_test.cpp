// What ships beside quillon-cli stays in step with the program: --version is the build's project
// version, the manual page names every subcommand and long option --help lists, and the bash
// completion offers them, the chip names, the simulator's scenarios and image files by ending.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/Config.h"
#include "protocol/Chips.h"
#include "sim/SimPlatform.h"
#include "support/Process.h"

namespace {

using quillon::test::ProcessResult;
using quillon::test::RunProcess;

const std::string kSource = QUILLON_SOURCE_DIR;

std::string CliOut(const std::vector<std::string>& args) {
    const ProcessResult r = RunProcess(QUILLON_CLI_PATH, args);
    EXPECT_EQ(r.code, 0) << r.all();
    return r.out;
}

// The entries of one section of CLI11's help ("Options:", "Subcommands:"), up to the next blank line.
std::vector<std::string> Section(const std::string& help, const std::string& title) {
    std::vector<std::string> lines;
    std::istringstream in(help);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == title) {
            inside = true;
        } else if (inside) {
            if (line.find_first_not_of(' ') == std::string::npos) break;
            // An entry starts two blanks in; deeper lines continue its description.
            if (line.size() > 2 && line[2] != ' ') lines.push_back(line);
        }
    }
    return lines;
}

// The long options a help text lists (the first column of its "Options:" lines).
std::set<std::string> LongOptions(const std::string& help) {
    std::set<std::string> names;
    static const std::regex option("--[a-z][a-z0-9-]*");
    for (const std::string& line : Section(help, "Options:")) {
        const std::string head = line.substr(0, line.find("  ", line.find_first_not_of(' ')));
        for (std::sregex_iterator it(head.begin(), head.end(), option), end; it != end; ++it) names.insert(it->str());
    }
    return names;
}

std::vector<std::string> Subcommands(const std::string& help) {
    std::vector<std::string> names;
    for (const std::string& line : Section(help, "Subcommands:")) {
        std::istringstream words(line);
        std::string name;
        if (words >> name) names.push_back(name);
    }
    return names;
}

// The page as a reader sees its words: font changes dropped, "\-" as "-".
std::string ManText(const std::string& page) {
    std::string text = std::regex_replace(quillon::test::ReadFileBytes(kSource + "/packaging/man/" + page),
                                          std::regex(R"(\\f[BIRP])"), "");
    return std::regex_replace(text, std::regex(R"(\\-)"), "-");
}

bool HasWord(const std::string& text, const std::string& word) {
    const std::regex whole("(^|[^A-Za-z0-9-])" + std::regex_replace(word, std::regex("-"), "\\-") +
                           "($|[^A-Za-z0-9-])");
    return std::regex_search(text, whole);
}

TEST(CliDocs, VersionIsTheProjectVersion) {
    EXPECT_EQ(CliOut({"--version"}), std::string("quillon-cli ") + QUILLON_PROJECT_VERSION + "\n");
}

TEST(CliDocs, ManualPageNamesEverySubcommandAndLongOption) {
    const std::string page = ManText("quillon-cli.1");
    ASSERT_FALSE(page.empty());
    const std::string help = CliOut({"--help"});
    const std::vector<std::string> subs = Subcommands(help);
    ASSERT_GE(subs.size(), 7u) << help;
    for (const std::string& o : LongOptions(help)) EXPECT_TRUE(HasWord(page, o)) << o;
    for (const std::string& sub : subs) {
        EXPECT_TRUE(HasWord(page, sub)) << sub;
        const std::set<std::string> options = LongOptions(CliOut({sub, "--help"}));
        EXPECT_FALSE(options.empty()) << sub;
        for (const std::string& o : options) EXPECT_TRUE(HasWord(page, o)) << sub << " " << o;
    }
    for (const char* code : {"0", "1", "2", "3", "4", "5", "6", "7", "130", "143", "129"})
        EXPECT_TRUE(HasWord(page.substr(page.find(".SH EXIT STATUS")), code)) << "exit " << code;
}

class Completion : public ::testing::Test {
protected:
    // COMPREPLY for the command line words (the last one is being completed), run in dir_.
    std::set<std::string> Complete(const std::vector<std::string>& words) {
        std::vector<std::string> args = {
            "-c",
            "source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _quillon_cli; "
            "printf '%s\\n' \"${COMPREPLY[@]}\"",
            "bash", kSource + "/packaging/bash-completion/quillon-cli"};
        args.insert(args.end(), words.begin(), words.end());
        quillon::test::ProcessOptions options;
        options.workingDir = dir_.str();
        const ProcessResult r = RunProcess("bash", args, options);
        EXPECT_EQ(r.code, 0) << r.all();
        std::set<std::string> offered;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) offered.insert(line);
        return offered;
    }

    void SetUp() override { QUILLON_SKIP_ON_WINDOWS("bash completion is for Linux shells"); }

    quillon::test::ScratchDir dir_{"quillon-completion"};
};

TEST_F(Completion, OffersWhatTheProgramTakes) {
    const std::string help = CliOut({"--help"});
    struct Case {
        std::vector<std::string> words;
        std::set<std::string> wanted;
    };
    std::set<std::string> chips, scenarios;
    for (const auto& c : quillon::kChips) chips.insert(c.name);
    for (const auto& s : quillon::sim::SimPlatform::scenarioNames()) scenarios.insert(s);
    const std::vector<std::string> subs = Subcommands(help);
    std::vector<Case> cases = {
        {{"quillon-cli", ""}, {subs.begin(), subs.end()}},
        {{"quillon-cli", "--"}, LongOptions(help)},
        {{"quillon-cli", "write", "--chip", ""}, chips},
        {{"quillon-cli", "--sim", "nochip", "station", "--chip", ""}, chips},
        {{"quillon-cli", "--sim", ""}, scenarios},
        {{"quillon-cli", "--lang", ""}, {"en", "cn"}},
    };
    for (const std::string& sub : subs)
        cases.push_back({{"quillon-cli", "--sim", sub, "--"}, LongOptions(CliOut({sub, "--help"}))});
    for (const Case& c : cases) {
        const std::set<std::string> offered = Complete(c.words);
        for (const std::string& w : c.wanted) EXPECT_TRUE(offered.count(w)) << c.words[1] << " ... : " << w;
    }
    // Exactly the chips after --chip: nothing else is a valid value there.
    EXPECT_EQ(Complete({"quillon-cli", "read", "--chip", "NRF24LU"}),
              (std::set<std::string>{"NRF24LU1_16K", "NRF24LU1_32K"}));
}

TEST_F(Completion, ImagesByTheirEndingInAnyCaseAndFolders) {
    for (const char* name : {"fw.hex", "boot.IHX", "dump.bin", "notes.txt", "hex"})
        quillon::test::WriteFileBytes(dir_ / name, "x");
    std::filesystem::create_directory(dir_.path() / "out");
    struct Case {
        std::vector<std::string> words;
        std::set<std::string> offered;
    };
    const Case cases[] = {
        {{"quillon-cli", "write", "--chip", "NRF24LE1_16K", ""}, {"fw.hex", "boot.IHX", "dump.bin", "out/"}},
        {{"quillon-cli", "--sim", "verify", "--chip", "NRF24LE1_16K", "f"}, {"fw.hex"}},
        {{"quillon-cli", "read", "--chip", "NRF24LE1_16K", ""}, {"dump.bin", "out/"}},
        {{"quillon-cli", "list", ""}, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(Complete(c.words), c.offered) << c.words[1] << " " << c.words.back();
}

// The README's way to turn saving the settings on makes a file that turns on nothing else: the
// settings' defaults for missing keys stay (stored files rely on them), so it must name read
// protection off itself.
TEST(Readme, TheSettingsFileItSuggestsLeavesReadProtectionOff) {
    const std::string readme = quillon::test::ReadFileBytes(kSource + "/README.md");
    const std::smatch found = [&] {
        std::smatch m;
        std::regex_search(readme, m, std::regex(R"(printf '(\[CONFIG\][^']*)' > [^\n]*config\.ini)"));
        return m;
    }();
    ASSERT_FALSE(found.empty()) << "no printf line making config.ini in the README";
    const std::string text = std::regex_replace(found[1].str(), std::regex(R"(\\n)"), "\n");
    quillon::test::ScratchDir dir("readme-config");
    quillon::test::WriteFileBytes(dir / "config.ini", text);
    quillon::TIniOptions options;
    ASSERT_EQ(options.Load(dir / "config.ini"), quillon::IniLoadResult::Loaded);
    EXPECT_FALSE(options.encry) << text;
    // The other boxes keep the defaults a new file gets.
    quillon::TIniOptions defaults;
    quillon::test::WriteFileBytes(dir / "empty.ini", "[CONFIG]\n");
    ASSERT_EQ(defaults.Load(dir / "empty.ini"), quillon::IniLoadResult::Loaded);
    EXPECT_EQ(options.erase, defaults.erase);
    EXPECT_EQ(options.verify, defaults.verify);
    EXPECT_EQ(options.rstrun, defaults.rstrun);
    EXPECT_TRUE(defaults.encry);  // the default stays as stored files expect it
}

}  // namespace
