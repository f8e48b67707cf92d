// Picks the HID platform for a run: real devices, or the simulated programmer with --sim.
#include "cli/Cli.h"
namespace quillon::cli {
std::unique_ptr<hid::Platform> MakePlatform(const CliContext&) { return nullptr; }
}  // namespace quillon::cli
