// quillon-cli station end to end on the simulated chip swapper: every unit's chip is inspected
// through its own flash file, every log line is parsed, and failures, kills at random moments,
// two stations on one counter and refused inputs are judged by what landed on disk.
#include <json/json.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "hash/Sha256.h"
#include "support/Process.h"

namespace quillon {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kFlash = 16384;
constexpr std::size_t kSerialAt = 0x3FFC;

struct Bench {
    test::ScratchDir dir{"station-e2e"};
    Bytes image;

    Bench() {
        // A full 16 KiB image whose top word the serial replaces.
        for (std::size_t i = 0; i < kFlash; ++i) image.push_back(static_cast<std::uint8_t>(i * 13 + 5));
        test::WriteFileBytes(dir / "fw.bin", std::string(image.begin(), image.end()));
        test::WriteFileBytes(dir / "serial.txt", "999\n");
        std::filesystem::create_directory(test::PathOf(dir / "chips"));
    }

    test::ProcessResult Station(const std::string& scenario, std::vector<std::string> extra) {
        std::vector<std::string> args = {"station", "--sim", scenario, "--sim-flash-dir", dir / "chips",
                                         "--chip", "NRF24LE1_16K", dir / "fw.bin", "--serial",
                                         "0x3FFC:u32le", "--serial-file", dir / "serial.txt", "--log",
                                         dir / "units.log", "--poll-ms", "20", "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        test::ProcessOptions options;
        options.timeout = std::chrono::seconds(120);
        return test::RunProcess(QUILLON_CLI_PATH, args, options);
    }

    std::vector<Json::Value> Log() const {
        std::vector<Json::Value> lines;
        std::istringstream in(test::ReadFileBytes(dir / "units.log"));
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        for (std::string line; std::getline(in, line);) {
            Json::Value v;
            std::string errors;
            EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &v, &errors)) << line;
            lines.push_back(v);
        }
        return lines;
    }

    // Every simulated chip's final flash, by chip file name.
    std::map<std::string, Bytes> Chips() const {
        std::map<std::string, Bytes> chips;
        for (const auto& e : std::filesystem::directory_iterator(test::PathOf(dir / "chips"))) {
            const std::string bytes = test::ReadFileBytes(test::Utf8(e.path()));
            chips[e.path().filename().string()] = Bytes(bytes.begin(), bytes.end());
        }
        return chips;
    }

    // The number a chip carries when it holds exactly the image with one serial; nullopt else.
    std::optional<std::uint32_t> SerialOn(const Bytes& chip) const {
        if (chip.size() != kFlash || !std::equal(image.begin(), image.begin() + kSerialAt, chip.begin()))
            return std::nullopt;
        return std::uint32_t(chip[kSerialAt]) | std::uint32_t(chip[kSerialAt + 1]) << 8 |
               std::uint32_t(chip[kSerialAt + 2]) << 16 | std::uint32_t(chip[kSerialAt + 3]) << 24;
    }

    std::string Counter() const { return test::ReadFileBytes(dir / "serial.txt"); }

    // The records with a result (pass or fail), and the numbers recorded as taken.
    std::vector<Json::Value> Results() const {
        std::vector<Json::Value> results;
        for (const auto& r : Log())
            if (r["result"] != "taken") results.push_back(r);
        return results;
    }
    std::multiset<std::uint64_t> Taken() const {
        std::multiset<std::uint64_t> taken;
        for (const auto& r : Log())
            if (r["result"] == "taken") taken.insert(r["serial"].asUInt64());
        return taken;
    }
};

// Good units: each chip holds the image with the serial its log line names, no number twice.
void ExpectGoodUnits(const Bench& b, std::size_t units, std::size_t programmers) {
    const auto log = b.Results();
    ASSERT_EQ(log.size(), units);
    std::set<std::uint32_t> logged, onChips;
    std::set<std::string> stations;
    for (const auto& unit : log) {
        EXPECT_EQ(unit["result"], "pass") << unit.toStyledString();
        EXPECT_EQ(unit["bytes_written"].asUInt(), kFlash);
        logged.insert(unit["serial"].asUInt());
        stations.insert(unit["programmer_path"].asString());
    }
    std::map<std::uint32_t, std::string> chipHash;
    for (const auto& [name, chip] : b.Chips()) {
        const auto serial = b.SerialOn(chip);
        ASSERT_TRUE(serial.has_value()) << name << " does not hold the image";
        EXPECT_TRUE(onChips.insert(*serial).second) << "serial " << *serial << " on two chips";
        chipHash[*serial] = Sha256::Hex(std::span<const std::uint8_t>(chip));
    }
    EXPECT_EQ(onChips, logged);
    // The log names the file as read and the very bytes that reached each chip.
    for (const auto& unit : log) {
        EXPECT_EQ(unit["image_sha256"].asString(), Sha256::Hex(std::span<const std::uint8_t>(b.image)));
        EXPECT_EQ(unit["bytes_sha256"].asString(), chipHash[unit["serial"].asUInt()]) << unit.toStyledString();
    }
    EXPECT_EQ(logged.size(), units);
    EXPECT_EQ(*logged.begin(), 1000u);
    EXPECT_EQ(*logged.rbegin(), 1000u + units - 1);
    EXPECT_EQ(stations.size(), programmers);
    EXPECT_EQ(b.Counter(), std::to_string(999 + units) + "\n");
    const auto taken = b.Taken();
    EXPECT_EQ(std::set<std::uint64_t>(taken.begin(), taken.end()).size(), taken.size());
    EXPECT_EQ(std::set<std::uint64_t>(taken.begin(), taken.end()), std::set<std::uint64_t>(logged.begin(), logged.end()));
}

TEST(CliStation, TwentyUnitsOnOneProgrammer) {
    Bench b;
    const auto r = b.Station("swap:20", {"--count", "20"});
    ASSERT_EQ(r.code, 0) << r.all();
    ASSERT_EQ(b.Chips().size(), 20u);
    ExpectGoodUnits(b, 20, 1);
    EXPECT_THAT(r.out, HasSubstr("\"type\":\"summary\",\"good\":20,\"failed\":0"));
}

TEST(CliStation, AllFourProgrammersShareOneCounterAndOneLog) {
    Bench b;
    const auto r = b.Station("swap:20", {"--sim-count", "4", "--all", "--count", "80"});
    ASSERT_EQ(r.code, 0) << r.all();
    ASSERT_EQ(b.Chips().size(), 80u);
    ExpectGoodUnits(b, 80, 4);
    // Every station's own log lines, each named by its programmer.
    std::map<std::string, int> verifyLines;
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) {
        Json::Value v;
        std::istringstream in(line);
        std::string errors;
        if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &errors) || v["type"] != "log") continue;
        if (v["line"].asString().find("Verify Success") != std::string::npos) ++verifyLines[v["device"].asString()];
    }
    int total = 0;
    for (const auto& [device, n] : verifyLines) total += n;
    EXPECT_EQ(verifyLines.size(), 4u);
    EXPECT_EQ(total, 80);
}

TEST(CliStation, FailedUnitsRetireTheirNumbersAndTheStationsGoOn) {
    Bench b;
    // Programmer 1: its 2nd chip refuses the write, and it is unplugged during its 4th chip's
    // image (then plugged back in). Programmer 2 works throughout.
    const auto r = b.Station("swap:5:fail-write=2:unplug=4", {"--sim-count", "2", "--all", "--count", "8"});
    ASSERT_EQ(r.code, 0) << r.all();
    const auto log = b.Results();
    ASSERT_EQ(log.size(), 10u);
    std::set<std::uint32_t> failed, passed;
    for (const auto& unit : log) {
        if (unit["result"] == "pass") {
            passed.insert(unit["serial"].asUInt());
            continue;
        }
        EXPECT_EQ(unit["programmer_path"], "sim:programmer:1");
        EXPECT_EQ(unit["failure"], "device failure");
        EXPECT_TRUE(unit["serial_retired"].asBool());
        failed.insert(unit["serial"].asUInt());
    }
    EXPECT_EQ(failed.size(), 2u);
    EXPECT_EQ(passed.size(), 8u);
    for (std::uint32_t n : failed) EXPECT_EQ(passed.count(n), 0u) << n << " given twice";
    std::set<std::uint32_t> onChips;
    std::size_t without = 0;
    for (const auto& [name, chip] : b.Chips()) {
        const auto serial = b.SerialOn(chip);
        if (!serial) {
            ++without;
            continue;
        }
        EXPECT_TRUE(onChips.insert(*serial).second);
        EXPECT_EQ(failed.count(*serial), 0u) << "a failed unit's number is on " << name;
    }
    EXPECT_EQ(without, 2u);  // the two failed chips
    EXPECT_EQ(onChips, passed);
    EXPECT_EQ(b.Counter(), "1009\n");
}

std::vector<std::string> StationArgs(const Bench& b, const std::string& scenario, const std::string& counter,
                                     std::vector<std::string> extra) {
    std::vector<std::string> args = {"station", "--sim", scenario, "--sim-flash-dir", b.dir / "chips", "--chip",
                                     "NRF24LE1_16K", b.dir / "fw.bin", "--serial", "0x3FFC:u32le", "--serial-file",
                                     counter, "--log", b.dir / "units.log", "--poll-ms", "20", "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::size_t CountOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The highest number given: the counter's, or one recorded as taken just before a kill
// stopped the counter's update.
std::uint64_t HighestGiven(const Bench& b) {
    const auto taken = b.Taken();
    const std::uint64_t counter = std::stoull(b.Counter());
    return taken.empty() ? counter : std::max(counter, *taken.rbegin());
}

// Every number up to the counter is on record, none is on two chips or passed twice, and every
// chip that carries a number carries one that was recorded as taken before it was written. A
// kill between a number's record and the counter's update leaves the record one ahead.
void ExpectEveryNumberAccountedFor(const Bench& b) {
    const std::uint64_t counter = HighestGiven(b);
    const auto taken = b.Taken();
    EXPECT_LE(counter, std::stoull(b.Counter()) + 1) << "the record ran ahead of the counter by more than one";
    std::map<std::uint64_t, std::vector<std::string>> results;
    for (const auto& r : b.Results()) results[r["serial"].asUInt64()].push_back(r["result"].asString());
    for (std::uint64_t n = 1000; n <= counter; ++n) {
        EXPECT_EQ(taken.count(n), 1u) << "serial " << n << " recorded as taken " << taken.count(n) << " times";
        EXPECT_LE(results[n].size(), 1u) << "serial " << n << " has " << results[n].size() << " results";
    }
    std::set<std::uint32_t> onChips;
    for (const auto& [name, chip] : b.Chips()) {
        const auto serial = b.SerialOn(chip);
        if (!serial) continue;  // erased, or killed part way
        EXPECT_TRUE(onChips.insert(*serial).second) << "serial " << *serial << " on two chips";
        EXPECT_EQ(taken.count(*serial), 1u) << name << " carries " << *serial << ", never recorded as taken";
    }
}

TEST(CliStation, KillsAtRandomMomentsLeaveEveryNumberAccountedFor) {
    QUILLON_SKIP_ON_WINDOWS("kill at a moment read from the output");
    Bench b;
    std::mt19937 random(20240502);
    for (int run = 0; run < 12; ++run) {
        // Two paced stations take numbers concurrently; the kill comes after a line picked at
        // random, sometimes right on a "taken" record (between the record and the counter).
        test::ProcessOptions options;
        options.timeout = std::chrono::seconds(60);
        test::Process p(QUILLON_CLI_PATH,
                        StationArgs(b, "swap:20", b.dir / "serial.txt",
                                    {"--sim-paced", "--sim-count", "2", "--all", "--count", "20"}),
                        options);
        const bool onTaken = random() % 3 == 0;
        const std::size_t lines = 1 + random() % 40;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline && p.Running()) {
            const std::string out = p.OutputSoFar();
            if (onTaken ? CountOf(out, "\"result\":\"taken\"") >= 1 + lines % 4 : CountOf(out, "\n") >= lines) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        p.Kill();
        p.Finish();
    }
    ExpectEveryNumberAccountedFor(b);
    EXPECT_GT(b.Taken().size(), 12u);
    // A clean run afterwards goes on after the highest number on record.
    const std::uint64_t before = HighestGiven(b);
    const auto r = b.Station("swap:2", {"--count", "2"});
    ASSERT_EQ(r.code, 0) << r.all();
    EXPECT_EQ(b.Counter(), std::to_string(before + 2) + "\n");
    ExpectEveryNumberAccountedFor(b);
}

TEST(CliStation, TwoStationsThroughTwoNamesOfOneCounterAndOneFlashFolder) {
    QUILLON_SKIP_ON_WINDOWS("symbolic links need privileges there");
    Bench b;
    std::filesystem::create_symlink("serial.txt", test::PathOf(b.dir / "alias.txt"));
    test::ProcessOptions options;
    options.timeout = std::chrono::seconds(120);
    test::Process one(QUILLON_CLI_PATH,
                      StationArgs(b, "swap:20", b.dir / "serial.txt", {"--sim-count", "2", "--all", "--count", "40"}),
                      options);
    test::Process two(QUILLON_CLI_PATH,
                      StationArgs(b, "swap:20", b.dir / "alias.txt", {"--sim-count", "2", "--all", "--count", "40"}),
                      options);
    const auto r1 = one.Finish(), r2 = two.Finish();
    ASSERT_EQ(r1.code, 0) << r1.all();
    ASSERT_EQ(r2.code, 0) << r2.all();
    // Both shared one chip folder: 80 files, none overwritten by the other station.
    ASSERT_EQ(b.Chips().size(), 80u);
    ExpectGoodUnits(b, 80, 2);
    EXPECT_TRUE(std::filesystem::is_symlink(test::PathOf(b.dir / "alias.txt")));
}

TEST(CliStation, RefusedStartsTouchNeitherCounterNorChipAndLeaveNothing) {
    QUILLON_SKIP_ON_WINDOWS("its cases are made of symbolic links and permission bits (Wine has no symlinks)");
    Bench b;
    std::filesystem::create_symlink(test::PathOf(b.dir / "gone/units.log"), test::PathOf(b.dir / "dangling.log"));
    test::WriteFileBytes(b.dir / "ro.log", "");
    std::filesystem::permissions(test::PathOf(b.dir / "ro.log"), std::filesystem::perms::owner_read);
    const bool fifo = test::MakeFifo(b.dir / "serial.fifo");
    struct Case {
        std::string log, counter, serial;
        int code;
    };
    std::vector<Case> cases = {
        {b.dir / "missing/units.log", b.dir / "serial.txt", "0x3FFC:u32le", 3},
        {b.dir / "dangling.log", b.dir / "serial.txt", "0x3FFC:u32le", 3},
        {b.dir / "ro.log", b.dir / "serial.txt", "0x3FFC:u32le", 3},
        {b.dir / "units.log", b.dir / "nonexistent.txt", "0x3FFC:u32le", 3},
        {b.dir / "units.log", b.dir / "serial.txt", "0x3FFC:u24le", 2},
        {b.dir / "units.log", b.dir / "serial.txt", "3FFC", 2},
    };
    if (fifo) cases.push_back({b.dir / "units.log", b.dir / "serial.fifo", "0x3FFC:u32le", 3});
    for (const Case& c : cases)
        for (const bool dry : {false, true}) {
            std::vector<std::string> args = {"station", "--sim", "swap:1", "--sim-flash-dir", b.dir / "chips",
                                             "--chip", "NRF24LE1_16K", b.dir / "fw.bin", "--serial", c.serial,
                                             "--serial-file", c.counter, "--log", c.log, "--count", "1"};
            if (dry) args.push_back("--dry-run");
            test::ProcessOptions options;
            options.timeout = std::chrono::seconds(10);
            const auto start = std::chrono::steady_clock::now();
            const auto r = test::RunProcess(QUILLON_CLI_PATH, args, options);
            EXPECT_EQ(r.code, c.code) << c.log << " " << c.counter << " " << c.serial << r.all();
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.counter;
            EXPECT_EQ(b.Counter(), "999\n");
            EXPECT_TRUE(b.Chips().empty()) << c.log;
        }
    // Nothing was created: no lock, no log, no folder.
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(test::PathOf(b.dir.str())))
        names.insert(e.path().filename().string());
    std::set<std::string> expected = {"fw.bin", "serial.txt", "chips", "dangling.log", "ro.log"};
    if (fifo) expected.insert("serial.fifo");
    EXPECT_EQ(names, expected);

    // A dry run that passes its checks creates nothing either.
    const auto r = b.Station("swap:1", {"--dry-run"});
    EXPECT_EQ(r.code, 0) << r.all();
    EXPECT_FALSE(std::filesystem::exists(test::PathOf(b.dir / "serial.txt.lock")));
    EXPECT_FALSE(std::filesystem::exists(test::PathOf(b.dir / "units.log")));
}

TEST(CliStation, SerialsBeyondSixtyThreeBitsAndAnExhaustedCounter) {
    Bench b;
    struct Case {
        std::string counter, format;
        int code;
    };
    const Case cases[] = {
        {"9223372036854775812", "0x3FEC:ascii:20", 0},  // the next unit gets 2^63 + 5
        {"18446744073709551615", "0x3FEC:ascii:20", 3},  // no number left
        {"9223372036854775808", "0x3FFC:u32le", 3},      // the next number does not fit
    };
    for (const Case& c : cases) {
        test::WriteFileBytes(b.dir / "serial.txt", c.counter + "\n");
        std::filesystem::remove(test::PathOf(b.dir / "units.log"));
        auto args = StationArgs(b, "swap:1", b.dir / "serial.txt", {"--count", "1"});
        args[9] = c.format;
        const auto r = test::RunProcess(QUILLON_CLI_PATH, args);
        EXPECT_EQ(r.code, c.code) << c.counter << r.all();
        if (c.code != 0) {
            EXPECT_EQ(b.Counter(), c.counter + "\n");
            continue;
        }
        const std::string log = test::ReadFileBytes(b.dir / "units.log");
        EXPECT_EQ(CountOf(log, "\"serial\":9223372036854775813,"), 2u) << log;  // taken, then pass
        EXPECT_EQ(b.Counter(), "9223372036854775813\n");
    }
}

TEST(CliStation, PowerCutNulsAtTheLogsEndAreTolerated) {
    Bench b;
    test::WriteFileBytes(b.dir / "units.log", std::string(4096, '\0'));
    const auto r = b.Station("swap:1", {"--count", "1"});
    ASSERT_EQ(r.code, 0) << r.all();
    const std::string log = test::ReadFileBytes(b.dir / "units.log");
    ASSERT_GT(log.size(), 4097u);
    EXPECT_EQ(log.substr(0, 4097), std::string(4096, '\0') + "\n");
    EXPECT_EQ(CountOf(log.substr(4097), "\n"), 2u);  // the taken record and the result, each whole
}

TEST(CliStation, StopWhileAnotherProcessHoldsTheCounterTakesNoNumber) {
    QUILLON_SKIP_ON_WINDOWS("signals");
    Bench b;
    // Another process's lock on the counter, as this test holds it.
    test::WriteFileBytes(b.dir / "serial.txt.lock", "");
    test::ProcessOptions holdOptions;
    holdOptions.mustStart = false;
    test::Process hold("flock", {b.dir / "serial.txt.lock", "sleep", "30"}, holdOptions);
    if (!hold.started()) GTEST_SKIP() << "no flock(1) here";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    test::Process p(QUILLON_CLI_PATH, StationArgs(b, "swap:1", b.dir / "serial.txt", {"--count", "1"}));
    ASSERT_TRUE(p.WaitForOutput("\"state\":\"waiting\"", std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(p.Send(test::StopSignal::Terminate));
    const auto start = std::chrono::steady_clock::now();
    const auto r = p.Finish(std::chrono::seconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(r.code, 143) << r.all();
    EXPECT_EQ(b.Counter(), "999\n");
    EXPECT_EQ(test::ReadFileBytes(b.dir / "units.log"), "");
    hold.Kill();
}

TEST(CliStation, RefusesBadInputsAndDryRunStopsBeforeTheWire) {
    Bench b;
    // Not a unit log: refused before any number is taken.
    test::WriteFileBytes(b.dir / "units.log", "this is somebody's notes\n");
    auto r = b.Station("swap:1", {"--count", "1"});
    EXPECT_EQ(r.code, 3) << r.all();
    EXPECT_THAT(r.out, HasSubstr("not a unit log"));
    EXPECT_EQ(b.Counter(), "999\n");
    std::filesystem::remove(test::PathOf(b.dir / "units.log"));

    // A serial that would end past the flash.
    r = test::RunProcess(QUILLON_CLI_PATH, {"station", "--sim", "swap:1", "--chip", "NRF24LE1_16K", b.dir / "fw.bin",
                                            "--serial", "0x3FFE:u32le", "--serial-file", b.dir / "serial.txt"});
    EXPECT_EQ(r.code, 3) << r.all();
    EXPECT_THAT(r.all(), HasSubstr("outside the chip's 16384-byte flash"));

    // Dry run: shows the bytes the serial replaces and the digest, takes no number, touches no chip.
    r = b.Station("swap:1", {"--dry-run"});
    ASSERT_EQ(r.code, 0) << r.all();
    char overwritten[16];
    std::snprintf(overwritten, sizeof overwritten, "%02X %02X %02X %02X", b.image[kSerialAt], b.image[kSerialAt + 1],
                  b.image[kSerialAt + 2], b.image[kSerialAt + 3]);
    EXPECT_THAT(r.out, HasSubstr(std::string("\"overwrites\":\"") + overwritten + "\""));
    EXPECT_THAT(r.out, HasSubstr("\"serial\":1000"));
    EXPECT_THAT(r.out, HasSubstr("\"serial_bytes\":\"E8 03 00 00\""));
    EXPECT_EQ(b.Counter(), "999\n");
    EXPECT_TRUE(b.Chips().empty());  // no programmer was even opened

    // write --dry-run: same image digest as the station reports, nothing written.
    r = test::RunProcess(QUILLON_CLI_PATH, {"write", "--sim", "--sim-flash-dir", b.dir / "chips", "--chip",
                                            "NRF24LE1_16K", b.dir / "fw.bin", "--dry-run"});
    ASSERT_EQ(r.code, 0) << r.all();
    EXPECT_THAT(r.all(), HasSubstr("dry run: 16384 bytes"));
    const auto station = b.Station("swap:1", {"--dry-run"});
    const auto at = station.out.find("\"image_sha256\":\"");
    ASSERT_NE(at, std::string::npos);
    EXPECT_THAT(r.all(), HasSubstr(station.out.substr(at + 16, 64)));
}

// Two counters on one unit log: each counts only its own records, so no number is given twice.
TEST(CliStation, TwoCountersOnOneLogNeverGiveOneSerialTwice) {
    Bench b;
    test::WriteFileBytes(b.dir / "A.txt", "1000\n");
    test::WriteFileBytes(b.dir / "B.txt", "5000\n");
    auto run = [&b](const std::string& counter, const std::string& log) {
        return test::RunProcess(QUILLON_CLI_PATH,
                                {"station", "--quiet", "--sim", "swap:1", "--chip", "NRF24LE1_16K", b.dir / "fw.bin",
                                 "--serial", "0x3FFC:u32le", "--count", "1", "--poll-ms", "10", "--serial-file",
                                 b.dir / counter, "--log", b.dir / log});
    };
    auto passed = [&b](const std::string& log) {
        std::vector<std::uint64_t> serials;
        std::istringstream in(test::ReadFileBytes(b.dir / log));
        for (std::string line; std::getline(in, line);) {
            Json::Value v;
            std::istringstream(line) >> v;
            if (v["result"] == "pass") serials.push_back(v["serial"].asUInt64());
        }
        return serials;
    };
    ASSERT_EQ(run("B.txt", "day1.log").code, 0);
    const auto second = run("A.txt", "day1.log");
    ASSERT_EQ(second.code, 0) << second.all();
    ASSERT_EQ(run("B.txt", "day2.log").code, 0);
    EXPECT_EQ(passed("day1.log"), (std::vector<std::uint64_t>{5001, 1001}));
    EXPECT_EQ(passed("day2.log"), (std::vector<std::uint64_t>{5002}));
    EXPECT_EQ(test::ReadFileBytes(b.dir / "A.txt"), "1001\n");
    EXPECT_EQ(test::ReadFileBytes(b.dir / "B.txt"), "5002\n");
}

// A counter set back far behind its own records: the dry run and the run decide alike, and
// neither moves it without being told.
TEST(CliStation, ACounterFarBehindItsRecordsIsRefusedByDryRunAndRunAlike) {
    Bench b;
    ASSERT_EQ(b.Station("swap:5", {"--count", "5"}).code, 0);  // takes 1000 to 1004
    test::WriteFileBytes(b.dir / "serial.txt", "999\n");
    for (const bool dry : {true, false}) {
        const auto r = b.Station("swap:1", dry ? std::vector<std::string>{"--count", "1", "--dry-run"}
                                               : std::vector<std::string>{"--count", "1"});
        EXPECT_EQ(r.code, 3) << r.all();
        EXPECT_THAT(r.all(), HasSubstr("--allow-serial-jump"));
        EXPECT_EQ(b.Counter(), "999\n");
    }
    const auto dry = b.Station("swap:1", {"--count", "1", "--dry-run", "--allow-serial-jump"});
    ASSERT_EQ(dry.code, 0) << dry.all();
    EXPECT_THAT(dry.out, HasSubstr("\"serial\":1005,"));
    const auto run = b.Station("swap:1", {"--count", "1", "--allow-serial-jump"});
    ASSERT_EQ(run.code, 0) << run.all();
    EXPECT_EQ(b.Counter(), "1005\n");
    EXPECT_EQ(b.Results().back()["serial"].asUInt64(), 1005u);

    // A record from before records named their counter, in a log no other counter shares, still
    // catches a counter up that a crash left behind.
    test::WriteFileBytes(b.dir / "units.log",
                         "{\"type\":\"unit\",\"schema\":1,\"time\":\"2024-01-01T00:00:00.000Z\",\"programmer_serial\":"
                         "\"X\",\"programmer_path\":\"p\",\"chip\":\"NRF24LE1_16K\",\"image\":\"fw.bin\","
                         "\"image_sha256\":\"\",\"serial\":1001,\"result\":\"taken\",\"version\":\"old\"}\n");
    test::WriteFileBytes(b.dir / "serial.txt", "999\n");
    const auto oldDry = b.Station("swap:1", {"--count", "1", "--dry-run"});
    EXPECT_THAT(oldDry.out, HasSubstr("\"serial\":1002,"));
    ASSERT_EQ(b.Station("swap:1", {"--count", "1"}).code, 0);
    EXPECT_EQ(b.Counter(), "1002\n");
}

// A second Ctrl-C while a unit's result waits for the unit log's lock: the unit is logged as
// interrupted once the log is free, and the run ends as interrupted (130), not as an error.
TEST(CliStation, AbortWhileTheResultWaitsForTheLogRecordsTheUnitAsInterrupted) {
    QUILLON_SKIP_ON_WINDOWS("signals");
    Bench b;
    test::ProcessOptions options;
    options.timeout = std::chrono::seconds(60);
    test::Process p(QUILLON_CLI_PATH, StationArgs(b, "swap:1", b.dir / "serial.txt", {"--sim-paced", "--count", "1"}),
                    options);
    ASSERT_TRUE(p.WaitForOutput("\"result\":\"taken\"", std::chrono::seconds(20)));
    // Another process takes the log while the chip is being written (a paced unit takes about
    // half a second), so the unit's result has to wait for it.
    test::ProcessOptions holdOptions;
    holdOptions.mustStart = false;
    // -o: only flock(1) itself holds the lock, so that killing it frees the log.
    test::Process hold("flock", {"-o", b.dir / "units.log", "sleep", "30"}, holdOptions);
    if (!hold.started()) GTEST_SKIP() << "no flock(1) here";
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(CountOf(p.OutputSoFar(), "\"result\":\"pass\""), 0u) << p.OutputSoFar();
    ASSERT_TRUE(p.Send(test::StopSignal::Interrupt));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(p.Send(test::StopSignal::Interrupt));
    EXPECT_TRUE(p.WaitForOutput("waiting to record the interrupted unit", std::chrono::seconds(5))) << p.OutputSoFar();
    hold.Kill();
    const auto r = p.Finish(std::chrono::seconds(10));
    EXPECT_EQ(r.code, 130) << r.all();
    EXPECT_THAT(r.out, HasSubstr("\"interrupted\":true"));
    const auto results = b.Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["serial"].asUInt64(), 1000u);
    EXPECT_EQ(results[0]["result"], "fail");
    EXPECT_EQ(results[0]["failure"], "interrupted");
    EXPECT_EQ(b.Counter(), "1000\n");
}

// A serial field over bytes the image holds is said once at the start (the run goes on); over
// erased bytes nothing is said.
TEST(CliStation, ASerialOverFirmwareIsAWarningAtTheStart) {
    Bench b;
    char replaced[16];
    std::snprintf(replaced, sizeof replaced, "%02X %02X %02X %02X", b.image[kSerialAt], b.image[kSerialAt + 1],
                  b.image[kSerialAt + 2], b.image[kSerialAt + 3]);
    for (const bool dry : {true, false}) {
        const auto r = b.Station("swap:2", dry ? std::vector<std::string>{"--count", "2", "--dry-run"}
                                               : std::vector<std::string>{"--count", "2"});
        ASSERT_EQ(r.code, 0) << r.all();
        std::size_t warnings = 0;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            Json::Value v;
            std::istringstream(line) >> v;
            if (v["type"] != "warning") continue;
            ++warnings;
            EXPECT_THAT(v["message"].asString(), HasSubstr("0x3FFC"));
            EXPECT_THAT(v["message"].asString(), HasSubstr(replaced));
        }
        EXPECT_EQ(warnings, 1u) << r.out;
    }
    ExpectGoodUnits(b, 2, 1);
    // Plain text says it on stderr; an image that leaves the field erased gets no warning.
    std::vector<std::string> args = {"station", "--sim", "swap:1", "--chip", "NRF24LE1_16K", b.dir / "fw.bin",
                                     "--serial", "0x3FFC:u32le", "--serial-file", b.dir / "serial.txt", "--dry-run"};
    auto r = test::RunProcess(QUILLON_CLI_PATH, args);
    EXPECT_THAT(r.err, HasSubstr("warning: the serial number at 0x3FFC"));
    test::WriteFileBytes(b.dir / "small.bin", std::string(4096, '\x11'));
    args[5] = b.dir / "small.bin";
    r = test::RunProcess(QUILLON_CLI_PATH, args);
    EXPECT_EQ(r.code, 0) << r.all();
    EXPECT_THAT(r.err, Not(HasSubstr("warning")));
}

// A counter that outgrows its field in the middle of a run: the series is exhausted, the run
// stops, and no number is taken or failed for it.
TEST(CliStation, ASeriesThatOutgrowsItsFieldStopsWithoutAFailRecord) {
    Bench b;
    test::WriteFileBytes(b.dir / "serial.txt", "65533\n");
    auto args = StationArgs(b, "swap:5", b.dir / "serial.txt", {"--count", "5"});
    args[9] = "0x3FFC:u16le";
    const auto r = test::RunProcess(QUILLON_CLI_PATH, args);
    EXPECT_EQ(r.code, 1) << r.all();
    EXPECT_THAT(r.all(), HasSubstr("exhausted"));
    const auto results = b.Results();
    ASSERT_EQ(results.size(), 2u) << r.all();
    for (const auto& unit : results) EXPECT_EQ(unit["result"], "pass") << unit.toStyledString();
    EXPECT_EQ(b.Taken(), (std::multiset<std::uint64_t>{65534, 65535}));
    EXPECT_EQ(b.Counter(), "65535\n");
}

// One unit step, one wording: the station's record and write's result say the same of the same
// image.
TEST(CliStation, TheUnitLogAndWriteSayTheSameWords) {
    Bench b;
    const auto station = test::RunProcess(
        QUILLON_CLI_PATH, {"station", "--sim", "swap:1", "--chip", "NRF24LE1_16K", b.dir / "fw.bin", "--count", "1",
                           "--log", b.dir / "units.log", "--poll-ms", "20"});
    ASSERT_EQ(station.code, 0) << station.all();
    const auto write = test::RunProcess(
        QUILLON_CLI_PATH, {"write", "--json", "--sim", "--chip", "NRF24LE1_16K", b.dir / "fw.bin", "--readback"});
    ASSERT_EQ(write.code, 0) << write.all();
    Json::Value result;
    std::istringstream(write.out.substr(write.out.rfind("{\"type\":\"result\""))) >> result;
    const auto log = b.Results();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["message"], result["message"]);
    EXPECT_EQ(result["checked"], "transfer checksum, read-back");
}

// The station loads its image as write does: the HEX warnings and the BIN copy beside the file,
// once per run however many programmers there are.
TEST(CliStation, AHexImageGivesWritesWarningsAndBinCopyOncePerRun) {
    Bench b;
    std::string hex;
    for (std::size_t at = 0; at < kFlash; at += 16) {
        char record[64];
        unsigned sum = 16 + (at >> 8) + (at & 0xFF);
        std::snprintf(record, sizeof record, ":10%04X00", static_cast<unsigned>(at));
        std::string line = record;
        for (std::size_t i = 0; i < 16; ++i) {
            std::snprintf(record, sizeof record, "%02X", b.image[at + i]);
            line += record;
            sum += b.image[at + i];
        }
        std::snprintf(record, sizeof record, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
        line += record;
        if (at == 16) line += "00";  // digits after the checksum on line 2: lenient, so a warning
        hex += line + "\n";
    }
    hex += ":00000001FF\n";
    test::WriteFileBytes(b.dir / "fw.hex", hex);
    auto args = StationArgs(b, "swap:2", b.dir / "serial.txt", {"--sim-count", "2", "--all", "--count", "4"});
    args[7] = b.dir / "fw.hex";
    const auto r = test::RunProcess(QUILLON_CLI_PATH, args);
    ASSERT_EQ(r.code, 0) << r.all();
    EXPECT_EQ(CountOf(r.out, "after a record's checksum"), 1u) << r.out;
    EXPECT_EQ(CountOf(r.out, "\"type\":\"warning\",\"message\":\"hex digits after"), 1u) << r.out;
    EXPECT_EQ(test::ReadFileBytes(b.dir / "fw.hex.bin"), std::string(b.image.begin(), b.image.end()));
    // Every chip holds the converted image with its own number.
    ASSERT_EQ(b.Chips().size(), 4u);
    std::set<std::uint32_t> serials;
    for (const auto& [name, chip] : b.Chips()) {
        const auto serial = b.SerialOn(chip);
        ASSERT_TRUE(serial.has_value()) << name;
        serials.insert(*serial);
    }
    EXPECT_EQ(serials, (std::set<std::uint32_t>{1000, 1001, 1002, 1003}));
    for (const auto& unit : b.Results()) EXPECT_EQ(unit["image_sha256"].asString(), Sha256::Hex(std::string_view(hex)));
}

// A station whose simulated chip cannot be saved (a file-size limit, as a full disk) does not end
// as a success.
TEST(CliStation, ASimulatedChipThatCannotBeSavedFailsTheRun) {
    QUILLON_SKIP_ON_WINDOWS("the file-size limit is set through the POSIX shell");
    Bench b;
    const auto r = test::RunProcess(
        "sh", {"-c", "ulimit -f 16 && trap '' XFSZ && exec \"$0\" \"$@\"", QUILLON_CLI_PATH, "station", "--sim",
               "--sim-flash", b.dir / "chip.sim", "--chip", "NRF24LE1_16K", b.dir / "fw.bin", "--count", "1",
               "--poll-ms", "20"});
    EXPECT_EQ(r.code, 1) << r.all();
    EXPECT_THAT(r.err, HasSubstr("unusable --sim-flash file"));
}

}  // namespace
}  // namespace quillon
