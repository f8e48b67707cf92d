// The console of quillon-cli on Windows: UTF-8 output (log lines, file names and the Chinese
// texts are UTF-8 throughout), and a console check that sees through redirection.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "cli/Cli.h"
#include "cli/Output.h"

namespace quillon::cli {

bool Output::IsTerminal(std::FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

void PrepareConsole() {
    SetConsoleOutputCP(CP_UTF8);
    // Binary standard streams: "\n" stays "\n" and a BIN written to standard output is exact.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
}

bool LacksDeviceAccess(const std::string&) { return false; }

}  // namespace quillon::cli
