// The station on a store: --data fields (parsing, encoding, overlaps), fresh unit names, the
// store-and-forward journal, and the station's loop against a store that goes away (judged by
// the chips' bytes and by what the store received). The store here is a small double with the
// UnitStore's promises; the database engines are tested end to end by the command-line tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "sim/SimPlatform.h"
#include "station/DataField.h"
#include "station/Journal.h"
#include "station/Station.h"
#include "support/Process.h"

namespace quillon {
namespace {

using station::DataEncoding;
using station::SerialError;
using station::StoreUnavailable;
using station::UnitRecord;
using Bytes = std::vector<std::uint8_t>;
using ::testing::HasSubstr;

TEST(DataField, ParsesAndEncodesEachFormat) {
    struct Case {
        const char* argument;
        const char* value;
        std::uint32_t address;
        Bytes bytes;
    };
    const Case cases[] = {
        {"mac@0x3F00:hex:6", "02:1A:2B:3C:4D:5E", 0x3F00, {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
        {"mac@16128:hex:6", "02-1a-2b-3c-4d-5e", 16128, {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
        {"key@0:hex:2", "BEEF", 0, {0xBE, 0xEF}},
        {"name@0x10:ascii:6", "AB12", 0x10, {'0', '0', 'A', 'B', '1', '2'}},
        {"name@0x10:ascii:4", "WXYZ", 0x10, {'W', 'X', 'Y', 'Z'}},
        {"id@0:ascii:5", "42", 0, {'0', '0', '0', '4', '2'}},
        {"id@0:u16le", "48879", 0, {0xEF, 0xBE}},
        {"id@0:u16be", "48879", 0, {0xBE, 0xEF}},
        {"id@0:u32le", "16909060", 0, {0x04, 0x03, 0x02, 0x01}},
        {"id_2.b-c@0X20:u32be", "16909060", 0x20, {0x01, 0x02, 0x03, 0x04}},
    };
    for (const Case& c : cases) {
        const auto field = station::ParseDataField(c.argument);
        EXPECT_EQ(field.address, c.address) << c.argument;
        EXPECT_EQ(field.width, c.bytes.size()) << c.argument;
        EXPECT_EQ(station::EncodePoolValue(field, c.value), c.bytes) << c.argument;
    }
    EXPECT_EQ(station::ParseDataField("mac@0:hex:6").pool, "mac");
    EXPECT_EQ(station::ParseDataField("mac@0:u16le").encoding, DataEncoding::Number);
}

// Two pool values that put the same bytes on a chip through some field are one value: a pool
// holds it once, so no two units carry it.
TEST(DataField, ValuesThatWriteTheSameBytesHaveOneKey) {
    const struct {
        const char* field;
        const char* a;
        const char* b;
    } cases[] = {
        {"mac@0:hex:6", "02:1A:2B:3C:4D:5E", "021a2b3c4d5e"},
        {"id@0:ascii:2", "7", "07"},        // padded with '0' to its width
        {"id@0:ascii:3", "A", "00A"},
        {"id@0:u16le", "100", "0100"},      // a decimal number with a leading zero
        {"id@0:u32be", "4096", "0000004096"},
        {"id@0:ascii:4", "0", "00"},
    };
    for (const auto& c : cases) {
        const auto field = station::ParseDataField(c.field);
        ASSERT_EQ(station::EncodePoolValue(field, c.a), station::EncodePoolValue(field, c.b)) << c.field;
        EXPECT_EQ(station::PoolValueKey(c.a), station::PoolValueKey(c.b)) << c.a << " and " << c.b;
    }
    EXPECT_NE(station::PoolValueKey("7"), station::PoolValueKey("70"));
    EXPECT_NE(station::PoolValueKey("hello"), station::PoolValueKey("Hello"));
}

TEST(DataField, RefusesBadFieldsAndValuesThatDoNotFit) {
    for (const char* bad : {"mac", "@0:hex:6", "mac@", "mac@0x10", "mac@x:hex:6", "mac@0:hex:0", "mac@0:hex:1025",
                            "mac@0:hex:", "mac@0:ascii:0", "mac@0:u24le", "ma c@0:hex:6", "mac@0x1FFFFFFFF:hex:6",
                            "mac@-1:hex:6", "m/c@0:hex:6"})
        EXPECT_THROW(station::ParseDataField(bad), SerialError) << bad;
    const struct {
        const char* field;
        const char* value;
    } badValues[] = {
        {"mac@0:hex:6", "02:1A:2B:3C:4D"},        // one byte short
        {"mac@0:hex:6", "02:1A:2B:3C:4D:5E:6F"},  // one too many
        {"mac@0:hex:6", "not hex"},
        {"name@0:ascii:3", "ABCD"},               // longer than its field
        {"name@0:ascii:8", "tab\there"},          // not printable
        {"name@0:ascii:8", "caf\xc3\xa9"},        // not ASCII
        {"id@0:u16le", "65536"},
        {"id@0:u32le", "4294967296"},
        {"id@0:u16le", "12a"},
        {"id@0:u16le", "-1"},
        {"id@0:u16le", ""},
    };
    for (const auto& c : badValues) {
        const auto field = station::ParseDataField(c.field);
        try {
            station::EncodePoolValue(field, c.value);
            ADD_FAILURE() << c.field << " took '" << c.value << "'";
        } catch (const SerialError& e) {
            EXPECT_THAT(e.what(), HasSubstr("pool " + field.pool)) << c.field;
        }
    }
}

TEST(DataField, FieldsMustFitTheFlashAndNeverShareAByte) {
    using F = station::FieldBytes;
    const struct {
        std::vector<F> fields;
        bool ok;
    } cases[] = {
        {{{"--serial", 0x3FFC, 4}, {"--data mac", 0x3FF6, 6}}, true},   // touching, not sharing
        {{{"--serial", 0x3FFC, 4}, {"--data mac", 0x3FF7, 6}}, false},  // one byte shared
        {{{"--data a", 0x100, 16}, {"--data b", 0x104, 2}}, false},     // one inside the other
        {{{"--data a", 0x100, 2}, {"--data b", 0x102, 2}, {"--data c", 0x0FF, 2}}, false},
        {{{"--data a", 0x3FFA, 6}}, true},                              // ends at the flash's last byte
        {{{"--data a", 0x3FFB, 6}}, false},                             // one byte beyond
        {{{"--data a", 0xFFFFFFFF, 2}}, false},
    };
    for (const auto& c : cases) {
        if (c.ok)
            EXPECT_NO_THROW(station::CheckFieldsApart(c.fields, 16384)) << c.fields.back().name;
        else
            EXPECT_THROW(station::CheckFieldsApart(c.fields, 16384), SerialError) << c.fields.back().name;
    }
}

TEST(UnitId, FreshRandomHexPerUnit) {
    std::set<std::string> ids;
    for (int i = 0; i < 2000; ++i) {
        const std::string id = station::NewUnitId();
        ASSERT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 2000u);
}

UnitRecord SampleUnit(const std::string& id, std::uint64_t serial) {
    UnitRecord r;
    r.unitId = id;
    r.time = "2026-12-10T09:00:00.000Z";
    r.programmerSerial = "SIM0001";
    r.programmerPath = "sim:programmer:1";
    r.chip = "NRF24LE1_16K";
    r.imagePath = "/images/fw\xff.bin";  // not UTF-8: kept byte for byte
    r.imageSha256 = std::string(64, 'a');
    r.bytesSha256 = std::string(64, 'b');
    r.serial = serial;
    r.series = "serial";
    r.pass = true;
    r.message = "ok \"quoted\"\nnext";
    r.durationMs = 812;
    r.bytesWritten = 16384;
    r.version = "0.1.0";
    r.station = "line-3";
    r.operatorName = "Zoë";
    r.lot = "L-17";
    r.part = "PN 100";
    r.data = {{"mac", "02:1A:2B:3C:4D:5E"}, {"name", "A1"}};
    return r;
}

bool SameRecord(const UnitRecord& a, const UnitRecord& b) {
    auto data = [](const UnitRecord& r) {
        std::vector<std::pair<std::string, std::string>> d;
        for (const auto& v : r.data) d.emplace_back(v.pool, v.value);
        return d;
    };
    return a.unitId == b.unitId && a.time == b.time && a.programmerSerial == b.programmerSerial &&
           a.programmerPath == b.programmerPath && a.chip == b.chip && a.imagePath == b.imagePath &&
           a.imageSha256 == b.imageSha256 && a.bytesSha256 == b.bytesSha256 && a.serial == b.serial &&
           a.series == b.series && a.pass == b.pass && a.failure == b.failure && a.message == b.message &&
           a.durationMs == b.durationMs && a.bytesWritten == b.bytesWritten && a.version == b.version &&
           a.station == b.station && a.operatorName == b.operatorName && a.lot == b.lot && a.part == b.part &&
           data(a) == data(b);
}

TEST(Journal, LinesRoundTripEveryField) {
    std::vector<UnitRecord> units = {SampleUnit("0123456789abcdef0123456789abcdef", 18446744073709551615ull)};
    UnitRecord failed = SampleUnit("ffffffffffffffffffffffffffffffff", 7);
    failed.pass = false;
    failed.failure = "verify failure";
    failed.data.clear();
    failed.serial.reset();
    failed.series.clear();
    units.push_back(failed);
    for (const UnitRecord& u : units) {
        const std::string line = station::JournalLine(u);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        const auto back = station::ParseJournalLine(line);
        ASSERT_TRUE(back.has_value()) << line;
        EXPECT_TRUE(SameRecord(*back, u)) << line;
    }
    for (const char* bad : {"", "{}", "{\"type\":\"unit\"}", "{\"type\":\"result\",\"unit_id\":\"\"}", "not json"})
        EXPECT_FALSE(station::ParseJournalLine(bad).has_value()) << bad;
}

TEST(Journal, PathsArePerStationAndSafe) {
    EXPECT_EQ(station::JournalPath("/var/j", "line-3"), "/var/j/line-3.journal");
    const std::string odd = station::JournalPath("/var/j", "../etc/x");
    EXPECT_EQ(odd.rfind("/var/j/", 0), 0u);
    EXPECT_EQ(odd.find('/', 7), std::string::npos) << odd;
    // Two names that are made safe alike still get two journals.
    EXPECT_NE(station::JournalPath("d", "a/b"), station::JournalPath("d", "a_b"));
    EXPECT_NE(station::JournalPath("d", "a/b"), station::JournalPath("d", "a:b"));
}

// A store with the UnitStore's promises, kept in memory, that can be cut off at will.
class MemoryStore : public station::UnitStore {
public:
    std::atomic<bool> reachable{true};
    std::atomic<int> starts{0};       // startUnit calls that took something
    std::atomic<int> refusedStarts{0};
    std::uint64_t last = 999;
    std::vector<std::string> pool = {"02:00:00:00:00:01", "02:00:00:00:00:02", "02:00:00:00:00:03",
                                     "02:00:00:00:00:04", "02:00:00:00:00:05", "02:00:00:00:00:06"};
    std::map<std::string, UnitRecord> units;  // by unit id: taken, then finished
    std::map<std::string, bool> finished;
    std::vector<std::string> finishOrder;
    std::mutex mutex;

    station::StartedUnit startUnit(const UnitRecord& unit, const NumberCheck& check,
                                   const std::function<bool()>&) override {
        std::lock_guard lock(mutex);
        if (!reachable) {
            ++refusedStarts;
            throw StoreUnavailable("connection refused");
        }
        station::StartedUnit started;
        for (const auto& want : unit.data) {
            if (pool.empty()) throw station::PoolEmpty(want.pool);
        }
        if (!unit.series.empty()) {
            if (check) check(last + 1);
            started.serial = ++last;
        }
        for (const auto& want : unit.data) {
            started.data.push_back({want.pool, pool.front()});
            pool.erase(pool.begin());
        }
        UnitRecord taken = unit;
        taken.serial = started.serial;
        taken.data = started.data;
        units[unit.unitId] = taken;
        ++starts;
        return started;
    }
    void finishUnit(const UnitRecord& unit, const std::function<bool()>&) override {
        std::lock_guard lock(mutex);
        if (!reachable) throw StoreUnavailable("connection refused");
        auto it = units.find(unit.unitId);
        if (it == units.end()) throw std::runtime_error("no unit " + unit.unitId);
        if (finished[unit.unitId]) {
            // A resent result must be the same result.
            if (!SameRecord(it->second, unit)) throw std::runtime_error("unit " + unit.unitId + " has another result");
            return;
        }
        it->second = unit;
        finished[unit.unitId] = true;
        finishOrder.push_back(unit.unitId);
    }
    std::uint64_t peekNext(const std::string&) override { return last + 1; }
    std::optional<std::string> peekPool(const std::string&) override {
        if (pool.empty()) return std::nullopt;
        return pool.front();
    }
};

UnitRecord Finished(const std::string& id, const station::StartedUnit& s) {
    UnitRecord r = SampleUnit(id, 0);
    r.serial = s.serial;
    r.data = s.data;
    return r;
}

TEST(Journal, ResultsWaitInOrderAndNoNumberIsTakenMeanwhile) {
    test::ScratchDir dir("journal");
    MemoryStore store;
    station::JournalingStore journal(store, station::JournalPath(dir / "state/deep", "line-1"));
    UnitRecord ask = SampleUnit("u1", 0);
    ask.data = {{"mac", ""}};
    const auto first = journal.startUnit(ask, {}, {});
    ask.unitId = "u2";
    const auto second = journal.startUnit(ask, {}, {});
    EXPECT_EQ(*first.serial, 1000u);
    EXPECT_EQ(*second.serial, 1001u);

    // The store goes away after both chips were written: both results are journaled.
    store.reachable = false;
    journal.finishUnit(Finished("u1", first), {});
    journal.finishUnit(Finished("u2", second), {});
    EXPECT_EQ(journal.waiting(), 2u);
    EXPECT_TRUE(std::filesystem::exists(test::PathOf(journal.path())));

    // The store is back, but only for reading: still nothing taken while results wait.
    ask.unitId = "u3";
    EXPECT_THROW(journal.startUnit(ask, {}, {}), StoreUnavailable);
    EXPECT_EQ(store.starts.load(), 2);
    EXPECT_EQ(store.last, 1001u);

    // A second journal on the same station name (another process) sees the same results.
    station::JournalingStore other(store, journal.path());
    EXPECT_EQ(other.waiting(), 2u);

    store.reachable = true;
    const auto third = journal.startUnit(ask, {}, {});
    EXPECT_EQ(*third.serial, 1002u);
    EXPECT_EQ(store.finishOrder, (std::vector<std::string>{"u1", "u2"}));
    EXPECT_TRUE(SameRecord(store.units["u1"], Finished("u1", first)));
    EXPECT_EQ(journal.waiting(), 0u);
    EXPECT_FALSE(std::filesystem::exists(test::PathOf(journal.path())));
    EXPECT_EQ(other.send(), 0u);
}

TEST(Journal, ResultsSentAgainAfterACrashBetweenSendAndRemovalAreAcceptedOnce) {
    test::ScratchDir dir("journal-resend");
    MemoryStore store;
    const std::string path = station::JournalPath(dir / "j", "s");
    UnitRecord ask = SampleUnit("a", 0);
    ask.data.clear();
    station::StartedUnit a, b;
    {
        station::JournalingStore journal(store, path);
        a = journal.startUnit(ask, {}, {});
        ask.unitId = "b";
        b = journal.startUnit(ask, {}, {});
        store.reachable = false;
        journal.finishUnit(Finished("a", a), {});
        journal.finishUnit(Finished("b", b), {});
    }
    // The store took "a" but the journal was not rewritten (the process died right then).
    store.reachable = true;
    store.finishUnit(Finished("a", a), {});
    station::JournalingStore restarted(store, path);
    EXPECT_EQ(restarted.send(), 2u);
    EXPECT_EQ(store.finishOrder, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(restarted.waiting(), 0u);
}

TEST(Journal, ARefusedResultStaysAndStopsTheNextStart) {
    test::ScratchDir dir("journal-refused");
    MemoryStore store;
    station::JournalingStore journal(store, station::JournalPath(dir / "j", "s"));
    // A result for a unit the store never started: refused, but not lost.
    EXPECT_THROW(journal.finishUnit(Finished("stranger", {}), {}), std::runtime_error);
    EXPECT_EQ(journal.waiting(), 1u);
    UnitRecord ask = SampleUnit("next", 0);
    EXPECT_THROW(journal.startUnit(ask, {}, {}), std::runtime_error);
    EXPECT_EQ(store.starts.load(), 0);
    // A damaged journal is refused, never emptied.
    test::WriteFileBytes(journal.path(), "garbage\n");
    EXPECT_THROW(journal.send(), std::runtime_error);
    EXPECT_EQ(test::ReadFileBytes(journal.path()), "garbage\n");
    // A line cut short (power lost while someone copied it in): refused whole, kept as it is,
    // and a result that finishes meanwhile is kept after it rather than lost.
    const UnitRecord done = Finished("stranger", {});
    const std::string cut = station::JournalLine(done) + "\n" + station::JournalLine(done).substr(0, 40);
    test::WriteFileBytes(journal.path(), cut);
    EXPECT_THROW(journal.startUnit(ask, {}, {}), std::runtime_error);
    EXPECT_EQ(store.starts.load(), 0);
    store.reachable = false;
    EXPECT_THROW(journal.finishUnit(Finished("late", {}), {}), std::runtime_error);
    EXPECT_EQ(test::ReadFileBytes(journal.path()), cut + "\n" + station::JournalLine(Finished("late", {})) + "\n");
}

TEST(Journal, AFolderThatCannotBeCreatedIsRefusedAtOnce) {
    test::ScratchDir dir("journal-folder");
    test::WriteFileBytes(dir / "file", "x");
    MemoryStore store;
    EXPECT_THROW(station::JournalingStore(store, station::JournalPath(dir / "file/sub", "s")), std::runtime_error);
}

// Statuses and finished units as the station reports them.
class Recorder : public station::StationView {
public:
    void status(const station::StationStatus& s) override {
        std::lock_guard lock(mutex_);
        statuses.push_back(s);
    }
    void unitFinished(const UnitRecord& r) override {
        std::lock_guard lock(mutex_);
        finished.push_back(r);
    }
    bool Saw(station::StationState state, const std::string& text) {
        std::lock_guard lock(mutex_);
        for (const auto& s : statuses)
            if (s.state == state && s.text.find(text) != std::string::npos) return true;
        return false;
    }
    std::vector<station::StationStatus> statuses;
    std::vector<UnitRecord> finished;

private:
    std::mutex mutex_;
};

struct Line {
    test::ScratchDir dir{"station-store"};
    std::unique_ptr<sim::SimPlatform> platform;
    station::StationConfig config;
    Bytes image;

    explicit Line(int chips) {
        std::filesystem::create_directory(test::PathOf(dir / "chips"));
        sim::SimOptions options;
        options.scenario = "swap:" + std::to_string(chips);
        options.flashDir = dir / "chips";
        platform = sim::SimPlatform::fromOptions(options);
        for (std::size_t i = 0; i < 2048; ++i) image.push_back(static_cast<std::uint8_t>(i * 7 + 1));
        Image img;
        img.bytes = image;
        img.source = "fw.bin";
        config.image = std::make_shared<const Image>(img);
        config.chipIndex = 0;
        config.chipName = "NRF24LE1_16K";
        config.flashSize = 16384;
        config.serial = station::ParseSerialField("0x3FFC:u32le");
        config.series = "serial";
        config.data = {station::ParseDataField("mac@0x3FF0:hex:6")};
        config.pollMs = 10;
        config.storeRetryMs = 20;
        config.station = "line-1";
        config.lot = "L1";
    }

    // The chips that hold anything: the simulator saves a chip as erased when it is presented.
    std::vector<Bytes> Chips() const {
        std::vector<Bytes> chips;
        for (const auto& e : std::filesystem::directory_iterator(test::PathOf(dir / "chips"))) {
            if (e.path().extension() != ".bin") continue;
            const std::string bytes = test::ReadFileBytes(test::Utf8(e.path()));
            if (bytes.find_first_not_of('\xff') != std::string::npos) chips.emplace_back(bytes.begin(), bytes.end());
        }
        return chips;
    }
};

std::uint32_t SerialOn(const Bytes& chip) {
    return std::uint32_t(chip[0x3FFC]) | std::uint32_t(chip[0x3FFD]) << 8 | std::uint32_t(chip[0x3FFE]) << 16 |
           std::uint32_t(chip[0x3FFF]) << 24;
}

TEST(StationOnAStore, AnUnreachableStoreLeavesTheChipUntouchedUntilItAnswers) {
    Line line(2);
    line.config.count = 2;
    MemoryStore store;
    store.reachable = false;
    Recorder view;
    station::StationRunner runner(*line.platform, line.config, view, &store);
    std::thread back([&] {
        // Several tries fail first; the chip must stay erased all that time.
        for (int i = 0; i < 2000 && store.refusedStarts < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(line.Chips().empty()) << "a chip was written without a start on record";
        EXPECT_EQ(store.starts.load(), 0);
        store.reachable = true;
    });
    const auto summary = runner.run();
    back.join();
    EXPECT_EQ(summary.good, 2u);
    EXPECT_TRUE(summary.fatal.empty()) << summary.fatal;
    EXPECT_GE(store.refusedStarts.load(), 5);
    EXPECT_TRUE(view.Saw(station::StationState::StoreUnreachable, "store unreachable: connection refused"));
    // Each chip carries its record's serial and pool value; each unit its own fresh id.
    const auto chips = line.Chips();
    ASSERT_EQ(chips.size(), 2u);
    std::set<std::string> ids;
    for (const Bytes& chip : chips) {
        const std::uint32_t serial = SerialOn(chip);
        const auto it = std::find_if(store.units.begin(), store.units.end(),
                                     [&](const auto& u) { return u.second.serial == serial; });
        ASSERT_NE(it, store.units.end()) << serial;
        const UnitRecord& r = it->second;
        ids.insert(r.unitId);
        EXPECT_TRUE(r.pass);
        EXPECT_EQ(r.station, "line-1");
        EXPECT_EQ(r.lot, "L1");
        ASSERT_EQ(r.data.size(), 1u);
        EXPECT_EQ(Bytes(chip.begin() + 0x3FF0, chip.begin() + 0x3FF6), *station::ParseHexBytes(r.data[0].value));
        EXPECT_TRUE(std::equal(line.image.begin(), line.image.end(), chip.begin()));
    }
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_EQ(store.last, 1001u);
}

TEST(StationOnAStore, AChipTakenAwayWhileTheStoreIsAwayIsNoUnit) {
    sim::SimPlatform platform;
    const std::string path = platform.addProgrammer();
    Line line(1);
    line.config.count = 1;
    MemoryStore store;
    store.reachable = false;
    Recorder view;
    station::StationRunner runner(platform, line.config, view, &store);
    std::thread operatorHands([&] {
        for (int i = 0; i < 2000 && store.refusedStarts < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        sim::SimFaults faults;
        faults.noChip = true;  // the board is taken away
        platform.setFaults(path, faults);
        const int refused = store.refusedStarts;
        store.reachable = true;
        // The station goes back to waiting for a chip: nothing taken for the board that left.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(store.starts.load(), 0) << "a number was taken for a chip that was gone";
        EXPECT_LE(store.refusedStarts.load(), refused + 1);
        platform.setFaults(path, {});  // the next board
    });
    const auto summary = runner.run();
    operatorHands.join();
    EXPECT_EQ(summary.good, 1u);
    EXPECT_EQ(summary.failed, 0u) << "a unit failed: " << summary.fatal;
    EXPECT_EQ(store.units.size(), 1u);
    EXPECT_EQ(SerialOn(platform.flash(path)), 1000u);
}

TEST(StationOnAStore, AStopWhileTheStoreIsAwayTakesNothing) {
    Line line(1);
    MemoryStore store;
    store.reachable = false;
    Recorder view;
    station::StationRunner runner(*line.platform, line.config, view, &store);
    std::thread stopper([&] {
        for (int i = 0; i < 2000 && store.refusedStarts < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        runner.stopAfterUnit();
    });
    const auto summary = runner.run();
    stopper.join();
    EXPECT_EQ(summary.good + summary.failed, 0u);
    EXPECT_TRUE(summary.fatal.empty());
    EXPECT_TRUE(store.units.empty());
    EXPECT_TRUE(line.Chips().empty());
}

TEST(StationOnAStore, AStoreThatRefusesToStartUnitsEndsTheRunSayingWhy) {
    Line line(2);
    line.config.count = 2;
    test::ScratchDir dir("refusing");
    MemoryStore store;
    station::JournalingStore journal(store, station::JournalPath(dir.str(), "s"));
    // A result waits in the journal that the store will never take.
    EXPECT_THROW(journal.finishUnit(Finished("stranger", {}), {}), std::runtime_error);
    Recorder view;
    station::StationRunner runner(*line.platform, line.config, view, &journal);
    auto summary = std::async(std::launch::async, [&] { return runner.run(); });
    ASSERT_EQ(summary.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the run never ended";
    const auto s = summary.get();
    EXPECT_THAT(s.fatal, HasSubstr("the store refuses a result that waits in the journal"));
    EXPECT_THAT(s.fatal, HasSubstr("no unit stranger"));
    EXPECT_EQ(store.starts.load(), 0);
    EXPECT_TRUE(line.Chips().empty());
    EXPECT_EQ(journal.waiting(), 1u);
}

TEST(StationOnAStore, AnEmptyPoolStopsTheRunBeforeTheChip) {
    Line line(3);
    MemoryStore store;
    store.pool.resize(1);  // one unit's worth
    Recorder view;
    station::StationRunner runner(*line.platform, line.config, view, &store);
    const auto summary = runner.run();
    EXPECT_EQ(summary.good, 1u);
    EXPECT_EQ(summary.fatal, "pool mac is empty");
    EXPECT_TRUE(summary.fatalInput);
    EXPECT_EQ(line.Chips().size(), 1u);  // the second chip was never touched
    EXPECT_EQ(store.units.size(), 1u);
}

TEST(StationOnAStore, APoolValueThatDoesNotFitItsFieldFailsTheUnitAndRetiresIt) {
    Line line(2);
    MemoryStore store;
    store.pool = {"02:00:00:00:00", "02:00:00:00:00:02"};  // the first is one byte short
    Recorder view;
    station::StationRunner runner(*line.platform, line.config, view, &store);
    const auto summary = runner.run();
    EXPECT_EQ(summary.good, 0u);
    EXPECT_EQ(summary.failed, 1u);
    EXPECT_THAT(summary.fatal, HasSubstr("pool mac value '02:00:00:00:00' is not 6 bytes"));
    ASSERT_EQ(store.units.size(), 1u);
    EXPECT_FALSE(store.units.begin()->second.pass);  // on record as failed: value and number retired
    EXPECT_TRUE(store.finished.begin()->second);
    EXPECT_TRUE(line.Chips().empty());
}

}  // namespace
}  // namespace quillon
