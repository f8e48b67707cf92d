// hex2bin (being built).
#include "cli/Cli.h"
namespace quillon::cli {
void RegisterHex2Bin(CLI::App&, CliContext&) {}
}  // namespace quillon::cli
