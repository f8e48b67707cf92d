// The terminal and device-permission checks of quillon-cli on POSIX systems.
#include <unistd.h>

#include <cstdio>

#include "cli/Cli.h"
#include "cli/Output.h"

namespace quillon::cli {

bool Output::IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

void PrepareConsole() {}

bool LacksDeviceAccess(const std::string& devicePath) { return ::access(devicePath.c_str(), R_OK | W_OK) != 0; }

}  // namespace quillon::cli
