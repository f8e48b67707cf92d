// The one small interface the database store speaks to both engines through: statements with
// numbered parameters ($1, $2, ...; both engines take them), typed values, explicit
// transactions. One implementation on SQLite 3 (sqlite3), one on PostgreSQL (libpq). No SQL is
// ever built from user text: every value travels as a parameter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillon::store {

// A parameter or a column: SQL NULL, a signed 64-bit integer, or UTF-8 text.
using SqlValue = std::variant<std::monostate, std::int64_t, std::string>;
using SqlRow = std::vector<SqlValue>;

// Failures of a statement that the store cannot take as it is (a constraint, a syntax error,
// permission denied). The connection stays usable after a rollback.
class SqlError : public std::runtime_error {
public:
    SqlError(const std::string& what, bool uniqueViolation = false)
        : std::runtime_error(what), unique_(uniqueViolation) {}
    bool uniqueViolation() const { return unique_; }

private:
    bool unique_;
};
// Connection-level failures (unreachable, timed out, locked, disk full, read-only) throw
// station::StoreUnavailable; the connection must then be opened again (reconnect()).

class SqlConnection {
public:
    virtual ~SqlConnection() = default;
    // "sqlite" or "postgresql": where a statement differs between the engines.
    virtual const char* engine() const = 0;
    // Runs one statement; returns its rows (none for statements without a result).
    virtual std::vector<SqlRow> query(std::string_view sql, const std::vector<SqlValue>& params = {}) = 0;
    void exec(std::string_view sql, const std::vector<SqlValue>& params = {}) { (void)query(sql, params); }
    // A write transaction: on SQLite it takes the database's write lock at once (BEGIN
    // IMMEDIATE), waiting up to the busy timeout.
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() noexcept = 0;  // never throws; a lost connection is noted for reconnect
    // Opens the connection again after a StoreUnavailable. Throws StoreUnavailable.
    virtual void reconnect() = 0;
};

struct SqlTimeouts {
    int connectMs = 5000;
    int statementMs = 5000;
};

// Throw station::StoreUnavailable when the database cannot be reached or opened.
std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path, const SqlTimeouts& timeouts);
std::unique_ptr<SqlConnection> OpenPostgres(const std::string& conninfo, const SqlTimeouts& timeouts);

}  // namespace quillon::store
