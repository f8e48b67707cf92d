// Picks the HID platform for a run: the system's real devices, or the simulated programmer
// when --sim is given. The tool never falls back to the simulator on its own.
#include "cli/Cli.h"
#include "hid/HidPlatform.h"
#include "sim/SimPlatform.h"

namespace quillon::cli {

std::unique_ptr<hid::Platform> MakePlatform(const CliContext& ctx) {
    if (!ctx.sim.enabled) return hid::MakeSystemPlatform();
    sim::SimOptions options;
    options.scenario = ctx.sim.scenario.empty() ? "default" : ctx.sim.scenario;
    options.paced = ctx.sim.paced;
    options.flashFile = ctx.sim.flashFile;
    options.programmers = ctx.sim.programmers;
    options.flashDir = ctx.sim.flashDir;
    return sim::SimPlatform::fromOptions(options);
}

std::string SimChipFileFailure(hid::Platform& platform, const std::string& device) {
    const auto* sim = dynamic_cast<const sim::SimPlatform*>(&platform);
    if (sim == nullptr) return {};
    try {
        return sim->chipFileError(device);
    } catch (const std::out_of_range&) {
        return {};
    }
}

}  // namespace quillon::cli
