// Where a production line keeps its numbers and its units: "start a unit" takes the next number
// of a series and puts the unit on record as taken, committed before any chip is touched;
// "finish a unit" puts its pass or fail record after it. The station only ever talks to this
// interface, so a counter file with a JSON-lines log (FileUnitStore), a database on one PC or one
// shared by a whole line are alike to it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "station/Serial.h"

namespace quillon::station {

struct UnitRecord;

// Waiting for the store (another station holds it) was given up because cancelled said true:
// nothing was recorded.
class StoreWaitCancelled : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class UnitStore {
public:
    virtual ~UnitStore() = default;

    // Throws SerialError for a number the unit cannot carry (it does not fit its field).
    using NumberCheck = std::function<void(std::uint64_t)>;

    // Takes the next number of unit.series and puts unit, with that number, on record as taken;
    // returns the number once both are durable. A record of the series ahead of its counter (a
    // crash between the two) is skipped by CatchUpWithRecord's rule. A number that check refuses
    // is not taken: the series is exhausted for this unit, and the SerialError says so. Throws
    // SerialError (nothing taken), SerialCancelled when cancelled says true while another holder
    // keeps the series.
    virtual std::uint64_t startUnit(const UnitRecord& unit, const NumberCheck& check,
                                    const std::function<bool()>& cancelled) = 0;

    // Puts the unit's outcome (pass or fail) on record, durably. Throws StoreWaitCancelled when
    // cancelled says true while another holder keeps the record (nothing written), and
    // std::runtime_error, naming the store, when it cannot be written.
    virtual void finishUnit(const UnitRecord& unit, const std::function<bool()>& cancelled) = 0;

    // The number the next startUnit of series would give, by the same rule, without taking it or
    // creating anything (a dry run). Throws SerialError.
    virtual std::uint64_t peekNext(const std::string& series) = 0;
};

}  // namespace quillon::station
