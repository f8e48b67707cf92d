// `quillon-cli units` and `quillon-cli report`: finding a line's units again in its store. units
// lists the units a filter selects (a table, or one JSON object per unit); report sums them up per
// station and hour (a table, and on request one HTML page to mail around). Both only read: a
// mistyped store path is refused rather than created, and nothing is ever written to the store.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

#include "cli/Cli.h"
#include "cli/Json.h"
#include "cli/Output.h"
#include "cli/StoreAccess.h"
#include "fs/Files.h"
#include "station/Serial.h"
#include "store/Report.h"
#include "store/Store.h"

namespace quillon::cli {
namespace {

struct ReadArgs {
    std::string store;
    store::UnitQueryText query;
    std::string html;
};

using store::DbStore;

// Why the SQLite file is no store to read, "" when it may be one. SQLite makes the file it is
// asked to open and writes its header into an empty one: a mistyped path would come back as an
// empty line, and a file that is something else would be changed by a command that only reads.
std::string SqliteFileProblem(const store::StoreLocation& location) {
    const PathStatus status = StatPath(location.target);
    if (status.error == ENOENT) return "no store at " + location.shown + " (no such file)";
    if (status.error != 0) return "cannot open store " + location.shown + ": " + SystemReason(status.error);
    if (!status.isRegular) return location.shown + " is " + NonRegularKind(location.target) + ", not a store";
    std::ifstream file(PathFromUtf8(location.target), std::ios::binary);
    char head[16] = {};
    file.read(head, sizeof head);
    static constexpr char kSqliteHead[] = "SQLite format 3";  // and its NUL: 16 bytes
    if (status.size == 0 || !file || std::memcmp(head, kSqliteHead, sizeof head) != 0)
        return location.shown + " is not a line's store (" +
               (status.size == 0 ? std::string("an empty file") : std::string("not an SQLite database")) + ")";
    return {};
}

// Opens the store for reading and runs body on it; every way the store can fail ends here with
// its exit code and a message that shows the location without its password.
template <typename F>
int WithStoreToRead(Output& out, const char* op, const std::string& url, F&& body) {
    const auto fail = [&](int code, const std::string& message) {
        out.Result(op, code, message);
        return code;
    };
    store::StoreOptions options;
    options.create = false;
    const auto refuse = [](const store::StoreLocation& location) {
        return location.engine == store::Engine::Sqlite ? SqliteFileProblem(location) : std::string();
    };
    return RunOnStore(url, options, fail, refuse, [&](DbStore& db) -> int {
        if (db.schemaVersion() == 0)
            return fail(kExitBadInput, db.location().shown + " holds no line's records (no schema: quillon-cli store "
                                                             "init makes one)");
        return body(db);
    });
}

std::string Now() {
    using namespace std::chrono;
    return station::IsoTimeUtc(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

int RunUnits(const CliContext& ctx, const ReadArgs& a) {
    Output out(ctx, false);
    const store::ParsedUnitQuery query = store::ParseUnitQuery(a.query);
    if (!query.problem.empty()) {
        out.Result("units", kExitUsage, query.problem);
        return kExitUsage;
    }
    return WithStoreToRead(out, "units", a.store, [&](DbStore& db) {
        const std::vector<station::UnitRecord> units = db.units(query.filter);
        if (ctx.json) {
            for (const station::UnitRecord& unit : units) std::printf("%s\n", store::UnitJsonLine(unit).c_str());
            ResultDetail detail;
            detail.count = static_cast<std::int64_t>(units.size());
            out.Result("units", kExitOk,
                       std::to_string(units.size()) + (units.size() == 1 ? " unit in " : " units in ") +
                           db.location().shown,
                       detail);
        } else {
            std::fputs(store::UnitsText(units).c_str(), stdout);
        }
        std::fflush(stdout);
        return int(kExitOk);
    });
}

// One JSON object per station, and one for the whole line (all_stations, station ""), with the
// report's totals.
std::string FiguresJsonLine(const std::string& station, bool allStations, const store::Tally& tally,
                            double unitsPerHour, const std::vector<store::Cause>& failures) {
    JsonLine line("report");
    line.Number("schema", kJsonSchema)
        .Text("station", station)
        .Flag("all_stations", allStations)
        .Number("units", tally.units())
        .Number("passes", tally.passes)
        .Number("failures", tally.failures)
        .Number("retired", tally.retired);
    std::string text = line.Str();
    text.pop_back();
    char figures[96];
    // Yield and pace are fractions; JsonLine writes integers only.
    if (tally.yield())
        std::snprintf(figures, sizeof figures, ",\"yield\":%.4f,\"units_per_hour\":%.2f", *tally.yield(), unitsPerHour);
    else
        std::snprintf(figures, sizeof figures, ",\"yield\":null,\"units_per_hour\":%.2f", unitsPerHour);
    text += figures;
    text += ",\"failures_by_cause\":{";
    for (std::size_t i = 0; i < failures.size(); ++i)
        text += (i > 0 ? "," : "") + JsonString(failures[i].failure) + ":" + std::to_string(failures[i].units);
    return text + "}}";
}

// Why the page must not be written where --html names, "" when it may: a page written over a
// SQLite store (or its journal files) would replace a line's records with their summary.
std::string PageOverStore(const ReadArgs& a) {
    if (a.html.empty()) return {};
    store::StoreLocation location;
    try {
        location = store::ParseStoreLocation(a.store);
    } catch (const store::StoreError&) {
        return {};  // said when the store is opened
    }
    if (location.engine != store::Engine::Sqlite) return {};
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        if (SameFile(a.html, location.target + suffix))
            return "--html " + a.html + " is the store " + location.shown + suffix + "; the page goes to a file of its own";
    return {};
}

int RunReport(const CliContext& ctx, const ReadArgs& a) {
    Output out(ctx, false);
    // Only the range filters a report; the rest of a unit query is for `units`.
    store::UnitQueryText range;
    range.since = a.query.since;
    range.until = a.query.until;
    const store::ParsedUnitQuery query = store::ParseUnitQuery(range);
    if (!query.problem.empty()) {
        out.Result("report", kExitUsage, query.problem);
        return kExitUsage;
    }
    if (const std::string clash = PageOverStore(a); !clash.empty()) {
        out.Result("report", kExitUsage, clash);
        return kExitUsage;
    }
    return WithStoreToRead(out, "report", a.store, [&](DbStore& db) {
        const store::ReportFigures report =
            store::BuildReport(db.units(query.filter), query.filter.since, query.filter.until);
        if (ctx.json) {
            for (const store::StationFigures& station : report.stations)
                std::printf("%s\n",
                            FiguresJsonLine(station.station, false, station.total, station.unitsPerHour, station.failures).c_str());
            std::printf("%s\n", FiguresJsonLine("", true, report.total, report.unitsPerHour, report.failures).c_str());
        } else {
            std::fputs(store::ReportText(report).c_str(), stdout);
        }
        std::fflush(stdout);
        const std::string summary = std::to_string(report.total.units()) + " units, " +
                                    std::to_string(report.total.retired) + " retired, in " + db.location().shown;
        if (a.html.empty()) {
            if (ctx.json) out.Result("report", kExitOk, summary);
            return int(kExitOk);
        }
        ResultDetail detail;
        detail.output = a.html;
        try {
            // Made again from the store at any time: no need to wait for the disk.
            WriteFileAtomically(a.html, store::ReportHtml(report, db.location().shown, Now()), Durability::Rebuildable);
        } catch (const std::system_error& e) {
            out.Result("report", kExitError, "cannot write " + a.html + ": " + SystemReason(e.code().value()), detail);
            return int(kExitError);
        }
        out.Result("report", kExitOk, summary + "; page written to " + a.html, detail);
        return int(kExitOk);
    });
}

}  // namespace

void RegisterReport(CLI::App& app, CliContext& ctx) {
    const char* storeHelp =
        "The line's store: PATH.db (SQLite) or postgresql://... (PostgreSQL; libpq's keywords too)";
    const char* timeHelp = "ISO 8601 UTC: 2026-12-10, 2026-12-10T08:00 or 2026-12-10T08:00:00Z";

    auto units = std::make_shared<ReadArgs>();
    auto* u = app.add_subcommand("units", "List the units on record in a line's store (one JSON object each with --json)");
    u->add_option("--store", units->store, storeHelp)->required();
    u->add_option("--serial", units->query.serial, "Only the unit with this serial number");
    u->add_option("--series", units->query.series, "Only units of this serial series");
    u->add_option("--lot", units->query.lot, "Only units of this lot or batch");
    u->add_option("--station", units->query.station, "Only units of this station");
    u->add_option("--result", units->query.result, "Only units with this result: taken, pass or fail");
    u->add_option("--since", units->query.since, std::string("Units started at or after this time; ") + timeHelp);
    u->add_option("--until", units->query.until, std::string("Units started before this time; ") + timeHelp);
    ctx.commands.push_back({u, [&ctx, units] { return RunUnits(ctx, *units); }});

    auto report = std::make_shared<ReadArgs>();
    auto* r = app.add_subcommand(
        "report", "Units, passes, failures, yield and units per hour per station and hour, and failures by cause");
    r->add_option("--store", report->store, storeHelp)->required();
    r->add_option("--since", report->query.since, std::string("Units started at or after this time; ") + timeHelp);
    r->add_option("--until", report->query.until, std::string("Units started before this time; ") + timeHelp);
    r->add_option("--html", report->html, "Also write the report as one self-contained HTML page to this file");
    ctx.commands.push_back({r, [&ctx, report] { return RunReport(ctx, *report); }});
}

}  // namespace quillon::cli
