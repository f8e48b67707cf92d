// Finding units again: the figures of a line's units over a time range (per station and per
// hour: units, passes, failures, yield, units per hour, failures by cause, retired numbers), as a
// text table for a terminal and as one self-contained HTML page with its charts as inline SVG;
// and the pieces of the `units` command that need no database (its filter from the command
// line's text, a unit's table row and JSON line). Pure: the records come from the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/Station.h"
#include "store/Store.h"

namespace quillon::store {

// A time as the command line takes it: ISO 8601 UTC, "2026-12-10", "2026-12-10T08",
// "2026-12-10T08:00", "2026-12-10T08:00:00", with up to 9 digits of a second's fraction and an
// optional "Z". Returns it in the unit records' own form ("2026-12-10T08:00:00.000Z"), which
// orders as text the way the times order; nothing for anything else (another offset, a 13th
// month, 30 February, a 24th hour).
std::optional<std::string> ParseUtcTime(std::string_view text);

// A record whose number was taken and whose result never came: its station stopped mid-unit
// (killed, power cut), and the number is retired. The store says which records those are.
inline bool IsRetired(const station::UnitRecord& unit) { return std::string_view(UnitResult(unit)) == "taken"; }

struct Tally {
    std::uint64_t passes = 0;
    std::uint64_t failures = 0;
    std::uint64_t retired = 0;  // taken, no result: not a unit of the yield
    std::uint64_t units() const { return passes + failures; }
    // passes / units; nothing without units (there is no yield of nothing).
    std::optional<double> yield() const;
    void add(const station::UnitRecord& unit);
};

struct HourFigures {
    std::string hour;  // "2026-12-10T08" (UTC), or "unknown" for a record without a readable time
    Tally tally;
};

struct Cause {
    std::string failure;  // the record's failure
    std::uint64_t units = 0;
};

struct StationFigures {
    std::string station;          // "" for records that name none
    std::vector<HourFigures> hours;  // the hours with records, oldest first
    Tally total;
    // Units over the hours the station worked (hours with any record): its pace while running,
    // not diluted by the nights it was off.
    double unitsPerHour = 0;
    std::vector<Cause> failures;  // most units first, then by name
};

struct ReportFigures {
    std::string since, until;  // as given to BuildReport ("" open)
    std::vector<StationFigures> stations;  // by name
    std::vector<HourFigures> hours;        // every station together, oldest first
    Tally total;
    double unitsPerHour = 0;  // the whole line's: units over the hours anyone worked
    std::vector<Cause> failures;
};

// The figures of the records whose time is in [since, until) (each in ParseUtcTime's form, ""
// open). With a range, a record without a readable time is left out (it cannot be placed).
ReportFigures BuildReport(const std::vector<station::UnitRecord>& records, const std::string& since = {},
                          const std::string& until = {});

// Aligned columns for a terminal (numbers right-aligned, wide characters counted as two
// columns, control characters of user text shown as '?'), one table per hour and station with
// a total per station and for the line, then the failures by cause.
std::string ReportText(const ReportFigures& report);

// One HTML page that needs nothing else: no script, styles inline, charts as inline SVG (units
// per hour per station; yield per hour per station), every figure also in a table. source
// names where the records came from (a store's location without its password), generated when
// the page was made; both are shown as text.
std::string ReportHtml(const ReportFigures& report, const std::string& source, const std::string& generated);

// Text for HTML's text and attribute values: & < > " ' escaped, bytes that are not UTF-8 as
// U+FFFD, control characters other than tab and line end dropped.
std::string HtmlEscape(std::string_view text);

// The `units` command's filter as typed; empty fields do not filter.
struct UnitQueryText {
    std::string serial, series, lot, station, result, since, until;
};
// The filter, or why the text is not one (a usage error): the serial a whole number up to
// 2^64 - 1, the result taken, pass or fail, the times as ParseUtcTime takes them (given on in its
// form), since not after until.
struct ParsedUnitQuery {
    UnitFilter filter;
    std::string problem;  // "" when filter holds
};
ParsedUnitQuery ParseUnitQuery(const UnitQueryText& text);

// A unit as the `units` command shows it: its JSON object (the unit log's fields, "result"
// "taken" for a retired number, and station, operator, lot, part and data), and its table.
std::string UnitJsonLine(const station::UnitRecord& unit);
std::string UnitsText(const std::vector<station::UnitRecord>& units);

}  // namespace quillon::store
