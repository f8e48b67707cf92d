// The database store over the SQL layer: one schema and one set of statements for SQLite and
// PostgreSQL (they differ only in the identity column and in how a pool row is claimed while other
// stations claim theirs). Numbers are unsigned 64-bit; both engines have signed 64-bit integers
// only, so a number is stored with its top bit flipped, which keeps their order: 0 is the
// smallest value, 2^64 - 1 the largest, and "last < limit" compares as the numbers do.
#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "core/Utf8.h"
#include "station/DataField.h"
#include "store/Sql.h"
#include "store/Store.h"

namespace quillon::store {

using station::PoolValue;
using station::SerialError;
using station::StartedUnit;
using station::StoreUnavailable;
using station::UnitRecord;

const char* UnitResult(const UnitRecord& unit) {
    if (unit.pass) return "pass";
    return unit.failure.empty() ? "taken" : "fail";
}

namespace {

constexpr int kSchemaVersion = 1;
constexpr std::uint64_t kTopBit = std::uint64_t(1) << 63;
// Text limits in characters: names and hashes, file names, messages.
constexpr std::size_t kNameChars = 200;
constexpr std::size_t kPathChars = 1000;
constexpr std::size_t kMessageChars = 2000;

std::int64_t Stored(std::uint64_t number) { return static_cast<std::int64_t>(number ^ kTopBit); }
std::uint64_t Number(std::int64_t stored) { return static_cast<std::uint64_t>(stored) ^ kTopBit; }

bool IsNull(const SqlValue& value) { return std::holds_alternative<std::monostate>(value); }

std::int64_t Int(const SqlValue& value) {
    if (const auto* i = std::get_if<std::int64_t>(&value)) return *i;
    if (const auto* s = std::get_if<std::string>(&value)) {
        try {
            std::size_t used = 0;
            const long long v = std::stoll(*s, &used);
            if (used == s->size()) return v;
        } catch (const std::exception&) {
        }
        throw StoreError("the store holds " + *s + " where a number belongs");
    }
    throw StoreError("the store holds no value where a number belongs");
}

std::string Text(const SqlValue& value) {
    if (const auto* s = std::get_if<std::string>(&value)) return *s;
    if (const auto* i = std::get_if<std::int64_t>(&value)) return std::to_string(*i);
    return {};
}

std::size_t Utf8Chars(std::string_view text) {
    std::size_t n = 0;
    for (std::size_t at = 0; at < text.size(); ++n) {
        const std::size_t len = DecodeUtf8(text, at).length;
        at += len == 0 ? 1 : len;
    }
    return n;
}

// Refuses text the store would keep wrongly: not UTF-8, longer than its column allows.
void CheckText(const char* field, const std::string& value, std::size_t maxChars) {
    if (!IsValidUtf8(value)) throw StoreError(std::string("the unit's ") + field + " is not valid UTF-8 text");
    if (value.find('\0') != std::string::npos)
        throw StoreError(std::string("the unit's ") + field + " holds a NUL character");
    if (Utf8Chars(value) > maxChars)
        throw StoreError(std::string("the unit's ") + field + " is longer than " + std::to_string(maxChars) +
                         " characters");
}

// An outcome's texts are kept, never refused (a refused result would be a lost one): bad bytes
// become U+FFFD and a text too long is cut at a character's boundary.
std::string Keepable(std::string_view text, std::size_t maxChars) {
    std::string out;
    std::size_t chars = 0;
    for (std::size_t at = 0; at < text.size() && chars < maxChars; ++chars) {
        const Utf8Char c = DecodeUtf8(text, at);
        if (c.length == 0 || c.cp == 0) {
            AppendUtf8(out, 0xFFFD);
            at += c.length == 0 ? 1 : c.length;
        } else {
            out.append(text.substr(at, c.length));
            at += c.length;
        }
    }
    return out;
}

void CheckStartFields(const UnitRecord& u) {
    CheckText("unit id", u.unitId, kNameChars);
    if (u.unitId.empty()) throw StoreError("a unit without an id cannot be put on record in a database store");
    CheckText("time", u.time, kNameChars);
    CheckText("programmer serial", u.programmerSerial, kNameChars);
    CheckText("programmer path", u.programmerPath, kPathChars);
    CheckText("chip", u.chip, kNameChars);
    CheckText("image name", u.imagePath, kPathChars);
    CheckText("image SHA-256", u.imageSha256, kNameChars);
    CheckText("bytes SHA-256", u.bytesSha256, kNameChars);
    CheckText("series", u.series, kNameChars);
    CheckText("failure", u.failure, kNameChars);
    CheckText("message", u.message, kMessageChars);
    CheckText("version", u.version, kNameChars);
    CheckText("station", u.station, kNameChars);
    CheckText("operator", u.operatorName, kNameChars);
    CheckText("lot", u.lot, kNameChars);
    CheckText("part", u.part, kNameChars);
    for (const PoolValue& v : u.data) CheckText("pool name", v.pool, kNameChars);
}

// The columns a unit's row has beside its id, in the order of every statement below.
constexpr const char* kUnitColumns =
    "unit_id, time, station, operator, lot, part, programmer_serial, programmer_path, chip, image, "
    "image_sha256, bytes_sha256, series, serial, result, failure, message, duration_ms, bytes_written, version";

std::vector<SqlValue> UnitValues(const UnitRecord& u, const char* result) {
    return {u.unitId,
            u.time,
            u.station,
            u.operatorName,
            u.lot,
            u.part,
            u.programmerSerial,
            u.programmerPath,
            u.chip,
            u.imagePath,
            u.imageSha256,
            u.bytesSha256,
            u.series,
            u.serial ? SqlValue(Stored(*u.serial)) : SqlValue(),
            std::string(result),
            u.failure,
            u.message,
            std::int64_t{u.durationMs},
            std::int64_t{u.bytesWritten},
            u.version};
}

UnitRecord UnitFromRow(const SqlRow& row) {
    UnitRecord u;
    std::size_t i = 0;
    u.unitId = Text(row.at(i++));
    u.time = Text(row.at(i++));
    u.station = Text(row.at(i++));
    u.operatorName = Text(row.at(i++));
    u.lot = Text(row.at(i++));
    u.part = Text(row.at(i++));
    u.programmerSerial = Text(row.at(i++));
    u.programmerPath = Text(row.at(i++));
    u.chip = Text(row.at(i++));
    u.imagePath = Text(row.at(i++));
    u.imageSha256 = Text(row.at(i++));
    u.bytesSha256 = Text(row.at(i++));
    u.series = Text(row.at(i++));
    if (!IsNull(row.at(i))) u.serial = Number(Int(row.at(i)));
    ++i;
    u.pass = Text(row.at(i++)) == "pass";
    u.failure = Text(row.at(i++));
    u.message = Text(row.at(i++));
    u.durationMs = Int(row.at(i++));
    u.bytesWritten = static_cast<std::uint32_t>(Int(row.at(i++)));
    u.version = Text(row.at(i++));
    return u;
}

// Whether two records of one unit say the same (its pool values aside).
bool SameRecord(const UnitRecord& a, const UnitRecord& b) {
    return a.unitId == b.unitId && a.time == b.time && a.station == b.station && a.operatorName == b.operatorName &&
           a.lot == b.lot && a.part == b.part && a.programmerSerial == b.programmerSerial &&
           a.programmerPath == b.programmerPath && a.chip == b.chip && a.imagePath == b.imagePath &&
           a.imageSha256 == b.imageSha256 && a.bytesSha256 == b.bytesSha256 && a.series == b.series &&
           a.serial == b.serial && std::string(UnitResult(a)) == UnitResult(b) && a.failure == b.failure &&
           a.message == b.message && a.durationMs == b.durationMs && a.bytesWritten == b.bytesWritten &&
           a.version == b.version;
}

// A time filter's text: ISO 8601 UTC or a prefix of it; only its own characters.
void CheckTimeFilter(const char* which, const std::string& value) {
    if (value.find_first_not_of("0123456789-T:.Z") != std::string::npos)
        throw StoreError(std::string("--") + which + " " + value +
                         " is not a time in ISO 8601 UTC (such as 2026-12-10T08:00:00Z or 2026-12-10)");
}

}  // namespace

class DbStore::Impl {
public:
    Impl(StoreLocation location, const StoreOptions& options) : location_(std::move(location)), options_(options) {
        const SqlTimeouts timeouts{options.connectTimeoutMs, options.statementTimeoutMs};
        sql_ = location_.engine == Engine::Postgres ? OpenPostgres(location_.target, timeouts)
                                                    : OpenSqlite(location_.target, timeouts);
        postgres_ = std::string(sql_->engine()) == "postgresql";
    }

    // Every call goes through here: one call at a time on the connection (the stations of one
    // process share it), a connection lost before is opened again, and a connection lost now is
    // noted for the next call.
    template <typename F>
    auto Run(F&& body) -> decltype(body()) {
        std::lock_guard lock(mutex_);
        if (broken_) {
            sql_->reconnect();
            broken_ = false;
        }
        try {
            return body();
        } catch (const StoreUnavailable&) {
            broken_ = true;
            throw;
        }
    }

    // body inside one write transaction, rolled back on any exception.
    template <typename F>
    auto InTransaction(F&& body) -> decltype(body()) {
        sql_->begin();
        try {
            if constexpr (std::is_void_v<decltype(body())>) {
                body();
                sql_->commit();
            } else {
                auto result = body();
                sql_->commit();
                return result;
            }
        } catch (...) {
            sql_->rollback();
            throw;
        }
    }

    std::string Where() const { return "store " + location_.shown; }

    int Version() {
        const char* exists = postgres_ ? "SELECT CASE WHEN to_regclass($1) IS NULL THEN 0 ELSE 1 END"
                                       : "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = $1";
        const auto rows = sql_->query(exists, {std::string("quillon_schema")});
        if (rows.empty() || Int(rows[0].at(0)) == 0) return 0;
        const auto version = sql_->query("SELECT version FROM quillon_schema");
        if (version.size() != 1) throw StoreError(Where() + " has a damaged schema version table");
        return static_cast<int>(Int(version[0].at(0)));
    }

    void ThrowTooNew(int version) const {
        throw SchemaTooNew(Where() + " has schema version " + std::to_string(version) + "; this tool knows up to " +
                           std::to_string(kSchemaVersion) + " and leaves it untouched (use a newer quillon)");
    }

    void Init() {
        InTransaction([&] {
            // Two tools creating one empty store at once: the second waits and then finds it made.
            if (postgres_) sql_->exec("SELECT pg_advisory_xact_lock(5131620247)");
            const int version = Version();
            if (version > kSchemaVersion) ThrowTooNew(version);
            if (version == kSchemaVersion) return;
            if (version < 1) CreateVersion1();
            if (version == 0)
                sql_->exec("INSERT INTO quillon_schema (version) VALUES ($1)", {std::int64_t{kSchemaVersion}});
            else
                sql_->exec("UPDATE quillon_schema SET version = $1", {std::int64_t{kSchemaVersion}});
        });
    }

    void CreateVersion1() {
        const std::string id = postgres_ ? "id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY"
                                         : "id INTEGER PRIMARY KEY AUTOINCREMENT";
        sql_->exec("CREATE TABLE quillon_schema (version INTEGER NOT NULL)");
        sql_->exec(
            "CREATE TABLE series (name TEXT PRIMARY KEY, last BIGINT, lim BIGINT NOT NULL)");
        sql_->exec("CREATE TABLE units (" + id +
                   ", unit_id TEXT NOT NULL UNIQUE, time TEXT NOT NULL, station TEXT NOT NULL, "
                   "operator TEXT NOT NULL, lot TEXT NOT NULL, part TEXT NOT NULL, programmer_serial TEXT NOT NULL, "
                   "programmer_path TEXT NOT NULL, chip TEXT NOT NULL, image TEXT NOT NULL, image_sha256 TEXT NOT NULL, "
                   "bytes_sha256 TEXT NOT NULL, series TEXT NOT NULL, serial BIGINT, "
                   "result TEXT NOT NULL CHECK (result IN ('taken', 'pass', 'fail')), failure TEXT NOT NULL, "
                   "message TEXT NOT NULL, duration_ms BIGINT NOT NULL, bytes_written BIGINT NOT NULL, "
                   "version TEXT NOT NULL, UNIQUE (series, serial))");
        sql_->exec("CREATE INDEX units_time ON units (time)");
        sql_->exec("CREATE TABLE pool_values (" + id +
                   ", pool TEXT NOT NULL, value_key TEXT NOT NULL, value TEXT NOT NULL, unit_id TEXT, slot INTEGER, "
                   "UNIQUE (pool, value_key))");
        sql_->exec("CREATE INDEX pool_values_free ON pool_values (pool, id) WHERE unit_id IS NULL");
        sql_->exec("CREATE INDEX pool_values_unit ON pool_values (unit_id)");
    }

    // The series' row as (last, limit), nullopt when it does not exist.
    std::optional<std::pair<std::optional<std::uint64_t>, std::uint64_t>> Series(const std::string& name) {
        const auto rows = sql_->query("SELECT last, lim FROM series WHERE name = $1", {name});
        if (rows.empty()) return std::nullopt;
        std::optional<std::uint64_t> last;
        if (!IsNull(rows[0].at(0))) last = Number(Int(rows[0].at(0)));
        return std::make_pair(last, Number(Int(rows[0].at(1))));
    }

    void EnsureSeries(const std::string& name) {
        sql_->exec("INSERT INTO series (name, last, lim) VALUES ($1, NULL, $2) ON CONFLICT (name) DO NOTHING",
                   {name, Stored(UINT64_MAX)});
    }

    [[noreturn]] void ThrowExhausted(const std::string& name, std::uint64_t last) {
        throw SerialError("serial series " + name + " in " + Where() + " is exhausted (it holds " +
                          std::to_string(last) + ", its limit)");
    }

    // Takes the next number inside the current transaction.
    std::uint64_t TakeNumber(const std::string& name) {
        static constexpr const char* kTake =
            "UPDATE series SET last = COALESCE(last, $2) + 1 WHERE name = $1 AND COALESCE(last, $2) < lim RETURNING last";
        const std::vector<SqlValue> params = {name, Stored(0)};
        for (int attempt = 0; attempt < 5; ++attempt) {
            const auto rows = sql_->query(kTake, params);
            if (!rows.empty()) return Number(Int(rows[0].at(0)));
            // No row: the series is exhausted, missing, or (PostgreSQL) was created by another
            // station after this statement began; only the first is final.
            const auto series = Series(name);
            if (!series)
                EnsureSeries(name);
            else if (series->first && *series->first >= series->second)
                ThrowExhausted(name, *series->first);
        }
        throw StoreError(Where() + ": serial series " + name + " could not be created");
    }

    // PostgreSQL: the next number of record.series and record's taken row, in one statement;
    // nullopt when no number was taken (the series is missing, exhausted or being created).
    std::optional<std::uint64_t> TakeNumberWithRecord(const UnitRecord& record) {
        std::vector<SqlValue> params = UnitValues(record, "taken");
        params.erase(params.begin() + 13);  // the serial: the statement's own
        params.push_back(Stored(0));
        const auto rows = sql_->query(
            std::string("WITH n AS (UPDATE series SET last = COALESCE(last, $20) + 1 WHERE name = $13 AND "
                        "COALESCE(last, $20) < lim RETURNING last) INSERT INTO units (") +
                kUnitColumns +
                ") SELECT $1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, n.last, $14, $15, $16, $17, $18, "
                "$19 FROM n RETURNING serial",
            params);
        if (rows.empty()) return std::nullopt;
        return Number(Int(rows[0].at(0)));
    }

    std::optional<std::string> ClaimPoolValue(const std::string& pool, const std::string& unitId, std::size_t slot) {
        // PostgreSQL: rows other stations are claiming right now are passed over, not waited for.
        static constexpr const char* kSkipLocked =
            "UPDATE pool_values SET unit_id = $1, slot = $2 WHERE unit_id IS NULL AND id = (SELECT id FROM "
            "pool_values WHERE pool = $3 AND unit_id IS NULL ORDER BY id LIMIT 1 FOR UPDATE SKIP LOCKED) "
            "RETURNING value";
        // When every free row is being claimed by others, the first one is waited for: its claim
        // may yet be rolled back (SQLite's one writer always waits).
        static constexpr const char* kWait =
            "UPDATE pool_values SET unit_id = $1, slot = $2 WHERE unit_id IS NULL AND id = (SELECT id FROM "
            "pool_values WHERE pool = $3 AND unit_id IS NULL ORDER BY id LIMIT 1) RETURNING value";
        const std::vector<SqlValue> params = {unitId, static_cast<std::int64_t>(slot), pool};
        static constexpr int kTries = 10;
        std::uint64_t free = 0;
        for (int attempt = 0; attempt < kTries; ++attempt) {
            const auto rows = sql_->query(postgres_ && attempt == 0 ? kSkipLocked : kWait, params);
            if (!rows.empty()) return Text(rows[0].at(0));
            // Empty only when no free row is left, counting those others hold.
            free = PoolFree(pool);
            if (free == 0) return std::nullopt;
        }
        // Other stations took every value this one reached for, yet values are left: the pool is
        // busy, not empty. The station waits and tries again, as for any busy store.
        throw StoreUnavailable(Where() + ": pool " + pool + " is busy (" + std::to_string(free) +
                               " values left, claimed by other stations " + std::to_string(kTries) +
                               " times in a row); try again");
    }

    std::uint64_t PoolFree(const std::string& pool) {
        const auto rows =
            sql_->query("SELECT count(*) FROM pool_values WHERE pool = $1 AND unit_id IS NULL", {pool});
        return rows.empty() ? 0 : static_cast<std::uint64_t>(Int(rows[0].at(0)));
    }

    std::optional<UnitRecord> FindUnit(const std::string& unitId) {
        const auto rows =
            sql_->query(std::string("SELECT ") + kUnitColumns + " FROM units WHERE unit_id = $1", {unitId});
        if (rows.empty()) return std::nullopt;
        UnitRecord unit = UnitFromRow(rows[0]);
        for (const SqlRow& row :
             sql_->query("SELECT pool, value FROM pool_values WHERE unit_id = $1 ORDER BY slot", {unitId}))
            unit.data.push_back({Text(row.at(0)), Text(row.at(1))});
        return unit;
    }

    StartedUnit Start(const UnitRecord& unit, const NumberCheck& check) {
        CheckStartFields(unit);
        std::set<std::string> pools;
        for (const PoolValue& v : unit.data)
            if (!pools.insert(v.pool).second) throw StoreError("the unit asks twice for pool " + v.pool);
        try {
            return InTransaction([&] {
                StartedUnit started;
                UnitRecord record = unit;
                record.pass = false;
                record.failure.clear();
                record.serial.reset();
                // PostgreSQL takes the number and puts the unit on record in one statement (one
                // round trip less per unit); when that finds no number to take, or on SQLite,
                // the two steps go one after the other.
                bool inserted = false;
                if (!unit.series.empty()) {
                    std::optional<std::uint64_t> number;
                    if (postgres_) number = TakeNumberWithRecord(record);
                    inserted = number.has_value();
                    if (!number) number = TakeNumber(unit.series);
                    if (check) {
                        try {
                            check(*number);
                        } catch (const SerialError& e) {
                            throw SerialError("the serial numbers of series " + unit.series + " in " + Where() +
                                              " are exhausted for this field: " + e.what() + "; no number was taken");
                        }
                    }
                    started.serial = number;
                    record.serial = number;
                }
                for (std::size_t slot = 0; slot < unit.data.size(); ++slot) {
                    const std::string& pool = unit.data[slot].pool;
                    const auto value = ClaimPoolValue(pool, unit.unitId, slot);
                    if (!value) throw station::PoolEmpty(pool);
                    started.data.push_back({pool, *value});
                }
                if (!inserted)
                    sql_->exec(std::string("INSERT INTO units (") + kUnitColumns +
                                   ") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, "
                                   "$17, $18, $19, $20)",
                               UnitValues(record, "taken"));
                return started;
            });
        } catch (const SqlError& e) {
            if (!e.uniqueViolation()) throw StoreError(Where() + ": " + e.what());
            // A start sent again after its commit was lost on the way back: what it took stands.
            if (const auto existing = FindUnit(unit.unitId)) {
                if (std::string(UnitResult(*existing)) == "taken" && existing->series == unit.series)
                    return StartedUnit{existing->serial, existing->data};
                throw StoreError("unit " + unit.unitId + " is already on record in " + Where());
            }
            throw StoreError(Where() + ": " + e.what());
        }
    }

    void Finish(const UnitRecord& unit) {
        UnitRecord outcome = unit;
        outcome.failure = Keepable(unit.failure, kNameChars);
        outcome.message = Keepable(unit.message, kMessageChars);
        outcome.bytesSha256 = Keepable(unit.bytesSha256, kNameChars);
        // A fail always names its failure, so that it never reads as a unit still taken.
        if (!outcome.pass && outcome.failure.empty()) outcome.failure = "fail";
        if (outcome.pass) outcome.failure.clear();
        const char* result = outcome.pass ? "pass" : "fail";
        try {
            const auto rows = sql_->query(
                "UPDATE units SET result = $2, failure = $3, message = $4, duration_ms = $5, bytes_written = $6, "
                "bytes_sha256 = $7 WHERE unit_id = $1 AND result = 'taken' RETURNING id",
                {unit.unitId, std::string(result), outcome.failure, outcome.message, std::int64_t{outcome.durationMs},
                 std::int64_t{outcome.bytesWritten}, outcome.bytesSha256});
            if (!rows.empty()) return;
            const auto existing = FindUnit(unit.unitId);
            if (!existing)
                throw std::runtime_error("unit " + unit.unitId + " is not on record in " + Where() +
                                         ": its result cannot be kept");
            if (std::string(UnitResult(*existing)) == result && existing->failure == outcome.failure &&
                existing->message == outcome.message && existing->durationMs == outcome.durationMs &&
                existing->bytesWritten == outcome.bytesWritten && existing->bytesSha256 == outcome.bytesSha256)
                return;  // the same result, sent again
            throw std::runtime_error("unit " + unit.unitId + " already has another result (" +
                                     UnitResult(*existing) + ") in " + Where() + ": this one is refused");
        } catch (const SqlError& e) {
            throw std::runtime_error(Where() + ": the result of unit " + unit.unitId + " cannot be written: " +
                                     e.what());
        }
    }

    std::uint64_t PeekNext(const std::string& name) {
        const auto series = Series(name);
        if (!series || !series->first) return 1;
        if (*series->first >= series->second) ThrowExhausted(name, *series->first);
        return *series->first + 1;
    }

    std::optional<std::string> PeekPool(const std::string& pool) {
        const auto rows = sql_->query(
            "SELECT value FROM pool_values WHERE pool = $1 AND unit_id IS NULL ORDER BY id LIMIT 1", {pool});
        if (rows.empty()) return std::nullopt;
        return Text(rows[0].at(0));
    }

    std::optional<std::uint64_t> HighestOnRecord(const std::string& series) {
        const auto rows = sql_->query("SELECT max(serial) FROM units WHERE series = $1", {series});
        if (rows.empty() || IsNull(rows[0].at(0))) return std::nullopt;
        return Number(Int(rows[0].at(0)));
    }

    void SetSeries(const std::string& name, std::uint64_t last) {
        CheckText("series", name, kNameChars);
        if (name.empty()) throw StoreError("a serial series needs a name");
        InTransaction([&] {
            const auto highest = HighestOnRecord(name);
            if (highest && last < *highest)
                throw StoreError("serial series " + name + " cannot go on from " + std::to_string(last) + ": " +
                                 std::to_string(*highest) + " is on record in " + Where());
            EnsureSeries(name);
            sql_->exec("UPDATE series SET last = $2 WHERE name = $1", {name, Stored(last)});
        });
    }

    ImportSummary Import(const std::string& series, std::uint64_t counterLast, std::vector<UnitRecord> records) {
        // Outcomes are kept as a station's finish keeps them (a long message cut), so that a
        // second import compares equal.
        for (UnitRecord& r : records) {
            r.failure = Keepable(r.failure, kNameChars);
            r.message = Keepable(r.message, kMessageChars);
        }
        CheckText("series", series, kNameChars);
        if (series.empty()) throw StoreError("an import needs a series to carry the counter into");
        std::set<std::string> ids;
        std::set<std::uint64_t> serials;
        for (const UnitRecord& r : records) {
            CheckStartFields(r);
            if (r.serial && r.series != series)
                throw StoreError("unit " + r.unitId + " has serial " + std::to_string(*r.serial) + " of series " +
                                 r.series + ", not of " + series);
            if (!r.serial && !r.series.empty())
                throw StoreError("unit " + r.unitId + " names series " + r.series + " but has no serial");
            if (!ids.insert(r.unitId).second) throw StoreError("unit " + r.unitId + " is twice in the import");
            if (r.serial && !serials.insert(*r.serial).second)
                throw StoreError("serial " + std::to_string(*r.serial) + " is twice in the import");
        }
        return InTransaction([&] {
            ImportSummary summary;
            std::uint64_t last = counterLast;
            for (const UnitRecord& r : records) {
                if (r.serial) last = std::max(last, *r.serial);
                if (const auto existing = FindUnit(r.unitId)) {
                    if (!SameRecord(*existing, r))
                        throw StoreError("unit " + r.unitId + " is already in " + Where() +
                                         " with another record; nothing was imported");
                    ++summary.alreadyThere;
                    continue;
                }
                if (r.serial) {
                    const auto clash = sql_->query("SELECT unit_id FROM units WHERE series = $1 AND serial = $2",
                                                   {series, Stored(*r.serial)});
                    if (!clash.empty())
                        throw StoreError("serial " + std::to_string(*r.serial) + " of series " + series +
                                         " is already in " + Where() + " as unit " + Text(clash[0].at(0)) +
                                         ", with another record; nothing was imported");
                }
                sql_->exec(std::string("INSERT INTO units (") + kUnitColumns +
                               ") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, "
                               "$17, $18, $19, $20)",
                           UnitValues(r, UnitResult(r)));
                ++summary.added;
            }
            EnsureSeries(series);
            const auto row = Series(series);
            if (row && row->first) last = std::max(last, *row->first);
            if (row && last > row->second)
                throw StoreError("serial series " + series + " in " + Where() + " ends at " +
                                 std::to_string(row->second) + ", below the imported " + std::to_string(last));
            // Never back: a station may take a number between the read above and this update
            // (PostgreSQL's stations do not wait for an import's reads).
            const auto moved = sql_->query(
                "UPDATE series SET last = CASE WHEN last IS NULL OR last < $2 THEN $2 ELSE last END WHERE name = $1 "
                "RETURNING last",
                {series, Stored(last)});
            summary.last = moved.empty() ? last : Number(Int(moved[0].at(0)));
            return summary;
        });
    }

    std::size_t LoadPool(const std::string& pool, const std::vector<std::string>& values) {
        CheckText("pool name", pool, kNameChars);
        if (pool.empty()) throw StoreError("a pool needs a name");
        std::vector<std::string> keys;
        std::map<std::string, std::size_t> seen;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::string& v = values[i];
            if (v.empty()) throw PoolLoadError(i + 1, "the value is empty");
            if (!IsValidUtf8(v) || v.find('\0') != std::string::npos)
                throw PoolLoadError(i + 1, "the value is not valid UTF-8 text");
            if (Utf8Chars(v) > kNameChars)
                throw PoolLoadError(i + 1, "the value is longer than " + std::to_string(kNameChars) + " characters");
            keys.push_back(station::PoolValueKey(v));
            const auto [at, fresh] = seen.emplace(keys.back(), i + 1);
            if (!fresh)
                throw PoolLoadError(i + 1, v + " is the same value as value " + std::to_string(at->second));
        }
        return InTransaction([&] {
            for (std::size_t i = 0; i < values.size(); ++i) {
                const auto there = sql_->query("SELECT value FROM pool_values WHERE pool = $1 AND value_key = $2",
                                               {pool, keys[i]});
                if (!there.empty())
                    throw PoolLoadError(i + 1, values[i] + " is already in pool " + pool +
                                                   (Text(there[0].at(0)) == values[i] ? "" : " as " + Text(there[0].at(0))));
                sql_->exec("INSERT INTO pool_values (pool, value_key, value) VALUES ($1, $2, $3)",
                           {pool, keys[i], values[i]});
            }
            return values.size();
        });
    }

    std::vector<UnitRecord> Units(const UnitFilter& f) {
        CheckTimeFilter("since", f.since);
        CheckTimeFilter("until", f.until);
        if (!f.result.empty() && f.result != "taken" && f.result != "pass" && f.result != "fail")
            throw StoreError("result " + f.result + " is none of taken, pass, fail");
        // Fixed clauses only; every value a parameter.
        std::string where = " WHERE 1 = 1";
        std::vector<SqlValue> params;
        const auto add = [&](const char* clause, SqlValue value) {
            params.push_back(std::move(value));
            where += std::string(" AND u.") + clause + " $" + std::to_string(params.size());
        };
        if (f.serial) add("serial =", Stored(*f.serial));
        if (!f.series.empty()) add("series =", f.series);
        if (!f.lot.empty()) add("lot =", f.lot);
        if (!f.station.empty()) add("station =", f.station);
        if (!f.result.empty()) add("result =", f.result);
        if (!f.since.empty()) add("time >=", f.since);
        if (!f.until.empty()) add("time <", f.until);
        std::string columns;
        for (std::string_view rest = kUnitColumns; !rest.empty();) {
            const std::size_t comma = rest.find(", ");
            columns += (columns.empty() ? "u." : ", u.") + std::string(rest.substr(0, comma));
            rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 2);
        }
        std::vector<UnitRecord> units;
        std::map<std::string, std::size_t> byId;
        for (const SqlRow& row : sql_->query("SELECT " + columns + " FROM units u" + where + " ORDER BY u.time, u.id", params)) {
            units.push_back(UnitFromRow(row));
            byId[units.back().unitId] = units.size() - 1;
        }
        if (units.empty()) return units;
        for (const SqlRow& row :
             sql_->query("SELECT p.unit_id, p.pool, p.value FROM pool_values p JOIN units u ON u.unit_id = p.unit_id" +
                             where + " ORDER BY p.unit_id, p.slot",
                         params)) {
            const auto at = byId.find(Text(row.at(0)));
            if (at != byId.end()) units[at->second].data.push_back({Text(row.at(1)), Text(row.at(2))});
        }
        return units;
    }

    StoreLocation location_;
    StoreOptions options_;
    std::unique_ptr<SqlConnection> sql_;
    bool postgres_ = false;
    bool broken_ = false;
    std::mutex mutex_;
};

namespace {
// The SQL layer's own failures become the store's, naming it; reachability stays as it is.
template <typename F>
auto AsStoreError(const std::string& where, F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const SqlError& e) {
        throw StoreError(where + ": " + e.what());
    }
}
}  // namespace

DbStore::DbStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DbStore::~DbStore() = default;

std::unique_ptr<DbStore> DbStore::Open(const StoreLocation& location, const StoreOptions& options) {
    // A location the engine cannot read (libpq's own parse) is a StoreError like any other.
    auto impl = AsStoreError("store " + location.shown, [&] { return std::make_unique<Impl>(location, options); });
    Impl& store = *impl;
    AsStoreError(store.Where(), [&] {
        const int version = store.Version();
        if (version > kSchemaVersion) store.ThrowTooNew(version);
        if (version < kSchemaVersion && options.create) store.Init();
    });
    return std::unique_ptr<DbStore>(new DbStore(std::move(impl)));
}

int DbStore::KnownSchemaVersion() { return kSchemaVersion; }

int DbStore::schemaVersion() {
    return impl_->Run([&] { return AsStoreError(impl_->Where(), [&] { return impl_->Version(); }); });
}

void DbStore::init() {
    impl_->Run([&] { AsStoreError(impl_->Where(), [&] { impl_->Init(); }); });
}

station::StartedUnit DbStore::startUnit(const UnitRecord& unit, const NumberCheck& check,
                                        const std::function<bool()>& /*cancelled*/) {
    // Every wait of the store is bounded by its timeouts; there is nothing to cancel in between.
    return impl_->Run([&] { return impl_->Start(unit, check); });
}

void DbStore::finishUnit(const UnitRecord& unit, const std::function<bool()>& /*cancelled*/) {
    impl_->Run([&] { impl_->Finish(unit); });
}

std::uint64_t DbStore::peekNext(const std::string& series) {
    return impl_->Run([&] { return AsStoreError(impl_->Where(), [&] { return impl_->PeekNext(series); }); });
}

std::optional<std::string> DbStore::peekPool(const std::string& pool) {
    return impl_->Run([&] { return AsStoreError(impl_->Where(), [&] { return impl_->PeekPool(pool); }); });
}

void DbStore::setSeries(const std::string& series, std::uint64_t last) {
    impl_->Run([&] { AsStoreError(impl_->Where(), [&] { impl_->SetSeries(series, last); }); });
}

ImportSummary DbStore::importFiles(const std::string& series, std::uint64_t counterLast,
                                   const std::vector<UnitRecord>& records) {
    return impl_->Run(
        [&] { return AsStoreError(impl_->Where(), [&] { return impl_->Import(series, counterLast, records); }); });
}

std::size_t DbStore::loadPool(const std::string& pool, const std::vector<std::string>& values) {
    return impl_->Run([&] { return AsStoreError(impl_->Where(), [&] { return impl_->LoadPool(pool, values); }); });
}

std::uint64_t DbStore::poolFree(const std::string& pool) {
    return impl_->Run([&] { return AsStoreError(impl_->Where(), [&] { return impl_->PoolFree(pool); }); });
}

std::vector<UnitRecord> DbStore::units(const UnitFilter& filter) {
    return impl_->Run([&] { return AsStoreError(impl_->Where(), [&] { return impl_->Units(filter); }); });
}

const StoreLocation& DbStore::location() const { return impl_->location_; }

}  // namespace quillon::store
