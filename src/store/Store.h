// A production line's store in a database: serial series, unit records and pools of per-unit
// data, shared by every station of one PC (SQLite, a file) or of a whole line (PostgreSQL). The
// station sees it only as a UnitStore; the commands that set a store up, fill its pools and
// find its units again use the rest of this class.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "station/Station.h"
#include "station/UnitStore.h"

namespace quillon::store {

// A store that cannot be used as it is (a malformed URL, a conflict on import, a malformed pool
// file): nothing was changed. The message says why, with no password in it.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The store's schema is newer than this tool knows: it is never written.
class SchemaTooNew : public StoreError {
public:
    using StoreError::StoreError;
};

// A pool file's value that cannot be loaded (empty, too long, not UTF-8, twice in the load or
// already in the pool): nothing was loaded. position is the value's 1-based place in the load.
class PoolLoadError : public StoreError {
public:
    PoolLoadError(std::size_t position, const std::string& reason)
        : StoreError("value " + std::to_string(position) + ": " + reason), position_(position), reason_(reason) {}
    std::size_t position() const { return position_; }
    const std::string& reason() const { return reason_; }

private:
    std::size_t position_;
    std::string reason_;
};

// What a unit record says of its unit: "pass", "fail", or "taken" (its number and pool values
// are taken, no outcome is on record: a record that is not a pass and names no failure).
const char* UnitResult(const station::UnitRecord& unit);

enum class Engine { Sqlite, Postgres };

struct StoreLocation {
    Engine engine = Engine::Sqlite;
    std::string target;  // SQLite: the file's path; PostgreSQL: the libpq connection string as given
    std::string shown;   // for every output: the location without any password
};

// "PATH.db", "sqlite:PATH", a path ending in .db or .sqlite: SQLite. "postgresql://...",
// "postgres://..." or libpq keywords ("service=NAME", "host=... dbname=..."): PostgreSQL.
// Throws StoreError for anything else.
StoreLocation ParseStoreLocation(const std::string& text);

// The location's text with any password (in the URL's user part, a password= keyword or a
// password query parameter) replaced by "***".
std::string WithoutPassword(const std::string& text);

struct StoreOptions {
    int connectTimeoutMs = 5000;    // connect, and a busy database's lock (SQLite)
    int statementTimeoutMs = 5000;  // one statement, the network's stall included
    bool create = true;             // create the schema in an empty store
};

// Which units to find; empty fields do not filter. Times are ISO 8601 UTC ("2026-12-10T08:00:00Z"
// or a prefix of one such as "2026-12-10"); since is inclusive, until exclusive.
struct UnitFilter {
    std::optional<std::uint64_t> serial;
    std::string series;
    std::string lot, station, result;  // result: taken, pass, fail
    std::string since, until;
};

struct ImportSummary {
    std::size_t added = 0;        // records new to the store
    std::size_t alreadyThere = 0; // records the store already held exactly so
    std::uint64_t last = 0;       // the series' last number after the import
};

class DbStore : public station::UnitStore {
public:
    // Connects (bounded by the options' timeouts), checks the schema's version and, when the
    // store is empty and options.create, creates it. Throws StoreUnavailable when the store
    // cannot be reached, SchemaTooNew, StoreError.
    static std::unique_ptr<DbStore> Open(const StoreLocation& location, const StoreOptions& options = {});

    ~DbStore() override;

    // The version this tool writes, and the store's (0: empty).
    static int KnownSchemaVersion();
    int schemaVersion();
    // Creates the schema, or brings an older one up to date in one transaction.
    void init();

    // UnitStore. finishUnit and startUnit find a unit by unit.unitId.
    station::StartedUnit startUnit(const station::UnitRecord& unit, const NumberCheck& check,
                                   const std::function<bool()>& cancelled) override;
    void finishUnit(const station::UnitRecord& unit, const std::function<bool()>& cancelled) override;
    std::uint64_t peekNext(const std::string& series) override;
    std::optional<std::string> peekPool(const std::string& pool) override;

    // Series: created on first use with last = none (the first number is 1) and the limit 2^64 - 1.
    // Sets where a series goes on from (the next number is last + 1); refused below a number
    // on record. Throws StoreError.
    void setSeries(const std::string& series, std::uint64_t last);

    // Carries a counter and its unit log into the store, in one transaction: records kept as
    // they are; a record the store already holds exactly so is skipped; any other clash (the
    // serial already on record with another unit) is refused and nothing changes.
    ImportSummary importFiles(const std::string& series, std::uint64_t counterLast,
                              const std::vector<station::UnitRecord>& records);

    // Loads values into a pool, all or nothing: a value already in the pool (by PoolValueKey),
    // twice in values, or empty is refused with its 1-based position. Returns how many were added.
    std::size_t loadPool(const std::string& pool, const std::vector<std::string>& values);
    // Unused values left in the pool.
    std::uint64_t poolFree(const std::string& pool);

    // The units the filter selects, oldest first.
    std::vector<station::UnitRecord> units(const UnitFilter& filter);

    const StoreLocation& location() const;

private:
    class Impl;
    explicit DbStore(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace quillon::store
