// The SQL layer on PostgreSQL through libpq, the server's own C client. Nothing here blocks
// without a bound: the connection is made with libpq's non-blocking calls and every statement is
// sent asynchronously, both waited for on the socket against a deadline, so that a server that
// stalls (a network that drops packets instead of refusing them) ends as a StoreUnavailable
// rather than a station that hangs. The server also gets the statement timeout, so it stops the
// work itself and the connection stays usable when only a statement was slow.
#include "store/Sql.h"

#include "station/UnitStore.h"
#include "store/Secrets.h"
#include "store/SocketWait.h"

#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

namespace quillon::store {
namespace {

using station::StoreUnavailable;
using Clock = std::chrono::steady_clock;

// The server's type numbers (pg_type.oid, fixed since PostgreSQL's first releases) of the
// columns that come back as integers.
constexpr Oid kBoolOid = 16;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kOidOid = 26;

// libpq's messages are several lines ("connection to server ... failed: ...\n\tIs the server
// running ..."): one line for a status line or a log.
std::string OneLine(const char* message) {
    std::string out;
    bool blank = false;
    for (const char* p = message ? message : ""; *p; ++p) {
        const bool space = *p == '\n' || *p == '\r' || *p == '\t' || *p == ' ';
        if (space) {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += *p;
    }
    return out;
}

int Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

// Where the answer for a timed-out statement still matters to the server, it is told to stop.
// PQcancel opens a connection of its own and waits for the server to close it, without any
// bound: on a stalled network that could take minutes, so it runs on a thread of its own and
// the caller goes on at once. The server's own statement timeout ends the work in any case.
void CancelInBackground(PGconn* conn) {
    PGcancel* cancel = PQgetCancel(conn);
    if (!cancel) return;
    std::thread([cancel] {
        char error[256];
        PQcancel(cancel, error, sizeof error);
        PQfreeCancel(cancel);
    }).detach();
}

struct Outcome {
    std::vector<SqlRow> rows;
    std::string status;  // the command tag: "INSERT 0 1", "COMMIT", "ROLLBACK" ...
};

class PostgresConnection final : public SqlConnection {
public:
    PostgresConnection(std::string conninfo, const SqlTimeouts& timeouts)
        : conninfo_(std::move(conninfo)), timeouts_(timeouts), secrets_(PasswordsIn(conninfo_)) {
        reconnect();
    }
    ~PostgresConnection() override { drop(); }

    const char* engine() const override { return "postgresql"; }

    std::vector<SqlRow> query(std::string_view sql, const std::vector<SqlValue>& params) override {
        return run(sql, params).rows;
    }

    void begin() override { run("BEGIN", {}); }
    void commit() override {
        // The server answers COMMIT of a transaction spoilt by a failed statement with ROLLBACK
        // and no error: that is a failure all the same.
        if (run("COMMIT", {}).status == "ROLLBACK")
            throw SqlError("the transaction was rolled back: a statement in it failed");
    }
    void rollback() noexcept override {
        if (!conn_ || PQtransactionStatus(conn_) == PQTRANS_IDLE) return;
        try {
            run("ROLLBACK", {});
        } catch (...) {
            drop();  // whatever is left of the transaction goes with the connection
        }
    }
    void reconnect() override {
        drop();
        try {
            connect();
        } catch (...) {
            drop();
            throw;
        }
    }

private:
    void connect() {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeouts_.connectMs);
        // libpq counts connect_timeout in whole seconds (at least 2); our own deadline is exact.
        const std::string connectSeconds = std::to_string(std::max(2, (timeouts_.connectMs + 999) / 1000));
        // A dead peer ends an idle connection within half a minute (keepalives) and unacknowledged
        // data within the statement bound (TCP_USER_TIMEOUT, where the system has it).
        const std::string userTimeout = std::to_string(std::max(timeouts_.connectMs, timeouts_.statementMs) * 2);
        // Entries before dbname are defaults the caller's string may change; connect_timeout
        // comes after it and always holds.
        const char* keywords[] = {"application_name", "keepalives", "keepalives_idle", "keepalives_interval",
                                  "keepalives_count", "tcp_user_timeout", "dbname", "connect_timeout", nullptr};
        const char* values[] = {"quillon", "1", "10", "5", "3", userTimeout.c_str(), conninfo_.c_str(),
                                connectSeconds.c_str(), nullptr};
        {
            // A string libpq cannot read is the caller's mistake, never worth a retry.
            char* error = nullptr;
            PQconninfoOption* options = PQconninfoParse(conninfo_.c_str(), &error);
            if (!options && conninfo_.find_first_of("=:") != std::string::npos) {
                const std::string message = error ? OneLine(error) : "out of memory";
                PQfreemem(error);
                throw SqlError(HideSecrets("invalid database location: " + message, secrets_));
            }
            PQconninfoFree(options);
            PQfreemem(error);
        }
        conn_ = PQconnectStartParams(keywords, values, 1);
        if (!conn_) throw StoreUnavailable("store unreachable: out of memory");
        if (PQstatus(conn_) == CONNECTION_BAD) lost("");
        PostgresPollingStatusType state = PGRES_POLLING_WRITING;
        while (state != PGRES_POLLING_OK) {
            if (state == PGRES_POLLING_FAILED) lost("");
            const SocketWait wait = WaitForSocket(PQsocket(conn_), state == PGRES_POLLING_WRITING, Remaining(deadline));
            if (wait == SocketWait::Failed) lost("");
            if (wait == SocketWait::TimedOut) {
                if (Remaining(deadline) > 0) continue;
                timedOut(timeouts_.connectMs, "connecting to " + where());
            }
            state = PQconnectPoll(conn_);
        }
        if (PQsetnonblocking(conn_, 1) != 0) lost("");
        // The server's notices ("terminating connection due to ...") would go to standard
        // error, into the middle of a station's output; what matters arrives as errors.
        PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
        // The server stops a statement past the bound itself, and ends a session left inside a
        // transaction (a station gone mid-unit) so that it holds no row of a series for long.
        const int idle = std::max(10000, timeouts_.statementMs * 4);
        run("SELECT set_config('statement_timeout', $1, false), set_config('idle_in_transaction_session_timeout', $2, false)",
            {std::to_string(std::max(1, timeouts_.statementMs)), std::to_string(idle)});
    }

    std::string where() const {
        const char* host = conn_ ? PQhost(conn_) : nullptr;
        const char* port = conn_ ? PQport(conn_) : nullptr;
        std::string text = host && *host ? host : "the server";
        if (port && *port) text += std::string(":") + port;
        return text;
    }

    void drop() noexcept {
        if (conn_) PQfinish(conn_);
        conn_ = nullptr;
    }

    [[noreturn]] void lost(const std::string& context) {
        std::string reason = conn_ ? OneLine(PQerrorMessage(conn_)) : "";
        if (reason.empty()) reason = "the connection was lost";
        drop();
        throw StoreUnavailable(HideSecrets("store unreachable: " + context + reason, secrets_));
    }

    [[noreturn]] void timedOut(int ms, const std::string& doing) {
        drop();
        throw StoreUnavailable(
            HideSecrets("store unreachable: timed out after " + std::to_string(ms) + " ms (" + doing + ")", secrets_));
    }

    Outcome run(std::string_view sql, const std::vector<SqlValue>& params) {
        if (!conn_) throw StoreUnavailable("store unreachable: not connected");
        std::vector<std::string> texts(params.size());
        std::vector<const char*> values(params.size(), nullptr);
        std::vector<Oid> types(params.size(), 0);
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (const auto* number = std::get_if<std::int64_t>(&params[i])) {
                texts[i] = std::to_string(*number);
                types[i] = kInt8Oid;
                values[i] = texts[i].c_str();
            } else if (const auto* text = std::get_if<std::string>(&params[i])) {
                if (text->find('\0') != std::string::npos)
                    throw SqlError("text parameter $" + std::to_string(i + 1) + " holds a NUL character");
                // Text goes untyped, so the server reads it as the column or cast it meets.
                values[i] = text->c_str();
            }
        }
        const std::string statement(sql);
        const auto deadline = Clock::now() + std::chrono::milliseconds(clientBound());
        if (!PQsendQueryParams(conn_, statement.c_str(), static_cast<int>(params.size()), types.data(), values.data(),
                               nullptr, nullptr, 0))
            lost("");
        for (;;) {
            const int flushed = PQflush(conn_);
            if (flushed == 0) break;
            if (flushed < 0) lost("");
            await(deadline, true);
        }
        Outcome outcome;
        std::string failure, sqlstate;
        for (;;) {
            while (PQisBusy(conn_)) {
                await(deadline, false);
                if (!PQconsumeInput(conn_)) lost("");
            }
            PGresult* result = PQgetResult(conn_);
            if (!result) break;
            switch (PQresultStatus(result)) {
            case PGRES_TUPLES_OK: outcome.rows = rows(result); [[fallthrough]];
            case PGRES_COMMAND_OK:
            case PGRES_EMPTY_QUERY: outcome.status = PQcmdStatus(result); break;
            case PGRES_FATAL_ERROR:
            case PGRES_NONFATAL_ERROR:
            default:
                if (failure.empty()) {
                    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
                    const char* message = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
                    sqlstate = state ? state : "";
                    failure = OneLine(message ? message : PQresultErrorMessage(result));
                    if (failure.empty()) failure = PQresStatus(PQresultStatus(result));
                }
                break;
            }
            PQclear(result);
        }
        if (PQstatus(conn_) == CONNECTION_BAD) lost("");
        if (!failure.empty()) fail(sqlstate, failure);
        return outcome;
    }

    // The client's own bound sits a little past the server's, so that the server's timeout
    // normally ends a slow statement and the connection goes on.
    int clientBound() const { return timeouts_.statementMs + std::min(2000, std::max(250, timeouts_.statementMs / 2)); }

    void await(Clock::time_point deadline, bool forWrite) {
        for (;;) {
            const SocketWait wait = WaitForSocket(PQsocket(conn_), forWrite, Remaining(deadline));
            if (wait == SocketWait::Ready) return;
            if (wait == SocketWait::Failed) lost("");
            if (Remaining(deadline) > 0) continue;
            CancelInBackground(conn_);
            timedOut(timeouts_.statementMs, "no answer from " + where());
        }
    }

    [[noreturn]] void fail(const std::string& sqlstate, const std::string& message) {
        const std::string text = HideSecrets(message, secrets_);
        if (sqlstate == "23505") throw SqlError(text, true);
        if (sqlstate == "57014")
            throw StoreUnavailable("store unreachable: timed out after " + std::to_string(timeouts_.statementMs) + " ms (" + text + ")");
        // The transient ones: a lock not granted, a conflict or deadlock between stations, the
        // server out of room or shutting down, the connection's own failures. Another try later
        // may succeed.
        // 08P01 is the server's word for a statement given the wrong number of values: the
        // caller's fault, and the connection goes on.
        const std::string cls = sqlstate == "08P01" ? "" : sqlstate.substr(0, 2);
        if (sqlstate == "55P03" || sqlstate == "40001" || sqlstate == "40P01" || cls == "08" || cls == "53" ||
            cls == "57" || cls == "58") {
            if (cls == "08" || cls == "57") drop();
            throw StoreUnavailable("store unreachable: " + text);
        }
        throw SqlError(text);
    }

    static std::vector<SqlRow> rows(const PGresult* result) {
        const int n = PQntuples(result);
        const int columns = PQnfields(result);
        std::vector<SqlRow> out;
        out.reserve(static_cast<std::size_t>(n));
        for (int r = 0; r < n; ++r) {
            SqlRow row;
            row.reserve(static_cast<std::size_t>(columns));
            for (int c = 0; c < columns; ++c) {
                if (PQgetisnull(result, r, c)) {
                    row.emplace_back(std::monostate{});
                    continue;
                }
                const char* text = PQgetvalue(result, r, c);
                const Oid type = PQftype(result, c);
                if (type == kInt8Oid || type == kInt4Oid || type == kInt2Oid || type == kOidOid) {
                    row.emplace_back(static_cast<std::int64_t>(std::strtoll(text, nullptr, 10)));
                } else if (type == kBoolOid) {
                    // As SQLite gives a comparison's result: 1 or 0.
                    row.emplace_back(std::int64_t{text[0] == 't' ? 1 : 0});
                } else {
                    row.emplace_back(std::string(text, static_cast<std::size_t>(PQgetlength(result, r, c))));
                }
            }
            out.push_back(std::move(row));
        }
        return out;
    }

    std::string conninfo_;
    SqlTimeouts timeouts_;
    std::vector<std::string> secrets_;
    PGconn* conn_ = nullptr;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenPostgres(const std::string& conninfo, const SqlTimeouts& timeouts) {
    return std::make_unique<PostgresConnection>(conninfo, timeouts);
}

}  // namespace quillon::store
