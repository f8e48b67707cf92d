// `quillon-cli store init|import|load-pool`: sets a line's database store up, carries a station's
// counter file and unit log into it, and fills its pools of per-unit data. Every change is one
// transaction: a refused file or a conflict leaves the store as it was.
#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>
#include <system_error>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/Output.h"
#include "cli/StoreAccess.h"
#include "core/Utf8.h"
#include "fs/Files.h"
#include "station/Serial.h"
#include "store/LogImport.h"
#include "store/Store.h"

namespace quillon::cli {
namespace {

struct StoreArgs {
    std::string store;
    std::string serialFile, log, series = "serial";
    std::string pool, file;
};

using store::DbStore;

// Opens the store and runs body on it; every way the store can fail ends here with its exit code.
template <typename F>
int WithStore(const CliContext& ctx, const char* op, const std::string& url, bool create, F&& body) {
    Output out(ctx);
    const auto fail = [&](int code, const std::string& message) {
        out.Result(op, code, message);
        return code;
    };
    store::StoreOptions options;
    options.create = create;
    try {
        return RunOnStore(url, options, fail, [](const store::StoreLocation&) { return std::string(); },
                          [&](DbStore& db) -> int { return body(out, db, fail); });
    } catch (const station::SerialError& e) {
        return fail(kExitBadInput, e.what());
    }
}

int RunInit(const CliContext& ctx, const StoreArgs& a) {
    return WithStore(ctx, "store init", a.store, false, [&](Output& out, DbStore& db, auto&&) {
        const int before = db.schemaVersion();
        db.init();
        const std::string where = db.location().shown;
        out.Result("store init", kExitOk,
                   before == DbStore::KnownSchemaVersion()
                       ? "schema version " + std::to_string(before) + " already in " + where
                       : "schema version " + std::to_string(DbStore::KnownSchemaVersion()) + " in " + where +
                             (before == 0 ? " (created)" : " (brought up from version " + std::to_string(before) + ")"));
        return int(kExitOk);
    });
}

// The file's text, or why it cannot be read.
std::string ReadInput(const std::string& path, std::string& problem) {
    problem = InputProblem(path);
    if (!problem.empty()) return {};
    try {
        return ReadWholeFile(path, std::size_t(1) << 30);
    } catch (const std::system_error& e) {
        problem = path + ": " + SystemReason(e.code().value());
        return {};
    }
}

int RunImport(const CliContext& ctx, const StoreArgs& a) {
    // The files first: a store is opened only for an import that can happen.
    std::optional<std::uint64_t> counter;
    store::LogUnits units;
    {
        Output early(ctx, false);
        const auto refuse = [&](const std::string& message) {
            early.Result("store import", kExitBadInput, message);
            return int(kExitBadInput);
        };
        std::string problem;
        const std::string counterText = ReadInput(a.serialFile, problem);
        if (!problem.empty()) return refuse("cannot open " + problem);
        counter = station::ParseCounter(counterText);
        if (!counter) return refuse(a.serialFile + " is not a serial counter (one decimal number, the last one given)");
        if (!a.log.empty()) {
            const std::string logText = ReadInput(a.log, problem);
            if (!problem.empty()) return refuse("cannot open " + problem);
            try {
                units = store::UnitsOfLog(logText, station::SeriesOf(a.serialFile), a.series);
            } catch (const std::exception& e) {
                return refuse(a.log + ": " + e.what() + "; nothing was imported");
            }
        }
    }
    return WithStore(ctx, "store import", a.store, true, [&](Output& out, DbStore& db, auto&&) {
        const store::ImportSummary summary = db.importFiles(a.series, *counter, units.units);
        std::string message = std::to_string(summary.added) + " units added, " + std::to_string(summary.alreadyThere) +
                              " already in the store; series " + a.series + " goes on after " +
                              std::to_string(summary.last);
        if (units.otherSeries > 0)
            message += "; " + std::to_string(units.otherSeries) + " records of other counters left out";
        if (units.truncated > 0)
            message += "; " + std::to_string(units.truncated) + " records cut short left out";
        ResultDetail detail;
        detail.count = static_cast<std::int64_t>(summary.added);
        out.Result("store import", kExitOk, message, detail);
        return int(kExitOk);
    });
}

bool EndsWithCsv(const std::string& path) {
    if (path.size() < 4) return false;
    std::string end = path.substr(path.size() - 4);
    std::transform(end.begin(), end.end(), end.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return end == ".csv";
}

std::string Trimmed(std::string_view text) {
    const std::size_t from = text.find_first_not_of(" \t");
    if (from == std::string_view::npos) return {};
    const std::size_t to = text.find_last_not_of(" \t");
    return std::string(text.substr(from, to - from + 1));
}

// A pool file's values and the line each came from. Throws store::StoreError naming the line.
struct PoolLines {
    std::vector<std::string> values;
    std::vector<std::size_t> lines;
};
PoolLines ReadPoolLines(const std::string& path, std::string_view text) {
    const bool csv = EndsWithCsv(path);
    PoolLines pool;
    std::size_t lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::string at = path + " line " + std::to_string(lineNo);
        if (!IsValidUtf8(line)) throw store::StoreError(at + " is not valid UTF-8 text");
        if (std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\t'; }))
            throw store::StoreError(at + " holds a control character");
        if (Trimmed(line).empty()) continue;
        std::string value;
        if (csv) {
            // The first column: plain up to the first comma, or quoted with "" for a quote.
            const std::string_view rest = line.substr(line.find_first_not_of(" \t"));
            if (!rest.empty() && rest[0] == '"') {
                std::size_t i = 1;
                bool closed = false;
                while (i < rest.size()) {
                    if (rest[i] == '"') {
                        if (i + 1 < rest.size() && rest[i + 1] == '"') {
                            value += '"';
                            i += 2;
                            continue;
                        }
                        closed = true;
                        ++i;
                        break;
                    }
                    value += rest[i++];
                }
                const std::string after = Trimmed(rest.substr(i));
                if (!closed || (!after.empty() && after[0] != ','))
                    throw store::StoreError(at + " has a quoted first column that is not closed properly");
                value = Trimmed(value);
            } else {
                value = Trimmed(rest.substr(0, rest.find(',')));
            }
        } else {
            value = Trimmed(line);
        }
        if (value.empty()) throw store::StoreError(at + " has an empty value");
        pool.values.push_back(std::move(value));
        pool.lines.push_back(lineNo);
    }
    return pool;
}

int RunLoadPool(const CliContext& ctx, const StoreArgs& a) {
    std::string problem;
    const std::string text = ReadInput(a.file, problem);
    PoolLines lines;
    {
        Output early(ctx, false);
        if (!problem.empty()) {
            early.Result("store load-pool", kExitBadInput, "cannot open " + problem);
            return kExitBadInput;
        }
        try {
            lines = ReadPoolLines(a.file, text);
        } catch (const store::StoreError& e) {
            early.Result("store load-pool", kExitBadInput, std::string(e.what()) + "; nothing was loaded");
            return kExitBadInput;
        }
        if (lines.values.empty()) {
            early.Result("store load-pool", kExitBadInput, a.file + " holds no values; nothing was loaded");
            return kExitBadInput;
        }
    }
    return WithStore(ctx, "store load-pool", a.store, true, [&](Output& out, DbStore& db, auto&& fail) {
        std::size_t added = 0;
        try {
            added = db.loadPool(a.pool, lines.values);
        } catch (const store::PoolLoadError& e) {
            const std::size_t line = e.position() >= 1 && e.position() <= lines.lines.size() ? lines.lines[e.position() - 1] : 0;
            return fail(kExitBadInput,
                        a.file + " line " + std::to_string(line) + ": " + e.reason() + "; nothing was loaded");
        }
        const std::uint64_t free = db.poolFree(a.pool);
        ResultDetail detail;
        detail.count = static_cast<std::int64_t>(added);
        out.Result("store load-pool", kExitOk,
                   std::to_string(added) + " values loaded into pool " + a.pool + " (" + std::to_string(free) +
                       " unused) in " + db.location().shown,
                   detail);
        return int(kExitOk);
    });
}

}  // namespace

void RegisterStore(CLI::App& app, CliContext& ctx) {
    auto* cmd = app.add_subcommand("store", "Set up a line's database store, import a counter and its log, load pools");
    cmd->require_subcommand(1);
    cmd->fallthrough();
    auto args = std::make_shared<StoreArgs>();
    const char* storeHelp =
        "The store: PATH.db, sqlite:PATH (SQLite) or postgresql://... / libpq keywords (PostgreSQL)";

    auto* init = cmd->add_subcommand("init", "Create the store's schema, or bring an older one up to date");
    init->add_option("--store", args->store, storeHelp)->required();
    init->fallthrough();
    ctx.commands.push_back({init, [&ctx, args] { return RunInit(ctx, *args); }});

    auto* import = cmd->add_subcommand("import", "Carry a serial counter file and its unit log into the store");
    import->add_option("--store", args->store, storeHelp)->required();
    import->add_option("--serial-file", args->serialFile, "The counter file (the last number given)")->required();
    import->add_option("--log", args->log, "The station's unit log (JSON lines)");
    import->add_option("--series", args->series, "The store's serial series to carry the counter into")
        ->default_str("serial");
    import->fallthrough();
    ctx.commands.push_back({import, [&ctx, args] { return RunImport(ctx, *args); }});

    auto* load = cmd->add_subcommand("load-pool", "Load per-unit values (one per line, or a CSV's first column) into a pool");
    load->add_option("--store", args->store, storeHelp)->required();
    load->add_option("--pool", args->pool, "The pool's name")->required();
    load->add_option("file", args->file, "The values: one per line, or the first column of a .csv file")->required();
    load->fallthrough();
    ctx.commands.push_back({load, [&ctx, args] { return RunLoadPool(ctx, *args); }});
}

}  // namespace quillon::cli
