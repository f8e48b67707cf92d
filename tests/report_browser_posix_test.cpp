// The report's page in a real browser: Debian's Chromium, headless, renders the page that
// `quillon-cli report --html` wrote from a store holding known units; the figures its DOM holds
// are the store's, no script came to life from a station's name, and the screenshot shows the
// charts' bars in their stations' colours.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "store/Store.h"
#include "support/Process.h"

namespace quillon::store {
namespace {

using station::UnitRecord;

constexpr const char* kChromium = "/usr/bin/chromium";

UnitRecord Unit(const std::string& station, const std::string& time, bool pass, bool taken = false,
                const std::string& failure = {}) {
    UnitRecord unit;
    unit.station = station;
    unit.time = time;
    unit.pass = pass;
    unit.failure = pass || taken ? std::string() : failure;
    return unit;
}

std::vector<std::string> ChromiumArgs(const test::ScratchDir& dir, const std::string& profile) {
    // No network, no first-run work, a profile of its own: the run depends on nothing but the page.
    return {"--headless",           "--no-sandbox",
            "--disable-gpu",        "--disable-quic",
            "--no-first-run",       "--disable-background-networking",
            "--disable-component-update", "--disable-sync",
            "--user-data-dir=" + dir / profile};
}

std::string Unescape(std::string text) {
    const std::pair<const char*, const char*> entities[] = {{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""},
                                                            {"&#39;", "'"}, {"&amp;", "&"}};
    for (const auto& [entity, ch] : entities)
        for (std::size_t at; (at = text.find(entity)) != std::string::npos;) text.replace(at, std::string(entity).size(), ch);
    return text;
}

// Each station's figures as the rendered stations table shows them.
std::map<std::string, std::vector<std::string>> StationRows(const std::string& dom) {
    std::map<std::string, std::vector<std::string>> rows;
    const std::regex row(
        R"re(<tr class="(?:station|total)"><th class="name">([^<]*)</th>((?:<td class="[a-z]+">[^<]*</td>)+)</tr>)re");
    const std::regex cell(R"re(<td class="[a-z]+">([^<]*)</td>)re");
    for (auto it = std::sregex_iterator(dom.begin(), dom.end(), row); it != std::sregex_iterator(); ++it) {
        const std::string cells = (*it)[2];
        std::vector<std::string> values;
        for (auto c = std::sregex_iterator(cells.begin(), cells.end(), cell); c != std::sregex_iterator(); ++c)
            values.push_back((*c)[1]);
        rows[Unescape((*it)[1])] = values;
    }
    return rows;
}

// Pixels of the image within a small distance of colour (anti-aliased edges aside, a bar's
// inside is its colour exactly).
int PixelsOf(const QImage& image, const QColor& colour) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor p = image.pixelColor(x, y);
            if (std::abs(p.red() - colour.red()) <= 3 && std::abs(p.green() - colour.green()) <= 3 &&
                std::abs(p.blue() - colour.blue()) <= 3)
                ++count;
        }
    return count;
}

TEST(ReportBrowser, ChromiumRendersTheStoresFigures) {
    if (!std::filesystem::exists(kChromium))
        GTEST_SKIP() << kChromium << " is missing (Debian's chromium package; scripts/bootstrap.sh installs it)";
    const std::string evil = "<script>document.title='owned'</script>\"&";
    std::vector<UnitRecord> records;
    // line-1: 7 passes and 1 verify failure at 08, 3 passes at 09, one retired number.
    for (int i = 0; i < 7; ++i) records.push_back(Unit("line-1", "2026-12-10T08:0" + std::to_string(i) + ":00.000Z", true));
    records.push_back(Unit("line-1", "2026-12-10T08:30:00.000Z", false, false, "verify failure"));
    for (int i = 0; i < 3; ++i) records.push_back(Unit("line-1", "2026-12-10T09:1" + std::to_string(i) + ":00.000Z", true));
    records.push_back(Unit("line-1", "2026-12-10T09:40:00.000Z", false, true));
    // A station named by someone hostile: 2 passes, 2 timeouts at 09.
    for (int i = 0; i < 2; ++i) records.push_back(Unit(evil, "2026-12-10T09:2" + std::to_string(i) + ":00.000Z", true));
    for (int i = 0; i < 2; ++i)
        records.push_back(Unit(evil, "2026-12-10T09:3" + std::to_string(i) + ":00.000Z", false, false, "<b>timeout</b>"));

    test::ScratchDir dir("quillon-report-browser");
    const std::string db = dir / "line.db";
    {
        const auto store = DbStore::Open(ParseStoreLocation(db));
        int n = 0;
        for (UnitRecord unit : records) {
            unit.unitId = "unit-" + std::to_string(++n);
            unit.series = "serial";
            unit.chip = "NRF24LE1_16K";
            unit.version = "test";
            store->startUnit(unit, {}, {});
            if (!unit.pass && unit.failure.empty()) continue;  // its station died mid-unit
            store->finishUnit(unit, {});
        }
    }
    const std::string page = dir / "report.html";
    const test::ProcessResult made = test::RunProcess(QUILLON_CLI_PATH, {"report", "--store", db, "--html", page});
    ASSERT_EQ(made.code, 0) << made.all();
    test::ProcessOptions options;
    options.timeout = std::chrono::seconds(90);
    options.environment = {{"HOME", dir.str()}};
    const std::string url = "file://" + page;

    std::vector<std::string> dumpArgs = ChromiumArgs(dir, "profile-dom");
    dumpArgs.push_back("--dump-dom");
    dumpArgs.push_back(url);
    const test::ProcessResult dump = test::RunProcess(kChromium, dumpArgs, options);
    ASSERT_FALSE(dump.timedOut) << dump.err;
    ASSERT_EQ(dump.code, 0) << dump.err;
    const std::string& dom = dump.out;
    ASSERT_NE(dom.find("Production report"), std::string::npos) << dom.substr(0, 2000);
    // The hostile name stayed text: no script element, the title untouched.
    EXPECT_EQ(dom.find("<script"), std::string::npos);
    EXPECT_NE(dom.find("<title>Production report</title>"), std::string::npos);

    const auto rows = StationRows(dom);
    using Row = std::vector<std::string>;
    ASSERT_EQ(rows.size(), 3u) << dom;
    // units, passes, failures, yield, units per hour worked, retired
    EXPECT_EQ(rows.at("line-1"), (Row{"11", "10", "1", "90.9%", "5.5", "1"}));
    EXPECT_EQ(rows.at(evil), (Row{"4", "2", "2", "50.0%", "4.0", "0"}));
    EXPECT_EQ(rows.at("all stations"), (Row{"15", "12", "3", "80.0%", "7.5", "1"}));
    EXPECT_NE(dom.find("&lt;b&gt;timeout&lt;/b&gt;</td><td class=\"count\">2</td>"), std::string::npos);

    std::vector<std::string> shotArgs = ChromiumArgs(dir, "profile-shot");
    const std::string png = dir / "report.png";
    shotArgs.push_back("--screenshot=" + png);
    shotArgs.push_back("--window-size=1200,1600");
    shotArgs.push_back("--hide-scrollbars");
    shotArgs.push_back(url);
    const test::ProcessResult shot = test::RunProcess(kChromium, shotArgs, options);
    ASSERT_FALSE(shot.timedOut) << shot.err;
    ASSERT_EQ(shot.code, 0) << shot.err;
    QImage image;
    ASSERT_TRUE(image.load(QString::fromStdString(png), "PNG")) << png;
    EXPECT_EQ(image.width(), 1200);
    // The charts drew: each station's bars (and legend) in its colour. The two legends' swatches
    // are 288 pixels; the smallest bar here (2 units on a 15-unit axis of 200 pixels, 39 wide)
    // about a thousand.
    const int first = PixelsOf(image, QColor("#1f6fb4"));
    const int second = PixelsOf(image, QColor("#e8730c"));
    EXPECT_GT(first, 800);
    EXPECT_GT(second, 800);
}

}  // namespace
}  // namespace quillon::store
