// The line's report from hand-built unit records: the figures (hour boundaries, the time range,
// yield without units, failures by cause, retired numbers), the text table's columns, the HTML
// page's escaping and self-containment, and the units command's filter and JSON lines.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "core/Json.h"
#include "store/Report.h"

namespace quillon::store {
namespace {

using station::UnitRecord;

enum class Outcome { Pass, Fail, Taken };

UnitRecord Unit(const std::string& station, const std::string& time, Outcome outcome, const std::string& failure = {}) {
    UnitRecord unit;
    unit.station = station;
    unit.time = time;
    unit.pass = outcome == Outcome::Pass;
    unit.failure = outcome == Outcome::Fail ? failure : std::string();
    return unit;
}

// Two stations over three hours, with hour boundaries to the millisecond, three causes of
// failure and units retired mid-way.
std::vector<UnitRecord> Line() {
    return {
        Unit("st-a", "2026-12-10T07:59:59.999Z", Outcome::Pass),
        Unit("st-a", "2026-12-10T08:00:00.000Z", Outcome::Pass),
        Unit("st-a", "2026-12-10T08:30:00.000Z", Outcome::Fail, "verify failure"),
        Unit("st-a", "2026-12-10T08:59:59.999Z", Outcome::Fail, "verify failure"),
        Unit("st-a", "2026-12-10T09:00:00.000Z", Outcome::Taken),
        Unit("st-b", "2026-12-10T08:10:00.000Z", Outcome::Pass),
        Unit("st-b", "2026-12-10T08:20:00.000Z", Outcome::Fail, "timeout"),
        Unit("st-b", "2026-12-10T08:40:00.000Z", Outcome::Fail, "device failure"),
        Unit("st-b", "2026-12-10T10:05:00.000Z", Outcome::Taken),
        Unit("st-b", "2026-12-10T10:06:00.000Z", Outcome::Taken),
        Unit("st-a", "2026-12-10T09:15:00.000Z", Outcome::Fail, "timeout"),
    };
}

struct Figures {
    std::uint64_t units, passes, failures, retired;
};

void ExpectTally(const Tally& tally, Figures want, const std::string& where) {
    EXPECT_EQ(tally.units(), want.units) << where;
    EXPECT_EQ(tally.passes, want.passes) << where;
    EXPECT_EQ(tally.failures, want.failures) << where;
    EXPECT_EQ(tally.retired, want.retired) << where;
}

TEST(ReportTime, TakesIsoUtcAndRefusesTheRest) {
    const struct {
        const char* text;
        const char* want;  // nullptr: refused
    } cases[] = {
        {"2026-12-10", "2026-12-10T00:00:00.000Z"},
        {"2026-12-10T08", "2026-12-10T08:00:00.000Z"},
        {"2026-12-10T08:00", "2026-12-10T08:00:00.000Z"},
        {"2026-12-10T08:07:09", "2026-12-10T08:07:09.000Z"},
        {"2026-12-10T08:07:09Z", "2026-12-10T08:07:09.000Z"},
        {"2026-12-10T08:07:09.5Z", "2026-12-10T08:07:09.500Z"},
        {"2026-12-10T08:07:09.123456789Z", "2026-12-10T08:07:09.123Z"},
        {"2026-12-10T23:59Z", "2026-12-10T23:59:00.000Z"},
        {"2028-02-29", "2028-02-29T00:00:00.000Z"},
        {"2000-02-29", "2000-02-29T00:00:00.000Z"},
        {"", nullptr},
        {"2026", nullptr},
        {"2026-12", nullptr},
        {"2026-12-1", nullptr},
        {"2026-13-01", nullptr},
        {"2026-00-01", nullptr},
        {"2026-02-29", nullptr},
        {"1900-02-29", nullptr},
        {"2026-04-31", nullptr},
        {"2026-12-10T24:00", nullptr},
        {"2026-12-10T08:60", nullptr},
        {"2026-12-10T08:00:60", nullptr},
        {"2026-12-10T8:00", nullptr},
        {"2026-12-10 08:00", nullptr},
        {"2026-12-10T08:00+01:00", nullptr},
        {"2026-12-10T08:00:00.Z", nullptr},
        {"2026-12-10T08:00:00.1234567890Z", nullptr},
        {"2026-12-10Z", nullptr},
        {"2026-12-10T08:00ZZ", nullptr},
        {"yesterday", nullptr},
        {"+2026-12-10", nullptr},
    };
    for (const auto& c : cases) {
        const std::optional<std::string> parsed = ParseUtcTime(c.text);
        if (c.want == nullptr) {
            EXPECT_FALSE(parsed) << c.text << " -> " << parsed.value_or("");
        } else {
            EXPECT_EQ(parsed.value_or("(refused)"), c.want) << c.text;
        }
    }
}

TEST(ReportFigures, PerStationAndHourWithRetiredUnitsApart) {
    const ReportFigures report = BuildReport(Line());
    ASSERT_EQ(report.stations.size(), 2u);
    const StationFigures& a = report.stations[0];
    const StationFigures& b = report.stations[1];
    EXPECT_EQ(a.station, "st-a");
    EXPECT_EQ(b.station, "st-b");

    // 07:59:59.999 is the hour before; 08:59:59.999 still 08; 09:00:00.000 is 09.
    ASSERT_EQ(a.hours.size(), 3u);
    EXPECT_EQ(a.hours[0].hour, "2026-12-10T07");
    ExpectTally(a.hours[0].tally, {1, 1, 0, 0}, "a 07");
    EXPECT_EQ(a.hours[1].hour, "2026-12-10T08");
    ExpectTally(a.hours[1].tally, {3, 1, 2, 0}, "a 08");
    EXPECT_EQ(a.hours[2].hour, "2026-12-10T09");
    ExpectTally(a.hours[2].tally, {1, 0, 1, 1}, "a 09");
    ExpectTally(a.total, {5, 2, 3, 1}, "a total");
    EXPECT_DOUBLE_EQ(*a.total.yield(), 2.0 / 5.0);
    EXPECT_DOUBLE_EQ(a.unitsPerHour, 5.0 / 3.0);

    // Station b's hour 10 holds only retired numbers: a worked hour without units or yield.
    ASSERT_EQ(b.hours.size(), 2u);
    ExpectTally(b.hours[0].tally, {3, 1, 2, 0}, "b 08");
    EXPECT_EQ(b.hours[1].hour, "2026-12-10T10");
    ExpectTally(b.hours[1].tally, {0, 0, 0, 2}, "b 10");
    EXPECT_FALSE(b.hours[1].tally.yield());
    EXPECT_DOUBLE_EQ(b.unitsPerHour, 3.0 / 2.0);

    ExpectTally(report.total, {8, 3, 5, 3}, "line");
    ASSERT_EQ(report.hours.size(), 4u);
    ExpectTally(report.hours[1].tally, {6, 2, 4, 0}, "line 08");
    EXPECT_DOUBLE_EQ(report.unitsPerHour, 8.0 / 4.0);
}

TEST(ReportFigures, FailuresByCauseMostFirst) {
    const ReportFigures report = BuildReport(Line());
    const auto causes = [](const std::vector<Cause>& list) {
        std::vector<std::pair<std::string, std::uint64_t>> out;
        for (const Cause& c : list) out.emplace_back(c.failure, c.units);
        return out;
    };
    using List = std::vector<std::pair<std::string, std::uint64_t>>;
    EXPECT_EQ(causes(report.stations[0].failures), (List{{"verify failure", 2}, {"timeout", 1}}));
    // Retired numbers are no failures; causes with as many units go by name.
    EXPECT_EQ(causes(report.stations[1].failures), (List{{"device failure", 1}, {"timeout", 1}}));
    EXPECT_EQ(causes(report.failures), (List{{"timeout", 2}, {"verify failure", 2}, {"device failure", 1}}));
}

TEST(ReportFigures, RangeIsSinceInclusiveUntilExclusive) {
    const struct {
        const char* since;
        const char* until;
        Figures want;
    } cases[] = {
        {"2026-12-10T08", "2026-12-10T09", {6, 2, 4, 0}},
        {"2026-12-10T08:00:00.000Z", "2026-12-10T08:59:59.999Z", {5, 2, 3, 0}},
        {"2026-12-10T09", "", {1, 0, 1, 3}},
        {"", "2026-12-10T08", {1, 1, 0, 0}},
        {"2026-12-11", "", {0, 0, 0, 0}},
        {"", "", {8, 3, 5, 3}},
    };
    for (const auto& c : cases) {
        const std::string since = *c.since ? *ParseUtcTime(c.since) : "";
        const std::string until = *c.until ? *ParseUtcTime(c.until) : "";
        ExpectTally(BuildReport(Line(), since, until).total, c.want, std::string(c.since) + ".." + c.until);
    }
}

TEST(ReportFigures, NoUnitsHaveNoYieldAndNoPace) {
    const ReportFigures empty = BuildReport({});
    EXPECT_TRUE(empty.stations.empty());
    EXPECT_FALSE(empty.total.yield());
    EXPECT_EQ(empty.unitsPerHour, 0.0);
    EXPECT_NE(ReportText(empty).find("No units in this range."), std::string::npos);

    const ReportFigures retiredOnly = BuildReport({Unit("st", "2026-12-10T08:00:00.000Z", Outcome::Taken)});
    EXPECT_FALSE(retiredOnly.total.yield());
    EXPECT_EQ(retiredOnly.total.retired, 1u);
    // The yield column says there is none rather than 0% or a division by zero.
    const std::string text = ReportText(retiredOnly);
    EXPECT_EQ(text.find("nan"), std::string::npos) << text;
    EXPECT_EQ(text.find("0.0%"), std::string::npos) << text;
}

TEST(ReportFigures, RecordsWithoutReadableTimeCountOnlyWithoutRange) {
    const std::vector<UnitRecord> records{Unit("st", "garbled", Outcome::Pass),
                                          Unit("st", "2026-12-10T08:00:00.000Z", Outcome::Pass)};
    const ReportFigures all = BuildReport(records);
    EXPECT_EQ(all.total.units(), 2u);
    EXPECT_EQ(all.stations[0].hours.back().hour, "unknown");
    EXPECT_EQ(BuildReport(records, *ParseUtcTime("2026-01-01")).total.units(), 1u);
}

// Display columns of the test's own texts: ASCII one each, the CJK ideographs used here two.
std::size_t Width(const std::string& text) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) ++columns;
        else if (byte >= 0xE0) columns += 2;  // a three-byte sequence: an ideograph here
    }
    return columns;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1)
        lines.push_back(text.substr(from, end - from));
    return lines;
}

TEST(ReportText, ColumnsLineUpWhateverTheNames) {
    std::vector<UnitRecord> records = Line();
    records.push_back(Unit("装配线", "2026-12-10T08:00:00.000Z", Outcome::Pass));
    for (int i = 0; i < 120; ++i) records.push_back(Unit("x", "2026-12-10T11:00:00.000Z", Outcome::Pass));
    const std::vector<std::string> lines = Lines(ReportText(BuildReport(records)));
    // The table: from its header to the first blank line.
    std::size_t header = 0;
    while (header < lines.size() && lines[header].rfind("Station", 0) != 0) ++header;
    ASSERT_LT(header, lines.size());
    const std::string& head = lines[header];
    // Numbers are right-aligned under their headers: each header's last column is each row's
    // number's last column.
    std::vector<std::size_t> rightEdges;
    for (const char* name : {"Units", "Pass", "Fail", "Yield", "Retired"})
        rightEdges.push_back(Width(head.substr(0, head.find(name) + std::string(name).size())));
    std::size_t rows = 0;
    for (std::size_t i = header + 1; i < lines.size() && !lines[i].empty(); ++i, ++rows) {
        const std::string& line = lines[i];
        // Columns of the line's characters, by the display width of what precedes them.
        std::vector<char> atColumn;
        for (std::size_t b = 0; b < line.size(); ++b) {
            const auto byte = static_cast<unsigned char>(line[b]);
            if ((byte & 0xC0) == 0x80) continue;
            atColumn.push_back(line[b]);
            if (byte >= 0xE0) atColumn.push_back('\0');
        }
        for (std::size_t edge : rightEdges) {
            ASSERT_LE(edge, atColumn.size()) << line;
            EXPECT_NE(atColumn[edge - 1], ' ') << "column ending at " << edge << ": " << line;
            if (edge < atColumn.size()) {
                EXPECT_EQ(atColumn[edge], ' ') << "column ending at " << edge << ": " << line;
            }
        }
    }
    EXPECT_EQ(rows, 3u + 2u + 1u + 1u + 5u + 5u);  // hours of st-a, st-b, x, 装配线 and all; five totals
}

TEST(ReportText, ControlCharactersInNamesNeverReachTheTerminal) {
    const ReportFigures report =
        BuildReport({Unit("st\x1b[2J\xc2\x9b" "1m\r", "2026-12-10T08:00:00.000Z", Outcome::Fail, "bad\x07\nline")});
    const std::string text = ReportText(report);
    for (char c : text) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
    EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos);
    EXPECT_NE(text.find("st?[2J?1m?"), std::string::npos) << text;
    EXPECT_NE(text.find("bad??line"), std::string::npos) << text;
}

TEST(ReportHtml, EscapesEveryUserTextAndFetchesNothing) {
    const std::string evil = "<script>alert(1)</script>\"'&";
    std::vector<UnitRecord> records = Line();
    records.push_back(Unit(evil, "2026-12-10T08:00:00.000Z", Outcome::Fail, "<img src=x onerror=alert(2)>"));
    const std::string html = ReportHtml(BuildReport(records), "sqlite:/tmp/<b>line</b>.db", "2026-12-10T12:00:00Z");
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<img"), std::string::npos);
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;&quot;&#39;&amp;"), std::string::npos);
    EXPECT_NE(html.find("&lt;img src=x onerror=alert(2)&gt;"), std::string::npos);
    EXPECT_NE(html.find("sqlite:/tmp/&lt;b&gt;line&lt;/b&gt;.db"), std::string::npos);
    // Nothing that would make a browser fetch: no links, sources, imports or remote URLs.
    for (const char* fetch : {"src=\"", "href=", "url(", "@import", "<link", "http:", "https:", "<iframe", "<object"})
        EXPECT_EQ(html.find(fetch), std::string::npos) << fetch;
    EXPECT_NE(html.find("<svg"), std::string::npos);
    EXPECT_NE(html.find("<style>"), std::string::npos);
}

TEST(ReportHtml, EscapeTable) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {"a<b>c", "a&lt;b&gt;c"},
        {"\"'&", "&quot;&#39;&amp;"},
        {"tab\there", "tab\there"},
        {"nul\x01\x1b" "x", "nulx"},
        {"bad\xff" "byte", "bad\xef\xbf\xbd" "byte"},
        {"装配线", "装配线"},
        {"&amp;", "&amp;amp;"},
    };
    for (const auto& c : cases) EXPECT_EQ(HtmlEscape(c.in), c.out) << c.in;
}

// The figures the page shows in its stations table, by station name as the page writes it.
std::map<std::string, std::vector<std::string>> StationRows(const std::string& html) {
    std::map<std::string, std::vector<std::string>> rows;
    const std::regex row(R"re(<tr class="(?:station|total)"><th class="name">([^<]*)</th>((?:<td class="[a-z]+">[^<]*</td>)+)</tr>)re");
    const std::regex cell(R"(<td class="[a-z]+">([^<]*)</td>)");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), row); it != std::sregex_iterator(); ++it) {
        const std::string cells = (*it)[2];
        std::vector<std::string> values;
        for (auto c = std::sregex_iterator(cells.begin(), cells.end(), cell); c != std::sregex_iterator(); ++c)
            values.push_back((*c)[1]);
        rows[(*it)[1]] = values;
    }
    return rows;
}

TEST(ReportHtml, TablesCarryTheFigures) {
    const std::string html = ReportHtml(BuildReport(Line()), "line.db", "now");
    const auto rows = StationRows(html);
    using Row = std::vector<std::string>;
    ASSERT_EQ(rows.size(), 3u);
    // units, passes, failures, yield, units/h, retired
    EXPECT_EQ(rows.at("st-a"), (Row{"5", "2", "3", "40.0%", "1.7", "1"}));
    EXPECT_EQ(rows.at("st-b"), (Row{"3", "1", "2", "33.3%", "1.5", "2"}));
    EXPECT_EQ(rows.at("all stations"), (Row{"8", "3", "5", "37.5%", "2.0", "3"}));
    // One bar per station and hour with units; one yield mark per station and hour with units.
    const auto count = [&html](const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = html.find(what); at != std::string::npos; at = html.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("<rect class=\"bar\""), 3u + 1u);
    EXPECT_EQ(count("<circle "), 3u + 1u);
}

TEST(UnitQuery, ParsesTheCommandLinesFilter) {
    const struct {
        const char *serial, *result, *since, *until;
        bool ok;
    } cases[] = {
        {"", "", "", "", true},
        {"0", "", "", "", true},
        {"18446744073709551615", "", "", "", true},
        {"18446744073709551616", "", "", "", false},
        {"-1", "", "", "", false},
        {"12a", "", "", "", false},
        {"0x10", "", "", "", false},
        {" 5", "", "", "", false},
        {"", "pass", "", "", true},
        {"", "fail", "", "", true},
        {"", "taken", "", "", true},
        {"", "PASS", "", "", false},
        {"", "retired", "", "", false},
        {"", "", "2026-12-10", "2026-12-11", true},
        {"", "", "2026-12-10", "2026-12-10", true},
        {"", "", "2026-12-11", "2026-12-10", false},
        {"", "", "2026-12-10T25", "", false},
        {"", "", "", "12/10/2026", false},
    };
    for (const auto& c : cases) {
        UnitQueryText text;
        text.serial = c.serial;
        text.result = c.result;
        text.since = c.since;
        text.until = c.until;
        const ParsedUnitQuery parsed = ParseUnitQuery(text);
        EXPECT_EQ(parsed.problem.empty(), c.ok) << c.serial << c.result << c.since << c.until << ": " << parsed.problem;
    }
    UnitQueryText all;
    all.serial = "18446744073709551614";
    all.series = "mac";
    all.lot = "L7";
    all.station = "st-a";
    all.result = "fail";
    all.since = "2026-12-10T08";
    all.until = "2026-12-10T09:30Z";
    const ParsedUnitQuery full = ParseUnitQuery(all);
    ASSERT_EQ(full.problem, "");
    EXPECT_EQ(full.filter.serial, 18446744073709551614u);
    EXPECT_EQ(full.filter.series, "mac");
    EXPECT_EQ(full.filter.lot, "L7");
    EXPECT_EQ(full.filter.station, "st-a");
    EXPECT_EQ(full.filter.result, "fail");
    EXPECT_EQ(full.filter.since, "2026-12-10T08:00:00.000Z");
    EXPECT_EQ(full.filter.until, "2026-12-10T09:30:00.000Z");
}

TEST(UnitQuery, JsonLineCarriesTheLogsFieldsAndTheLines) {
    UnitRecord unit = Unit("<script>st</script>", "2026-12-10T08:00:00.000Z", Outcome::Fail, "verify failure");
    unit.serial = 18446744073709551614u;
    unit.series = "serial";
    unit.message = "read-back \"differs\" <script>";
    unit.operatorName = "Ann";
    unit.lot = "L7";
    unit.part = "P-100";
    unit.chip = "nRF24LE1";
    unit.data = {{"mac", "02:1A:2B:3C:4D:5E"}, {"key", "k\"1"}};
    const std::optional<JsonValue> json = ParseJson(UnitJsonLine(unit));
    ASSERT_TRUE(json) << UnitJsonLine(unit);
    const JsonValue& v = *json;
    EXPECT_TRUE(v["type"] == "unit");
    EXPECT_EQ(v["serial"].AsUInt64(), 18446744073709551614u);
    EXPECT_TRUE(v["result"] == "fail");
    EXPECT_TRUE(v["failure"] == "verify failure");
    EXPECT_TRUE(v["message"] == "read-back \"differs\" <script>");
    EXPECT_TRUE(v["station"] == "<script>st</script>");
    EXPECT_TRUE(v["operator"] == "Ann");
    EXPECT_TRUE(v["lot"] == "L7");
    EXPECT_TRUE(v["part"] == "P-100");
    EXPECT_TRUE(v["chip"] == "nRF24LE1");
    EXPECT_TRUE(v["data"]["mac"] == "02:1A:2B:3C:4D:5E");
    EXPECT_TRUE(v["data"]["key"] == "k\"1");

    UnitRecord taken = Unit("st", "2026-12-10T08:00:00.000Z", Outcome::Taken);
    taken.serial = 7;
    const std::optional<JsonValue> retired = ParseJson(UnitJsonLine(taken));
    ASSERT_TRUE(retired);
    EXPECT_TRUE((*retired)["result"] == "taken");
    EXPECT_FALSE(retired->Has("failure"));
    EXPECT_TRUE((*retired)["data"].IsObject());
}

TEST(UnitQuery, TableShowsEveryUnitOnItsOwnLine) {
    UnitRecord a = Unit("st-a", "2026-12-10T08:00:00.000Z", Outcome::Pass);
    a.serial = 41;
    UnitRecord b = Unit("st\nb", "2026-12-10T08:01:00.000Z", Outcome::Taken);
    b.serial = 42;
    const std::vector<std::string> lines = Lines(UnitsText({a, b}));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[1].find("41"), std::string::npos);
    EXPECT_NE(lines[1].find("pass"), std::string::npos);
    EXPECT_NE(lines[2].find("taken"), std::string::npos);
    EXPECT_NE(lines[2].find("st?b"), std::string::npos);
    EXPECT_EQ(lines[3], "2 units");
    EXPECT_EQ(UnitsText({}), "No units match.\n");
}

}  // namespace
}  // namespace quillon::store
