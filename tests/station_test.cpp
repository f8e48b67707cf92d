// The station's small pure parts: serial formats and patching, the counter file (also under
// contention, through links, behind a crash between its record and its update), the unit-log
// record and the log check, the append after a power cut, and the checks before a start.
#include <json/json.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <atomic>
#include <set>
#include <sstream>
#include <thread>

#include "station/FileUnitStore.h"
#include "station/UnitLog.h"
#include "fs/Durable.h"
#include "fs/Files.h"
#include "ops/ProgramUnit.h"
#include "sim/SimPlatform.h"
#include "station/Serial.h"
#include "station/Station.h"
#include "support/Process.h"

namespace quillon {
namespace {

using station::SerialError;
using Bytes = std::vector<std::uint8_t>;

Json::Value Parse(const std::string& line) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string errors;
    EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &v, &errors)) << line;
    return v;
}

TEST(SerialFormat, EncodesEachFormat) {
    struct Case {
        const char* argument;
        std::uint64_t number;
        std::uint32_t address;
        Bytes bytes;
    };
    const Case cases[] = {
        {"0x3FFC:u32le", 0x01020304, 0x3FFC, {0x04, 0x03, 0x02, 0x01}},
        {"16380:u32be", 0x01020304, 16380, {0x01, 0x02, 0x03, 0x04}},
        {"0x10:u16le", 0xBEEF, 0x10, {0xEF, 0xBE}},
        {"0X10:u16be", 0xBEEF, 0x10, {0xBE, 0xEF}},
        {"0:ascii:6", 1234, 0, {'0', '0', '1', '2', '3', '4'}},
        {"0:ascii:4", 1234, 0, {'1', '2', '3', '4'}},
    };
    for (const Case& c : cases) {
        const auto field = station::ParseSerialField(c.argument);
        EXPECT_EQ(field.address, c.address) << c.argument;
        EXPECT_EQ(station::EncodeSerial(c.number, field.format), c.bytes) << c.argument;
    }
}

TEST(SerialFormat, RefusesBadSpecsAndNumbersThatDoNotFit) {
    for (const char* bad : {"3FFC:u32le", "0x3FFC", "0x3FFC:u24le", "0x:u16le", "0:ascii:0", "0:ascii:21",
                            "0:ascii:x", "-1:u16le", "0x1FFFFFFFF:u16le"})
        EXPECT_THROW(station::ParseSerialField(bad), SerialError) << bad;
    EXPECT_THROW(station::EncodeSerial(65536, station::ParseSerialField("0:u16le").format), SerialError);
    EXPECT_THROW(station::EncodeSerial(0x100000000ull, station::ParseSerialField("0:u32be").format), SerialError);
    EXPECT_THROW(station::EncodeSerial(12345, station::ParseSerialField("0:ascii:4").format), SerialError);
}

TEST(SerialPatch, OverwritesGrowsWithErasedBytesAndStaysInsideFlash) {
    Bytes image{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(station::PatchImage(image, 2, {0xAA, 0xBB}, 16), (Bytes{3, 4}));
    EXPECT_EQ(image, (Bytes{1, 2, 0xAA, 0xBB, 5, 6}));
    // Past the image's end: the gap is erased flash, and the old bytes are reported as erased.
    EXPECT_EQ(station::PatchImage(image, 12, {0x11, 0x22, 0x33, 0x44}, 16), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(image.size(), 16u);
    EXPECT_EQ(image[8], 0xFF);
    EXPECT_EQ(image[15], 0x44);
    // One byte beyond the flash is refused, and the image is left as it was.
    const Bytes before = image;
    EXPECT_THROW(station::PatchImage(image, 13, {1, 2, 3, 4}, 16), SerialError);
    EXPECT_EQ(image, before);
}

TEST(SerialCounter, ParsesOnlyOneDecimalNumber) {
    EXPECT_EQ(station::ParseCounter("999\n"), 999u);
    EXPECT_EQ(station::ParseCounter("  42 \r\n"), 42u);
    EXPECT_EQ(station::ParseCounter(station::CounterText(18446744073709551615ull)), 18446744073709551615ull);
    for (const char* bad : {"", "\n", "-1", "+5", "12 13", "0x10", "abc", "18446744073709551616"})
        EXPECT_FALSE(station::ParseCounter(bad).has_value()) << bad;
}

TEST(SerialCounter, HandsOutEachNumberOnceAcrossThreads) {
    test::ScratchDir dir("station-counter");
    const std::string counter = dir / "serial.txt";
    EXPECT_THROW(station::TakeNextSerial(counter), SerialError);  // missing: never restart at 1
    test::WriteFileBytes(counter, "garbage\n");
    EXPECT_THROW(station::TakeNextSerial(counter), SerialError);
    test::WriteFileBytes(counter, "999\n");
    EXPECT_EQ(station::PeekLastSerial(counter), 999u);
    EXPECT_EQ(station::TakeNextSerial(counter), 1000u);
    EXPECT_EQ(test::ReadFileBytes(counter), "1000\n");

    std::vector<std::vector<std::uint64_t>> taken(4);
    std::vector<std::thread> threads;
    for (auto& mine : taken)
        threads.emplace_back([&counter, &mine] {
            for (int i = 0; i < 25; ++i) mine.push_back(station::TakeNextSerial(counter));
        });
    for (auto& t : threads) t.join();
    std::set<std::uint64_t> all;
    for (const auto& mine : taken) all.insert(mine.begin(), mine.end());
    EXPECT_EQ(all.size(), 100u);
    EXPECT_EQ(*all.begin(), 1001u);
    EXPECT_EQ(*all.rbegin(), 1100u);
    EXPECT_EQ(station::PeekLastSerial(counter), 1100u);
}

TEST(StationTime, IsoUtcWithMilliseconds) {
    EXPECT_EQ(station::IsoTimeUtc(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(station::IsoTimeUtc(1700000000123), "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(station::IsoTimeUtc(951782400999), "2000-02-29T00:00:00.999Z");
}

station::UnitRecord Record(bool pass, std::optional<std::uint64_t> serial) {
    station::UnitRecord r;
    r.time = "2024-01-02T03:04:05.678Z";
    r.programmerSerial = "SIM0001";
    r.programmerPath = "sim:programmer:1";
    r.chip = "NRF24LE1_16K";
    r.imagePath = "fw \"v2\".hex";
    r.imageSha256 = std::string(64, 'a');
    r.serial = serial;
    r.pass = pass;
    r.failure = pass ? "" : "device failure";
    r.message = pass ? "ok" : "the programmer was disconnected";
    r.durationMs = 812;
    r.bytesWritten = 16384;
    r.version = "quillon-cli 0.1.0";
    return r;
}

TEST(UnitLog, RecordCarriesEveryFieldAndPassesTheCheck) {
    const Json::Value pass = Parse(station::UnitLogLine(Record(true, 1000)));
    EXPECT_EQ(pass["type"], "unit");
    EXPECT_EQ(pass["time"], "2024-01-02T03:04:05.678Z");
    EXPECT_EQ(pass["programmer_serial"], "SIM0001");
    EXPECT_EQ(pass["programmer_path"], "sim:programmer:1");
    EXPECT_EQ(pass["image"], "fw \"v2\".hex");
    EXPECT_EQ(pass["serial"].asUInt64(), 1000u);
    EXPECT_EQ(pass["result"], "pass");
    EXPECT_FALSE(pass.isMember("failure"));
    EXPECT_EQ(pass["duration_ms"].asInt(), 812);
    EXPECT_EQ(pass["bytes_written"].asInt(), 16384);

    const Json::Value fail = Parse(station::UnitLogLine(Record(false, 1001)));
    EXPECT_EQ(fail["result"], "fail");
    EXPECT_EQ(fail["failure"], "device failure");
    EXPECT_TRUE(fail["serial_retired"].asBool());
    EXPECT_FALSE(Parse(station::UnitLogLine(Record(false, std::nullopt))).isMember("serial"));

    const std::string log = station::UnitLogLine(Record(true, 1)) + "\n" + station::UnitLogLine(Record(false, 2)) + "\n";
    const station::LogCheck check = station::CheckUnitLog(log);
    EXPECT_TRUE(check.valid);
    EXPECT_EQ(check.units, 2u);
    EXPECT_EQ(check.truncated, 0u);
}

TEST(UnitLog, CheckToleratesCutRecordsAndRefusesOtherFiles) {
    const std::string good = station::UnitLogLine(Record(true, 1));
    struct Case {
        std::string text;
        bool valid;
        std::size_t units, truncated, badLine;
    };
    const Case cases[] = {
        {"", true, 0, 0, 0},
        {good + "\n" + good.substr(0, 40), true, 1, 1, 0},         // power cut in the last append
        {good + "\n" + good.substr(0, 90) + "\n" + good + "\n", true, 2, 1, 0},  // and appended after
        {good.substr(0, 8) + "\n", true, 0, 1, 0},
        {good + "\n[1,2]\n", false, 1, 0, 2},
        {"hello world\n" + good + "\n", false, 0, 0, 1},
        {good + "\n{\"type\":\"result\",\"ok\":true}\n", false, 1, 0, 2},
        {"{\"type\":\"unit\"}\n", false, 0, 0, 1},  // complete but no record
        {"#!/bin/sh\nrm -rf /\n", false, 0, 0, 1},
    };
    for (const Case& c : cases) {
        const station::LogCheck check = station::CheckUnitLog(c.text);
        EXPECT_EQ(check.valid, c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(check.units, c.units) << c.text;
            EXPECT_EQ(check.truncated, c.truncated) << c.text;
        } else {
            EXPECT_EQ(check.badLine, c.badLine) << c.text;
        }
    }
}

TEST(UnitLog, AppendAfterPowerCutStartsOnAFreshLine) {
    test::ScratchDir dir("station-log");
    const std::string log = dir / "units.log";
    const std::string a = station::UnitLogLine(Record(true, 1)), b = station::UnitLogLine(Record(true, 2));
    station::AppendUnitLog(log, a);
    EXPECT_EQ(test::ReadFileBytes(log), a + "\n");
    // A power cut leaves half a record without its line end.
    test::WriteFileBytes(log, a + "\n" + b.substr(0, 50));
    station::AppendUnitLog(log, b);
    EXPECT_EQ(test::ReadFileBytes(log), a + "\n" + b.substr(0, 50) + "\n" + b + "\n");
    const station::LogCheck check = station::CheckUnitLog(test::ReadFileBytes(log));
    EXPECT_TRUE(check.valid) << check.reason;
    EXPECT_EQ(check.units, 2u);
    EXPECT_EQ(check.truncated, 1u);

    // Several writers at once: every line whole.
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&log, t] {
            for (int i = 0; i < 20; ++i) station::AppendUnitLog(log, station::UnitLogLine(Record(true, 100 * t + i)));
        });
    for (auto& w : writers) w.join();
    const station::LogCheck after = station::CheckUnitLog(test::ReadFileBytes(log));
    EXPECT_TRUE(after.valid) << after.reason;
    EXPECT_EQ(after.units, 82u);
}

// A journal kept in memory, to drive the counter's crash windows.
struct MemoryJournal : station::SerialJournal {
    std::optional<std::uint64_t> last;
    std::vector<std::uint64_t> taken_;
    bool fail = false;
    std::optional<std::uint64_t> lastTaken() override { return last; }
    void taken(std::uint64_t n) override {
        if (fail) throw std::runtime_error("disk full");
        taken_.push_back(n);
        last = n;
    }
};

TEST(SerialCounter, RecordComesFirstAndACounterLeftBehindCatchesUp) {
    test::ScratchDir dir("station-journal");
    const std::string counter = dir / "serial.txt";
    test::WriteFileBytes(counter, "41\n");
    MemoryJournal journal;
    EXPECT_EQ(station::TakeNextSerial(counter, &journal), 42u);
    EXPECT_EQ(journal.taken_, (std::vector<std::uint64_t>{42}));
    // A crash after the record of 43 and before the counter moved: 43 is not given again.
    journal.last = 43;
    EXPECT_EQ(station::TakeNextSerial(counter, &journal), 44u);
    EXPECT_EQ(test::ReadFileBytes(counter), "44\n");
    // A record that cannot be written leaves the number free and the counter where it was.
    journal.fail = true;
    EXPECT_THROW(station::TakeNextSerial(counter, &journal), SerialError);
    EXPECT_EQ(test::ReadFileBytes(counter), "44\n");
    // A journal behind the counter (another log took numbers) does not move it back.
    journal.fail = false;
    journal.last = 3;
    EXPECT_EQ(station::TakeNextSerial(counter, &journal), 45u);
    // Stopped before the lock: nothing taken.
    EXPECT_THROW(station::TakeNextSerial(counter, &journal, [] { return true; }), station::SerialCancelled);
    EXPECT_EQ(test::ReadFileBytes(counter), "45\n");
    test::WriteFileBytes(counter, "18446744073709551615\n");
    EXPECT_THROW(station::TakeNextSerial(counter, &journal), SerialError);
}

TEST(SerialCounter, EveryNameOfOneCounterSharesOneLockAndRefusalsLeaveNothing) {
    QUILLON_SKIP_ON_WINDOWS("its cases are made of symbolic links and permission bits (Wine has no symlinks)");
    test::ScratchDir dir("station-names");
    std::filesystem::create_directory(test::PathOf(dir / "real"));
    const std::string real = dir / "real/serial.txt";
    test::WriteFileBytes(real, "0\n");
    std::filesystem::create_symlink(test::PathOf(real), test::PathOf(dir / "alias.txt"));
    std::filesystem::create_symlink("alias.txt", test::PathOf(dir / "alias2.txt"));
    EXPECT_EQ(station::CounterLockPath(dir / "alias2.txt"), real + ".lock");
    EXPECT_EQ(station::CounterLockPath(real), real + ".lock");

    // Peeking and refusing create no lock file.
    EXPECT_EQ(station::PeekLastSerial(dir / "alias.txt"), 0u);
    EXPECT_THROW(station::TakeNextSerial(dir / "missing.txt"), SerialError);
    EXPECT_FALSE(std::filesystem::exists(test::PathOf(real + ".lock")));
    EXPECT_FALSE(std::filesystem::exists(test::PathOf(dir / "missing.txt.lock")));

    // Threads through three names: each number once, and the link stays a link.
    std::vector<std::vector<std::uint64_t>> taken(3);
    std::vector<std::thread> threads;
    const std::string names[] = {real, dir / "alias.txt", dir / "alias2.txt"};
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) taken[t].push_back(station::TakeNextSerial(names[t]));
        });
    for (auto& t : threads) t.join();
    std::set<std::uint64_t> all;
    for (const auto& mine : taken) all.insert(mine.begin(), mine.end());
    EXPECT_EQ(all.size(), 90u);
    EXPECT_EQ(test::ReadFileBytes(real), "90\n");
    EXPECT_TRUE(std::filesystem::is_symlink(test::PathOf(dir / "alias.txt")));
    EXPECT_FALSE(std::filesystem::exists(test::PathOf(dir / "alias.txt.lock")));
}

TEST(SerialCounter, FifoIsRefusedAtOnce) {
    QUILLON_SKIP_ON_WINDOWS("no FIFOs");
    test::ScratchDir dir("station-fifo");
    const std::string fifo = dir / "serial.fifo";
    ASSERT_TRUE(test::MakeFifo(fifo));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(station::PeekLastSerial(fifo), SerialError);
    EXPECT_THROW(station::TakeNextSerial(fifo), SerialError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(std::filesystem::exists(test::PathOf(fifo + ".lock")));
}

TEST(DurableLock, WaitGivesUpWhenCancelled) {
    test::ScratchDir dir("station-lock");
    const std::string path = dir / "held.lock";
    LockedFile held(path, true);
    std::atomic<int> asked{0};
    try {
        LockedFile other(path, true, [&asked] { return ++asked >= 3; });
        ADD_FAILURE() << "the lock was taken twice";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ECANCELED);
    }
    EXPECT_EQ(asked.load(), 3);
}

TEST(UnitLog, UnsignedSerialsAndTakenRecords) {
    const std::uint64_t big = (std::uint64_t{1} << 63) + 5;
    const std::string line = station::UnitLogLine(Record(true, big));
    EXPECT_NE(line.find("\"serial\":9223372036854775813,"), std::string::npos) << line;
    EXPECT_EQ(Parse(line)["serial"].asUInt64(), big);
    const std::string taken = station::TakenLogLine(Record(true, 7));
    EXPECT_EQ(Parse(taken)["result"], "taken");
    EXPECT_FALSE(Parse(taken).isMember("message"));

    struct Case {
        std::string tail;
        std::optional<std::uint64_t> last;
    };
    const std::string t5 = station::TakenLogLine(Record(true, 5)), t6 = station::TakenLogLine(Record(true, 6));
    const std::string p5 = station::UnitLogLine(Record(true, 5));
    const Case cases[] = {
        {"", std::nullopt},
        {p5 + "\n", std::nullopt},
        {t5 + "\n" + p5 + "\n", 5},
        {t5 + "\n" + t6 + "\n" + p5 + "\n", 6},
        {t5 + "\n" + t6.substr(0, 60), 5},               // the cut record is not counted
        {t6.substr(30) + "\n" + t5 + "\n", 5},           // the tail began inside a record
        {station::TakenLogLine(Record(true, big)) + "\n", big},
    };
    for (const Case& c : cases) EXPECT_EQ(station::LastTakenSerial(c.tail), c.last) << c.tail;
}

TEST(UnitLog, PowerCutNulsAndTailOnlyChecks) {
    const std::string good = station::UnitLogLine(Record(true, 1));
    const std::string nuls(4096, '\0');
    struct Case {
        std::string text;
        bool fromStart;
        bool valid;
        std::size_t units, truncated;
    };
    const Case cases[] = {
        {good + "\n" + nuls, true, true, 1, 1},                       // the block a power cut leaves
        {good + "\n" + nuls + "\n" + good + "\n", true, true, 2, 1},  // and appended after
        {good + "\n" + good.substr(0, 30) + nuls, true, true, 1, 1},
        {"notes, not a log\n" + good + "\n", false, true, 1, 0},     // first line of a tail is a piece
        {"notes, not a log\n" + good + "\n", true, false, 0, 0},
        {"x\n" + good + "\nnot a record\n", false, false, 1, 0},
    };
    for (const Case& c : cases) {
        const station::LogCheck check = station::CheckUnitLogTail(c.text, c.fromStart);
        EXPECT_EQ(check.valid, c.valid) << c.text.size();
        if (!c.valid) continue;
        EXPECT_EQ(check.units, c.units) << c.text.size();
        EXPECT_EQ(check.truncated, c.truncated) << c.text.size();
    }

    test::ScratchDir dir("station-nul");
    const std::string log = dir / "units.log";
    test::WriteFileBytes(log, good + "\n" + nuls);
    station::AppendUnitLog(log, good);
    EXPECT_EQ(test::ReadFileBytes(log), good + "\n" + nuls + "\n" + good + "\n");
    // Only the tail is read, however long the log is.
    std::uint64_t size = 0;
    test::WriteFileBytes(log, std::string(3 * station::kLogTailBytes, 'x') + "\n" + good + "\n");
    const std::string tail = ReadFileTail(log, station::kLogTailBytes, &size);
    EXPECT_EQ(tail.size(), station::kLogTailBytes);
    EXPECT_EQ(size, 3 * station::kLogTailBytes + good.size() + 2);
    EXPECT_TRUE(station::CheckUnitLogTail(tail, false).valid);
}

TEST(UnitLog, AppendProblemsAreFoundWithoutTouchingAnything) {
    QUILLON_SKIP_ON_WINDOWS("its cases are made of symbolic links and permission bits (Wine has no symlinks)");
    test::ScratchDir dir("station-append");
    test::WriteFileBytes(dir / "ok.log", "");
    test::WriteFileBytes(dir / "ro.log", "");
    std::filesystem::permissions(test::PathOf(dir / "ro.log"), std::filesystem::perms::owner_read);
    std::filesystem::create_symlink(test::PathOf(dir / "nowhere/units.log"), test::PathOf(dir / "dangling.log"));
    std::filesystem::create_symlink(test::PathOf(dir / "new.log"), test::PathOf(dir / "dangling-ok.log"));
    std::filesystem::create_directory(test::PathOf(dir / "folder.log"));
    struct Case {
        std::string name;
        bool ok;
    };
    const Case cases[] = {
        {"ok.log", true},          {"new.log", true},           {"dangling-ok.log", true},
        {"ro.log", false},         {"missing/units.log", false}, {"dangling.log", false},
        {"folder.log", false},
    };
    for (const Case& c : cases) EXPECT_EQ(station::LogAppendProblem(dir / c.name).empty(), c.ok) << c.name;
    EXPECT_FALSE(std::filesystem::exists(test::PathOf(dir / "new.log")));
    EXPECT_FALSE(std::filesystem::exists(test::PathOf(dir / "nowhere")));
}

// The records of numbers taken name their counter; a counter counts only its own, and an old
// record without a name only while no other counter's record shares the log.
TEST(UnitLog, TakenRecordsCountOnlyForTheirOwnSeries) {
    auto taken = [](std::uint64_t n, const std::string& series) {
        station::UnitRecord r = Record(true, n);
        r.series = series;
        return station::TakenLogLine(r) + "\n";
    };
    const std::string a = "/line/A.txt", b = "/line/B.txt", odd = std::string("/line/\xff.txt");
    struct Case {
        std::string tail;
        std::string series;
        std::optional<std::uint64_t> last;
    };
    const Case cases[] = {
        {taken(5001, b), a, std::nullopt},                  // the shared log of the first day, seen by A
        {taken(5001, b), b, 5001},
        {taken(1001, a) + taken(5001, b), a, 1001},         // B's later record does not move A
        {taken(1001, a) + taken(5001, b) + taken(1002, a), b, 5001},
        {taken(41, "") + taken(42, ""), a, 42},             // an old log used by this counter only
        {taken(41, "") + taken(43, a), a, 43},
        {taken(45, "") + taken(43, a), a, 45},              // a crash under the old version
        {taken(41, "") + taken(5001, b), a, std::nullopt},  // shared: the unnamed one is not ours
        {taken(41, "") + taken(1001, a) + taken(5001, b), a, 1001},
        {taken(7, odd) + taken(9, a), odd, 7},              // names that are not UTF-8 compare by bytes
        {taken(7, odd), std::string("/line/\xfe.txt"), std::nullopt},
        {taken(1001, a) + taken(5001, b), "", 5001},        // no series: every record (as before)
    };
    for (const Case& c : cases) EXPECT_EQ(station::LastTakenSerial(c.tail, c.series), c.last) << c.tail << c.series;
    // Every name of one counter is one series; two counters are two.
    test::ScratchDir dir("station-series");
    test::WriteFileBytes(dir / "A.txt", "1\n");
    test::WriteFileBytes(dir / "B.txt", "1\n");
    std::filesystem::create_directory(test::PathOf(dir / "sub"));
    EXPECT_NE(station::SeriesOf(dir / "A.txt"), station::SeriesOf(dir / "B.txt"));
    EXPECT_EQ(station::SeriesOf(dir / "A.txt"), station::SeriesOf(dir / "sub/../A.txt"));
}

TEST(SerialCounter, ARecordFarAheadIsRefusedUnlessAllowed) {
    test::ScratchDir dir("station-jump");
    const std::string counter = dir / "serial.txt";
    test::WriteFileBytes(counter, "999\n");
    MemoryJournal journal;
    journal.last = 1004;
    EXPECT_THROW(station::TakeNextSerial(counter, &journal), SerialError);
    EXPECT_EQ(test::ReadFileBytes(counter), "999\n");
    EXPECT_TRUE(journal.taken_.empty());
    EXPECT_EQ(station::TakeNextSerial(counter, &journal, {}, /*allowJump=*/true), 1005u);
    EXPECT_EQ(test::ReadFileBytes(counter), "1005\n");
    // The few numbers a crash (or a few) can leave are caught up without asking.
    journal.last = 1005 + station::kMaxSerialCatchUp;
    EXPECT_EQ(station::TakeNextSerial(counter, &journal), 1006u + station::kMaxSerialCatchUp);
    EXPECT_EQ(station::CatchUpWithRecord(counter, 10, 10 + station::kMaxSerialCatchUp, false),
              10 + station::kMaxSerialCatchUp);
    EXPECT_THROW(station::CatchUpWithRecord(counter, 10, 11 + station::kMaxSerialCatchUp, false), SerialError);
}


// The one unit step, on the simulated programmer: what reaches the chip, what the result claims,
// and that a failure says which part failed.
TEST(ProgramUnit, WritesReadsBackAndClaimsOnlyWhatWasChecked) {
    Bytes bytes(3000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    auto image = std::make_shared<Image>();
    image->bytes = bytes;
    image->source = "fw.bin";
    struct Case {
        const char* what;
        WriteOptions options;
        bool chipHoldsZeros;  // programmed before, all bits cleared
        std::uint8_t failOpcode;
        OpStatus status;
        const char* checked;
        const char* says;
    };
    const Case cases[] = {
        {"read back", {.readback = true}, false, 0, OpStatus::Ok, "transfer checksum, read-back",
         "; read-back matches all 3000 bytes"},
        {"checksum only", {}, false, 0, OpStatus::Ok, "transfer checksum", "transfer checksum matches"},
        {"unerased, read back", {.erase = false, .readback = true}, true, 0, OpStatus::VerifyFailure, "",
         "read-back differs at 0x0000"},
        {"unerased, not read back", {.erase = false}, true, 0, OpStatus::Ok, "transfer checksum",
         "flash content not checked"},
        {"no verify", {.verify = false, .readback = true}, false, 0, OpStatus::Ok, "transfer checksum, read-back",
         "not verified"},
        {"write refused", {.readback = true}, false, sim::kOpWrite, OpStatus::DeviceFailure, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::SimPlatform platform;
        const std::string path = platform.addProgrammer();
        if (c.chipHoldsZeros) platform.setFlash(path, Bytes(16384, 0x00));
        sim::SimFaults faults;
        faults.failOpcode = c.failOpcode;
        platform.setFaults(path, faults);
        SessionOptions so;
        so.chipIndex = 0;
        so.write = c.options;
        ProgrammerSession session(platform, so);
        const UnitResult u = ProgramUnit(session, image, c.options);
        EXPECT_EQ(u.status, c.status) << u.message;
        if (u.ok()) {
            EXPECT_EQ(u.checked, c.checked);
        }
        EXPECT_THAT(u.message, ::testing::HasSubstr(c.says));
        const Bytes chip = platform.flash(path);
        if (c.status == OpStatus::Ok && !c.chipHoldsZeros) {
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), chip.begin()));
            ASSERT_NE(u.written, nullptr);
            EXPECT_EQ(u.written->bytes, bytes);
            EXPECT_EQ(u.bytesWritten, bytes.size());
        }
        if (c.status == OpStatus::VerifyFailure) {
            ASSERT_TRUE(u.comparison.has_value());
            EXPECT_EQ(u.comparison->first, 0u);
            EXPECT_GT(u.comparison->differing, 0u);
        }
        // verify alone: the chip against the image, nothing written.
        const std::size_t packets = platform.imagePacketsReceived(path);
        ProgrammerSession again(platform, so);
        const UnitResult v = VerifyUnit(again, *image);
        EXPECT_EQ(platform.imagePacketsReceived(path), packets);
        EXPECT_EQ(v.ok(), c.status == OpStatus::Ok && !c.chipHoldsZeros) << v.message;
        if (v.ok()) {
            EXPECT_EQ(v.message, "the chip holds the image: 3000 bytes of fw.bin match");
        }
    }
}

TEST(ProgramUnit, AChipThatReadsAllZerosIsAWarning) {
    sim::SimPlatform platform;
    const std::string path = platform.addProgrammer();
    platform.setFlash(path, Bytes(16384, 0x00));
    SessionOptions so;
    so.chipIndex = 0;
    ProgrammerSession session(platform, so);
    auto image = std::make_shared<Image>();
    image->bytes = Bytes(16, 0x00);
    const UnitResult v = VerifyUnit(session, *image);
    EXPECT_TRUE(v.ok()) << v.message;
    ASSERT_EQ(v.warnings.size(), 1u);
    EXPECT_THAT(v.warnings[0], ::testing::HasSubstr("read-protected"));
}


// The files store through its interface, as a station uses it: a dry run's number is the one the
// start takes; a number the field refuses is not taken; records land in order.
TEST(FileUnitStore, StartsAndFinishesUnitsThroughTheInterface) {
    test::ScratchDir dir("station-store");
    const std::string counter = dir / "serial.txt", log = dir / "units.log";
    test::WriteFileBytes(counter, "41\n");
    station::FileUnitStore files(counter, log, false);
    station::UnitStore& store = files;
    station::UnitRecord unit = Record(true, std::nullopt);
    unit.series = station::SeriesOf(counter);
    EXPECT_EQ(store.peekNext(unit.series), 42u);
    EXPECT_FALSE(std::filesystem::exists(test::PathOf(log)));  // a peek creates nothing
    const std::uint64_t n = store.startUnit(unit, {}, {}).serial.value();
    EXPECT_EQ(n, 42u);
    unit.serial = n;
    store.finishUnit(unit, {});
    // A number the field cannot carry: refused under the lock, nothing taken or recorded.
    const auto tooBig = [](std::uint64_t number) {
        if (number > 42) throw SerialError("does not fit");
    };
    EXPECT_THROW(store.startUnit(unit, tooBig, {}), SerialError);
    EXPECT_EQ(test::ReadFileBytes(counter), "42\n");
    std::istringstream lines(test::ReadFileBytes(log));
    std::vector<std::string> results;
    for (std::string line; std::getline(lines, line);) results.push_back(Parse(line)["result"].asString());
    EXPECT_EQ(results, (std::vector<std::string>{"taken", "pass"}));
    EXPECT_EQ(station::LastTakenSerial(test::ReadFileBytes(log), unit.series), 42u);
    // Another counter on the same log starts from its own number.
    test::WriteFileBytes(dir / "other.txt", "7\n");
    station::FileUnitStore other(dir / "other.txt", log, false);
    EXPECT_EQ(other.peekNext(station::SeriesOf(dir / "other.txt")), 8u);
    // A wait for the log that is given up leaves nothing behind.
    LockedFile held(log, true);
    EXPECT_THROW(store.finishUnit(unit, [] { return true; }), station::StoreWaitCancelled);
    EXPECT_THROW(store.startUnit(unit, {}, [] { return true; }), station::SerialCancelled);
    EXPECT_EQ(test::ReadFileBytes(counter), "42\n");
}

// The names that go on every unit's record: the command line and the window refuse the same ones.
TEST(NameProblemTest, ANameTheRecordCannotKeepIsRefusedWithItsReason) {
    std::string accents;
    for (int i = 0; i < 200; ++i) accents += "\xC3\xA9";  // 200 characters, 400 bytes
    const struct {
        std::string value;
        std::string problem;
    } cases[] = {
        {"", ""},
        {"LOT-7 / Ana", ""},
        {accents, ""},
        {accents + "x", "--lot is 201 characters long; at most 200 are kept"},
        {"LOT\x01", "--lot holds a control character"},
        {"LOT\t7", "--lot holds a control character"},
        {"LOT\x7F", "--lot holds a control character"},
        {"LOT\xC3", "--lot is not valid UTF-8 text"},
        {"\xFF\xFE", "--lot is not valid UTF-8 text"},
    };
    for (const auto& c : cases) EXPECT_EQ(station::NameProblem("--lot", c.value), c.problem) << c.value;
}

}  // namespace
}  // namespace quillon
