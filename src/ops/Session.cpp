// The programming session: the link to one programmer on a loop of the caller's own,
// each started and run until its result arrives.
#include "ops/Session.h"

#include <cerrno>
#include <cstdio>

#include "fs/Files.h"
#include "hid/Nrhid.h"
#include "protocol/Chips.h"

namespace quillon {

std::string Comparison::message() const {
    if (equal) return {};
    char text[160];
    std::snprintf(text, sizeof text, "read-back differs at 0x%04zX: chip 0x%02X, image 0x%02X", first, chipByte,
                  imageByte);
    std::string out = text;
    if (differing > 1) out += " (" + std::to_string(differing) + " bytes differ)";
    return out;
}

Comparison CompareWithImage(std::span<const std::uint8_t> chip, const Image& image) {
    Comparison c;
    for (std::size_t i = 0; i < image.bytes.size(); ++i) {
        const bool have = i < chip.size();
        if (have && chip[i] == image.bytes[i]) continue;
        if (c.equal) {
            c.equal = false;
            c.first = i;
            c.chipByte = have ? chip[i] : 0;
            c.imageByte = image.bytes[i];
        }
        ++c.differing;
    }
    return c;
}

ProgrammerScan ScanProgrammers(hid::Platform& platform, const std::string& device) {
    ProgrammerScan scan;
    for (const ProgrammerEntry& e : FindProgrammers(platform, device)) scan.paths.push_back(e.path);
    if (scan.paths.empty()) {
        for (const hid::RawDevice& d : platform.enumerate())
            if (platform.query(d.path, false).error == hid::kSharingViolation) {
                scan.busyPath = d.path;
                break;
            }
    }
    return scan;
}

std::string NoProgrammerMessage(const ProgrammerScan& scan, const std::string& device) {
    if (!scan.busyPath.empty()) return "the programmer is in use by another program (" + scan.busyPath + " is busy)";
    return device.empty() ? "no programmer (04d8:003f) found" : "no programmer (04d8:003f) matches '" + device + "'";
}

ProgrammerSession::ProgrammerSession(hid::Platform& platform, SessionOptions options, SessionListener* listener)
    : options_(std::move(options)), listener_(listener), link_(host_, platform, this, /*hotPlug=*/false) {
    if (options_.log) link_.setLogSink(options_.log);
    link_.useChip(options_.chipIndex);
    WriteOptions write = options_.write;
    write.readback = false;  // the caller's: the link only writes and reads
    link_.setOptions(write);
    link_.chooseProgrammer(options_.device);
}

ProgrammerSession::~ProgrammerSession() = default;

void ProgrammerSession::stateChanged(const LinkState& c) {
    if (listener_ == nullptr || c.progressMax == 0 || c.progressPosition == lastProgress_) return;
    lastProgress_ = c.progressPosition;
    listener_->progress(phase_, c.progressPosition, c.progressMax);
}

void ProgrammerSession::linkChanged(LinkEvent e) {
    if (e != LinkEvent::Opened) linkLost_ = true;
}

ProgrammerInfo ProgrammerSession::programmer() const {
    std::lock_guard lock(infoMutex_);
    return info_;
}

bool ProgrammerSession::linkOpen() const { return link_.linkOpen(); }

void ProgrammerSession::cancel(const std::string& why, bool closeLink) {
    interrupted_ = true;
    host_.post([this, why, closeLink] {
        interruptWhy_ = why;
        link_.cancel(why, closeLink);
    });
}

void ProgrammerSession::wake() {
    host_.post([] {});
}

void ProgrammerSession::wait(int ms, const std::function<bool()>& stop) {
    bool fired = false;
    const auto id = host_.startTimer(UiHost::Millis(ms), false, [&] { fired = true; });
    host_.runUntil([&] { return fired || stop(); });
    if (!fired) host_.stopTimer(id);
}

OpsResult ProgrammerSession::Run(OpKind kind, const std::function<void()>& start) {
    result_.reset();
    if (interrupted_) return {kind, OpStatus::Interrupted, interruptWhy_};
    start();
    host_.runUntil([&] { return result_.has_value(); });
    {
        std::lock_guard lock(infoMutex_);
        info_ = link_.programmer();
    }
    return *result_;
}

OpsResult ProgrammerSession::connect() {
    if (interrupted_) return {OpKind::Detect, OpStatus::Interrupted, interruptWhy_};
    hid::Platform& platform = link_.platform();
    try {
        link_.searchProgrammer();
    } catch (const hid::HidError& e) {
        if (e.Detail() == static_cast<std::uint32_t>(hid::kSharingViolation))
            return {OpKind::Detect, OpStatus::NoProgrammer,
                    NoProgrammerMessage(ScanProgrammers(platform, options_.device), options_.device)};
        std::string msg = std::string("cannot open the programmer: ") + e.what();
        if (e.Detail() == EACCES) msg += kAccessHint;
        return {OpKind::Detect, OpStatus::NoProgrammer, msg};
    }
    if (!link_.linkOpen())
        return {OpKind::Detect, OpStatus::NoProgrammer,
                NoProgrammerMessage(ScanProgrammers(platform, options_.device), options_.device)};
    {
        std::lock_guard lock(infoMutex_);
        info_ = link_.programmer();
    }
    // Opened for reading only, the connect block never went out: waiting for its answer would
    // only end in the watchdog's timeout.
    if (!link_.linkWritable())
        return {OpKind::Detect, OpStatus::NoProgrammer,
                "cannot open the programmer " + link_.programmer().path + " for writing: " + SystemReason(EACCES) +
                    kAccessHint};
    linkLost_ = false;
    return Run(OpKind::Detect, [this] { link_.detect(/*sendConnectBlock=*/false); });
}

OpsResult ProgrammerSession::detect() {
    return Run(OpKind::Detect, [this] { link_.detect(true); });
}

OpsResult ProgrammerSession::write(ImagePtr image) {
    phase_ = "write";
    lastProgress_ = 0;
    if (interrupted_) return {OpKind::Write, OpStatus::Interrupted, interruptWhy_};
    if (!image || image->bytes.empty())
        return {OpKind::Write, OpStatus::Refused,
                (image ? image->source + ": " : std::string()) + "the image is empty (the file holds no data)"};
    if (image->bytes.size() > CPro::kBufferSize)
        return {OpKind::Write, OpStatus::Refused,
                image->source + ": the image is larger than the " + std::to_string(CPro::kBufferSize) +
                    "-byte write buffer"};
    // Straight to the programmer: a session has no view and no remembered file.
    return Run(OpKind::Write, [this, image] { link_.write(image); });
}

OpsResult ProgrammerSession::read(std::vector<std::uint8_t>& flash) {
    phase_ = "read";
    lastProgress_ = 0;
    OpsResult r = Run(OpKind::Read, [this] { link_.read(); });
    if (r.status == OpStatus::Ok && r.image) flash = r.image->bytes;
    return r;
}

}  // namespace quillon
