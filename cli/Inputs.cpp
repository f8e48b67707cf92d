// Input files of quillon-cli: which paths are read at all, how much HEX text is read, and the
// warnings about HEX files that convert only because the converter is lenient.
#include <filesystem>
#include <system_error>

#include "cli/Cli.h"
#include "cli/Output.h"
#include "protocol/Cpro.h"
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

namespace {
// The name a path finally leads to, absolute: two names of one file that does not exist yet
// give the same text.
std::string FinalName(const std::string& path) {
    std::string name = path;
    try {
        name = ResolveLinks(path);
    } catch (const std::system_error&) {
    }
    std::error_code error;
    const auto absolute = std::filesystem::absolute(PathFromUtf8(name), error);
    if (error) return name;
    const std::u8string text = absolute.lexically_normal().generic_u8string();
    return std::string(text.begin(), text.end());
}
}  // namespace

std::string SimFlashClash(const CliContext& ctx, const std::string& path) {
    const std::string& chip = ctx.sim.flashFile;
    if (!ctx.sim.enabled || chip.empty() || path.empty()) return {};
    if (!SameFile(path, chip) && FinalName(path) != FinalName(chip)) return {};
    return path + " is the --sim-flash chip file " + chip + "; refusing to use one file as both";
}

RunImage LoadRunImage(const CliContext& ctx, Output& out, const std::string& file) {
    RunImage run;
    auto fail = [&run](int code, std::string why) {
        run.code = code;
        run.error = std::move(why);
        return run;
    };
    if (const std::string problem = InputProblem(file); !problem.empty()) return fail(kExitBadInput, "cannot open " + problem);
    if (const std::string clash = SimFlashClash(ctx, file); !clash.empty()) return fail(kExitUsage, clash);
    ImageLoad load = ReadImageFile(file, CPro::kBufferSize);
    if (!load.image) return fail(kExitBadInput, load.error);
    WarnHexNotices(out, load.image->notices);
    if (load.image->bytes.empty())
        return fail(kExitBadInput, file + ": the image is empty (the file holds no data records)");
    if (const std::string clash = SimFlashClash(ctx, file + ".bin"); !clash.empty() && load.image->kind == ImageKind::Hex)
        out.Warning(file + ".bin: not written: " + clash);
    else if (const std::string failed = WriteBinCopy(*load.image); !failed.empty())
        out.Warning(failed);
    run.image = std::move(load.image);
    return run;
}

void WarnHexNotices(Output& out, const std::vector<hex::HexNotice>& notices) {
    for (const hex::HexNotice& n : notices) {
        std::string message = hex::DescribeOddity(n.kind);
        if (n.count > 1) message += " (" + std::to_string(n.count) + " times, first here)";
        out.Warning(message, n.line);
    }
}

}  // namespace quillon::cli
