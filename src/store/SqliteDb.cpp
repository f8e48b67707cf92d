// The SQL layer on SQLite 3: one database file shared by every station process of one PC.
// Write-ahead logging lets readers go on while one writer holds the lock; a write transaction
// takes that lock at its start (BEGIN IMMEDIATE) and waits at most the busy timeout for it, so
// two stations never deadlock halfway through a unit and a locked file is a bounded wait.
#include "store/Sql.h"

#include "station/UnitStore.h"
#include "store/SystemError.h"

#include <sqlite3.h>

#include <cstdlib>
#include <string>
#include <utility>

namespace quillon::store {
namespace {

using station::StoreUnavailable;

// The reason an operator reads on the station's status line, in words rather than codes. The
// system's own error (a full disk, a read-only mount) says more than SQLite's code for it.
std::string Reason(sqlite3* db, int code, int systemError = 0) {
    const int primary = code & 0xff;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) return "database is locked";
    const std::string system = db ? SystemErrorReason(sqlite3_system_errno(db)) : "";
    if (!system.empty() && primary != SQLITE_CONSTRAINT) return system;
    // The error number seen just after the failure: trusted only where it names a known cause,
    // since a number left from an earlier harmless probe may linger.
    if (primary == SQLITE_IOERR || primary == SQLITE_FULL || primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY) {
        const std::string words = KnownSystemErrorReason(systemError);
        if (!words.empty()) return words;
    }
    switch (primary) {
    case SQLITE_FULL: return "disk full";
    case SQLITE_READONLY: return "read-only file system";
    case SQLITE_NOMEM: return "out of memory";
    case SQLITE_CANTOPEN: return "cannot open the database file";
    case SQLITE_IOERR: return "disk I/O error";
    default: return sqlite3_errstr(code);
    }
}

bool Unavailable(int code) {
    switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_NOMEM:
    case SQLITE_PROTOCOL:
        return true;
    // A file that is not a database, or a damaged one, does not get better by waiting: it is
    // refused (SqlError) so that a station stops and says so instead of waiting for ever.
    default:
        return false;
    }
}

class Statement {
public:
    Statement(sqlite3* db, std::string_view sql) {
        const int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(stmt_);
            stmt_ = nullptr;
            code_ = rc;
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    int code() const { return code_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int code_ = SQLITE_OK;
};

class SqliteConnection final : public SqlConnection {
public:
    SqliteConnection(std::string path, const SqlTimeouts& timeouts) : path_(std::move(path)), timeouts_(timeouts) {
        open();
    }
    ~SqliteConnection() override { close(); }

    const char* engine() const override { return "sqlite"; }

    std::vector<SqlRow> query(std::string_view sql, const std::vector<SqlValue>& params) override {
        if (!db_) throw StoreUnavailable("store unreachable: the database is closed");
        try {
            return run(sql, params);
        } catch (...) {
            if (db_ && !sqlite3_get_autocommit(db_)) failedInTransaction_ = true;
            throw;
        }
    }

    void begin() override {
        exec("BEGIN IMMEDIATE");
        failedInTransaction_ = false;
    }
    // SQLite undoes only the failed statement and would commit the rest; PostgreSQL refuses the
    // whole transaction. The store relies on PostgreSQL's rule: all of a unit's start, or nothing.
    void commit() override {
        if (failedInTransaction_) {
            rollback();
            throw SqlError("the transaction was rolled back: a statement in it failed");
        }
        exec("COMMIT");
    }
    void rollback() noexcept override {
        failedInTransaction_ = false;
        if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void reconnect() override {
        close();
        open();
    }

private:
    std::vector<SqlRow> run(std::string_view sql, const std::vector<SqlValue>& params) {
        Statement stmt(db_, sql);
        if (!stmt.get()) {
            if (stmt.code() != SQLITE_OK) fail(stmt.code());
            return {};  // an empty statement
        }
        bind(stmt.get(), params);
        std::vector<SqlRow> rows;
        for (;;) {
            const int rc = sqlite3_step(stmt.get());
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) {
                // SQLite keeps the system's error only for some failures (a write to the log
                // file that hit the size limit is "disk I/O error" alone): taken here, at once.
                lastSystemError_ = LastSystemError();
                fail(rc);
            }
            const int n = sqlite3_column_count(stmt.get());
            SqlRow row;
            row.reserve(static_cast<std::size_t>(n));
            for (int i = 0; i < n; ++i) {
                switch (sqlite3_column_type(stmt.get(), i)) {
                case SQLITE_NULL: row.emplace_back(std::monostate{}); break;
                case SQLITE_INTEGER: row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(stmt.get(), i))); break;
                default: {
                    // Text, and anything else as its text (a REAL, a BLOB's bytes).
                    const auto* text = sqlite3_column_text(stmt.get(), i);
                    const int size = sqlite3_column_bytes(stmt.get(), i);
                    row.emplace_back(std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size)));
                }
                }
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    void open() {
        // READWRITE|CREATE creates the file but never a folder: a missing folder is a wrong path
        // (or an unmounted share), reported rather than papered over.
        const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
        sqlite3* db = nullptr;
        const int rc = sqlite3_open_v2(path_.c_str(), &db, flags, nullptr);
        if (rc != SQLITE_OK) {
            std::string reason = Reason(db, rc);
            sqlite3_close(db);
            throw StoreUnavailable("store unreachable: " + reason + ": " + path_);
        }
        db_ = db;
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, timeouts_.connectMs);
        try {
            // A file opened read-only by the system (no write permission) is refused now rather
            // than at the first unit.
            if (sqlite3_db_readonly(db_, "main") == 1) {
                throw StoreUnavailable("store unreachable: read-only file or file system: " + path_);
            }
            // WAL: one writer and many readers at once; FULL: a committed unit survives a power loss.
            const auto mode = query("PRAGMA journal_mode=WAL", {});
            if (mode.empty() || !std::holds_alternative<std::string>(mode[0][0]) ||
                std::get<std::string>(mode[0][0]) != "wal") {
                throw StoreUnavailable("store unreachable: cannot use write-ahead logging on " + path_);
            }
            exec("PRAGMA synchronous=FULL");
            exec("PRAGMA foreign_keys=ON");
        } catch (...) {
            close();
            throw;
        }
    }

    void close() noexcept {
        failedInTransaction_ = false;
        if (db_) sqlite3_close_v2(db_);
        db_ = nullptr;
    }

    void bind(sqlite3_stmt* stmt, const std::vector<SqlValue>& params) {
        const int count = sqlite3_bind_parameter_count(stmt);
        for (std::size_t i = 0; i < params.size(); ++i) {
            std::string name = std::to_string(i + 1);
            name.insert(name.begin(), '$');
            const int index = sqlite3_bind_parameter_index(stmt, name.c_str());
            // A value the statement does not name is left out, as PostgreSQL does with typed
            // values; a name without a value is refused below.
            if (index == 0) continue;
            int rc = SQLITE_OK;
            const SqlValue& value = params[i];
            if (std::holds_alternative<std::monostate>(value)) {
                rc = sqlite3_bind_null(stmt, index);
            } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
                rc = sqlite3_bind_int64(stmt, index, *number);
            } else {
                const std::string& text = std::get<std::string>(value);
                // PostgreSQL's text cannot hold NUL; neither store takes what the other refuses.
                if (text.find('\0') != std::string::npos)
                    throw SqlError("text parameter $" + std::to_string(i + 1) + " holds a NUL character");
                rc = sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
            }
            if (rc != SQLITE_OK) fail(rc);
        }
        for (int index = 1; index <= count; ++index) {
            const char* name = sqlite3_bind_parameter_name(stmt, index);
            if (!name || name[0] != '$') throw SqlError("statement parameters are written $1, $2, ...");
            const long number = std::strtol(name + 1, nullptr, 10);
            if (number < 1 || static_cast<std::size_t>(number) > params.size())
                throw SqlError(std::string("no value given for parameter ") + name);
        }
    }

    [[noreturn]] void fail(int rc) {
        const int systemError = std::exchange(lastSystemError_, 0);
        if (Unavailable(rc)) throw StoreUnavailable("store unreachable: " + Reason(db_, rc, systemError));
        const bool unique = rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY;
        throw SqlError(sqlite3_errmsg(db_), unique);
    }

    std::string path_;
    SqlTimeouts timeouts_;
    sqlite3* db_ = nullptr;
    bool failedInTransaction_ = false;
    int lastSystemError_ = 0;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path, const SqlTimeouts& timeouts) {
    return std::make_unique<SqliteConnection>(path, timeouts);
}

}  // namespace quillon::store
