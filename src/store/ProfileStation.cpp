// Readiness of a profile's station: the checks quillon-cli station makes before its first unit,
// in the same order, so a profile that runs in one shell runs in the other.
#include "store/ProfileStation.h"

#include <system_error>

#include "fs/Files.h"
#include "protocol/Chips.h"
#include "protocol/Cpro.h"
#include "station/DataField.h"
#include "station/UnitLog.h"

namespace quillon::station {

UnitStore* ProfileStore::get() const {
    if (journal) return journal.get();
    return files.get();
}

namespace {

// The files store: the counter and the unit log, checked as a start checks them.
void OpenFiles(const Profile& p, const StationConfig& c, ProfileStore& store) {
    if (c.serial) {
        (void)PeekLastSerial(p.serialFile);
        CheckCounterWritable(p.serialFile);
    }
    if (!p.log.empty()) {
        if (const std::string problem = LogAppendProblem(p.log); !problem.empty()) throw ProfileError(problem);
        try {
            std::uint64_t size = 0;
            const std::string tail = ReadFileTail(p.log, kLogTailBytes, &size);
            const LogCheck check = CheckUnitLogTail(tail, size <= tail.size());
            if (!check.valid) throw ProfileError(p.log + " is not a unit log (" + check.reason + "); refusing to append");
        } catch (const std::system_error& e) {
            if (e.code().value() != ENOENT)
                throw ProfileError("cannot read unit log " + p.log + ": " + SystemReason(e.code().value()));
        }
    }
    if (c.serial || !p.log.empty()) store.files = std::make_unique<FileUnitStore>(p.serialFile, p.log, false);
}

// The line's database behind this station's journal; results left by an earlier run wait in the
// journal and go first (the journal's own rule: no number while results wait).
void OpenDatabase(const Profile& p, const StationConfig& c, const std::string& journalFolder, ProfileStore& store) {
    store::StoreLocation where;
    try {
        where = store::ParseStoreLocation(p.store);
        store.db = store::DbStore::Open(where);
    } catch (const store::StoreError& e) {
        throw ProfileError(where.shown.empty() ? std::string(e.what()) : where.shown + ": " + e.what());
    }
    store.shown = store.db->location().shown;
    const std::string folder = journalFolder.empty() ? UserStateFolder() : journalFolder;
    if (folder.empty()) throw ProfileError("no folder for the station's journal is known here ($HOME is not set)");
    try {
        store.journal = std::make_unique<JournalingStore>(*store.db, JournalPath(folder, c.station));
    } catch (const std::runtime_error& e) {
        throw ProfileError(e.what());
    }
}

}  // namespace

ProfileStation PrepareProfileStation(const Profile& p, const std::string& version, const std::string& journalFolder) {
    ProfileStation ready = PrepareProfileConfig(p, version);
    OpenProfileStore(p, ready, journalFolder);
    return ready;
}

ProfileStation PrepareProfileConfig(const Profile& p, const std::string& version) {
    ProfileStation ready;
    ready.store = std::make_unique<ProfileStore>();
    StationConfig& c = ready.config;
    c.chipIndex = ChipIndex(p.chip);
    if (c.chipIndex < 0) throw ProfileError("unknown chip '" + p.chip + "'");
    c.chipName = p.chip;
    c.flashSize = kChips[static_cast<std::size_t>(c.chipIndex)].flashSize;
    // As the command line: only a regular file is read (a FIFO or a device put in the image's
    // place would keep the caller, the window's UI thread among them, waiting for ever).
    std::string kind;
    try {
        kind = NonRegularKind(p.image);
    } catch (const std::system_error&) {
        // Missing or unreadable: the load below says which.
    }
    if (!kind.empty()) throw ProfileError(p.image + ": is " + kind + "; only regular files are read");
    ImageLoad load = ReadImageFile(p.image, CPro::kBufferSize);
    if (!load.image) throw ProfileError(load.error);
    if (load.image->fileSha256 != p.imageSha256) throw ProfileError(kImageChanged);
    if (load.image->bytes.empty()) throw ProfileError(p.image + ": the image is empty (the file holds no data records)");
    if (load.image->bytes.size() > c.flashSize)
        throw ProfileError(p.image + ": the image is " + std::to_string(load.image->bytes.size()) +
                           " bytes, larger than the " + std::to_string(c.flashSize) + "-byte flash of " + p.chip);
    c.image = load.image;
    c.write = p.write;
    c.write.readback = p.write.readback && !p.write.protect;
    c.pollMs = p.pollMs;
    c.device = p.device;
    c.all = p.all;
    c.version = version;
    c.holdAfterFailures = p.holdAfterFailures;
    const bool db = !p.store.empty();
    c.station = p.station.empty() && db ? HostName() : p.station;
    if (db && c.station.empty()) throw ProfileError("this PC has no host name; give the profile a station name");
    if (!db && !p.data.empty()) throw ProfileError("per-unit data (data) needs a database store (store)");
    try {
        std::vector<FieldBytes> spans;
        if (!p.serial.empty()) {
            c.serial = ParseSerialField(p.serial);
            spans.push_back({"serial", c.serial->address, c.serial->format.width});
            c.series = db ? (p.series.empty() ? std::string("serial") : p.series) : SeriesOf(p.serialFile);
        }
        for (const std::string& text : p.data) {
            c.data.push_back(ParseDataField(text));
            spans.push_back({"data " + c.data.back().pool, c.data.back().address, c.data.back().width});
        }
        if (!c.data.empty()) CheckFieldsApart(spans, c.flashSize);
    } catch (const SerialError& e) {
        throw ProfileError(e.what());
    }
    return ready;
}

void OpenProfileStore(const Profile& p, ProfileStation& ready, const std::string& journalFolder) {
    const StationConfig& c = ready.config;
    ready.store = std::make_unique<ProfileStore>();
    try {
        if (!p.store.empty())
            OpenDatabase(p, c, journalFolder, *ready.store);
        else
            OpenFiles(p, c, *ready.store);
        // The first unit's number must fit its field: refused now rather than after a unit.
        if (c.serial && ready.store->get() != nullptr) {
            std::vector<std::uint8_t> bytes = c.image->bytes;
            (void)PatchImage(bytes, c.serial->address, EncodeSerial(ready.store->get()->peekNext(c.series), c.serial->format),
                             c.flashSize);
        }
    } catch (const SerialError& e) {
        throw ProfileError(e.what());
    }
}

}  // namespace quillon::station
