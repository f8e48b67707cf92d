// detect, read and write: the window's operations driven from the command line.
// Each run finds the programmer (the window's search), waits for its answer to the connect block,
// then runs one operation and turns its one result into an exit code. The log lines printed are
// the system's own lines, time stamp included.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "cli/Cli.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "core/UiHost.h"
#include "fs/Files.h"
#include "hex/Chex2bin.h"
#include "hid/Nrhid.h"
#include "image/HexDocument.h"
#include "log/Log.h"
#include "ops/Operations.h"
#include "protocol/Chips.h"
#include "hash/Sha256.h"
#include "station/Serial.h"

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

// One programmer, one operation at a time: owns the event loop and the operations, and waits
// for each operation's result.
class Session : public OpsView {
public:
    Session(hid::Platform& platform, Output& out, const ProgramOptions& options, InterruptWatch& watch)
        : out_(out), options_(options), ops_(host_, platform, this), watch_(watch) {
        // Several sessions may share one platform (--all): none of them follows device changes.
        ops_.setHotPlug(false);
        OpsControls c;
        c.chipIndex = options.chip.empty() ? -1 : ChipIndex(options.chip);
        c.reload = true;
        c.erase = !options.noErase;
        c.encrypt = options.protect;
        c.verify = !options.noVerify;
        c.resetRun = !options.noReset;
        c.fileBox = options.file;
        ops_.applySettings(c);
        if (!options.device.empty()) {
            const std::string want = options.device;
            ops_.setProgrammerFilter([want](const hid::TnrHidDevice& d) {
                return d.devicePath == want || d.serialNumberString == want;
            });
        }
        // The signal arrives on the watch's thread; the operations are touched on ours only.
        watchId_ = watch_.Subscribe([this] { host_.post([this] { Interrupt(); }); });
    }
    ~Session() override { watch_.Unsubscribe(watchId_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void finished(const OpsResult& r) override { result_ = r; }
    void controlsChanged(const OpsControls& c) override {
        if (c.progressMax != 0 && c.progressPosition != lastProgress_) {
            lastProgress_ = c.progressPosition;
            out_.Progress(phase_, c.progressPosition, c.progressMax);
        }
    }

    // Finds and opens the programmer and waits for its answer to the connect block the search
    // sent; the watchdog covers that answer, so a silent programmer ends with the system's own
    // timeout line.
    Result Connect() {
        if (interrupted_ || InterruptWatch::Caught() != 0) return {InterruptWatch::ExitCode(), kInterrupted};
        try {
            ops_.searchProgrammer();
        } catch (const hid::HidError& e) {
            if (e.Detail() == static_cast<std::uint32_t>(hid::kSharingViolation))
                return {kExitNoProgrammer, "the programmer is in use by another program"};
            std::string msg = std::string("cannot open the programmer: ") + e.what();
            if (e.Detail() == EACCES) msg += " (see \"USB permissions\" in the README for the udev rule)";
            return {kExitNoProgrammer, msg};
        }
        if (!ops_.link().GetActive()) {
            if (const std::string busy = BusyDevice(); !busy.empty())
                return {kExitNoProgrammer, "the programmer is in use by another program (" + busy + " is busy)"};
            return {kExitNoProgrammer, options_.device.empty()
                                           ? "no programmer (04d8:003f) found"
                                           : "no programmer (04d8:003f) matches '" + options_.device + "'"};
        }
        // Opened for reading only, the connect block never went out: waiting for its answer
        // would only end in the watchdog's timeout.
        if (!ops_.link().CanWrite())
            return {kExitNoProgrammer, "cannot open the programmer " + ops_.link().GetDevicePath() +
                                           " for writing: " + SystemReason(EACCES) +
                                           " (see \"USB permissions\" in the README for the udev rule)"};
        const OpsResult r = Run([&] { ops_.detect(/*sendConnectBlock=*/false); });
        return {ExitCodeFor(r.status), r.message};
    }

    Result Read(const std::string& outFile) {
        phase_ = "read";
        const OpsResult r = Run([&] { ops_.read(); });
        if (r.status != OpStatus::Ok) return {ExitCodeFor(r.status), r.message};
        out_.Progress(phase_, r.bytes, r.bytes);
        out_.EndProgress();
        const auto data = ops_.hexView().Data();
        if (!data.empty() && std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0; }))
            out_.Warning("every byte read is 0x00: a read-protected chip reads as all zeros, so this may not be "
                         "the chip's content");
        if (InterruptWatch::Caught() != 0) return {InterruptWatch::ExitCode(), kInterrupted};
        if (!outFile.empty()) {
            try {
                ops_.hexView().SaveToFile(outFile, true);
            } catch (const HexDocumentError& e) {
                return {kExitError, std::string(e.what()) + (e.reason().empty() ? "" : " (" + e.reason() + ")")};
            }
        }
        return {kExitOk, r.message + (outFile.empty() ? "" : " to " + outFile)};
    }

    Result Write() {
        phase_ = "write";
        const OpsResult r = Run([&] {
            ops_.write();
            // The reload is done by now: this is what goes to the chip.
            const std::uint8_t* image = ops_.engine().WriteBuffer();
            image_.assign(image, image + std::min<std::size_t>(ops_.hexView().GetDataSize(), CPro::kBufferSize));
        });
        if (r.bytes != 0 && r.status == OpStatus::Ok) {
            out_.Progress(phase_, r.bytes, r.bytes);
            out_.EndProgress();
        }
        if (r.status != OpStatus::Ok) return {ExitCodeFor(r.status), r.message};
        const std::string wrote = "wrote " + std::to_string(r.bytes) + " bytes";
        if (!r.verified)
            return {kExitOk, wrote + "; nothing was checked (the programmer sent no transfer checksum)", ""};
        // The programmer's checksum covers the bytes it received, not what the flash now holds.
        return {kExitOk,
                wrote + "; the programmer's transfer checksum matches (it covers the bytes sent, not the flash)" +
                    (options_.noVerify ? "; flash not verified (--no-verify)" : ""),
                "transfer checksum"};
    }

    // Reads the chip back and compares every byte of the image.
    Result Readback() {
        Result r = Read("");
        if (r.code != kExitOk) return r;
        const auto data = ops_.hexView().Data();
        for (std::size_t i = 0; i < image_.size(); ++i) {
            if (i >= data.size() || data[i] != image_[i]) {
                char msg[160];
                std::snprintf(msg, sizeof msg,
                              "read-back differs at 0x%04zX: chip 0x%02X, image 0x%02X", i,
                              i < data.size() ? data[i] : 0, image_[i]);
                return {kExitVerifyFailure, msg};
            }
        }
        return {kExitOk, "read-back matches all " + std::to_string(image_.size()) + " bytes", "read-back"};
    }

private:
    // Ends the pending operation as interrupted and closes the link, which also stops an image
    // stream: the programmer is left with a stream it will abandon.
    void Interrupt() {
        if (interrupted_) return;
        interrupted_ = true;
        ops_.cancel(kInterrupted);
        if (ops_.link().GetActive()) ops_.link().Close();
    }

    // A HID device that another program holds, so that no programmer could be identified on it.
    std::string BusyDevice() {
        hid::Platform& platform = ops_.link().GetPlatform();
        for (const hid::RawDevice& d : platform.enumerate())
            if (platform.query(d.path, false).error == hid::kSharingViolation) return d.path;
        return {};
    }

    // Starts one operation and runs the loop until its result arrives; the operations owe
    // exactly one for every start, whatever the programmer does.
    OpsResult Run(const std::function<void()>& start) {
        result_.reset();
        if (interrupted_ || InterruptWatch::Caught() != 0) return {OpKind::Detect, OpStatus::Interrupted, kInterrupted};
        start();
        host_.runUntil([&] { return result_.has_value(); });
        return *result_;
    }

    Output& out_;
    const ProgramOptions& options_;
    LoopUiHost host_;
    Operations ops_;
    std::optional<OpsResult> result_;
    std::uint32_t lastProgress_ = 0;
    const char* phase_ = "";
    std::vector<std::uint8_t> image_;
    InterruptWatch& watch_;
    std::size_t watchId_ = 0;
    bool interrupted_ = false;
};

int Finish(Output& out, const char* op, const Result& r, ResultDetail detail = {}) {
    detail.checked = r.code == kExitOk ? r.checked : "";
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

int RunDetect(CliContext& ctx, const ProgramOptions& options) {
    InterruptWatch watch;
    Output out(ctx);
    Result r;
    auto platform = PlatformOrFailure(ctx, r);
    if (!platform) return Finish(out, "detect", r);
    {
        Session session(*platform, out, options, watch);
        r = session.Connect();
    }
    if (r.code == kExitOk) r.message = "programmer answered and a chip is present";
    return Finish(out, "detect", r);
}

int RunRead(CliContext& ctx, const ProgramOptions& options) {
    InterruptWatch watch;
    Output out(ctx);
    // A directory cannot take the dump: say so before the chip is read.
    if (StatPath(options.file).isDirectory)
        return Finish(out, "read", {kExitError, "Cannot create file " + options.file + " (" + SystemReason(EISDIR) + ")"});
    Result r;
    auto platform = PlatformOrFailure(ctx, r);
    if (!platform) return Finish(out, "read", r);
    {
        Session session(*platform, out, options, watch);
        r = session.Connect();
        if (r.code == kExitOk) r = session.Read(options.file);
    }
    ResultDetail detail;
    if (r.code == kExitOk) detail.output = options.file;
    return Finish(out, "read", r, detail);
}

Result WriteOne(hid::Platform& platform, Output& out, const ProgramOptions& options, InterruptWatch& watch) {
    Result r;
    Session session(platform, out, options, watch);
    r = session.Connect();
    if (r.code == kExitOk) r = session.Write();
    if (r.code != kExitOk) return r;
    if (WantsReadback(options)) {
        if (InterruptWatch::Caught() != 0) return {InterruptWatch::ExitCode(), kInterrupted};
        Result rb = session.Readback();
        if (rb.code != kExitOk) return rb;
        return {kExitOk, r.message + "; " + rb.message, r.checked.empty() ? rb.checked : r.checked + ", " + rb.checked};
    }
    if (options.noErase) {
        const std::string why = options.protect ? "--protect makes a read-back impossible" : "--no-readback";
        out.Warning("--no-erase: the flash content was not checked (" + why +
                    "); unerased flash may keep old bits, which only --readback would find");
        r.message += "; flash content not checked (--no-erase without --readback)";
    }
    return r;
}

// Whether the image may be written at all, and the warnings about an odd HEX file.
Result CheckImage(Output& out, const std::string& file) {
    if (const std::string problem = InputProblem(file); !problem.empty())
        return {kExitBadInput, "cannot open " + problem};
    // The loader programs only files it recognises by their ending; anything else would show in
    // the hex view but leave the write buffer erased, so it is refused here.
    const ImageKind kind = ImageKindOf(file);
    if (kind == ImageKind::Other) return {kExitBadInput, file + ": not a HEX or BIN file (the name must end in hex or bin)"};
    if (kind != ImageKind::Hex) {
        const PathStatus status = StatPath(file);
        const std::uint64_t size = status.size;
        if (status.error == 0 && status.isRegular && size > CPro::kBufferSize)
            return {kExitBadInput, file + ": the image is " + std::to_string(size) + " bytes, larger than the " +
                                       std::to_string(CPro::kBufferSize) + "-byte write buffer"};
        return Result{};
    }
    const std::uint64_t limit = HexTextLimit(CPro::kBufferSize);
    std::string text;
    try {
        text = ReadWholeFile(file, static_cast<std::size_t>(limit));
    } catch (const std::system_error& e) {
        if (e.code().value() == EFBIG)
            return {kExitBadInput, file + ": longer than " + std::to_string(limit) +
                                       " bytes, more than the HEX text of any image that fits the write buffer"};
        return {kExitBadInput, "cannot open " + file + ": " + SystemReason(e.code().value())};
    }
    WarnHexOddities(out, text);
    // The loader would refuse the same file later with a log line only; a quiet or JSON run
    // needs the reason in its result.
    hex::CHex2Bin converter;
    std::uint32_t length = CPro::kBufferSize;
    const std::int32_t code = converter.ConvertText(text, nullptr, &length);
    if (code == hex::kHexDestOverflow)
        return {kExitBadInput, file + ": the image is " + std::to_string(length) + " bytes, larger than the " +
                                   std::to_string(CPro::kBufferSize) + "-byte write buffer"};
    if (code != hex::kHexLengthOnly) return {kExitBadInput, file + ": " + converter.LastMessage};
    return Result{};
}

// --dry-run: the image as it would go out, its size against the chip and its SHA-256.
int DryRunWrite(Output& out, const ProgramOptions& options) {
    std::vector<std::uint8_t> image;
    try {
        image = station::LoadImageBytes(options.file, CPro::kBufferSize);
    } catch (const station::SerialError& e) {
        return Finish(out, "write", {kExitBadInput, e.what()});
    }
    const std::uint32_t flash = kChips[static_cast<std::size_t>(ChipIndex(options.chip))].flashSize;
    if (image.size() > flash)
        return Finish(out, "write", {kExitBadInput, options.file + ": the image is " + std::to_string(image.size()) +
                                                        " bytes, larger than the " + std::to_string(flash) +
                                                        "-byte flash of " + options.chip});
    ResultDetail detail;
    detail.bytes = static_cast<std::int64_t>(image.size());
    return Finish(out, "write",
                  {kExitOk, "dry run: " + std::to_string(image.size()) + " bytes for " + options.chip +
                                ", image SHA-256 " + Sha256::Hex(ReadWholeFile(options.file)) +
                                "; nothing was sent to a programmer"},
                  detail);
}

int RunWrite(CliContext& ctx, const ProgramOptions& options) {
    InterruptWatch watch;
    Result r;
    if (options.dryRun) {
        Output out(ctx);
        if (r = CheckImage(out, options.file); r.code != kExitOk) return Finish(out, "write", r);
        return DryRunWrite(out, options);
    }
    if (!options.all) {
        Output out(ctx);
        if (r = CheckImage(out, options.file); r.code != kExitOk) return Finish(out, "write", r);
        auto platform = PlatformOrFailure(ctx, r);
        if (!platform) return Finish(out, "write", r);
        r = WriteOne(*platform, out, options, watch);
        return Finish(out, "write", r);
    }
    // Every connected programmer at once, each in its own thread with its own event loop; the log
    // lines of several chips would interleave unreadably, so only result lines are printed.
    Output out(ctx, /*logLines=*/false);
    if (r = CheckImage(out, options.file); r.code != kExitOk) return Finish(out, "write", r);
    auto platform = PlatformOrFailure(ctx, r);
    if (!platform) return Finish(out, "write", r);
    std::vector<std::string> paths;
    {
        hid::TnrHid scan(*platform);
        scan.Update();
        for (int i = 0; i < scan.GetDeviceCount(); ++i) {
            const auto* d = scan.GetHidDevice(i);
            if (d->vendorId == kProgrammerVendorId && d->productId == kProgrammerProductId)
                paths.push_back(d->devicePath);
        }
    }
    if (paths.empty()) return Finish(out, "write", {kExitNoProgrammer, "no programmer (04d8:003f) found"});
    std::vector<Result> results(paths.size());
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        workers.emplace_back([&, i] {
            ProgramOptions one = options;
            one.device = paths[i];
            try {
                results[i] = WriteOne(*platform, out, one, watch);
            } catch (const std::exception& e) {
                results[i] = {kExitError, e.what()};
            }
        });
    }
    for (auto& w : workers) w.join();
    int worst = kExitOk;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        ResultDetail detail;
        detail.device = paths[i];
        Finish(out, "write", results[i], detail);
        if (results[i].code != kExitOk && worst == kExitOk) worst = results[i].code;
    }
    return worst;
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
    static ProgramOptions detect, read, write;

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
    w->add_option("FILE", write.file, "Intel HEX (name ending in hex) or BIN (ending in bin) image")->required();
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
}

}  // namespace quillon::cli
