// quillon-cli station: the production loop on one programmer or on all of them. This file is
// the shell only: it checks the inputs (image, serial, counter, log) before anything reaches a
// programmer, shows each station's state so that an operator can read it from a metre away,
// keeps the counter and the unit log through the files store or a line's database (--store, with
// its journal for results the database could not take), and maps Ctrl-C to "stop after this
// unit" / "abort the unit".
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "cli/Cli.h"
#include "image/Image.h"
#include "cli/Interrupt.h"
#include "cli/Json.h"
#include "cli/Output.h"
#include "core/Utf8.h"
#include "core/Version.h"
#include "fs/Files.h"
#include "hash/Sha256.h"
#include "protocol/Chips.h"
#include "protocol/Cpro.h"
#include "cli/StationProfile.h"
#include "station/DataField.h"
#include "station/Profile.h"
#include "station/FileUnitStore.h"
#include "station/Journal.h"
#include "station/Serial.h"
#include "station/Station.h"
#include "station/UnitLog.h"
#include "store/Store.h"

namespace quillon::cli {
namespace {

using station::StationState;
using station::StationStatus;
using station::UnitRecord;

constexpr const char* kVersion = kCliVersion;

struct StationOptions {
    std::string chip;
    std::string device;
    std::string file;
    bool noErase = false, protect = false, noVerify = false, noReset = false, noReadback = false;
    bool all = false, bell = false, dryRun = false, allowSerialJump = false;
    std::uint64_t count = 0;
    std::string log, serial, serialFile;
    int pollMs = 250;
    // A line's database instead of the counter file and the log.
    std::string store, series = "serial", stationName, operatorName, lot, part, journal;
    std::vector<std::string> data;
};

// Everything the station prints. Calls come from every station's thread.
class Display : public station::StationView {
public:
    Display(const CliContext& ctx, const StationOptions& o)
        : json_(ctx.json), quiet_(ctx.quiet), live_(!ctx.json && !ctx.quiet && Output::IsTerminal(stderr)),
          bell_(o.bell), records_(!o.log.empty() || !o.store.empty()), started_(std::chrono::steady_clock::now()) {}

    void status(const StationStatus& s) override {
        std::lock_guard lock(mutex_);
        if (s.path.empty()) {
            if (s.state == StationState::StoreUnreachable) {
                if (s.text == runText_) return;
                runText_ = s.text;
                if (json_) return Print(JsonLine("station").Text("state", "store-unreachable").Text("message", s.text).Str());
                if (!quiet_) std::fprintf(stderr, "%s\n", s.text.c_str());
                return;
            }
            runText_.clear();
            Print(json_ ? JsonLine("station").Text("state", "no-programmer").Text("message", s.text).Str()
                        : "waiting for a programmer (04d8:003f)");
            return;
        }
        StationStatus& old = stations_[s.path];
        const bool changed = old.state != s.state || old.serial != s.serial ||
                             (s.state == StationState::StoreUnreachable && old.text != s.text);
        const bool step = s.state == StationState::Programming && s.percent / 10 != old.percent / 10;
        old = s;
        if (live_) return Redraw();
        if (json_ && (changed || step))
            Print(JsonLine("station")
                      .Path("device", s.path)
                      .Text("programmer_serial", s.serial)
                      .Text("state", station::StationStateName(s.state))
                      .Number("percent", s.percent)
                      .Text("message", s.text)
                      .Str());
        else if (!json_ && changed && s.state == StationState::Ended)
            Print(s.path + ": station ended (" + s.text + ")");
        else if (!json_ && changed && s.state == StationState::Held)
            Print(s.path + ": " + s.text + " (press Enter to go on)");
        else if (!json_ && !quiet_ && changed && s.state == StationState::StoreUnreachable)
            Print(s.path + ": " + s.text);
    }

    void unitTaken(const UnitRecord& r) override {
        if (!records_ || !json_) return;
        std::lock_guard lock(mutex_);
        Print(station::TakenLogLine(r));
    }

    void notice(const std::string& path, const std::string& text) override {
        if (quiet_) return;
        std::lock_guard lock(mutex_);
        if (json_) {
            JsonLine line("warning");
            if (!path.empty()) line.Path("device", path);
            return Print(line.Text("message", text).Str());
        }
        std::fprintf(stderr, "warning: %s%s\n", path.empty() ? "" : ("[" + path + "] ").c_str(), text.c_str());
    }

    void unitFinished(const UnitRecord& r) override {
        const std::string line = station::UnitLogLine(r);
        std::lock_guard lock(mutex_);
        (r.pass ? good_ : failed_) += 1;
        auto& last = lastUnit_[r.programmerPath];
        last = r.pass ? "PASS " + std::to_string(good_) : "FAIL " + r.message;
        if (r.serial) last += "  serial " + std::to_string(*r.serial);
        if (!r.pass && bell_) std::fputc('\a', stderr);
        if (json_) return Print(line);
        if (live_) return Redraw();
        if (!quiet_)
            Print(r.programmerPath + ": " + last + "  (" + std::to_string(r.durationMs) + " ms)  " + Tally());
    }

    void logLine(const std::string& path, const std::string& line) override {
        if (quiet_) return;
        std::lock_guard lock(mutex_);
        if (json_) return Print(JsonLine("log").Path("device", path).Text("line", line).Str());
        if (!live_) return Print("[" + path + "] " + line);
        // Above the live block: clear it, print the line, draw the block again below it.
        std::string text;
        if (drawn_ > 0) text += "\x1b[" + std::to_string(drawn_) + "A";
        text += "\r\x1b[J[" + path + "] " + line + "\n";
        std::fputs(text.c_str(), stderr);
        drawn_ = 0;
        Redraw();
    }

    // The programmers whose stations hold now.
    std::vector<std::string> held() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> paths;
        for (const auto& [path, s] : stations_)
            if (s.state == StationState::Held) paths.push_back(path);
        return paths;
    }

    std::uint64_t good() const { return good_; }
    std::uint64_t failed() const { return failed_; }

private:
    void Print(const std::string& line) {
        std::fputs((line + "\n").c_str(), stdout);
        std::fflush(stdout);
    }

    std::string Tally() const {
        const double hours =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count() / 3600.0;
        const double rate = hours > 0 ? static_cast<double>(good_ + failed_) / hours : 0;
        char text[96];
        std::snprintf(text, sizeof text, "good %llu  failed %llu  %.0f units/h",
                      static_cast<unsigned long long>(good_), static_cast<unsigned long long>(failed_), rate);
        return text;
    }

    // One line per station and the tally, drawn over the previous drawing.
    void Redraw() {
        std::string text;
        if (drawn_ > 0) text += "\x1b[" + std::to_string(drawn_) + "A";
        for (const auto& [path, s] : stations_) {
            std::string state;
            switch (s.state) {
                case StationState::WaitingForChip: state = "waiting for chip"; break;
                case StationState::Programming: state = "programming " + std::to_string(s.percent) + "%"; break;
                case StationState::Pass:
                case StationState::Fail: state = lastUnit_[path]; break;
                case StationState::WaitingForRemoval: state = lastUnit_[path] + "  - remove chip"; break;
                case StationState::Held: state = s.text; break;
                case StationState::Ended: state = "ended: " + s.text; break;
                case StationState::StoreUnreachable: state = s.text + " - the chip waits"; break;
            }
            text += "\r\x1b[K" + path + " " + s.serial + "  " + state + "\n";
        }
        text += "\r\x1b[K" + Tally() + "\n";
        drawn_ = static_cast<int>(stations_.size()) + 1;
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    }

    const bool json_, quiet_, live_, bell_;
    const bool records_;  // units are on record (a log or a store): their "taken" lines are shown
    std::string runText_;  // the run's last store message
    const std::chrono::steady_clock::time_point started_;
    std::mutex mutex_;
    std::map<std::string, StationStatus> stations_;
    std::map<std::string, std::string> lastUnit_;
    std::uint64_t good_ = 0, failed_ = 0;
    int drawn_ = 0;
};

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char b[4];
    for (std::uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02X", x);
        text += (text.empty() ? "" : " ") + std::string(b);
    }
    return text;
}

int Fail(Output& out, int code, const std::string& message) {
    out.Result("station", code, message);
    return code;
}

// The store a run keeps its records in: the database behind its journal, or the files.
struct RunStore {
    std::unique_ptr<store::DbStore> db;
    std::unique_ptr<station::JournalingStore> journal;
    std::unique_ptr<station::FileUnitStore> files;
    station::UnitStore* store = nullptr;
};

// Opens the database of --store. While it cannot be reached a run waits, saying so about every
// second, until it answers or the user stops (a dry run does not wait). Returns the exit code on
// failure (message in error), 0 on success.
int OpenDatabase(const CliContext& ctx, const StationOptions& o, const store::StoreLocation& where, bool wait,
                 station::StationView& view, RunStore& run, std::string& error) {
    for (;;) {
        try {
            run.db = store::DbStore::Open(where);
            return kExitOk;
        } catch (const store::StoreError& e) {
            // The store's own messages mostly name it already; said once.
            const std::string what = e.what();
            error = what.find(where.shown) != std::string::npos ? what : where.shown + ": " + what;
            return kExitBadInput;
        } catch (const station::StoreUnavailable& e) {
            error = station::StoreUnreachableText(e);
            if (!wait) return kExitError;
            view.status({"", "", StationState::StoreUnreachable, 0, error});
        }
        for (int i = 0; i < 10 && InterruptWatch::Caught() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (InterruptWatch::Caught() != 0) return InterruptWatch::ExitCode();
        (void)ctx;
        (void)o;
    }
}

// Sends the journal's results to the store, waiting while it cannot be reached (about every
// second, said on the status line) until it takes them or the user stops.
int SendJournal(station::StationView& view, station::JournalingStore& journal, Output& out, std::string& error) {
    for (;;) {
        try {
            if (const std::size_t sent = journal.send(); sent > 0)
                view.notice("", std::to_string(sent) + " result(s) from the journal " + journal.path() +
                                    " are now on record in the store");
            return kExitOk;
        } catch (const station::StoreUnavailable& e) {
            view.status({"", "", StationState::StoreUnreachable, 0, station::StoreUnreachableText(e)});
        } catch (const std::exception& e) {
            error = e.what();
            return kExitError;
        }
        for (int i = 0; i < 10 && InterruptWatch::Caught() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (InterruptWatch::Caught() != 0) {
            error = "stopped with results waiting in the journal " + journal.path() +
                    "; a station of this name sends them when it starts again";
            (void)out;
            return InterruptWatch::ExitCode();
        }
    }
}

int RunStation(const CliContext& ctx, const StationOptions& given, const ProfileChoices& choices) {
    InterruptWatch watch(/*secondToSubscribers=*/true);
    Output out(ctx, /*logLines=*/false);
    StationOptions o = given;
    station::Profile profile;
    if (!choices.load.empty()) {
        try {
            profile = station::LoadProfile(choices.load);
        } catch (const station::ProfileError& e) {
            return Fail(out, kExitBadInput, e.what());
        }
        OptionsFromProfile(profile, o);
        // Blanks alone are not a value (the window refuses them the same way).
        const auto none = [](const std::string& v) { return v.find_first_not_of(" \t") == std::string::npos; };
        const std::pair<bool, const char*> required[] = {{profile.requireLot && none(o.lot), "--lot"},
                                                         {profile.requireOperator && none(o.operatorName), "--operator"},
                                                         {profile.requirePart && none(o.part), "--part"}};
        for (const auto& [missing, option] : required)
            if (missing) return Fail(out, kExitUsage, choices.load + ": the profile requires " + option);
    }
    if (const std::string problem = NeedsStoreProblem(
            !o.store.empty(), {{"--operator", &o.operatorName}, {"--lot", &o.lot}, {"--part", &o.part}, {"--journal", &o.journal}});
        !problem.empty())
        return Fail(out, kExitUsage, problem);
    if (o.chip.empty() || o.file.empty()) return Fail(out, kExitUsage, "--chip and FILE are required (or --profile FILE)");
    const int chip = ChipIndex(o.chip);
    const std::size_t flash = kChips[static_cast<std::size_t>(chip)].flashSize;

    // Everything up to the first byte on the wire, also for --dry-run.
    station::StationConfig config;
    // One read and one conversion, by the loader write uses (the same warnings, the same BIN
    // copy, once): every unit, its log record and its hashes use these bytes.
    for (const std::string& file : {o.log, o.serialFile})
        if (const std::string clash = SimFlashClash(ctx, file); !clash.empty()) return Fail(out, kExitUsage, clash);
    RunImage load = LoadRunImage(ctx, out, o.file);
    if (!load.image) return Fail(out, load.code, load.error);
    config.image = load.image;
    const std::string& fileSha = config.image->fileSha256;
    // A line never programs a file other than the one that was approved.
    if (!choices.load.empty() && fileSha != profile.imageSha256) return Fail(out, kExitBadInput, station::kImageChanged);
    const std::size_t imageSize = config.image->bytes.size();
    if (imageSize > flash)
        return Fail(out, kExitBadInput, o.file + ": the image is " + std::to_string(imageSize) +
                                            " bytes, larger than the " + std::to_string(flash) + "-byte flash of " +
                                            o.chip);
    const bool db = !o.store.empty();
    if (!o.serial.empty() && !db && o.serialFile.empty())
        return Fail(out, kExitUsage, "--serial needs --serial-file (a counter file) or --store (a database)");
    std::string stationName = o.stationName;
    if (db) {
        if (stationName.empty()) stationName = station::HostName();
        if (stationName.empty()) return Fail(out, kExitUsage, "this PC has no host name; give the station one with --station NAME");
        const std::pair<const char*, const std::string*> names[] = {
            {"--station", &stationName}, {"--operator", &o.operatorName}, {"--lot", &o.lot}, {"--part", &o.part},
            {"--series", &o.series}};
        for (const auto& [option, value] : names)
            if (const std::string problem = station::NameProblem(option, *value); !problem.empty())
                return Fail(out, kExitUsage, problem);
        if (o.series.empty()) return Fail(out, kExitUsage, "--series needs a name");
    }
    // Every field a unit's own value fills: inside the flash, no byte written twice.
    std::vector<station::DataField> dataFields;
    try {
        std::vector<station::FieldBytes> spans;
        if (!o.serial.empty()) {
            const station::SerialField serial = station::ParseSerialField(o.serial);
            spans.push_back({"--serial", serial.address, serial.format.width});
        }
        for (const std::string& text : o.data) {
            dataFields.push_back(station::ParseDataField(text));
            spans.push_back({"--data " + dataFields.back().pool, dataFields.back().address, dataFields.back().width});
        }
        if (!dataFields.empty()) station::CheckFieldsApart(spans, flash);
    } catch (const station::SerialError& e) {
        return Fail(out, kExitUsage, e.what());
    }
    if (!o.serial.empty()) {
        try {
            config.serial = station::ParseSerialField(o.serial);
            if (db) {
                config.series = o.series;
            } else {
                // A missing or unreadable counter is refused before anything else is looked at.
                (void)station::PeekLastSerial(o.serialFile);
                config.series = station::SeriesOf(o.serialFile);
                station::CheckCounterWritable(o.serialFile);
            }
        } catch (const station::SerialError& e) {
            return Fail(out, kExitBadInput, e.what());
        }
    }
    if (!o.log.empty()) {
        // A unit whose record cannot be written must not be programmed: the log must take
        // appends before the first chip is touched (and in a dry run, which creates nothing).
        if (const std::string problem = station::LogAppendProblem(o.log); !problem.empty())
            return Fail(out, kExitBadInput, problem);
        try {
            // Only the last records: a start costs the same for a log of any length.
            std::uint64_t size = 0;
            const std::string tail = ReadFileTail(o.log, station::kLogTailBytes, &size);
            const station::LogCheck check = station::CheckUnitLogTail(tail, size <= tail.size());
            if (!check.valid)
                return Fail(out, kExitBadInput, o.log + " is not a unit log (" + check.reason + "); refusing to append");
            if (check.truncated > 0)
                out.Warning(o.log + ": " + std::to_string(check.truncated) +
                            " unit record(s) cut short (power cut?); new records start on a fresh line");
        } catch (const std::system_error& e) {
            if (e.code().value() != ENOENT)
                return Fail(out, kExitBadInput, "cannot read unit log " + o.log + ": " + SystemReason(e.code().value()));
        }
    }

    // A profile is made from checked inputs; its store is the line's business, not this PC's.
    if (!choices.save.empty()) {
        if (station::StripPassword(o.store) != o.store)
            out.Warning("the store's password is not kept in the profile; stations find it in ~/.pgpass, PGPASSWORD "
                        "or a service file");
        try {
            station::SaveProfile(ProfileFromOptions(o, choices, fileSha), choices.save);
        } catch (const station::ProfileError& e) {
            return Fail(out, kExitBadInput, e.what());
        }
        return Fail(out, kExitOk, "profile " + choices.save + " written (image SHA-256 " + fileSha +
                                      "); nothing was sent to a programmer");
    }

    // The numbers and the records: the counter file and the unit log, or the line's database
    // behind this station's journal.
    Display display(ctx, o);
    RunStore run;
    std::string shownStore;
    if (db) {
        store::StoreLocation where;
        try {
            where = store::ParseStoreLocation(o.store);
        } catch (const store::StoreError& e) {
            return Fail(out, kExitUsage, e.what());
        }
        shownStore = where.shown;
        std::string error;
        if (const int code = OpenDatabase(ctx, o, where, !o.dryRun, display, run, error); code != kExitOk)
            return Fail(out, code, error);
        shownStore = run.db->location().shown;
        run.store = run.db.get();
        const std::string folder = o.journal.empty() ? station::UserStateFolder() : o.journal;
        if (folder.empty())
            return Fail(out, kExitUsage, "no folder for the station's journal is known here ($HOME is not set); give --journal DIR");
        const std::string journalPath = station::JournalPath(folder, stationName);
        if (o.dryRun) {
            // A dry run creates nothing, the journal's folder included: it only says what waits.
            if (PathEntryExists(journalPath))
                out.Warning("results of an earlier run wait in " + journalPath + "; the run sends them before its first unit");
        } else {
            try {
                run.journal = std::make_unique<station::JournalingStore>(*run.db, journalPath);
            } catch (const std::exception& e) {
                return Fail(out, kExitBadInput, e.what());
            }
            run.store = run.journal.get();
            if (const int code = SendJournal(display, *run.journal, out, error); code != kExitOk)
                return Fail(out, code, error);
        }
    } else {
        run.files = std::make_unique<station::FileUnitStore>(o.serialFile, o.log, o.allowSerialJump);
        run.store = run.files.get();
    }
    station::UnitStore& store = *run.store;
    std::vector<std::uint8_t> patched = config.image->bytes;
    std::vector<std::uint8_t> overwritten;
    std::uint64_t nextSerial = 0;
    // Said once, before the first unit: firmware under a unit's own field would be replaced in
    // every unit. Only a warning, since a placeholder the firmware keeps there on purpose holds
    // something too.
    const auto warnIfNotErased = [&out](const std::string& what, std::uint32_t address, const std::vector<std::uint8_t>& was) {
        if (std::none_of(was.begin(), was.end(), [](std::uint8_t b) { return b != 0xFF; })) return;
        char where[16];
        std::snprintf(where, sizeof where, "0x%04X", address);
        out.Warning(what + " at " + where + " replaces image bytes that are not erased (" + Hex(was) +
                    ") in every unit; make sure the firmware keeps that place for it");
    };
    const auto storeFailure = [&](const std::exception& e) {
        if (const auto* away = dynamic_cast<const station::StoreUnavailable*>(&e); away != nullptr)
            return Fail(out, kExitError, station::StoreUnreachableText(*away));
        return Fail(out, kExitBadInput, e.what());
    };
    if (config.serial) {
        try {
            // The number the first unit gets, by the rule the run applies under the counter's
            // lock (refused here rather than after the first unit, whatever the format).
            nextSerial = store.peekNext(config.series);
            overwritten = station::PatchImage(patched, config.serial->address,
                                              station::EncodeSerial(nextSerial, config.serial->format), flash);
        } catch (const std::exception& e) {
            return storeFailure(e);
        }
        warnIfNotErased("the serial number", config.serial->address, overwritten);
    }
    struct NextValue {
        std::string value;
        std::vector<std::uint8_t> bytes, overwritten;
    };
    std::vector<NextValue> nextValues;
    for (const station::DataField& field : dataFields) {
        try {
            const std::optional<std::string> value = store.peekPool(field.pool);
            if (!value) return Fail(out, kExitBadInput, "pool " + field.pool + " is empty");
            NextValue next{*value, station::EncodePoolValue(field, *value), {}};
            next.overwritten = station::PatchImage(patched, field.address, next.bytes, flash);
            warnIfNotErased("pool " + field.pool + "'s value", field.address, next.overwritten);
            nextValues.push_back(std::move(next));
        } catch (const std::exception& e) {
            return storeFailure(e);
        }
    }

    if (o.dryRun) {
        if (ctx.json) {
            for (std::size_t i = 0; i < dataFields.size(); ++i)
                std::printf("%s\n", JsonLine("dry-run-data")
                                        .Text("pool", dataFields[i].pool)
                                        .Text("value", nextValues[i].value)
                                        .Number("address", dataFields[i].address)
                                        .Text("bytes", Hex(nextValues[i].bytes))
                                        .Text("overwrites", Hex(nextValues[i].overwritten))
                                        .Str()
                                        .c_str());
            JsonLine line("dry-run");
            if (db) line.Text("store", shownStore).Text("series", o.series).Text("station", stationName);
            line.Path("image", o.file)
                .Text("image_sha256", fileSha)
                .Number("image_bytes", static_cast<std::int64_t>(imageSize))
                .Text("chip", o.chip)
                .Number("flash_bytes", static_cast<std::int64_t>(flash));
            if (config.serial)
                line.Number("serial", nextSerial)
                    .Number("serial_address", config.serial->address)
                    .Text("overwrites", Hex(overwritten))
                    .Text("serial_bytes", Hex(station::EncodeSerial(nextSerial, config.serial->format)));
            line.Text("written_sha256", Sha256::Hex(patched));
            std::printf("%s\n", line.Str().c_str());
        } else if (!ctx.quiet) {
            std::printf("image %s: %zu bytes for %s (%zu-byte flash)\nimage SHA-256 %s\n", o.file.c_str(),
                        imageSize, o.chip.c_str(), flash, fileSha.c_str());
            if (config.serial)
                std::printf("serial %llu at 0x%04X: %s (overwrites %s)\n", static_cast<unsigned long long>(nextSerial),
                            config.serial->address, Hex(station::EncodeSerial(nextSerial, config.serial->format)).c_str(),
                            Hex(overwritten).c_str());
            for (std::size_t i = 0; i < dataFields.size(); ++i)
                std::printf("pool %s value %s at 0x%04X: %s (overwrites %s)\n", dataFields[i].pool.c_str(),
                            nextValues[i].value.c_str(), dataFields[i].address, Hex(nextValues[i].bytes).c_str(),
                            Hex(nextValues[i].overwritten).c_str());
            if (db) std::printf("store %s, station %s\n", shownStore.c_str(), stationName.c_str());
            std::printf("first unit's SHA-256 %s\n", Sha256::Hex(patched).c_str());
        }
        return Fail(out, kExitOk, "dry run: nothing was sent to a programmer");
    }

    std::unique_ptr<hid::Platform> platform;
    try {
        platform = MakePlatform(ctx);
    } catch (const std::exception& e) {
        return Fail(out, kExitError, e.what());
    }
    config.chipIndex = chip;
    config.chipName = o.chip;
    config.flashSize = flash;
    config.write = {.erase = !o.noErase, .protect = o.protect, .verify = !o.noVerify, .reset = !o.noReset,
                    .readback = !o.noReadback && !o.protect};
    config.pollMs = o.pollMs;
    config.count = o.count;
    config.device = o.device;
    config.all = o.all;
    config.version = kVersion;
    config.data = dataFields;
    if (db) {
        config.station = stationName;
        config.operatorName = o.operatorName;
        config.lot = o.lot;
        config.part = o.part;
    }
    config.holdAfterFailures = choices.load.empty() ? std::max(choices.hold, 0) : profile.holdAfterFailures;
    const int hold = config.holdAfterFailures;
    const bool keepsRecords = db || config.serial.has_value() || !o.log.empty();
    station::StationRunner runner(*platform, std::move(config), display, keepsRecords ? &store : nullptr);
    std::optional<HoldAcknowledger> acknowledger;
    if (hold > 0)
        acknowledger.emplace([&runner, &display] {
            for (const std::string& path : display.held()) runner.acknowledge(path);
        });
    const std::size_t first = watch.Subscribe([&runner] { runner.stopAfterUnit(); });
    const std::size_t second = watch.SubscribeSecond([&runner] { runner.abort(); });
    const station::StationSummary summary = runner.run();
    acknowledger.reset();
    watch.Unsubscribe(first);
    watch.Unsubscribe(second);

    const std::string tally =
        std::to_string(summary.good) + " good, " + std::to_string(summary.failed) + " failed";
    if (ctx.json)
        std::printf("%s\n", JsonLine("summary")
                                .Number("good", static_cast<std::int64_t>(summary.good))
                                .Number("failed", static_cast<std::int64_t>(summary.failed))
                                .Flag("interrupted", summary.interrupted)
                                .Str()
                                .c_str());
    // Results the store could not take yet: every one reaches it before the run ends, unless
    // the user stops the wait (they stay in the journal, sent by the next start).
    if (run.journal) {
        std::string error;
        if (const int code = SendJournal(display, *run.journal, out, error); code != kExitOk)
            return Fail(out, code, error + " (" + tally + ")");
    }
    if (!summary.fatal.empty())
        return Fail(out, summary.fatalInput ? kExitBadInput : kExitError, summary.fatal + " (" + tally + ")");
    // Chips the simulator could not keep are not the chips the next run finds.
    if (const std::string why = SimChipFileFailure(*platform); !why.empty())
        return Fail(out, kExitError,
                    std::string(ctx.sim.flashFile.empty() ? "unusable --sim-flash-dir: " : "unusable --sim-flash file: ") +
                        why + " (" + tally + ")");
    if (InterruptWatch::Caught() != 0)
        return Fail(out, InterruptWatch::ExitCode(),
                    std::string(summary.interrupted ? "unit aborted" : "stopped") + " (" + tally + ")");
    return Fail(out, kExitOk, tally);
}

}  // namespace

void RegisterStation(CLI::App& app, CliContext& ctx) {
    static StationOptions o;
    static ProfileChoices profile;
    auto* s = app.add_subcommand(
        "station",
        "Production loop: wait for a chip, program it (with its serial number), read it back, log it, "
        "wait until it is taken away, repeat");
    std::vector<std::string> names;
    for (const auto& c : kChips) names.emplace_back(c.name);
    // Required unless a profile gives them (RunStation says so).
    s->add_option("--chip", o.chip, "Chip type")->check(CLI::IsMember(names));
    s->add_option("FILE", o.file, "Intel HEX (name ending in hex) or BIN (ending in bin) image");
    s->add_option("--device", o.device, "Use only the programmer with this device path or serial number");
    s->add_flag("--all", o.all, "One station per connected programmer; programmers plugged in later join")
        ->excludes(s->get_option("--device"));
    s->add_flag("--no-erase", o.noErase, "Do not erase the flash first");
    s->add_flag("--protect", o.protect, "Read-protect each chip after writing (no read-back then)");
    s->add_flag("--no-verify", o.noVerify, "Do not ask the programmer to verify the flash");
    s->add_flag("--no-reset", o.noReset, "Do not reset the chip into the new firmware");
    s->add_flag("--no-readback", o.noReadback, "Do not read each chip back and compare every byte");
    s->add_option("--count", o.count, "Stop after N good units")->check(CLI::PositiveNumber);
    s->add_option("--log", o.log, "Unit log: one JSON object per line per unit, appended and synced");
    auto* serial = s->add_option("--serial", o.serial,
                                 "ADDR:FORMAT: write each unit's number at ADDR; FORMAT u16le, u16be, u32le, "
                                 "u32be or ascii:W");
    serial->check(
        [](const std::string& text) {
            try {
                station::ParseSerialField(text);
                return std::string();
            } catch (const station::SerialError& e) {
                return std::string(e.what());
            }
        },
        "ADDR:FORMAT");
    auto* counter =
        s->add_option("--serial-file", o.serialFile, "Counter file holding the last number given (next = last + 1)");
    counter->needs(serial);
    s->add_flag("--allow-serial-jump", o.allowSerialJump,
                "Let the unit log move the counter up by more than a few numbers (its records of this counter "
                "are ahead: the counter was set back)")
        ->needs(counter);
    auto* store = s->add_option("--store", o.store,
                                "Keep serials and unit records in a database instead of --serial-file and --log: "
                                "PATH.db or sqlite:PATH (SQLite), postgresql://... or libpq keywords (PostgreSQL)");
    store->excludes(counter)->excludes(s->get_option("--log"))->excludes(s->get_option("--allow-serial-jump"));
    s->add_option("--series", o.series, "The store's serial series the numbers come from")
        ->needs(store)
        ->capture_default_str();
    s->add_option("--station", o.stationName, "This station's name in the store's records (default: the host name)")
        ->needs(store);
    s->add_option("--operator", o.operatorName, "The operator, on every unit's record")->needs(store);
    s->add_option("--lot", o.lot, "The lot or batch, on every unit's record")->needs(store);
    s->add_option("--part", o.part, "The part number, on every unit's record")->needs(store);
    s->add_option("--data", o.data,
                  "NAME@ADDR:FORMAT: write one unused value of the store's pool NAME into each unit at ADDR; "
                  "FORMAT hex:N, ascii:W, u16le, u16be, u32le or u32be (repeatable)")
        ->needs(store)
        ->check(
            [](const std::string& text) {
                try {
                    station::ParseDataField(text);
                    return std::string();
                } catch (const station::SerialError& e) {
                    return std::string(e.what());
                }
            },
            "NAME@ADDR:FORMAT");
    s->add_option("--journal", o.journal,
                  "Folder of the station's journal, where results wait while the store cannot take them "
                  "(default: the user's state folder)")
        ->needs(store);
    s->add_flag("--bell", o.bell, "Ring the terminal bell when a unit fails");
    s->add_flag("--dry-run", o.dryRun, "Check image, serial and log, print the SHA-256, and stop before the wire");
    s->add_option("--poll-ms", o.pollMs, "Chip-present poll interval in milliseconds")
        ->check(CLI::Range(10, 5000))
        ->capture_default_str();
    AddProfileOptions(s, profile);
    ctx.commands.push_back({s, [&ctx] { return RunStation(ctx, o, profile); }});
}

}  // namespace quillon::cli
