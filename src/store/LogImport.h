// A station's unit log read back as the units a store keeps: each unit once, its taken record and
// its pass/fail record joined by its number, named so that a second import finds the same units.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "station/Station.h"

namespace quillon::store {

struct LogUnits {
    std::vector<station::UnitRecord> units;  // in the order the log first names them
    std::size_t otherSeries = 0;             // records of another counter's numbers, left out
    std::size_t truncated = 0;               // records a power cut left unfinished, left out
};

// The units of a whole log whose numbers came from the counter of series logSeries (records
// that name no series count as its own while no record names another one). Numbered units go
// to storeSeries and are named "log:SERIES:NUMBER"; a unit without a number is named by its
// record's hash. Throws StoreError naming the line for a log that is not a unit log, a number
// taken twice, or a number with two outcomes.
LogUnits UnitsOfLog(std::string_view logText, const std::string& logSeries, const std::string& storeSeries);

}  // namespace quillon::store
