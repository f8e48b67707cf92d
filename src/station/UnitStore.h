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
#include <vector>

#include "station/Serial.h"

namespace quillon::station {

struct UnitRecord;

// One value of a pool of per-unit data (a MAC address, a key, a text), given to one unit only.
// value is the text as it was loaded into the pool.
struct PoolValue {
    std::string pool;
    std::string value;
};

// What a unit's start took: its number (when the unit has a series) and one value of each pool
// it asked for, in the order asked.
struct StartedUnit {
    std::optional<std::uint64_t> serial;
    std::vector<PoolValue> data;
};

// The store cannot be reached now (server down, network gone, disk full, database locked):
// nothing was taken and nothing recorded; the same call may succeed later. The message is the
// reason, with no password in it.
class StoreUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A pool a unit asks for has no unused value left: nothing was taken.
class PoolEmpty : public std::runtime_error {
public:
    explicit PoolEmpty(const std::string& pool) : std::runtime_error("pool " + pool + " is empty"), pool_(pool) {}
    const std::string& pool() const { return pool_; }

private:
    std::string pool_;
};

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

    // Starts a unit, in one step that is durable before it returns: takes the next number of
    // unit.series (none when series is ""), claims one unused value of each pool that unit.data
    // names (their values are ignored), and puts unit, with them, on record as taken. A number
    // that check refuses is not taken: the series is exhausted for this unit, and the
    // SerialError says so. Throws SerialError (nothing taken), SerialCancelled when cancelled
    // says true while another holder keeps the series, PoolEmpty, StoreUnavailable (nothing
    // taken: try again later). A store without pools throws SerialError when data is asked for.
    virtual StartedUnit startUnit(const UnitRecord& unit, const NumberCheck& check,
                                  const std::function<bool()>& cancelled) = 0;

    // Puts the unit's outcome (pass or fail) on record, durably. Throws StoreWaitCancelled when
    // cancelled says true while another holder keeps the record (nothing written),
    // StoreUnavailable when the store cannot be reached now (nothing written: keep the result and
    // send it again), and std::runtime_error, naming the store, when it cannot be written. A
    // result that is already on record exactly so is accepted again (a resent result).
    virtual void finishUnit(const UnitRecord& unit, const std::function<bool()>& cancelled) = 0;

    // The number the next startUnit of series would give, by the same rule, without taking it or
    // creating anything (a dry run). Throws SerialError.
    virtual std::uint64_t peekNext(const std::string& series) = 0;

    // The value the next startUnit would claim from pool, without claiming it; nullopt when the
    // pool is empty. Throws SerialError for a store without pools, StoreUnavailable.
    virtual std::optional<std::string> peekPool(const std::string& pool) {
        throw SerialError("per-unit data from pool " + pool + " needs a database store (--store)");
    }
};

}  // namespace quillon::station
