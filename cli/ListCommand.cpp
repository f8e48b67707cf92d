// list (being built).
#include "cli/Cli.h"
namespace quillon::cli {
void RegisterList(CLI::App&, CliContext&) {}
}  // namespace quillon::cli
