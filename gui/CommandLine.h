// The window's command line: its own options begin with "--" (the simulated programmer, as in
// quillon-cli); everything else is kept, in order, as the arguments Load looks at.
#pragma once

#include <string>
#include <vector>

#include "sim/SimPlatform.h"

namespace quillon::gui {

struct WindowOptions {
    bool sim = false;
    sim::SimOptions simOptions;
    bool help = false;
    bool version = false;
    std::string station;            // --station FILE: the operator's view of this profile
    std::vector<std::string> args;  // arguments that are not the window's options (argv[0] excluded)
};

// Throws std::invalid_argument with a message for the user on an unknown "--" option, a missing
// value or an unknown scenario. A word after --sim that does not begin with "-" is its scenario,
// as in quillon-cli: a name that is none is refused, never taken as an argument for LoadFile.
WindowOptions ParseWindowOptions(const std::vector<std::string>& argv);

const char* WindowUsage();

// "quillon VERSION (build N)": the release and the build number the version check sends.
std::string WindowVersion();

}  // namespace quillon::gui
