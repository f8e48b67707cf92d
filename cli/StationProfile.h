// quillon-cli station and its profile: --save-profile writes the command line's choices into a
// profile instead of programming, --profile runs a profile as it stands (no choice of it may be
// given beside it), and the hold a profile asks for is acknowledged with Enter. The mapping onto
// the station's options is a template over them, so the options stay where the command defines
// them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/Cli.h"
#include "station/Profile.h"

namespace quillon::cli {

struct ProfileChoices {
    std::string save;                  // --save-profile FILE
    std::string load;                  // --profile FILE
    int hold = -1;                     // --hold-after-failures (-1: the profile's, or none)
    std::vector<std::string> require;  // --require lot|operator|part
    std::vector<std::string> sound;    // --sound pass|fail
};

// Registers --save-profile, --profile and the profile's own choices on the station command,
// after its other options (--profile excludes those a profile decides).
void AddProfileOptions(CLI::App* station, ProfileChoices& choices);

// "--lot requires --store" for the first of given (option name, value) that is not empty when
// the run has no store; "" otherwise. Beside --profile these are checked here rather than by the
// command line's parser, since the store may come from the profile.
std::string NeedsStoreProblem(bool store, const std::vector<std::pair<const char*, const std::string*>>& given);

// The profile's choices that are not the station's command-line options (policy, hold, sound).
void ApplyProfileChoices(const ProfileChoices& choices, station::Profile& profile);

// Fills the station's options from the profile (Options: the command's option struct).
template <typename Options>
void OptionsFromProfile(const station::Profile& p, Options& o) {
    o.chip = p.chip;
    o.file = p.image;
    o.noErase = !p.write.erase;
    o.protect = p.write.protect;
    o.noVerify = !p.write.verify;
    o.noReset = !p.write.reset;
    o.noReadback = !p.write.readback;
    o.serial = p.serial;
    o.serialFile = p.serialFile;
    o.log = p.log;
    o.device = p.device;
    o.all = p.all;
    o.pollMs = p.pollMs;
    o.store = p.store;
    if (!p.series.empty()) o.series = p.series;
    o.data = p.data;
    o.stationName = p.station;
}

// The profile the command line describes, for the image file with this SHA-256 (paths made
// absolute).
template <typename Options>
station::Profile ProfileFromOptions(const Options& o, const ProfileChoices& choices, const std::string& imageSha256) {
    station::Profile p;
    p.chip = o.chip;
    p.image = station::AbsolutePath(o.file);
    p.imageSha256 = imageSha256;
    p.write = {.erase = !o.noErase, .protect = o.protect, .verify = !o.noVerify, .reset = !o.noReset,
               .readback = !o.noReadback && !o.protect};
    p.serial = o.serial;
    p.serialFile = station::AbsolutePath(o.serialFile);
    p.log = station::AbsolutePath(o.log);
    p.device = o.device;
    p.all = o.all;
    p.pollMs = o.pollMs;
    // The password stays with libpq (.pgpass, PGPASSWORD, a service file), never in a profile.
    p.store = station::StripPassword(o.store);
    if (!o.store.empty()) p.series = o.series;
    p.data = o.data;
    p.station = o.stationName;
    ApplyProfileChoices(choices, p);
    return p;
}

// Enter on standard input acknowledges every held station while a run holds on failures. The
// reader thread outlives the run blocked on its read; after disarm it does nothing.
class HoldAcknowledger {
public:
    explicit HoldAcknowledger(std::function<void()> acknowledgeAll);
    ~HoldAcknowledger();  // disarms
    HoldAcknowledger(const HoldAcknowledger&) = delete;
    HoldAcknowledger& operator=(const HoldAcknowledger&) = delete;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace quillon::cli
