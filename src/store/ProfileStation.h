// A profile made ready to run in a shell without a command line of its own (the operator's
// view): the approved image loaded and checked against its hash, the serial and data fields, and
// the store that keeps the numbers and the records (the files, or a line's database behind the
// station's journal), each refused with a sentence an operator can pass on to the engineer. Part
// of the store library, since it opens a line's database.
#pragma once

#include <memory>
#include <string>

#include "station/FileUnitStore.h"
#include "station/Journal.h"
#include "station/Profile.h"
#include "station/Station.h"
#include "store/Store.h"

namespace quillon::station {

// Where a profile's station keeps its numbers and records.
struct ProfileStore {
    std::unique_ptr<store::DbStore> db;
    std::unique_ptr<JournalingStore> journal;  // around db
    std::unique_ptr<FileUnitStore> files;
    std::string shown;                         // the database's location without its password
    // The journal (with a database), else the files; null without serial numbers and records.
    UnitStore* get() const;
};

struct ProfileStation {
    StationConfig config;
    std::unique_ptr<ProfileStore> store;
};

// Throws ProfileError: the image cannot be loaded, no longer has the approved SHA-256
// (kImageChanged) or does not fit the chip; a serial or data field, the counter or the unit log
// cannot be used; the database refuses the station (a newer schema). Throws StoreUnavailable when
// the database cannot be reached now (try again later). journalFolder "": the user's state folder.
ProfileStation PrepareProfileStation(const Profile& profile, const std::string& version,
                                     const std::string& journalFolder = {});

// The two halves of PrepareProfileStation, for a shell that must not wait on the store where it
// checks the rest (the window's UI thread). PrepareProfileConfig reads and checks the image and
// the fields and touches no store; OpenProfileStore then opens the store into ready.store, checks
// that the first number fits its field, and may wait on a database up to its timeouts.
ProfileStation PrepareProfileConfig(const Profile& profile, const std::string& version);
void OpenProfileStore(const Profile& profile, ProfileStation& ready, const std::string& journalFolder = {});

}  // namespace quillon::station
