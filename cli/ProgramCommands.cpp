// detect, read and write: the window's operations driven from the command line.
// Each run finds the programmer (the window's search), waits for its answer to the connect block,
// then runs one operation and turns its outcome into an exit code. The log lines printed are the
// system's own lines, time stamp included.
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

#include "cli/Cli.h"
#include "cli/Output.h"
#include "config/AtomicWrite.h"
#include "core/UiHost.h"
#include "hid/Nrhid.h"
#include "log/Log.h"
#include "ops/Operations.h"

namespace quillon::cli {
namespace {

using Millis = UiHost::Millis;
// How long the programmer may stay silent while the tool waits for an answer. Longer than the
// window's watchdog, so that while the watchdog runs (Detect, Read) its timeout line, with the
// bytes received so far, is logged first; the tool's own cut-off only ends a Write, which has no
// watchdog.
constexpr Millis kSilence{kWatchdogMs + 1000};

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

int ChipIndex(const std::string& chip) {
    for (int i = 0; i < 3; ++i)
        if (chip == kChipNames[i]) return i;
    return -1;
}

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

// One programmer, one operation: owns the event loop, the operations and what they reported.
class Session : public OpsView {
public:
    Session(hid::Platform& platform, Output& out, const ProgramOptions& options)
        : out_(out), options_(options), ops_(host_, platform, this) {
        OpsControls c;
        c.reload = true;
        c.erase = !options.noErase;
        c.encrypt = options.protect;
        c.verify = !options.noVerify;
        c.resetRun = !options.noReset;
        c.fileBox = options.file;
        ops_.SetControls(c);
        if (!options.chip.empty()) ops_.SelectChipIndex(ChipIndex(options.chip));
        if (!options.device.empty()) {
            const std::string want = options.device;
            ops_.SetProgrammerFilter([want](const hid::TnrHidDevice& d) {
                return d.devicePath == want || d.serialNumberString == want;
            });
        }
    }

    Operations& Ops() { return ops_; }

    void event(const OpsEvent& e) override {
        events_.push_back(e);
        lastActivity_ = std::chrono::steady_clock::now();
    }
    void controlsChanged(const OpsControls& c) override {
        lastActivity_ = std::chrono::steady_clock::now();
        if (c.progressMax != 0 && c.progressPosition != lastProgress_) {
            lastProgress_ = c.progressPosition;
            out_.Progress(phase_, c.progressPosition, c.progressMax);
        }
    }

    // Finds and opens the programmer and waits for its answer to the connect block.
    Result Connect() {
        try {
            ops_.updateUsbBridge();
        } catch (const hid::HidError& e) {
            std::string msg = std::string("cannot open the programmer: ") + e.what();
            if (e.Detail() == EACCES) msg += " (see \"USB permissions\" in the README for the udev rule)";
            return {kExitNoProgrammer, msg};
        }
        if (!ops_.Link().GetActive())
            return {kExitNoProgrammer, options_.device.empty()
                                           ? "no programmer (04d8:003f) found"
                                           : "no programmer (04d8:003f) matches '" + options_.device + "'"};
        // The search's connect block runs unwatched in the window; here the watchdog covers it,
        // so a silent programmer ends with the system's own timeout line.
        ops_.StartWatchdog();
        const auto* identified = WaitFor(OpsOutcome::Identified);
        if (identified == nullptr) return Failure("the programmer did not answer the connect block");
        if (identified->b == 0) return {kExitDeviceFailure, "the programmer's handshake echo is wrong"};
        if (identified->a == 0) return {kExitDeviceFailure, "no chip answered on the programmer's pins"};
        return {};
    }

    Result Read(const std::string& outFile) {
        phase_ = "read";
        Mark();
        ops_.btnReadClick();
        const auto* done = WaitFor(OpsOutcome::ReadComplete);
        if (done == nullptr) return Failure("the read did not complete");
        host_.runPending();  // let the hex view take the bytes
        out_.Progress(phase_, done->a, done->a);
        out_.EndProgress();
        if (!outFile.empty()) {
            try {
                ops_.btnSaveBinClick(outFile);
            } catch (const std::exception& e) {
                return {kExitError, e.what()};
            }
        }
        return {kExitOk, "read " + std::to_string(done->a) + " bytes" + (outFile.empty() ? "" : " to " + outFile)};
    }

    Result Write() {
        phase_ = "write";
        Mark();
        try {
            ops_.BtnAutoClick();
        } catch (const std::exception& e) {
            return {kExitBadInput, e.what()};
        }
        host_.runPending();
        for (std::size_t i = mark_; i < events_.size(); ++i) {
            if (events_[i].outcome == OpsOutcome::Refused)
                return {kExitBadInput, RefusalText(static_cast<OpsRefusal>(events_[i].a))};
        }
        image_.assign(ops_.Engine().WriteBuffer(), ops_.Engine().WriteBuffer() + ops_.HexView().GetDataSize());
        const auto* streamed = WaitFor(OpsOutcome::WriteStreamed);
        if (streamed == nullptr) return Failure("the programmer did not take the image");
        out_.Progress(phase_, static_cast<std::uint32_t>(image_.size()), static_cast<std::uint32_t>(image_.size()));
        out_.EndProgress();
        const auto* verified = WaitFor(OpsOutcome::Verified);
        if (verified == nullptr) {
            if (options_.noVerify && Find(OpsOutcome::FailureReply) == nullptr && Find(OpsOutcome::LinkClosed) == nullptr)
                return {kExitOk, "wrote " + std::to_string(image_.size()) +
                                     " bytes; nothing was verified (--no-verify, and the programmer sent no checksum)"};
            return Failure("the programmer sent no checksum");
        }
        if (verified->a == 0) return {kExitVerifyFailure, "checksum mismatch: the programmer received other bytes than sent"};
        std::string done = "wrote " + std::to_string(image_.size()) + " bytes, transfer checksum matches";
        done += options_.noVerify ? "; flash not verified (--no-verify)" : "; verified by the programmer";
        return {kExitOk, done};
    }

    // Reads the chip back and compares every byte of the image.
    Result Readback() {
        Result r = Read("");
        if (r.code != kExitOk) return r;
        const auto data = ops_.HexView().Data();
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
    static std::string RefusalText(OpsRefusal r) {
        switch (r) {
            case OpsRefusal::FileNotExists: return "the image file does not exist";
            case OpsRefusal::NoImage: return "the image is empty";
            case OpsRefusal::TooBig: return "the image is larger than the chip's flash";
            case OpsRefusal::Busy: return "busy";
            case OpsRefusal::LoadFailed: return "the image file could not be loaded";
        }
        return "refused";
    }

    void Mark() { mark_ = events_.size(); }

    const OpsEvent* Find(OpsOutcome outcome) const {
        for (std::size_t i = mark_; i < events_.size(); ++i)
            if (events_[i].outcome == outcome) return &events_[i];
        return nullptr;
    }

    // The reason an operation ended without its outcome, from what was reported since Mark().
    Result Failure(const std::string& what) const {
        if (const auto* f = Find(OpsOutcome::FailureReply)) {
            char msg[96];
            std::snprintf(msg, sizeof msg, "%s: the programmer reported a failure (%02X)", what.c_str(), f->a);
            return {kExitDeviceFailure, msg};
        }
        if (Find(OpsOutcome::LinkClosed) != nullptr) return {kExitDeviceFailure, what + ": the programmer was disconnected"};
        if (const auto* t = Find(OpsOutcome::Timeout))
            return {kExitTimeout, what + ": timeout after " + std::to_string(t->a) + " of " + std::to_string(t->b) + " bytes"};
        return {kExitTimeout, what + ": the programmer went silent"};
    }

    // Runs the loop until the outcome is reported, or a failure ends the wait: a failure reply,
    // the link closing, the watchdog, or kSilence without any report.
    const OpsEvent* WaitFor(OpsOutcome outcome) {
        lastActivity_ = std::chrono::steady_clock::now();
        bool silent = false;
        auto check = host_.startTimer(Millis(50), true, [&] {
            if (std::chrono::steady_clock::now() - lastActivity_ > kSilence) silent = true;
        });
        host_.runUntil([&] {
            return silent || Find(outcome) != nullptr || Find(OpsOutcome::FailureReply) != nullptr ||
                   Find(OpsOutcome::LinkClosed) != nullptr || Find(OpsOutcome::Timeout) != nullptr;
        });
        host_.stopTimer(check);
        return Find(outcome);
    }

    Output& out_;
    const ProgramOptions& options_;
    LoopUiHost host_;
    Operations ops_;
    std::vector<OpsEvent> events_;
    std::size_t mark_ = 0;
    std::chrono::steady_clock::time_point lastActivity_ = std::chrono::steady_clock::now();
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
    auto* chip = sub->add_option("--chip", o.chip, "Chip type")
                     ->check(CLI::IsMember({"NRF24LE1_16K", "NRF24LU1_16K", "NRF24LU1_32K"}));
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
