// Parsing of the window's "--" options.
#include "gui/CommandLine.h"

#include <stdexcept>

#include "core/AppInfo.h"
#include "core/Version.h"

namespace quillon::gui {

namespace {

// The scenario named on the command line, refused as quillon-cli refuses it.
std::string Scenario(const std::string& name) {
    const std::string problem = sim::SimPlatform::scenarioProblem(name);
    if (!problem.empty()) throw std::invalid_argument(problem);
    return name;
}

}  // namespace

const char* WindowUsage() {
    return "Usage: quillon [--help] [--version] [--station FILE] [--sim [SCENARIO]] [--sim-paced] [--sim-flash FILE] [--sim-count N] [ARGS...]\n"
           "  --help            print this text\n"
           "  --version         print the version and the build number\n"
           "  --station FILE    open the operator's station for this station profile\n"
           "  --sim [SCENARIO]  use the simulated programmer instead of USB hardware\n"
           "  --sim-paced       pace the simulated programmer like full-speed USB (1 report/ms)\n"
           "  --sim-flash FILE  keep the simulated chip's flash in FILE between runs\n"
           "  --sim-count N     number of simulated programmers (1 to 16)\n"
           "With any other arguments, LoadFile loads the second one as a HEX file without a dialog.\n";
}

std::string WindowVersion() {
    return std::string("quillon ") + kProjectVersion + " (build " + std::to_string(kAppVersion) + ")";
}

WindowOptions ParseWindowOptions(const std::vector<std::string>& argv) {
    WindowOptions o;
    bool simDetail = false;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a.rfind("--", 0) != 0) {
            o.args.push_back(a);
            continue;
        }
        auto value = [&](const char* option) -> std::string {
            if (i + 1 >= argv.size()) throw std::invalid_argument(std::string(option) + " needs a value");
            return argv[++i];
        };
        if (a == "--help") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--station") {
            o.station = value("--station");
        } else if (a == "--sim") {
            o.sim = true;
            // As in quillon-cli: a word after --sim is its scenario, never an argument for LoadFile.
            if (i + 1 < argv.size() && argv[i + 1].rfind('-', 0) != 0) o.simOptions.scenario = Scenario(argv[++i]);
        } else if (a.rfind("--sim=", 0) == 0) {
            o.sim = true;
            o.simOptions.scenario = Scenario(a.substr(6));
        } else if (a == "--sim-paced") {
            o.simOptions.paced = simDetail = true;
        } else if (a == "--sim-flash") {
            o.simOptions.flashFile = value("--sim-flash");
            simDetail = true;
        } else if (a == "--sim-count") {
            const std::string n = value("--sim-count");
            std::size_t used = 0;
            int count = 0;
            try {
                count = std::stoi(n, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != n.size() || count < 1 || count > 16)
                throw std::invalid_argument("--sim-count takes a number from 1 to 16, not '" + n + "'");
            o.simOptions.programmers = count;
            simDetail = true;
        } else {
            throw std::invalid_argument("unknown option '" + a + "'");
        }
    }
    // Settings for the simulator without --sim would silently go to real USB instead.
    if (simDetail && !o.sim) throw std::invalid_argument("--sim-paced, --sim-flash and --sim-count need --sim");
    return o;
}

}  // namespace quillon::gui
