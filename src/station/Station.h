// The production station: chip after chip on one programmer (wait for a chip on the pins, give
// it the next serial number, write, read back, report, wait until it is taken away), and the
// runner that keeps one such station per programmer while programmers come and go. Qt-free and
// driven only through the operations, so the window can host it as well as quillon-cli.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "hid/HidPlatform.h"
#include "image/Image.h"
#include "ops/WriteOptions.h"
#include "station/DataField.h"
#include "station/Serial.h"
#include "station/UnitStore.h"

namespace quillon::station {

struct StationConfig {
    int chipIndex = -1;
    std::string chipName;
    std::size_t flashSize = 0;
    WriteOptions write{.readback = true};
    ImagePtr image;               // as loaded (once), before any serial
    std::optional<SerialField> serial;
    std::string series;           // the serial's series in the records (for files: SeriesOf(counter))
    int pollMs = 250;             // chip-present poll while waiting for a chip or for its removal
    std::uint64_t count = 0;      // good units after which every station stops; 0: no limit
    std::string device;           // one programmer by path or serial ("" any)
    bool all = false;             // one station per programmer
    std::string version;          // the tool's version, for the unit log
    std::vector<DataField> data;  // per-unit values from the store's pools, written like the serial
    // Who and what, on every unit's record.
    std::string station, operatorName, lot, part;
    int storeRetryMs = 1000;      // while the store cannot be reached, how often a unit's start is tried again
    // Failures in a row on one programmer after which its station holds until acknowledged; 0 never.
    int holdAfterFailures = 0;
};

// One unit as the log keeps it.
struct UnitRecord {
    std::string unitId;             // the station's own name for the unit, unique ("" in files)
    std::string time;               // start, ISO 8601 UTC with milliseconds
    std::string programmerSerial;
    std::string programmerPath;
    std::string chip;
    std::string imagePath;
    std::string imageSha256;        // of the image file as read
    std::string bytesSha256;        // of the bytes written, serial included ("" when none were)
    std::optional<std::uint64_t> serial;
    std::string series;             // the counter the serial came from ("" without one)
    bool pass = false;
    std::string failure;            // "" for a pass; else "device failure", "timeout", "verify failure", "interrupted", ...
    std::string message;
    std::int64_t durationMs = 0;
    std::uint32_t bytesWritten = 0;
    std::string version;
    // Who and what, for the line's records (all "" when not given).
    std::string station;            // the station's name (a database store: the host name by default)
    std::string operatorName;
    std::string lot;
    std::string part;
    std::vector<PoolValue> data;    // the unit's per-unit data, one value per pool
};

// The longest station, operator, lot or part name a unit's record keeps, in characters.
constexpr std::size_t kMaxNameChars = 200;

// Why a station, operator, lot, part or series name cannot go on a unit's record ("" when it can):
// not UTF-8, longer than kMaxNameChars, or holding a control character. field names the field in
// the message ("--lot", "Lot").
std::string NameProblem(std::string_view field, const std::string& value);

// StoreUnreachable: a chip waits on the pins, untouched, until the store answers (text: why).
// Held: the station takes no chip until the operator acknowledges (text: what to do).
enum class StationState { WaitingForChip, Programming, Pass, Fail, WaitingForRemoval, Held, Ended, StoreUnreachable };
// "waiting", "programming", "pass", "fail", "remove", "hold", "ended", "store-unreachable"
const char* StationStateName(StationState state);

// "store unreachable: REASON" for a store that cannot be reached (a reason that already says so
// is not said twice).
std::string StoreUnreachableText(const StoreUnavailable& e);

// A fresh name for a unit: 128 random bits (std::random_device) as 32 lower-case hex digits.
std::string NewUnitId();

struct StationStatus {
    std::string path;
    std::string serial;     // the programmer's
    StationState state = StationState::WaitingForChip;
    int percent = 0;        // Programming
    std::string text;       // Fail / Ended / StoreUnreachable: why; Held: what the operator must do
};

// Implemented by the shell; calls come from the stations' threads, one station at a time per
// call site but several stations concurrently. The view only shows: what is on record is the
// store's (UnitStore).
class StationView {
public:
    virtual ~StationView() = default;
    virtual void status(const StationStatus&) {}
    // The unit's number is on record as taken (the chip is not touched yet).
    virtual void unitTaken(const UnitRecord&) {}
    // The unit's outcome is on record; its station's next unit starts after this returns.
    virtual void unitFinished(const UnitRecord&) {}
    // One log line of the station on the programmer at path (time stamp included).
    virtual void logLine(const std::string& /*path*/, const std::string& /*line*/) {}
    // Something the operator must know although the station goes on (path "" for the run).
    virtual void notice(const std::string& /*path*/, const std::string& /*text*/) {}
};

struct StationSummary {
    std::uint64_t good = 0;
    std::uint64_t failed = 0;
    bool interrupted = false;  // a unit was aborted
    std::string fatal;         // why the run stopped on its own, "" when it did not
    bool fatalInput = false;   // the fatal cause lies in the run's inputs (an empty pool), not in a device
};

class Station;

class StationRunner {
public:
    // store keeps the numbers and the records; null: no serial numbers and no records.
    StationRunner(hid::Platform& platform, StationConfig config, StationView& view, UnitStore* store);
    ~StationRunner();
    StationRunner(const StationRunner&) = delete;
    StationRunner& operator=(const StationRunner&) = delete;

    // Runs until the count is reached, stop or abort is asked for, or a fatal error; waits for
    // programmers as they are plugged in. Call once.
    StationSummary run();
    // Any thread: finish the units in progress, start no more.
    void stopAfterUnit();
    // Any thread: abort the units in progress (recorded as interrupted) and stop.
    void abort();
    // Any thread: the operator has looked at the held station on the programmer at path; it
    // takes chips again. Ignored for a station that is not held.
    void acknowledge(const std::string& path);

    // Used by the stations.
    bool stopping() const { return stop_.load() || abort_.load(); }
    bool aborting() const { return abort_.load(); }
    // A unit may start: the count is not reached by good units and units in progress.
    // false with wait set: try again later (a unit in progress may still fail).
    bool reserveUnit(bool& wait);
    void unitDone(bool pass);
    void fatal(const std::string& why, bool input = false);
    // A held station forgets acknowledgements given before its hold, then takes the one given during it.
    void clearAcknowledgement(const std::string& path);
    bool takeAcknowledgement(const std::string& path);
    const StationConfig& config() const { return config_; }
    StationView& view() { return view_; }
    UnitStore* store() { return store_; }
    // Starts the unit in the store: its number (when unit.series is set, one that fits the serial
    // field) and its pool values, on record as taken. Throws SerialError (the series exhausted for
    // the field included: nothing taken); SerialCancelled when the runner stops while it waits for
    // the store; PoolEmpty; StoreUnavailable.
    StartedUnit startUnit(const UnitRecord& unit);

private:
    void Wake();
    std::vector<std::string> ProgrammerPaths();

    class SharedPlatform;
    hid::Platform& platform_;
    std::unique_ptr<SharedPlatform> shared_;
    StationConfig config_;
    StationView& view_;
    UnitStore* store_;
    std::atomic<bool> stop_{false}, abort_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool changed_ = false;
    std::uint64_t good_ = 0, failed_ = 0, inProgress_ = 0;
    bool interrupted_ = false;
    std::string fatal_;
    std::set<std::string> acknowledged_;  // programmer paths (under mutex_)
    bool fatalInput_ = false;
    std::mutex serialMutex_;
    std::map<std::string, std::unique_ptr<Station>> stations_;  // by programmer path (runner thread)
    friend class Station;
};

}  // namespace quillon::station
