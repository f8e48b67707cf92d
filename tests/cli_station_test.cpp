// quillon-cli station end to end on the simulated chip swapper: every unit's chip is inspected
// through its own flash file, every log line is parsed, and failures, a crash between the counter
// and the chip, and refused inputs are judged by what landed on disk.
#include <json/json.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "support/Process.h"

namespace quillon {
namespace {

using ::testing::HasSubstr;
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
};

// Good units: each chip holds the image with the serial its log line names, no number twice.
void ExpectGoodUnits(const Bench& b, std::size_t units, std::size_t programmers) {
    const auto log = b.Log();
    ASSERT_EQ(log.size(), units);
    std::set<std::uint32_t> logged, onChips;
    std::set<std::string> stations;
    for (const auto& unit : log) {
        EXPECT_EQ(unit["result"], "pass") << unit.toStyledString();
        EXPECT_EQ(unit["bytes_written"].asUInt(), kFlash);
        logged.insert(unit["serial"].asUInt());
        stations.insert(unit["programmer_path"].asString());
    }
    for (const auto& [name, chip] : b.Chips()) {
        const auto serial = b.SerialOn(chip);
        ASSERT_TRUE(serial.has_value()) << name << " does not hold the image";
        EXPECT_TRUE(onChips.insert(*serial).second) << "serial " << *serial << " on two chips";
    }
    EXPECT_EQ(onChips, logged);
    EXPECT_EQ(logged.size(), units);
    EXPECT_EQ(*logged.begin(), 1000u);
    EXPECT_EQ(*logged.rbegin(), 1000u + units - 1);
    EXPECT_EQ(stations.size(), programmers);
    EXPECT_EQ(b.Counter(), std::to_string(999 + units) + "\n");
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
}

TEST(CliStation, FailedUnitsRetireTheirNumbersAndTheStationsGoOn) {
    Bench b;
    // Programmer 1: its 2nd chip refuses the write, and it is unplugged during its 4th chip's
    // image (then plugged back in). Programmer 2 works throughout.
    const auto r = b.Station("swap:5:fail-write=2:unplug=4", {"--sim-count", "2", "--all", "--count", "8"});
    ASSERT_EQ(r.code, 0) << r.all();
    const auto log = b.Log();
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

TEST(CliStation, CrashAfterTheCounterNeverReusesTheNumber) {
    Bench b;
    {
        test::ProcessOptions options;
        options.environment = {{"QUILLON_TEST_STOP_AFTER_COUNTER", "1"}};
        test::Process p(QUILLON_CLI_PATH,
                        {"station", "--sim", "swap:3", "--sim-flash-dir", b.dir / "chips", "--chip", "NRF24LE1_16K",
                         b.dir / "fw.bin", "--serial", "0x3FFC:u32le", "--serial-file", b.dir / "serial.txt", "--log",
                         b.dir / "units.log", "--poll-ms", "20", "--json"},
                        options);
        ASSERT_TRUE(p.WaitForOutput("\"type\":\"test-hook\",\"serial\":1000", std::chrono::seconds(60)));
        p.Kill();
        p.Finish();
    }
    EXPECT_EQ(b.Counter(), "1000\n");  // on disk before the chip was touched
    EXPECT_TRUE(b.Log().empty());
    // The restart continues after the number the crashed run had taken.
    const auto r = b.Station("swap:2", {"--count", "2"});
    ASSERT_EQ(r.code, 0) << r.all();
    std::set<std::uint32_t> logged;
    for (const auto& unit : b.Log()) logged.insert(unit["serial"].asUInt());
    EXPECT_EQ(logged, (std::set<std::uint32_t>{1001, 1002}));
    EXPECT_EQ(b.Counter(), "1002\n");
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

}  // namespace
}  // namespace quillon
