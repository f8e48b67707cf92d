// The station's unit loop and the runner around it. Each station owns a thread with its own
// programming session, so stations never wait for each other except on the serial counter's
// lock; everything a station learns from the programmer comes through the session's one result
// per operation.
#include "station/Station.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <string_view>

#include "core/Utf8.h"
#include "hid/Nrhid.h"
#include "ops/ProgramUnit.h"
#include "ops/Session.h"

namespace quillon::station {

const char* StationStateName(StationState state) {
    switch (state) {
        case StationState::WaitingForChip: return "waiting";
        case StationState::Programming: return "programming";
        case StationState::Pass: return "pass";
        case StationState::Fail: return "fail";
        case StationState::WaitingForRemoval: return "remove";
        case StationState::Held: return "hold";
        case StationState::Ended: return "ended";
        case StationState::StoreUnreachable: return "store-unreachable";
    }
    return "?";
}

std::string StoreUnreachableText(const StoreUnavailable& e) {
    constexpr std::string_view kSays = "store unreachable: ";
    const std::string_view reason = e.what();
    return reason.starts_with(kSays) ? std::string(reason) : std::string(kSays) + std::string(reason);
}

std::string NameProblem(std::string_view field, const std::string& value) {
    const std::string name(field);
    if (!IsValidUtf8(value)) return name + " is not valid UTF-8 text";
    std::size_t chars = 0;
    for (std::size_t at = 0; at < value.size(); at += DecodeUtf8(value, at).length) ++chars;
    if (chars > kMaxNameChars)
        return name + " is " + std::to_string(chars) + " characters long; at most " + std::to_string(kMaxNameChars) +
               " are kept";
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7F) return name + " holds a control character";
    return {};
}

std::string NewUnitId() {
    // Fresh random bits per unit: two stations (or one restarted) never agree on a name, so a
    // database can tell each unit's resent result from another unit's.
    std::random_device random;
    std::string id;
    static const char* const kDigits = "0123456789abcdef";
    for (int word = 0; word < 4; ++word) {
        const std::uint32_t bits = random();
        for (int shift = 28; shift >= 0; shift -= 4) id += kDigits[(bits >> shift) & 15];
    }
    return id;
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

class Station : public SessionListener {
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
        std::lock_guard lock(sessionMutex_);
        if (session_ != nullptr) session_->wake();
    }
    // Any thread: ends the operation in progress as interrupted and lets go of the programmer.
    void Abort() {
        std::lock_guard lock(sessionMutex_);
        if (session_ != nullptr) session_->cancel("interrupted", /*closeLink=*/true);
    }

    // SessionListener (the station's thread)
    void progress(const char* phase, std::uint32_t position, std::uint32_t max) override {
        if (!inUnit_ || max == 0) return;
        int percent = static_cast<int>(std::uint64_t(position) * 100 / max);
        const bool writing = std::string_view(phase) == "write";
        if (runner_.config().write.readback) percent = writing ? percent / 2 : 50 + percent / 2;
        percent = std::clamp(percent, 0, 100);
        if (percent == percent_) return;
        percent_ = percent;
        Show(StationState::Programming, {}, percent);
    }

private:
    enum class Presence { Chip, NoChip, Gone, Stopped };

    void Show(StationState state, std::string text = {}, int percent = 0) {
        runner_.view().status({path_, serial_, state, percent, std::move(text)});
    }

    // Waits ms, or less when the runner stops.
    void Sleep(int ms) {
        session_->wait(ms, [this] { return runner_.stopping(); });
    }

    // Polls the chip-present byte until it says wantChip.
    Presence WaitFor(bool wantChip, std::string& why) {
        int silent = 0;
        for (;;) {
            if (runner_.stopping()) return Presence::Stopped;
            if (session_->linkLost() || !session_->linkOpen()) {
                why = "the programmer was disconnected";
                return Presence::Gone;
            }
            const OpsResult r = session_->detect();
            const ProgrammerInfo info = session_->programmer();
            if (r.status == OpStatus::Ok || (info.answered && info.echoOk)) {
                silent = 0;
                if (info.chipPresent == wantChip) return wantChip ? Presence::Chip : Presence::NoChip;
            } else if (!session_->linkLost() && ++silent >= 3) {
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
        record.imagePath = config.image->source;
        record.imageSha256 = config.image->fileSha256;
        record.version = config.version;
        record.unitId = NewUnitId();
        record.station = config.station;
        record.operatorName = config.operatorName;
        record.lot = config.lot;
        record.part = config.part;
        if (config.serial) record.series = config.series;
        for (const DataField& field : config.data) record.data.push_back({field.pool, ""});
        // The loaded image, shared by every station; a unit with a serial or pool values gets its own copy.
        ImagePtr image = config.image;
        OpStatus status = OpStatus::Ok;
        bool goOn = true;
        if (runner_.store() != nullptr) {
            bool chipGone = false;
            std::optional<StartedUnit> started = Start(record, chipGone);
            if (!started) {
                // Nothing was taken and the chip is untouched: the unit never started.
                {
                    std::lock_guard lock(runner_.mutex_);
                    --runner_.inProgress_;
                }
                runner_.Wake();
                return chipGone;
            }
            record.serial = started->serial;
            record.data = started->data;
            runner_.view().unitTaken(record);
            try {
                std::vector<std::uint8_t> bytes = image->bytes;
                if (config.serial)
                    PatchImage(bytes, config.serial->address, EncodeSerial(*record.serial, config.serial->format),
                               config.flashSize);
                for (std::size_t i = 0; i < config.data.size(); ++i)
                    PatchImage(bytes, config.data[i].address, EncodePoolValue(config.data[i], record.data[i].value),
                               config.flashSize);
                if (config.serial || !config.data.empty()) image = WithBytes(*image, std::move(bytes));
            } catch (const SerialError& e) {
                // The number and the values are spent: logged with the failed unit, never given again.
                status = OpStatus::Refused;
                record.message = e.what();
                runner_.fatal(e.what());
                goOn = false;
            }
        }
        if (status == OpStatus::Ok) {
            percent_ = -1;
            Show(StationState::Programming, {}, 0);
            inUnit_ = true;
            const UnitResult u = ProgramUnit(*session_, image, config.write);
            inUnit_ = false;
            status = u.status;
            record.message = u.message;
            record.bytesWritten = u.bytesWritten;
            // The log names the bytes that went out, whatever became of them.
            if (u.written) record.bytesSha256 = u.written->bytesSha256();
            for (const std::string& warning : u.warnings) runner_.view().notice(path_, warning);
        }
        record.pass = status == OpStatus::Ok;
        record.failure = record.pass ? "" : OpStatusName(status);
        record.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started).count();
        bool interrupted = status == OpStatus::Interrupted;
        try {
            PutOnRecord(record, interrupted);
        } catch (const std::exception& e) {
            runner_.unitDone(record.pass);
            runner_.fatal(e.what());
            return false;
        }
        runner_.unitDone(record.pass);
        if (interrupted) {
            std::lock_guard lock(runner_.mutex_);
            runner_.interrupted_ = true;
        }
        runner_.view().unitFinished(record);
        Show(record.pass ? StationState::Pass : StationState::Fail, record.pass ? "" : record.message);
        failuresInRow_ = record.pass ? 0 : failuresInRow_ + 1;
        return goOn;
    }

    // After K failures in a row the fixture, not the chips, is the likely fault: take no new chip
    // until the operator has looked (the other stations go on). False when stopped meanwhile.
    bool HoldAfterFailures() {
        const int k = runner_.config().holdAfterFailures;
        if (k <= 0 || failuresInRow_ < k) return true;
        runner_.clearAcknowledgement(path_);
        Show(StationState::Held, "HOLD: " + std::to_string(k) + " failures in a row \u2014 check the fixture");
        while (!runner_.takeAcknowledgement(path_)) {
            if (runner_.stopping()) return false;
            Sleep(std::min(runner_.config().pollMs, 100));
        }
        failuresInRow_ = 0;
        return true;
    }

    // Starts the unit in the store before the chip is touched. While the store cannot be reached
    // the chip waits on the pins and the start is tried again until the store answers, the chip
    // is taken away (chipGone: no unit, the station waits for the next chip) or the runner stops;
    // nothing is taken meanwhile. nullopt: no unit (stopped, chip gone, or the run cannot go on:
    // fatal says why).
    std::optional<StartedUnit> Start(const UnitRecord& record, bool& chipGone) {
        chipGone = false;
        for (;;) {
            try {
                return runner_.startUnit(record);
            } catch (const StoreUnavailable& e) {
                Show(StationState::StoreUnreachable, StoreUnreachableText(e));
                Sleep(runner_.config().storeRetryMs);
                if (runner_.stopping()) return std::nullopt;
                // The operator may take the board away while the store is down.
                const OpsResult r = session_->detect();
                const ProgrammerInfo info = session_->programmer();
                if ((r.status == OpStatus::Ok || (info.answered && info.echoOk)) && !info.chipPresent) {
                    chipGone = true;
                    return std::nullopt;
                }
            } catch (const PoolEmpty& e) {
                runner_.fatal(e.what(), /*input=*/true);
                return std::nullopt;
            } catch (const SerialError& e) {
                if (dynamic_cast<const SerialCancelled*>(&e) == nullptr) runner_.fatal(e.what());
                return std::nullopt;
            } catch (const std::exception& e) {
                // The store refuses (a result in the journal it will not take, a record it cannot
                // keep): no unit can start until someone looks.
                runner_.fatal(e.what());
                return std::nullopt;
            }
        }
    }

    // Puts the unit's outcome on record before the station's next unit may start. An abort while
    // the record waits for the store (another program holds the unit log) ends the unit as
    // interrupted, whatever it came to: its record is still written, once the store is free (only
    // a further stop, which ends the process, comes first). Throws when the store cannot take it.
    void PutOnRecord(UnitRecord& record, bool& interrupted) {
        UnitStore* store = runner_.store();
        if (store == nullptr) return;
        try {
            store->finishUnit(record, [this] { return runner_.aborting(); });
            return;
        } catch (const StoreWaitCancelled&) {
        }
        record.message = "interrupted while its record waited for the unit log" +
                         std::string(record.pass ? " (the chip had passed: " : " (") + record.message + ")";
        record.pass = false;
        record.failure = OpStatusName(OpStatus::Interrupted);
        interrupted = true;
        runner_.view().notice(path_, "the unit log is held by another program: waiting to record the interrupted unit"
                                     " (stop once more to end at once, without its record)");
        store->finishUnit(record, {});
    }

    void Main() {
        std::string ended;
        try {
            const StationConfig& config = runner_.config();
            SessionOptions options;
            options.chipIndex = config.chipIndex;
            options.write = config.write;
            options.device = path_;
            // Each station's lines are its own, named by its programmer.
            options.log = [this](const std::string& line) { runner_.view().logLine(path_, line); };
            ProgrammerSession session(platform_, options, this);
            {
                std::lock_guard lock(sessionMutex_);
                session_ = &session;
            }
            if (runner_.aborting()) session.cancel("interrupted", true);
            ended = Loop();
            std::lock_guard lock(sessionMutex_);
            session_ = nullptr;
        } catch (const std::exception& e) {
            std::lock_guard lock(sessionMutex_);
            session_ = nullptr;
            ended = e.what();
        }
        Show(StationState::Ended, ended);
        done_ = true;
        runner_.Wake();
    }

    std::string Loop() {
        const StationConfig& config = runner_.config();
        // The search sends the connect block; its answer comes before we poll on our own.
        const OpsResult connected = session_->connect();
        if (connected.status == OpStatus::NoProgrammer) return connected.message;
        serial_ = session_->programmer().serial;
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
            if (session_->linkLost()) return "the programmer was disconnected";
            if (runner_.stopping() || !HoldAfterFailures()) break;
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
    std::mutex sessionMutex_;
    ProgrammerSession* session_ = nullptr;  // set while the loop runs (guarded by sessionMutex_ for other threads)
    bool inUnit_ = false;  // progress belongs to the unit's write and read-back
    int percent_ = -1;
    int failuresInRow_ = 0;
};

// ---------------------------------------------------------------------------------------------

StationRunner::StationRunner(hid::Platform& platform, StationConfig config, StationView& view, UnitStore* store)
    : platform_(platform), shared_(std::make_unique<SharedPlatform>(platform)), config_(std::move(config)),
      view_(view), store_(store) {}

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

void StationRunner::acknowledge(const std::string& path) {
    std::lock_guard lock(mutex_);
    acknowledged_.insert(path);
}

void StationRunner::clearAcknowledgement(const std::string& path) {
    std::lock_guard lock(mutex_);
    acknowledged_.erase(path);
}

bool StationRunner::takeAcknowledgement(const std::string& path) {
    std::lock_guard lock(mutex_);
    return acknowledged_.erase(path) != 0;
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

void StationRunner::fatal(const std::string& why, bool input) {
    {
        std::lock_guard lock(mutex_);
        if (fatal_.empty()) {
            fatal_ = why;
            fatalInput_ = input;
        }
    }
    stopAfterUnit();
}

StartedUnit StationRunner::startUnit(const UnitRecord& unit) {
    if (store_ == nullptr) throw SerialError("no store for serial numbers");
    // The store's own lock orders processes; this orders our own stations without a thread per wait.
    std::lock_guard lock(serialMutex_);
    UnitStore::NumberCheck check;
    if (config_.serial)
        check = [format = config_.serial->format](std::uint64_t number) { (void)EncodeSerial(number, format); };
    StartedUnit started = store_->startUnit(unit, check, [this] { return stopping(); });
    if (!unit.series.empty() && !started.serial) throw SerialError("the store gave no number for series " + unit.series);
    for (std::size_t i = 0; i < unit.data.size(); ++i)
        if (i >= started.data.size() || started.data[i].pool != unit.data[i].pool)
            throw SerialError("the store gave no value of pool " + unit.data[i].pool);
    return started;
}

std::vector<std::string> StationRunner::ProgrammerPaths() {
    std::vector<std::string> paths;
    for (const ProgrammerEntry& e : FindProgrammers(*shared_, config_.device)) paths.push_back(e.path);
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
    return {good_, failed_, interrupted_, fatal_, fatalInput_};
}

}  // namespace quillon::station
