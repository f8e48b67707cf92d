// detect, read and write: the window's operations driven from the command line.
// Each run finds the programmer (the window's search), waits for its answer to the connect block,
// then runs one operation and turns its one result into an exit code. The log lines printed are
// the system's own lines, time stamp included.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

#include "cli/Cli.h"
#include "cli/Output.h"
#include "core/UiHost.h"
#include "hid/Nrhid.h"
#include "log/Log.h"
#include "ops/Operations.h"
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
    bool all = false;
    std::string file;
};

bool IsImageName(const std::string& name) {
    if (name.size() < 3) return false;
    std::string tail = name.substr(name.size() - 3);
    for (char& c : tail) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return tail == "HEX" || tail == "BIN";
}

struct Result {
    int code = kExitOk;
    std::string message;
};

int ExitCodeFor(OpStatus status) {
    switch (status) {
        case OpStatus::Ok: return kExitOk;
        case OpStatus::Refused: return kExitBadInput;
        case OpStatus::NoProgrammer: return kExitNoProgrammer;
        case OpStatus::Timeout: return kExitTimeout;
        case OpStatus::DeviceFailure: return kExitDeviceFailure;
        case OpStatus::VerifyFailure: return kExitVerifyFailure;
        case OpStatus::Interrupted: return kExitError;
    }
    return kExitError;
}

// One programmer, one operation at a time: owns the event loop and the operations, and waits
// for each operation's result.
class Session : public OpsView {
public:
    Session(hid::Platform& platform, Output& out, const ProgramOptions& options)
        : out_(out), options_(options), ops_(host_, platform, this) {
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
    }

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
        try {
            ops_.searchProgrammer();
        } catch (const hid::HidError& e) {
            std::string msg = std::string("cannot open the programmer: ") + e.what();
            if (e.Detail() == EACCES) msg += " (see \"USB permissions\" in the README for the udev rule)";
            return {kExitNoProgrammer, msg};
        }
        if (!ops_.link().GetActive())
            return {kExitNoProgrammer, options_.device.empty()
                                           ? "no programmer (04d8:003f) found"
                                           : "no programmer (04d8:003f) matches '" + options_.device + "'"};
        const OpsResult r = Run([&] { ops_.detect(/*sendConnectBlock=*/false); });
        return {ExitCodeFor(r.status), r.message};
    }

    Result Read(const std::string& outFile) {
        phase_ = "read";
        const OpsResult r = Run([&] { ops_.read(); });
        if (r.status != OpStatus::Ok) return {ExitCodeFor(r.status), r.message};
        out_.Progress(phase_, r.bytes, r.bytes);
        out_.EndProgress();
        if (!outFile.empty()) {
            try {
                ops_.saveBin(outFile);
            } catch (const std::exception& e) {
                return {kExitError, e.what()};
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
        if (r.bytes != 0) {
            out_.Progress(phase_, r.bytes, r.bytes);
            out_.EndProgress();
        }
        if (r.status != OpStatus::Ok) return {ExitCodeFor(r.status), r.message};
        if (!r.verified)
            return {kExitOk, "wrote " + std::to_string(r.bytes) +
                                 " bytes; nothing was verified (--no-verify, and the programmer sent no checksum)"};
        return {kExitOk, r.message + (options_.noVerify ? "; flash not verified (--no-verify)"
                                                         : "; verified by the programmer")};
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
        return {kExitOk, "read-back matches all " + std::to_string(image_.size()) + " bytes"};
    }

private:
    // Starts one operation and runs the loop until its result arrives; the operations owe
    // exactly one for every start, whatever the programmer does.
    OpsResult Run(const std::function<void()>& start) {
        result_.reset();
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
};

int Finish(Output& out, const char* op, const Result& r, const std::string& device = {}) {
    out.Result(op, r.code, r.message, device);
    return r.code;
}

int RunDetect(CliContext& ctx, const ProgramOptions& options) {
    Output out(ctx);
    auto platform = MakePlatform(ctx);
    Result r;
    {
        Session session(*platform, out, options);
        r = session.Connect();
    }
    if (r.code == kExitOk) r.message = "programmer answered and a chip is present";
    return Finish(out, "detect", r);
}

int RunRead(CliContext& ctx, const ProgramOptions& options) {
    Output out(ctx);
    auto platform = MakePlatform(ctx);
    Result r;
    {
        Session session(*platform, out, options);
        r = session.Connect();
        if (r.code == kExitOk) r = session.Read(options.file);
    }
    return Finish(out, "read", r);
}

Result WriteOne(hid::Platform& platform, Output& out, const ProgramOptions& options) {
    Result r;
    Session session(platform, out, options);
    r = session.Connect();
    if (r.code == kExitOk) r = session.Write();
    if (r.code == kExitOk && options.readback) {
        Result rb = session.Readback();
        r = rb.code == kExitOk ? Result{kExitOk, r.message + "; " + rb.message} : rb;
    }
    return r;
}

int RunWrite(CliContext& ctx, const ProgramOptions& options) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(options.file, ec)) {
        Output out(ctx);
        const bool exists = std::filesystem::exists(options.file, ec);
        return Finish(out, "write", {kExitBadInput, "cannot open " + options.file +
                                                        (exists ? ": not a regular file" : ": no such file")});
    }
    // The loader programs only files it recognises by their ending; anything else would show in
    // the hex view but leave the write buffer erased, so it is refused here.
    if (!IsImageName(options.file)) {
        Output out(ctx);
        return Finish(out, "write", {kExitBadInput, options.file + ": not a HEX or BIN file (the name must end in hex or bin)"});
    }
    auto platform = MakePlatform(ctx);
    if (!options.all) {
        Output out(ctx);
        Result r = WriteOne(*platform, out, options);
        return Finish(out, "write", r);
    }
    // Every connected programmer at once, each in its own thread with its own event loop; the log
    // lines of several chips would interleave unreadably, so only result lines are printed.
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
    Output out(ctx, /*logLines=*/false);
    if (paths.empty()) return Finish(out, "write", {kExitNoProgrammer, "no programmer (04d8:003f) found"});
    std::vector<Result> results(paths.size());
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        workers.emplace_back([&, i] {
            ProgramOptions one = options;
            one.device = paths[i];
            try {
                results[i] = WriteOne(*platform, out, one);
            } catch (const std::exception& e) {
                results[i] = {kExitError, e.what()};
            }
        });
    }
    for (auto& w : workers) w.join();
    int worst = kExitOk;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        Finish(out, "write", results[i], paths[i]);
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
    w->add_flag("--no-erase", write.noErase, "Do not erase the flash first");
    auto* protect = w->add_flag("--protect", write.protect, "Read-protect the chip after writing");
    w->add_flag("--no-verify", write.noVerify, "Do not ask the programmer to verify the flash");
    w->add_flag("--no-reset", write.noReset, "Do not reset the chip into the new firmware");
    w->add_flag("--readback", write.readback, "Read the chip back afterwards and compare every byte")
        ->excludes(protect);
    w->add_flag("--all", write.all, "Program every connected programmer in parallel")
        ->excludes(w->get_option("--device"));
    ctx.commands.push_back({w, [&ctx] { return RunWrite(ctx, write); }});
}

}  // namespace quillon::cli
