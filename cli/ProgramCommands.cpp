// detect, read, write and verify: the programming session driven from the command line.
// Each run loads its image once, finds the programmer, runs the session's operations and turns
// their results into one result line and an exit code. The log lines printed are the system's
// own lines, time stamp included; with several programmers each line names its programmer.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <system_error>
#include <thread>

#include "cli/Cli.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "fs/Files.h"
#include "image/Image.h"
#include "ops/ProgramUnit.h"
#include "ops/Session.h"
#include "protocol/Chips.h"

namespace quillon::cli {
namespace {

struct ProgramOptions {
    std::string chip;
    std::string device;  // path or serial number of one programmer
    bool noErase = false;
    bool protect = false;
    bool noVerify = false;
    bool noReset = false;
    bool readback = false;
    bool noReadback = false;
    bool all = false;
    bool dryRun = false;
    std::string file;
};

struct Result {
    Result() = default;
    Result(int c, std::string m, std::string ch = {}) : code(c), message(std::move(m)), checked(std::move(ch)) {}
    int code = kExitOk;
    std::string message;
    std::string checked;  // what the success claims rests on (see ResultDetail)
    ResultDetail detail;
};

const char* const kInterrupted = "interrupted; nothing more was done";

// --no-erase leaves old bits that only a read-back can find, so it reads back unless told not
// to (or unless the chip is read-protected afterwards, which makes a read-back impossible).
bool WantsReadback(const ProgramOptions& o) { return o.readback || (o.noErase && !o.noReadback && !o.protect); }

int ExitCodeFor(OpStatus status) {
    switch (status) {
        case OpStatus::Ok: return kExitOk;
        case OpStatus::Refused: return kExitBadInput;
        case OpStatus::NoProgrammer: return kExitNoProgrammer;
        case OpStatus::Timeout: return kExitTimeout;
        case OpStatus::DeviceFailure: return kExitDeviceFailure;
        case OpStatus::VerifyFailure: return kExitVerifyFailure;
        case OpStatus::Interrupted:
            return InterruptWatch::Caught() != 0 ? InterruptWatch::ExitCode() : kExitError;
    }
    return kExitError;
}

Result FromOp(const OpsResult& r) { return {ExitCodeFor(r.status), r.message}; }

// One programmer for one run: the session, its progress on the terminal, and the interrupt that
// ends whatever it is doing.
class Programmer : public SessionListener {
public:
    Programmer(hid::Platform& platform, Output& out, const ProgramOptions& o, InterruptWatch& watch,
               const std::string& device, bool prefixLog)
        : out_(out), session_(platform, Options(o, device, prefixLog ? &out : nullptr), this), watch_(watch) {
        // The signal arrives on the watch's thread; the session takes it on its own.
        watchId_ = watch_.Subscribe([this] { session_.cancel(kInterrupted, /*closeLink=*/true); });
        if (InterruptWatch::Caught() != 0) session_.cancel(kInterrupted, true);
    }
    ~Programmer() override { watch_.Unsubscribe(watchId_); }

    void progress(const char* phase, std::uint32_t position, std::uint32_t max) override {
        // A new phase (the read-back after the write): the finished bar stays on its own line.
        if (!phase_.empty() && phase_ != phase) {
            out_.Progress(phase_.c_str(), max_, max_);
            out_.EndProgress();
        }
        phase_ = phase;
        max_ = max;
        out_.Progress(phase, position, max);
    }

    ProgrammerSession& session() { return session_; }

    Result Connect() {
        const OpsResult r = session_.connect();
        Result result = FromOp(r);
        result.detail.device = session_.programmer().path;
        return result;
    }

    // Reads the whole flash; bytes receives it.
    Result Read(std::vector<std::uint8_t>& bytes) {
        const OpsResult r = session_.read(bytes);
        if (r.status != OpStatus::Ok) return FromOp(r);
        out_.Progress("read", r.bytes, r.bytes);
        out_.EndProgress();
        phase_.clear();
        if (const std::string zero = AllZeroReadWarning(bytes); !zero.empty()) out_.Warning(zero);
        return {kExitOk, r.message};
    }

    // The unit step (write, and read back when asked) or, without an image to write, the
    // compare; its words are the result's, its warnings shown.
    Result Program(const ImagePtr& image, const ProgramOptions& o) {
        return Shown(ProgramUnit(session_, image, Options(o, {}, nullptr).write));
    }
    Result Verify(const Image& image) { return Shown(VerifyUnit(session_, image)); }

private:
    static SessionOptions Options(const ProgramOptions& o, const std::string& device, Output* prefixed) {
        SessionOptions s;
        s.chipIndex = o.chip.empty() ? -1 : ChipIndex(o.chip);
        s.write = {.erase = !o.noErase, .protect = o.protect, .verify = !o.noVerify, .reset = !o.noReset,
                   .readback = WantsReadback(o)};
        s.device = device;
        if (prefixed != nullptr) s.log = [prefixed, device](const std::string& line) { prefixed->DeviceLog(device, line); };
        return s;
    }

    Result Shown(const UnitResult& u) {
        // Each phase's bar ends full; a failed one stays where it stopped.
        if (!phase_.empty() && u.ok()) out_.Progress(phase_.c_str(), max_, max_);
        out_.EndProgress();
        phase_.clear();
        for (const std::string& warning : u.warnings) out_.Warning(warning);
        Result r{ExitCodeFor(u.status), u.message, u.checked};
        if (u.comparison) {
            r.detail.differing = static_cast<std::int64_t>(u.comparison->differing);
            if (!u.comparison->equal) r.detail.firstDifference = static_cast<std::int64_t>(u.comparison->first);
        }
        return r;
    }

    Output& out_;
    std::string phase_;  // the operation whose bar is drawn
    std::uint32_t max_ = 0;
    ProgrammerSession session_;
    InterruptWatch& watch_;
    std::size_t watchId_ = 0;
};

int Finish(Output& out, const char* op, const Result& r, ResultDetail detail = {}) {
    if (detail.device.empty()) detail.device = r.detail.device;
    detail.checked = r.code == kExitOk ? r.checked : "";
    detail.firstDifference = r.detail.firstDifference;
    detail.differing = r.detail.differing;
    if (r.detail.programmer) detail.programmer = r.detail.programmer;
    out.Result(op, r.code, r.message, detail);
    return r.code;
}

// The platform, or the failure to report (an unusable --sim-flash file, a busy chip file).
std::unique_ptr<hid::Platform> PlatformOrFailure(const CliContext& ctx, Result& failure) {
    try {
        return MakePlatform(ctx);
    } catch (const std::exception& e) {
        failure = {kExitError, e.what()};
        return nullptr;
    }
}

// The run's image (see LoadRunImage), or the failure to report.
std::optional<ImagePtr> LoadImage(const CliContext& ctx, Output& out, const std::string& file, Result& failure) {
    RunImage load = LoadRunImage(ctx, out, file);
    if (!load.image) {
        failure = {load.code, load.error};
        return std::nullopt;
    }
    return load.image;
}

int RunDetect(CliContext& ctx, const ProgramOptions& options) {
    InterruptWatch watch;
    Output out(ctx);
    Result r;
    auto platform = PlatformOrFailure(ctx, r);
    if (!platform) return Finish(out, "detect", r);
    {
        Programmer p(*platform, out, options, watch, options.device, false);
        r = p.Connect();
        const ProgrammerInfo info = p.session().programmer();
        if (!info.path.empty()) r.detail.programmer = info;
    }
    return Finish(out, "detect", r);
}

int RunRead(CliContext& ctx, ProgramOptions options) {
    InterruptWatch watch;
    Output out(ctx);
    // "-" is standard output, as for hex2bin. A dump that goes to standard output (by that name or
    // any other, such as a shell's redirection to OUT) takes it whole: the tool's own lines go to
    // standard error.
    if (options.file == "-") options.file = "/dev/stdout";
    if (options.file == "/dev/stdout" || SameFile(options.file, "/dev/stdout")) out.GiveUpStdout();
    // Nor can the simulated chip's own file.
    if (const std::string clash = SimFlashClash(ctx, options.file); !clash.empty())
        return Finish(out, "read", {kExitUsage, clash});
    // A directory cannot take the dump: say so before the chip is read.
    if (StatPath(options.file).isDirectory)
        return Finish(out, "read", {kExitError, "Cannot create file " + options.file + " (" + SystemReason(EISDIR) + ")"});
    Result r;
    auto platform = PlatformOrFailure(ctx, r);
    if (!platform) return Finish(out, "read", r);
    std::vector<std::uint8_t> bytes;
    {
        Programmer p(*platform, out, options, watch, options.device, false);
        r = p.Connect();
        if (r.code == kExitOk) r = p.Read(bytes);
    }
    if (r.code == kExitOk && InterruptWatch::Caught() != 0) r = {InterruptWatch::ExitCode(), kInterrupted};
    if (r.code != kExitOk) return Finish(out, "read", r);
    // The chip's bytes straight to the file layer: a read-only file is left alone, anything else
    // is replaced whole and on the disk before the result says so.
    try {
        if (IsReadOnlyFile(options.file)) throw std::system_error(EACCES, std::generic_category());
        WriteFileAtomically(options.file, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                            Durability::Durable);
    } catch (const std::system_error& e) {
        return Finish(out, "read", {kExitError, "Cannot create file " + options.file + " (" + SystemReason(e.code().value()) + ")"});
    }
    ResultDetail detail;
    detail.output = options.file;
    return Finish(out, "read", {kExitOk, r.message + " to " + options.file}, detail);
}

Result WriteOne(hid::Platform& platform, Output& out, const ProgramOptions& options, const ImagePtr& image,
                InterruptWatch& watch, const std::string& device, bool prefixLog) {
    Programmer p(platform, out, options, watch, device, prefixLog);
    Result r = p.Connect();
    if (r.code == kExitOk) r = p.Program(image, options);
    r.detail.device = device;
    if (r.code == kExitOk && options.noErase && !WantsReadback(options)) {
        const std::string why = options.protect ? "--protect makes a read-back impossible" : "--no-readback";
        out.Warning("--no-erase: the flash content was not checked (" + why +
                    "); unerased flash may keep old bits, which only --readback would find");
    }
    return r;
}

// A write the simulated chip's file did not keep is no success: the next run would find the old
// chip (a full disk under --sim-flash).
Result KeptBySimulator(hid::Platform& platform, Result r, const std::string& device) {
    if (r.code != kExitOk) return r;
    if (const std::string why = SimChipFileFailure(platform, device); !why.empty()) {
        Result failed{kExitError, "unusable --sim-flash file: " + why};
        failed.detail.device = r.detail.device;
        return failed;
    }
    return r;
}

// Why the image cannot go to the chip of --chip, or "" when it fits.
std::string TooLargeForChip(const ProgramOptions& options, const Image& image) {
    const std::uint32_t flash = kChips[static_cast<std::size_t>(ChipIndex(options.chip))].flashSize;
    if (image.bytes.size() <= flash) return {};
    return options.file + ": the image is " + std::to_string(image.bytes.size()) + " bytes, larger than the " +
           std::to_string(flash) + "-byte flash of " + options.chip;
}

// --dry-run: the image as it would go out, its size against the chip and its SHA-256.
int DryRunWrite(Output& out, const ProgramOptions& options, const Image& image) {
    if (const std::string why = TooLargeForChip(options, image); !why.empty())
        return Finish(out, "write", {kExitBadInput, why});
    ResultDetail detail;
    detail.bytes = static_cast<std::int64_t>(image.bytes.size());
    return Finish(out, "write",
                  {kExitOk, "dry run: " + std::to_string(image.bytes.size()) + " bytes for " + options.chip +
                                ", image SHA-256 " + image.fileSha256 + "; nothing was sent to a programmer"},
                  detail);
}

int RunWrite(CliContext& ctx, const ProgramOptions& options) {
    InterruptWatch watch;
    // With several programmers the lines of each are prefixed by its path.
    Output out(ctx);
    Result r;
    const std::optional<ImagePtr> image = LoadImage(ctx, out, options.file, r);
    if (!image) return Finish(out, "write", r);
    if (options.dryRun) return DryRunWrite(out, options, **image);
    auto platform = PlatformOrFailure(ctx, r);
    if (!platform) return Finish(out, "write", r);
    if (!options.all)
        return Finish(out, "write",
                      KeptBySimulator(*platform, WriteOne(*platform, out, options, *image, watch, options.device, false), {}));
    // Every connected programmer at once, each in its own thread with its own session, all with
    // the one image loaded above.
    const ProgrammerScan scan = ScanProgrammers(*platform);
    if (scan.paths.empty()) return Finish(out, "write", {kExitNoProgrammer, NoProgrammerMessage(scan, {})});
    std::vector<Result> results(scan.paths.size());
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < scan.paths.size(); ++i) {
        workers.emplace_back([&, i] {
            try {
                results[i] = KeptBySimulator(*platform, WriteOne(*platform, out, options, *image, watch, scan.paths[i], true),
                                             scan.paths[i]);
            } catch (const std::exception& e) {
                results[i] = {kExitError, e.what()};
            }
        });
    }
    for (auto& w : workers) w.join();
    int worst = kExitOk;
    for (std::size_t i = 0; i < scan.paths.size(); ++i) {
        ResultDetail detail;
        detail.device = scan.paths[i];
        Finish(out, "write", results[i], detail);
        if (results[i].code != kExitOk && worst == kExitOk) worst = results[i].code;
    }
    return worst;
}

int RunVerify(CliContext& ctx, const ProgramOptions& options) {
    InterruptWatch watch;
    Output out(ctx);
    Result r;
    const std::optional<ImagePtr> image = LoadImage(ctx, out, options.file, r);
    if (!image) return Finish(out, "verify", r);
    if (const std::string why = TooLargeForChip(options, **image); !why.empty())
        return Finish(out, "verify", {kExitBadInput, why});
    auto platform = PlatformOrFailure(ctx, r);
    if (!platform) return Finish(out, "verify", r);
    {
        Programmer p(*platform, out, options, watch, options.device, false);
        r = p.Connect();
        if (r.code == kExitOk) {
            const std::string device = r.detail.device;
            r = p.Verify(**image);
            r.detail.device = device;
        }
    }
    ResultDetail detail;
    detail.bytes = static_cast<std::int64_t>((*image)->bytes.size());
    return Finish(out, "verify", r, detail);
}

void AddProgramOptions(CLI::App* sub, ProgramOptions& o, bool chipRequired) {
    std::vector<std::string> names;
    for (const auto& c : kChips) names.emplace_back(c.name);
    auto* chip = sub->add_option("--chip", o.chip, "Chip type")->check(CLI::IsMember(names));
    if (chipRequired) chip->required();
    sub->add_option("--device", o.device, "Use the programmer with this device path or serial number");
}

}  // namespace

void RegisterProgram(CLI::App& app, CliContext& ctx) {
    static ProgramOptions detect, read, write, verify;

    auto* d = app.add_subcommand("detect", "Find the programmer and check that a chip answers");
    AddProgramOptions(d, detect, false);
    ctx.commands.push_back({d, [&ctx] { return RunDetect(ctx, detect); }});

    auto* r = app.add_subcommand("read", "Read the chip's flash into a BIN file");
    AddProgramOptions(r, read, true);
    r->add_option("OUT", read.file, "BIN file to write")->required();
    ctx.commands.push_back({r, [&ctx] { return RunRead(ctx, read); }});

    auto* w = app.add_subcommand(
        "write",
        "Erase, write, verify, read-protect and reset the chip with a HEX or BIN image.\n"
        "Loading a HEX file also leaves its BIN copy (FILE.bin) beside it.");
    AddProgramOptions(w, write, true);
    w->add_option("FILE", write.file, "Intel HEX (name ending in hex or ihx) or BIN (ending in bin) image")->required();
    w->add_flag("--no-erase", write.noErase,
                "Do not erase the flash first (then the chip is read back and compared, unless --no-readback)");
    auto* protect = w->add_flag("--protect", write.protect, "Read-protect the chip after writing");
    w->add_flag("--no-verify", write.noVerify, "Do not ask the programmer to verify the flash");
    w->add_flag("--no-reset", write.noReset, "Do not reset the chip into the new firmware");
    auto* readback = w->add_flag("--readback", write.readback, "Read the chip back afterwards and compare every byte")
                         ->excludes(protect);
    w->add_flag("--no-readback", write.noReadback, "Do not read back after --no-erase (the result then warns)")
        ->excludes(readback);
    w->add_flag("--all", write.all, "Program every connected programmer in parallel")
        ->excludes(w->get_option("--device"));
    w->add_flag("--dry-run", write.dryRun, "Load and check the image, print its SHA-256, and stop before the wire");
    ctx.commands.push_back({w, [&ctx] { return RunWrite(ctx, write); }});

    auto* v = app.add_subcommand("verify",
                                 "Read the chip and compare it with a HEX or BIN image (exit 7 when they differ)");
    AddProgramOptions(v, verify, true);
    v->add_option("FILE", verify.file, "Intel HEX (name ending in hex or ihx) or BIN (ending in bin) image")
        ->required();
    ctx.commands.push_back({v, [&ctx] { return RunVerify(ctx, verify); }});
}

}  // namespace quillon::cli
