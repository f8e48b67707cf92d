// Input files of quillon-cli: which paths are read at all, how much HEX text is read, and the
// warnings about HEX files that convert only because the converter is lenient.
#include <system_error>

#include "cli/Cli.h"
#include "cli/Output.h"
#include "fs/Files.h"
#include "hex/Chex2bin.h"

namespace quillon::cli {

std::string InputProblem(const std::string& path) {
    try {
        const std::string kind = NonRegularKind(path);
        if (kind.empty()) return {};
        // "PATH: reason", as for the system's errors, so that "cannot open " + this reads right.
        return path + ": is " + kind + "; only regular files are read";
    } catch (const std::system_error& e) {
        return path + ": " + SystemReason(e.code().value());
    }
}

void WarnHexNotices(Output& out, const std::vector<hex::HexNotice>& notices) {
    for (const hex::HexNotice& n : notices) {
        std::string message = hex::DescribeOddity(n.kind);
        if (n.count > 1) message += " (" + std::to_string(n.count) + " times, first here)";
        out.Warning(message, n.line);
    }
}

}  // namespace quillon::cli
