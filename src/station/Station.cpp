// The station's unit loop and the runner around it. Each station owns a thread with its own
// event loop and its own operations, so stations never wait for each other except on the serial
// counter's lock; everything a station learns from the programmer comes through the operations'
// one result per operation.
#include "station/Station.h"

#include <algorithm>
#include <chrono>

#include "core/UiHost.h"
#include "hid/Nrhid.h"
#include "ops/Operations.h"

namespace quillon::station {

const char* StationStateName(StationState state) {
    switch (state) {
        case StationState::WaitingForChip: return "waiting";
        case StationState::Programming: return "programming";
        case StationState::Pass: return "pass";
        case StationState::Fail: return "fail";
        case StationState::WaitingForRemoval: return "remove";
        case StationState::Ended: return "ended";
    }
    return "?";
}

namespace {
std::int64_t UnixMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
}  // namespace

// The stations share the runner's platform, but only the runner follows device changes: the
// operations of every station would otherwise replace each other's listener (a platform has one).
class StationRunner::SharedPlatform : public hid::Platform {
public:
    explicit SharedPlatform(hid::Platform& inner) : inner_(inner) {}
    std::vector<hid::RawDevice> enumerate() override { return inner_.enumerate(); }
    hid::DeviceQuery query(const std::string& path, bool readStrings) override { return inner_.query(path, readStrings); }
    hid::OpenResult open(const std::string& path, hid::Access access, bool shared) override {
        return inner_.open(path, access, shared);
    }
    std::string errorText(int code) const override { return inner_.errorText(code); }
    void setChangeListener(std::function<void()>) override {}

private:
    hid::Platform& inner_;
};

class Station : public OpsView {
public:
    Station(StationRunner& runner, hid::Platform& platform, std::string path)
        : runner_(runner), platform_(platform), path_(std::move(path)) {
        thread_ = std::thread([this] { Main(); });
    }
    ~Station() override {
        Wake();
        if (thread_.joinable()) thread_.join();
    }

    bool done() const { return done_.load(); }

    // Any thread: makes the loop look at the runner's stop flags now.
    void Wake() {
        std::lock_guard lock(hostMutex_);
        if (host_ != nullptr) host_->post([] {});
    }
    // Any thread: ends the operation in progress as interrupted and lets go of the programmer.
    void Abort() {
        std::lock_guard lock(hostMutex_);
        if (host_ == nullptr) return;
        host_->post([this] {
            if (ops_ == nullptr) return;
            ops_->cancel("interrupted");
            if (ops_->link().GetActive()) ops_->link().Close();
        });
    }

    // OpsView (the station's thread)
    void finished(const OpsResult& r) override { result_ = r; }
    void event(const OpsEvent& e) override {
        if (e.outcome == OpsOutcome::Identified) identified_ = e;
        if (e.outcome == OpsOutcome::LinkClosed || e.outcome == OpsOutcome::LinkError) linkGone_ = true;
    }
    void controlsChanged(const OpsControls& c) override {
        if (phase_ == Phase::None || c.progressMax == 0) return;
        int percent = static_cast<int>(std::uint64_t(c.progressPosition) * 100 / c.progressMax);
        if (runner_.config().readback) percent = phase_ == Phase::Write ? percent / 2 : 50 + percent / 2;
        percent = std::clamp(percent, 0, 100);
        if (percent == percent_) return;
        percent_ = percent;
        Show(StationState::Programming, {}, percent);
    }

private:
    enum class Phase { None, Write, Read };
    enum class Presence { Chip, NoChip, Gone, Stopped };

    void Show(StationState state, std::string text = {}, int percent = 0) {
        runner_.view().status({path_, serial_, state, percent, std::move(text)});
    }

    OpsResult RunOp(const std::function<void()>& start) {
        result_.reset();
        start();
        host_->runUntil([&] { return result_.has_value(); });
        return *result_;
    }

    // Waits ms, or less when the runner stops.
    void Sleep(int ms) {
        bool fired = false;
        const auto id = host_->startTimer(UiHost::Millis(ms), false, [&] { fired = true; });
        host_->runUntil([&] { return fired || runner_.stopping(); });
        if (!fired) host_->stopTimer(id);
    }

    // Polls the chip-present byte until it says wantChip.
    Presence WaitFor(bool wantChip, std::string& why) {
        int silent = 0;
        for (;;) {
            if (runner_.stopping()) return Presence::Stopped;
            if (linkGone_ || !ops_->link().GetActive()) {
                why = "the programmer was disconnected";
                return Presence::Gone;
            }
            identified_.reset();
            RunOp([&] { ops_->detect(true); });
            if (identified_ && identified_->b == 1) {
                silent = 0;
                if ((identified_->a == 1) == wantChip) return wantChip ? Presence::Chip : Presence::NoChip;
            } else if (!linkGone_ && ++silent >= 3) {
                why = "the programmer stopped answering";
                return Presence::Gone;
            }
            Sleep(runner_.config().pollMs);
        }
    }

    // Programs the chip on the pins; false when the station cannot go on.
    bool Unit() {
        const StationConfig& config = runner_.config();
        const auto started = std::chrono::steady_clock::now();
        UnitRecord record;
        record.time = IsoTimeUtc(UnixMillis());
        record.programmerSerial = serial_;
        record.programmerPath = path_;
        record.chip = config.chipName;
        record.imagePath = config.imagePath;
        record.imageSha256 = config.imageSha256;
        record.version = config.version;
        std::vector<std::uint8_t> image = config.image;
        OpStatus status = OpStatus::Ok;
        bool goOn = true;
        if (config.serial) {
            try {
                record.serial = runner_.takeSerial(record);
            } catch (const SerialError& e) {
                // No number was taken and the chip is untouched: the unit never started.
                {
                    std::lock_guard lock(runner_.mutex_);
                    --runner_.inProgress_;
                }
                if (dynamic_cast<const SerialCancelled*>(&e) == nullptr) runner_.fatal(e.what());
                runner_.Wake();
                return false;
            }
            try {
                PatchImage(image, config.serial->address, EncodeSerial(*record.serial, config.serial->format),
                           config.flashSize);
            } catch (const SerialError& e) {
                // The number is spent: it is logged with the failed unit and never given again.
                status = OpStatus::Refused;
                record.message = e.what();
                runner_.fatal(e.what());
                goOn = false;
            }
        }
        if (status == OpStatus::Ok && !ops_->setImage(image)) {
            status = OpStatus::Refused;
            record.message = "the image does not fit the write buffer";
        }
        if (status == OpStatus::Ok) {
            percent_ = -1;
            Show(StationState::Programming, {}, 0);
            phase_ = Phase::Write;
            const OpsResult w = RunOp([&] { ops_->write(); });
            status = w.status;
            record.message = w.message;
            record.bytesWritten = w.bytes;
            if (status == OpStatus::Ok && config.readback) {
                phase_ = Phase::Read;
                const OpsResult r = RunOp([&] { ops_->read(); });
                status = r.status;
                if (status != OpStatus::Ok) {
                    record.message = "read-back: " + r.message;
                } else if (const std::string diff = Compare(image); !diff.empty()) {
                    status = OpStatus::VerifyFailure;
                    record.message = diff;
                } else {
                    record.message += "; read-back matches all " + std::to_string(image.size()) + " bytes";
                }
            }
            phase_ = Phase::None;
        }
        record.pass = status == OpStatus::Ok;
        record.failure = record.pass ? "" : OpStatusName(status);
        record.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started).count();
        try {
            runner_.view().unitFinished(record);
        } catch (const std::exception& e) {
            runner_.unitDone(record.pass);
            runner_.fatal(e.what());
            return false;
        }
        runner_.unitDone(record.pass);
        if (status == OpStatus::Interrupted) {
            std::lock_guard lock(runner_.mutex_);
            runner_.interrupted_ = true;
        }
        Show(record.pass ? StationState::Pass : StationState::Fail, record.pass ? "" : record.message);
        return goOn;
    }

    // "" when the chip read back holds the image.
    std::string Compare(const std::vector<std::uint8_t>& image) {
        const auto data = ops_->hexView().Data();
        for (std::size_t i = 0; i < image.size(); ++i) {
            if (i >= data.size() || data[i] != image[i]) {
                char text[120];
                std::snprintf(text, sizeof text, "read-back differs at 0x%04zX: chip 0x%02X, image 0x%02X", i,
                              i < data.size() ? data[i] : 0, image[i]);
                return text;
            }
        }
        return {};
    }

    void Main() {
        std::string ended;
        try {
            LoopUiHost host;
            Operations ops(host, platform_, this);
            ops_ = &ops;
            {
                std::lock_guard lock(hostMutex_);
                host_ = &host;
            }
            ended = Loop();
            {
                std::lock_guard lock(hostMutex_);
                host_ = nullptr;
            }
            ops_ = nullptr;
        } catch (const std::exception& e) {
            std::lock_guard lock(hostMutex_);
            host_ = nullptr;
            ended = e.what();
        }
        Show(StationState::Ended, ended);
        done_ = true;
        runner_.Wake();
    }

    std::string Loop() {
        const StationConfig& config = runner_.config();
        ops_->setHotPlug(false);
        OpsControls c;
        c.chipIndex = config.chipIndex;
        c.reload = false;
        c.erase = config.erase;
        c.encrypt = config.protect;
        c.verify = config.verify;
        c.resetRun = config.reset;
        ops_->applySettings(c);
        const std::string want = path_;
        ops_->setProgrammerFilter([want](const hid::TnrHidDevice& d) { return d.devicePath == want; });
        try {
            ops_->searchProgrammer();
        } catch (const hid::HidError& e) {
            return std::string("cannot open the programmer: ") + e.what();
        }
        if (!ops_->link().GetActive()) return "cannot open the programmer";
        serial_ = ops_->link().GetSerialNumberString();
        // The search sent the connect block: take its answer before polling on our own.
        RunOp([&] { ops_->detect(false); });
        std::string why;
        while (!runner_.stopping()) {
            Show(StationState::WaitingForChip);
            const Presence chip = WaitFor(true, why);
            if (chip == Presence::Gone) return why;
            if (chip != Presence::Chip) break;
            bool wait = false;
            if (!runner_.reserveUnit(wait)) {
                if (!wait) break;
                Sleep(config.pollMs);
                continue;
            }
            if (!Unit() || runner_.aborting()) break;
            if (linkGone_) return "the programmer was disconnected";
            if (runner_.stopping()) break;
            Show(StationState::WaitingForRemoval);
            const Presence gone = WaitFor(false, why);
            if (gone == Presence::Gone) return why;
        }
        return runner_.aborting() ? "interrupted" : "stopped";
    }

    StationRunner& runner_;
    hid::Platform& platform_;
    const std::string path_;
    std::string serial_;
    std::thread thread_;
    std::atomic<bool> done_{false};
    std::mutex hostMutex_;
    LoopUiHost* host_ = nullptr;  // set while the loop runs (guarded by hostMutex_ for other threads)
    Operations* ops_ = nullptr;   // the station's thread only
    std::optional<OpsResult> result_;
    std::optional<OpsEvent> identified_;
    bool linkGone_ = false;
    Phase phase_ = Phase::None;
    int percent_ = -1;
};

// ---------------------------------------------------------------------------------------------

StationRunner::StationRunner(hid::Platform& platform, StationConfig config, StationView& view)
    : platform_(platform), shared_(std::make_unique<SharedPlatform>(platform)), config_(std::move(config)),
      view_(view) {}

StationRunner::~StationRunner() {
    platform_.setChangeListener(nullptr);
    abort_ = true;
    for (auto& [path, station] : stations_) station->Abort();
    stations_.clear();
}

void StationRunner::Wake() {
    std::lock_guard lock(mutex_);
    changed_ = true;
    wake_.notify_all();
}

void StationRunner::stopAfterUnit() {
    stop_ = true;
    Wake();
}

void StationRunner::abort() {
    stop_ = true;
    abort_ = true;
    Wake();
}

bool StationRunner::reserveUnit(bool& wait) {
    std::lock_guard lock(mutex_);
    wait = false;
    if (stopping()) return false;
    if (config_.count == 0 || good_ + inProgress_ < config_.count) {
        ++inProgress_;
        return true;
    }
    wait = good_ < config_.count;
    return false;
}

void StationRunner::unitDone(bool pass) {
    {
        std::lock_guard lock(mutex_);
        --inProgress_;
        (pass ? good_ : failed_) += 1;
        if (config_.count != 0 && good_ >= config_.count) stop_ = true;
    }
    Wake();
}

void StationRunner::fatal(const std::string& why) {
    {
        std::lock_guard lock(mutex_);
        if (fatal_.empty()) fatal_ = why;
    }
    stopAfterUnit();
}

std::uint64_t StationRunner::takeSerial(const UnitRecord& unit) {
    // The view keeps the record of numbers taken, under the counter's lock.
    class ViewJournal : public SerialJournal {
    public:
        ViewJournal(StationView& view, const UnitRecord& unit) : view_(view), unit_(unit) {}
        std::optional<std::uint64_t> lastTaken() override { return view_.lastSerialTaken(); }
        void taken(std::uint64_t number) override {
            UnitRecord record = unit_;
            record.serial = number;
            view_.serialTaken(record);
        }

    private:
        StationView& view_;
        const UnitRecord& unit_;
    } journal(view_, unit);
    // The file lock orders processes; this orders our own stations without a thread per wait.
    std::lock_guard lock(serialMutex_);
    return TakeNextSerial(config_.counterFile, &journal, [this] { return stopping(); });
}

std::vector<std::string> StationRunner::ProgrammerPaths() {
    std::vector<std::string> paths;
    hid::TnrHid scan(*shared_);
    scan.Update();
    for (int i = 0; i < scan.GetDeviceCount(); ++i) {
        const auto* d = scan.GetHidDevice(i);
        if (d->vendorId != hid::kProgrammerVendorId || d->productId != hid::kProgrammerProductId) continue;
        if (!config_.device.empty() && d->devicePath != config_.device && d->serialNumberString != config_.device)
            continue;
        paths.push_back(d->devicePath);
    }
    return paths;
}

StationSummary StationRunner::run() {
    platform_.setChangeListener([this] { Wake(); });
    using Clock = std::chrono::steady_clock;
    std::map<std::string, Clock::time_point> endedAt;
    bool announcedWait = false;
    bool aborted = false;
    for (;;) {
        if (abort_.load() && !aborted) {
            aborted = true;
            for (auto& [path, station] : stations_) station->Abort();
        }
        for (auto it = stations_.begin(); it != stations_.end();) {
            if (stop_.load()) it->second->Wake();
            if (it->second->done()) {
                endedAt[it->first] = Clock::now();
                it = stations_.erase(it);
            } else {
                ++it;
            }
        }
        if (stopping() && stations_.empty()) break;
        if (!stopping()) {
            for (const std::string& path : ProgrammerPaths()) {
                if (stations_.count(path) != 0 || (!config_.all && !stations_.empty())) continue;
                // A programmer that would not open is tried again only after a while.
                if (auto e = endedAt.find(path); e != endedAt.end() && Clock::now() - e->second < std::chrono::seconds(1))
                    continue;
                stations_.emplace(path, std::make_unique<Station>(*this, *shared_, path));
                announcedWait = false;
            }
            if (stations_.empty() && !announcedWait) {
                announcedWait = true;
                view_.status({"", "", StationState::WaitingForChip, 0, "waiting for a programmer"});
            }
        }
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(500), [&] { return changed_; });
        changed_ = false;
    }
    platform_.setChangeListener(nullptr);
    std::lock_guard lock(mutex_);
    return {good_, failed_, interrupted_, fatal_};
}

}  // namespace quillon::station
