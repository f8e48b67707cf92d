// The report is computed from plain records so that the same figures come out whatever store
// held them, and both outputs are built from one ReportFigures so that the page and the table
// never disagree. The page carries everything it needs: it is mailed around and opened on PCs
// without network access, and a page with a script or a remote style in it is a page that can
// be made to do things by whoever named a station.
#include "store/Report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "core/Json.h"
#include "core/Utf8.h"
#include "station/UnitLog.h"

namespace quillon::store {

namespace {

bool Digits(std::string_view text, std::size_t at, std::size_t n, int& value) {
    if (at + n > text.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<std::string> ParseUtcTime(std::string_view text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    if (!Digits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' || !Digits(text, 5, 2, month) ||
        text[7] != '-' || !Digits(text, 8, 2, day))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return std::nullopt;
    std::size_t at = 10;
    if (at < text.size()) {
        if (text[at] != 'T') return std::nullopt;
        if (!Digits(text, at + 1, 2, hour) || hour > 23) return std::nullopt;
        at += 3;
        if (at < text.size() && text[at] == ':') {
            if (!Digits(text, at + 1, 2, minute) || minute > 59) return std::nullopt;
            at += 3;
            if (at < text.size() && text[at] == ':') {
                if (!Digits(text, at + 1, 2, second) || second > 59) return std::nullopt;
                at += 3;
                if (at < text.size() && text[at] == '.') {
                    std::size_t digits = 0;
                    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits)
                        if (digits < 3) millis = millis * 10 + (text[at] - '0');
                    if (digits == 0 || digits > 9) return std::nullopt;
                    for (; digits < 3; ++digits) millis *= 10;
                }
            }
        }
        if (at < text.size() && text[at] == 'Z') ++at;
        if (at != text.size()) return std::nullopt;
    }
    char out[96];  // room for any int in every field, so the compiler can see nothing is cut
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day, hour, minute, second,
                  millis);
    return std::string(out);
}

std::optional<double> Tally::yield() const {
    if (units() == 0) return std::nullopt;
    return static_cast<double>(passes) / static_cast<double>(units());
}

void Tally::add(const station::UnitRecord& unit) {
    if (IsRetired(unit))
        ++retired;
    else if (unit.pass)
        ++passes;
    else
        ++failures;
}

namespace {

constexpr const char* kUnknownHour = "unknown";

std::vector<Cause> SortedCauses(const std::map<std::string, std::uint64_t>& counts) {
    std::vector<Cause> causes;
    for (const auto& [failure, units] : counts) causes.push_back({failure, units});
    std::stable_sort(causes.begin(), causes.end(), [](const Cause& a, const Cause& b) { return a.units > b.units; });
    return causes;
}

std::vector<HourFigures> HourList(const std::map<std::string, Tally>& hours) {
    std::vector<HourFigures> list;
    for (const auto& [hour, tally] : hours) list.push_back({hour, tally});
    return list;
}

// Units per hour worked: every hour with a record counts as worked, a retired unit's too.
double Pace(const Tally& total, std::size_t hoursWorked) {
    return hoursWorked == 0 ? 0.0 : static_cast<double>(total.units()) / static_cast<double>(hoursWorked);
}

}  // namespace

ReportFigures BuildReport(const std::vector<station::UnitRecord>& records, const std::string& since,
                          const std::string& until) {
    struct Station {
        std::map<std::string, Tally> hours;
        Tally total;
        std::map<std::string, std::uint64_t> causes;
    };
    std::map<std::string, Station> stations;
    std::map<std::string, Tally> lineHours;
    std::map<std::string, std::uint64_t> lineCauses;
    ReportFigures report;
    report.since = since;
    report.until = until;
    for (const station::UnitRecord& unit : records) {
        const std::optional<std::string> time = ParseUtcTime(unit.time);
        if (!time && (!since.empty() || !until.empty())) continue;
        if (time && ((!since.empty() && *time < since) || (!until.empty() && *time >= until))) continue;
        const std::string hour = time ? time->substr(0, 13) : kUnknownHour;
        Station& station = stations[unit.station];
        station.hours[hour].add(unit);
        station.total.add(unit);
        lineHours[hour].add(unit);
        report.total.add(unit);
        if (!IsRetired(unit) && !unit.pass) {
            ++station.causes[unit.failure];
            ++lineCauses[unit.failure];
        }
    }
    for (const auto& [name, station] : stations) {
        StationFigures figures;
        figures.station = name;
        figures.hours = HourList(station.hours);
        figures.total = station.total;
        figures.unitsPerHour = Pace(station.total, station.hours.size());
        figures.failures = SortedCauses(station.causes);
        report.stations.push_back(std::move(figures));
    }
    report.hours = HourList(lineHours);
    report.unitsPerHour = Pace(report.total, lineHours.size());
    report.failures = SortedCauses(lineCauses);
    return report;
}

namespace {

// Columns a terminal gives a code point: two for the East Asian wide and full-width blocks
// (CJK, Hangul, full-width forms), none for combining marks, one otherwise.
int ColumnsOf(char32_t cp) {
    if ((cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x200B && cp <= 0x200F)) return 0;
    if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF && cp != 0x303F) ||
        (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) ||
        (cp >= 0xFF00 && cp <= 0xFF60) || (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
        (cp >= 0x20000 && cp <= 0x3FFFD))
        return 2;
    return 1;
}

// User text for a terminal: a station named with an escape sequence must not repaint the
// screen, and a bad byte must not eat the column after it.
std::string TerminalText(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Char c = DecodeUtf8(text, at);
        if (c.length == 0) {
            AppendUtf8(out, 0xFFFD);
            ++at;
            continue;
        }
        if (c.cp < 0x20 || c.cp == 0x7F || (c.cp >= 0x80 && c.cp < 0xA0))
            out += '?';
        else
            out.append(text.substr(at, c.length));
        at += c.length;
    }
    return out;
}

std::size_t Columns(std::string_view text) {
    std::size_t columns = 0;
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Char c = DecodeUtf8(text, at);
        columns += c.length == 0 ? 1 : static_cast<std::size_t>(ColumnsOf(c.cp));
        at += c.length == 0 ? 1 : c.length;
    }
    return columns;
}

// A table of text cells: every column as wide as its widest cell, two blanks between columns,
// the columns marked numeric aligned right; no blanks at a line's end.
class TextTable {
public:
    explicit TextTable(std::vector<std::string> header, std::vector<bool> numeric)
        : numeric_(std::move(numeric)) {
        rows_.push_back(std::move(header));
    }
    void row(std::vector<std::string> cells) {
        for (std::string& cell : cells) cell = TerminalText(cell);
        rows_.push_back(std::move(cells));
    }
    std::string str() const {
        std::vector<std::size_t> widths(numeric_.size(), 0);
        for (const auto& row : rows_)
            for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Columns(row[i]));
        std::string out;
        for (const auto& row : rows_) {
            std::string line;
            for (std::size_t i = 0; i < row.size(); ++i) {
                const std::string pad(widths[i] - Columns(row[i]), ' ');
                if (i > 0) line += "  ";
                line += numeric_[i] ? pad + row[i] : row[i] + pad;
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            out += line + '\n';
        }
        return out;
    }

private:
    std::vector<bool> numeric_;
    std::vector<std::vector<std::string>> rows_;
};

std::string Percent(const Tally& tally) {
    const std::optional<double> yield = tally.yield();
    if (!yield) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", *yield * 100.0);
    return text;
}

std::string Rate(double unitsPerHour) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", unitsPerHour);
    return text;
}

// "2026-12-10T08" -> "2026-12-10 08:00".
std::string HourShown(const std::string& hour) {
    return hour.size() == 13 ? hour.substr(0, 10) + " " + hour.substr(11, 2) + ":00" : hour;
}

std::string StationShown(const std::string& station) { return station.empty() ? "(no station)" : station; }

constexpr const char* kAllStations = "all stations";

std::string RangeShown(const ReportFigures& report) {
    if (report.since.empty() && report.until.empty()) return "all units on record";
    if (report.until.empty()) return "units from " + report.since;
    if (report.since.empty()) return "units before " + report.until;
    return "units from " + report.since + " to before " + report.until;
}

std::vector<std::string> TallyCells(const Tally& tally) {
    return {std::to_string(tally.units()), std::to_string(tally.passes), std::to_string(tally.failures),
            Percent(tally)};
}

}  // namespace

std::string ReportText(const ReportFigures& report) {
    std::string out = "Production report: " + RangeShown(report) + " (UTC)\n\n";
    if (report.total.units() == 0 && report.total.retired == 0) return out + "No units in this range.\n";
    TextTable table({"Station", "Hour (UTC)", "Units", "Pass", "Fail", "Yield", "Units/h", "Retired"},
                    {false, false, true, true, true, true, true, true});
    const auto add = [&table](const std::string& station, const std::string& hour, const Tally& tally,
                              const std::string& rate) {
        std::vector<std::string> cells{station, hour};
        for (std::string& cell : TallyCells(tally)) cells.push_back(std::move(cell));
        cells.push_back(rate);
        cells.push_back(std::to_string(tally.retired));
        table.row(std::move(cells));
    };
    for (const StationFigures& station : report.stations) {
        for (const HourFigures& hour : station.hours)
            add(StationShown(station.station), HourShown(hour.hour), hour.tally, "");
        add(StationShown(station.station), "total", station.total, Rate(station.unitsPerHour));
    }
    if (report.stations.size() > 1) {
        for (const HourFigures& hour : report.hours) add(kAllStations, HourShown(hour.hour), hour.tally, "");
    }
    add(kAllStations, "total", report.total, Rate(report.unitsPerHour));
    out += table.str();
    out += "\nUnits/h: units over the hours a station worked (hours with any record).\n";
    out += "Retired: numbers taken whose result never came (the station stopped mid-unit).\n";
    out += "\nFailures by cause\n";
    if (report.failures.empty()) return out + "No failures.\n";
    TextTable causes({"Station", "Cause", "Units"}, {false, false, true});
    for (const StationFigures& station : report.stations)
        for (const Cause& cause : station.failures)
            causes.row({StationShown(station.station), cause.failure, std::to_string(cause.units)});
    for (const Cause& cause : report.failures) causes.row({kAllStations, cause.failure, std::to_string(cause.units)});
    return out + causes.str();
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Char c = DecodeUtf8(text, at);
        if (c.length == 0) {
            AppendUtf8(out, 0xFFFD);
            ++at;
            continue;
        }
        switch (c.cp) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                // HTML forbids the C0 and C1 controls in text (tab and line ends aside).
                if ((c.cp < 0x20 && c.cp != '\t' && c.cp != '\n' && c.cp != '\r') || (c.cp >= 0x7F && c.cp < 0xA0))
                    break;
                out.append(text.substr(at, c.length));
        }
        at += c.length;
    }
    return out;
}

namespace {

// One colour per station, in the order of the report; the palette repeats past eight stations
// (the legend and the tables name them).
constexpr const char* kPalette[] = {"#1f6fb4", "#e8730c", "#2b9a3b", "#c8282b",
                                    "#8a5cc2", "#8c564b", "#d457a8", "#12a3b8"};
const char* StationColour(std::size_t index) { return kPalette[index % std::size(kPalette)]; }

std::string Num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    std::string out = text;
    if (out.size() > 2 && out.compare(out.size() - 2, 2, ".0") == 0) out.resize(out.size() - 2);
    return out;
}

// A round step for an axis up to top: 1, 2 or 5 times a power of ten, about five steps in all.
std::uint64_t AxisStep(std::uint64_t top) {
    std::uint64_t step = 1;
    while (true) {
        for (std::uint64_t m : {1, 2, 5})
            if (top <= m * step * 5) return m * step;
        step *= 10;
    }
}

// The hours of the charts: every hour any station has a record in, oldest first.
std::vector<std::string> ChartHours(const ReportFigures& report) {
    std::vector<std::string> hours;
    for (const HourFigures& hour : report.hours) hours.push_back(hour.hour);
    return hours;
}

const Tally* TallyAt(const StationFigures& station, const std::string& hour) {
    for (const HourFigures& figures : station.hours)
        if (figures.hour == hour) return &figures.tally;
    return nullptr;
}

std::string HourLabel(const std::string& hour) { return hour.size() == 13 ? hour.substr(11, 2) + ":00" : hour; }
std::string DayLabel(const std::string& hour) { return hour.size() == 13 ? hour.substr(5, 5) : std::string(); }

struct ChartFrame {
    double left = 56, top = 16, plotHeight = 200, bottom = 48;
    double groupWidth = 0;
    double width = 0, height = 0;
    std::size_t labelEvery = 1;
};

ChartFrame Frame(std::size_t hours, std::size_t stations, double perStation) {
    ChartFrame frame;
    frame.groupWidth = std::max(12.0, static_cast<double>(stations) * perStation + 8.0);
    // A few hours still make a chart of a readable width.
    frame.groupWidth = std::max(frame.groupWidth, 480.0 / static_cast<double>(std::max<std::size_t>(1, hours)));
    frame.width = frame.left + static_cast<double>(hours) * frame.groupWidth + 16;
    frame.height = frame.top + frame.plotHeight + frame.bottom;
    // Hour labels need about 40 pixels each.
    frame.labelEvery = static_cast<std::size_t>(std::ceil(40.0 / frame.groupWidth));
    return frame;
}

std::string HourAxis(const ChartFrame& frame, const std::vector<std::string>& hours) {
    std::string svg;
    const double base = frame.top + frame.plotHeight;
    svg += "<line x1=\"" + Num(frame.left) + "\" y1=\"" + Num(base) + "\" x2=\"" + Num(frame.width - 16) +
           "\" y2=\"" + Num(base) + "\" stroke=\"#444\"/>";
    std::string lastDay;
    for (std::size_t i = 0; i < hours.size(); i += frame.labelEvery) {
        const double x = frame.left + (static_cast<double>(i) + 0.5) * frame.groupWidth;
        svg += "<text x=\"" + Num(x) + "\" y=\"" + Num(base + 16) + "\" text-anchor=\"middle\">" +
               HtmlEscape(HourLabel(hours[i])) + "</text>";
        if (const std::string day = DayLabel(hours[i]); day != lastDay) {
            svg += "<text x=\"" + Num(x) + "\" y=\"" + Num(base + 32) + "\" text-anchor=\"middle\">" +
                   HtmlEscape(day) + "</text>";
            lastDay = day;
        }
    }
    return svg;
}

// Horizontal grid lines with their values at the left.
std::string ValueAxis(const ChartFrame& frame, double top, double step, const std::string& suffix) {
    std::string svg;
    for (double value = 0; value <= top + step / 2; value += step) {
        const double y = frame.top + frame.plotHeight - value / top * frame.plotHeight;
        svg += "<line x1=\"" + Num(frame.left) + "\" y1=\"" + Num(y) + "\" x2=\"" + Num(frame.width - 16) +
               "\" y2=\"" + Num(y) + "\" stroke=\"#ddd\"/>";
        svg += "<text x=\"" + Num(frame.left - 6) + "\" y=\"" + Num(y + 4) + "\" text-anchor=\"end\">" +
               Num(value) + suffix + "</text>";
    }
    return svg;
}

std::string SvgOpen(const ChartFrame& frame, const std::string& label) {
    return "<svg class=\"chart\" width=\"" + Num(frame.width) +
           "\" height=\"" + Num(frame.height) + "\" viewBox=\"0 0 " + Num(frame.width) + " " + Num(frame.height) +
           "\" role=\"img\" aria-label=\"" + HtmlEscape(label) + "\">";
}

std::string UnitsChart(const ReportFigures& report, const std::vector<std::string>& hours) {
    const ChartFrame frame = Frame(hours.size(), report.stations.size(), 14);
    std::uint64_t most = 1;
    for (const StationFigures& station : report.stations)
        for (const HourFigures& hour : station.hours) most = std::max(most, hour.tally.units());
    const std::uint64_t step = AxisStep(most);
    const double top = static_cast<double>((most + step - 1) / step * step);
    std::string svg = SvgOpen(frame, "Units per hour per station");
    svg += ValueAxis(frame, top, static_cast<double>(step), "");
    // Bars no wider than 40 pixels, each hour's group centred on its label.
    const double barWidth =
        std::min(40.0, (frame.groupWidth - 8) / static_cast<double>(std::max<std::size_t>(1, report.stations.size())));
    const double groupInset = (frame.groupWidth - barWidth * static_cast<double>(report.stations.size())) / 2;
    for (std::size_t h = 0; h < hours.size(); ++h) {
        for (std::size_t s = 0; s < report.stations.size(); ++s) {
            const Tally* tally = TallyAt(report.stations[s], hours[h]);
            if (tally == nullptr || tally->units() == 0) continue;
            const double height = static_cast<double>(tally->units()) / top * frame.plotHeight;
            const double x = frame.left + static_cast<double>(h) * frame.groupWidth + groupInset + static_cast<double>(s) * barWidth;
            svg += "<rect class=\"bar\" x=\"" + Num(x) + "\" y=\"" + Num(frame.top + frame.plotHeight - height) +
                   "\" width=\"" + Num(std::max(1.0, barWidth - 1)) + "\" height=\"" + Num(height) + "\" fill=\"" +
                   StationColour(s) + "\"><title>" + HtmlEscape(StationShown(report.stations[s].station)) + ", " +
                   HtmlEscape(HourShown(hours[h])) + ": " + std::to_string(tally->units()) + " units</title></rect>";
        }
    }
    svg += HourAxis(frame, hours);
    return svg + "</svg>";
}

std::string YieldChart(const ReportFigures& report, const std::vector<std::string>& hours) {
    const ChartFrame frame = Frame(hours.size(), 1, 32);
    std::string svg = SvgOpen(frame, "Yield per hour per station");
    svg += ValueAxis(frame, 100, 25, "%");
    for (std::size_t s = 0; s < report.stations.size(); ++s) {
        std::string points, marks;
        for (std::size_t h = 0; h < hours.size(); ++h) {
            const Tally* tally = TallyAt(report.stations[s], hours[h]);
            if (tally == nullptr || !tally->yield()) continue;
            const double x = frame.left + (static_cast<double>(h) + 0.5) * frame.groupWidth;
            const double y = frame.top + frame.plotHeight - *tally->yield() * frame.plotHeight;
            points += Num(x) + "," + Num(y) + " ";
            marks += "<circle cx=\"" + Num(x) + "\" cy=\"" + Num(y) + "\" r=\"5\" fill=\"" + StationColour(s) +
                     "\"><title>" + HtmlEscape(StationShown(report.stations[s].station)) + ", " +
                     HtmlEscape(HourShown(hours[h])) + ": " + Percent(*tally) + "</title></circle>";
        }
        if (!points.empty())
            svg += "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" + std::string(StationColour(s)) +
                   "\" points=\"" + points + "\"/>";
        svg += marks;
    }
    svg += HourAxis(frame, hours);
    return svg + "</svg>";
}

std::string Legend(const ReportFigures& report) {
    std::string html = "<ul class=\"legend\">";
    for (std::size_t s = 0; s < report.stations.size(); ++s)
        html += "<li><span class=\"swatch\" style=\"background:" + std::string(StationColour(s)) + "\"></span>" +
                HtmlEscape(StationShown(report.stations[s].station)) + "</li>";
    return html + "</ul>";
}

// One row of figures; the cells carry their figure's name as a class so that a reader (or a
// test reading the rendered page) finds them without counting columns. An hour's row has no
// pace of its own: its units are the units of that hour.
std::string FigureCells(const Tally& tally, const std::optional<std::string>& rate) {
    return "<td class=\"units\">" + std::to_string(tally.units()) + "</td><td class=\"passes\">" +
           std::to_string(tally.passes) + "</td><td class=\"failures\">" + std::to_string(tally.failures) +
           "</td><td class=\"yield\">" + Percent(tally) + "</td>" +
           (rate ? "<td class=\"rate\">" + *rate + "</td>" : std::string()) + "<td class=\"retired\">" +
           std::to_string(tally.retired) + "</td>";
}

std::string FigureHead(bool rate) {
    return std::string("<th class=\"num\">Units</th><th class=\"num\">Pass</th><th class=\"num\">Fail</th>"
                       "<th class=\"num\">Yield</th>") +
           (rate ? "<th class=\"num\">Units/h</th>" : "") + "<th class=\"num\">Retired</th>";
}

constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:24px;color:#222;background:#fff}"
    "h1{font-size:1.5em}h2{font-size:1.2em;margin-top:2em}"
    "table{border-collapse:collapse;margin:8px 0}"
    "th,td{border:1px solid #ccc;padding:3px 8px}th{background:#f2f2f2;text-align:left}"
    "td.units,td.passes,td.failures,td.yield,td.rate,td.retired,td.count,th.num{text-align:right}"
    "tr.total td,tr.total th{font-weight:bold}"
    ".chart{display:block;margin:8px 0;font-size:11px}.chart text{fill:#333}"
    ".charts{overflow-x:auto}"
    ".legend{list-style:none;padding:0}.legend li{display:inline-block;margin-right:16px}"
    ".swatch{display:inline-block;width:12px;height:12px;margin-right:6px;vertical-align:middle}"
    ".note{color:#555;font-size:.9em}";

}  // namespace

std::string ReportHtml(const ReportFigures& report, const std::string& source, const std::string& generated) {
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width\">"
        // Nothing from elsewhere, whatever a record holds: the browser refuses any script or
        // fetch even if one got in.
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
        "img-src data:\">"
        "<title>Production report</title><style>";
    html += kStyle;
    html += "</style></head><body>\n<h1>Production report</h1>\n<p class=\"range\">" + HtmlEscape(RangeShown(report)) +
            " (UTC). Store: <span class=\"source\">" + HtmlEscape(source) + "</span>. Made " + HtmlEscape(generated) +
            ".</p>\n";
    if (report.total.units() == 0 && report.total.retired == 0)
        return html + "<p class=\"empty\">No units in this range.</p>\n</body></html>\n";

    html += "<h2>Stations</h2>\n<table id=\"stations\"><thead><tr><th>Station</th>";
    html += FigureHead(true);
    html += "</tr></thead><tbody>\n";
    for (const StationFigures& station : report.stations)
        html += "<tr class=\"station\"><th class=\"name\">" + HtmlEscape(StationShown(station.station)) + "</th>" +
                FigureCells(station.total, Rate(station.unitsPerHour)) + "</tr>\n";
    html += "<tr class=\"total\"><th class=\"name\">" + std::string(kAllStations) + "</th>" +
            FigureCells(report.total, Rate(report.unitsPerHour)) + "</tr>\n</tbody></table>\n";
    html += "<p class=\"note\">Units/h: units over the hours a station worked (hours with any record). Retired: "
            "numbers taken whose result never came (the station stopped mid-unit); they are not in the yield.</p>\n";

    const std::vector<std::string> hours = ChartHours(report);
    html += "<h2>Units per hour</h2>\n" + Legend(report) + "<div class=\"charts\">" + UnitsChart(report, hours) +
            "</div>\n";
    html += "<h2>Yield per hour</h2>\n" + Legend(report) + "<div class=\"charts\">" + YieldChart(report, hours) +
            "</div>\n";

    html += "<h2>Per station and hour</h2>\n<table id=\"hours\"><thead><tr><th>Station</th><th>Hour (UTC)</th>";
    html += FigureHead(false);
    html += "</tr></thead><tbody>\n";
    for (const StationFigures& station : report.stations)
        for (const HourFigures& hour : station.hours)
            html += "<tr class=\"hour\"><th class=\"name\">" + HtmlEscape(StationShown(station.station)) +
                    "</th><td class=\"hour\">" + HtmlEscape(HourShown(hour.hour)) + "</td>" +
                    FigureCells(hour.tally, std::nullopt) + "</tr>\n";
    for (const HourFigures& hour : report.hours)
        html += "<tr class=\"hour total\"><th class=\"name\">" + std::string(kAllStations) +
                "</th><td class=\"hour\">" + HtmlEscape(HourShown(hour.hour)) + "</td>" +
                FigureCells(hour.tally, std::nullopt) + "</tr>\n";
    html += "</tbody></table>\n";

    html += "<h2>Failures by cause</h2>\n";
    if (report.failures.empty()) return html + "<p class=\"nofailures\">No failures.</p>\n</body></html>\n";
    html += "<table id=\"failures\"><thead><tr><th>Station</th><th>Cause</th><th class=\"num\">Units</th></tr></thead>"
            "<tbody>\n";
    for (const StationFigures& station : report.stations)
        for (const Cause& cause : station.failures)
            html += "<tr class=\"cause\"><th class=\"name\">" + HtmlEscape(StationShown(station.station)) +
                    "</th><td class=\"cause\">" + HtmlEscape(cause.failure) + "</td><td class=\"count\">" +
                    std::to_string(cause.units) + "</td></tr>\n";
    for (const Cause& cause : report.failures)
        html += "<tr class=\"cause total\"><th class=\"name\">" + std::string(kAllStations) +
                "</th><td class=\"cause\">" + HtmlEscape(cause.failure) + "</td><td class=\"count\">" +
                std::to_string(cause.units) + "</td></tr>\n";
    return html + "</tbody></table>\n</body></html>\n";
}

ParsedUnitQuery ParseUnitQuery(const UnitQueryText& text) {
    ParsedUnitQuery parsed;
    UnitFilter& filter = parsed.filter;
    if (!text.serial.empty()) {
        std::uint64_t serial = 0;
        const char* end = text.serial.data() + text.serial.size();
        const auto [ptr, ec] = std::from_chars(text.serial.data(), end, serial);
        if (ec != std::errc() || ptr != end) {
            parsed.problem = "--serial " + text.serial + ": not a serial number (a whole number from 0 to " +
                             "18446744073709551615)";
            return parsed;
        }
        filter.serial = serial;
    }
    if (!text.result.empty() && text.result != "taken" && text.result != "pass" && text.result != "fail") {
        parsed.problem = "--result " + text.result + ": not a result (taken, pass or fail)";
        return parsed;
    }
    const auto time = [&parsed](const char* option, const std::string& given, std::string& into) {
        if (given.empty()) return true;
        const std::optional<std::string> parsedTime = ParseUtcTime(given);
        if (!parsedTime) {
            parsed.problem = std::string(option) + " " + given +
                             ": not a time (ISO 8601 UTC: 2026-12-10, 2026-12-10T08:00 or 2026-12-10T08:00:00Z)";
            return false;
        }
        into = *parsedTime;
        return true;
    };
    if (!time("--since", text.since, filter.since) || !time("--until", text.until, filter.until)) return parsed;
    if (!filter.since.empty() && !filter.until.empty() && filter.since > filter.until) {
        parsed.problem = "--since " + text.since + " is after --until " + text.until;
        return parsed;
    }
    filter.series = text.series;
    filter.lot = text.lot;
    filter.station = text.station;
    filter.result = text.result;
    return parsed;
}

std::string UnitJsonLine(const station::UnitRecord& unit) {
    std::string line = IsRetired(unit) ? station::TakenLogLine(unit) : station::UnitLogLine(unit);
    // The log's line for the unit, then what only a line's store keeps: who and what, and the
    // unit's per-unit data as an object by pool.
    line.pop_back();
    JsonLine more("unit");
    more.Text("station", unit.station).Text("operator", unit.operatorName).Text("lot", unit.lot).Text("part", unit.part);
    std::string fields = more.Str();
    const std::string head = "{\"type\":\"unit\"";
    fields = fields.substr(head.size(), fields.size() - head.size() - 1);
    line += fields + ",\"data\":{";
    for (std::size_t i = 0; i < unit.data.size(); ++i) {
        if (i > 0) line += ',';
        line += JsonString(unit.data[i].pool) + ":" + JsonString(unit.data[i].value);
    }
    return line + "}}";
}

std::string UnitsText(const std::vector<station::UnitRecord>& units) {
    if (units.empty()) return "No units match.\n";
    TextTable table({"Time (UTC)", "Serial", "Result", "Failure", "Station", "Operator", "Lot", "Part", "Chip",
                     "Programmer", "Data"},
                    {false, true, false, false, false, false, false, false, false, false, false});
    for (const station::UnitRecord& unit : units) {
        std::string data;
        for (const station::PoolValue& value : unit.data) data += (data.empty() ? "" : " ") + value.pool + "=" + value.value;
        table.row({unit.time, unit.serial ? std::to_string(*unit.serial) : "-",
                   IsRetired(unit) ? "taken" : unit.pass ? "pass" : "fail", unit.failure, unit.station,
                   unit.operatorName, unit.lot, unit.part, unit.chip, unit.programmerSerial, data});
    }
    return table.str() + std::to_string(units.size()) + (units.size() == 1 ? " unit\n" : " units\n");
}

}  // namespace quillon::store
