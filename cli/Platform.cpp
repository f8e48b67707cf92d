// Picks the HID platform for a run: real devices through hidapi, or the simulated programmer
// when --sim is given. The tool never falls back to the simulator on its own.
#include "cli/Cli.h"
#include "hid/HidapiPlatform.h"
#include "sim/SimPlatform.h"

namespace quillon::cli {

std::unique_ptr<hid::Platform> MakePlatform(const CliContext& ctx) {
    if (!ctx.sim.enabled) return std::make_unique<hid::HidapiPlatform>();
    sim::SimOptions options;
    options.scenario = ctx.sim.scenario.empty() ? "default" : ctx.sim.scenario;
    options.paced = ctx.sim.paced;
    options.flashFile = ctx.sim.flashFile;
    options.programmers = ctx.sim.programmers;
    return sim::SimPlatform::fromOptions(options);
}

}  // namespace quillon::cli
