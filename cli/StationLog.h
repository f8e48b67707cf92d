// The station's unit log: one JSON object per line per unit, appended under a lock and synced
// before the next unit starts. Also the check that refuses to append to a file that is not such
// a log, and the tolerance for the one thing a power cut leaves behind: a truncated last record.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "station/Station.h"

namespace quillon::cli {

// The unit's log line, without its line end ("type":"unit" first, then the record's fields).
std::string UnitLogLine(const station::UnitRecord& record);

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

// Appends one line under the log's lock, starting on a fresh line when the file does not end in
// one, and syncs it to disk. Throws std::system_error.
void AppendUnitLog(const std::string& path, std::string_view line);

}  // namespace quillon::cli
