// A profile made ready to run in a shell without a command line of its own (the operator's
// view): the approved image loaded and checked against its hash, the serial field, and the files
// store that keeps the numbers and the records, each refused with a sentence an operator can
// pass on to the engineer.
#pragma once

#include <memory>
#include <string>

#include "station/Profile.h"
#include "station/Station.h"

namespace quillon::station {

struct ProfileStation {
    StationConfig config;
    std::unique_ptr<UnitStore> store;  // null: no serial numbers and no records
};

// Throws ProfileError: the image cannot be loaded, no longer has the approved SHA-256
// (kImageChanged) or does not fit the chip; the serial field, counter or unit log cannot be
// used; the profile asks for a database store, which this station does not keep.
ProfileStation PrepareProfileStation(const Profile& profile, const std::string& version);

}  // namespace quillon::station
