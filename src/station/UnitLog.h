// The station's unit log: one JSON object per line per unit, appended under a lock and synced
// before the next unit starts (FileUnitStore keeps it). Also the check that refuses to append to
// a file that is not such a log, and the tolerance for the one thing a power cut leaves behind: a
// truncated last record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "station/Station.h"

namespace quillon::station {

// The unit's log line, without its line end ("type":"unit" first, then the record's fields).
std::string UnitLogLine(const UnitRecord& record);

// The record that a unit's number is taken, written before the chip is touched: the unit's
// fields with "result":"taken" and no outcome yet. A taken number whose unit has no "pass" or
// "fail" record is retired: its station stopped mid-unit (killed, power cut).
std::string TakenLogLine(const UnitRecord& record);

// A unit log's line read back: the record as written and what it says of its unit ("taken",
// "pass" or "fail"). A name written with its exact bytes beside it ("series_bytes") is read as
// those bytes for the series, as its text elsewhere. A fail without a failure reads as "fail".
struct UnitLogEntry {
    UnitRecord record;
    std::string result;
};
// nullopt when line is not one complete unit record.
std::optional<UnitLogEntry> ParseUnitLogLine(std::string_view line);

// How much of a log's end a start reads: the last complete records, never the whole file.
inline constexpr std::size_t kLogTailBytes = 64 * 1024;

struct LogCheck {
    bool valid = true;
    std::size_t units = 0;      // complete unit records
    std::size_t truncated = 0;  // records cut short by a power cut (kept, never parsed)
    std::size_t badLine = 0;    // 1-based line that is not a unit record (valid false)
    std::string reason;
};

// Judges a whole log's text: every complete line must be a unit record; a record cut short (it
// starts like one and has no closing brace) is tolerated wherever it is, since the append after
// it starts on a fresh line.
LogCheck CheckUnitLog(std::string_view text);
// The same for the last bytes of a log: when the tail does not start at the file's first byte
// (fromStart false), its first line is a piece of a record and is skipped.
LogCheck CheckUnitLogTail(std::string_view tail, bool fromStart);

// The highest serial of a series with a "taken" record among the complete records of a log's
// tail. Taken records are appended under their counter's lock, so a series' last one holds its
// highest number. Only records that name the series count; records written before records
// named their series count too, but only while no record of another series is in the tail (a
// log that other counters share cannot tell whose they were). An empty series counts every
// taken record.
std::optional<std::uint64_t> LastTakenSerial(std::string_view tail, const std::string& series = {});
// LastTakenSerial of the log at path, read under its lock (the file is created when missing).
// Throws std::system_error.
std::optional<std::uint64_t> ReadLastTakenSerial(const std::string& path, const std::string& series);

// Why a log could not be appended to ("" when it can): a missing or unwritable folder, a
// read-only file, a directory or device in its place, links followed. Touches nothing.
std::string LogAppendProblem(const std::string& path);

// Appends one line under the log's lock, starting on a fresh line when the file does not end in
// one, and syncs it to disk. Throws std::system_error.
void AppendUnitLog(const std::string& path, std::string_view line);
// The same, giving up with ECANCELED while another holder keeps the lock and cancelled says true.
void AppendUnitLog(const std::string& path, std::string_view line, const std::function<bool()>& cancelled);

}  // namespace quillon::station
