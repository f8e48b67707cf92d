// A station profile: every choice of a station, written once by an engineer (quillon-cli station
// ... --save-profile FILE) and run as it stands by the command line or the operator's view. It
// names the approved image by its SHA-256, so a line never programs another file, and it never
// holds a password (a line's database password stays with libpq: .pgpass, PGPASSWORD, a service
// file). The file is a small INI text with one [station] section; anything it does not know is
// refused with its line number, so a typing error never turns into a silent default.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ops/WriteOptions.h"

namespace quillon::station {

// A profile that cannot be read, written or used; the message names the file and, for a bad
// line, its number ("station.ini:7: unknown key 'hold'").
class ProfileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Profile {
    std::string chip;                  // a name of kChips
    std::string image;                 // absolute path of the approved image
    std::string imageSha256;           // of the image file's bytes (lower-case hex)
    WriteOptions write{.readback = true};
    std::string serial;                // "ADDR:FORMAT" ("" without serial numbers)
    std::string serialFile;            // the counter file (a files store)
    std::string log;                   // the unit log (a files store)
    std::vector<std::string> data;     // "NAME@ADDR:FORMAT", one per pool
    std::string series;                // a database store's series ("" the store's default)
    std::string store;                 // a database store's location, without any password
    std::string station;               // the station's name in the records ("" the host name)
    std::string device;                // one programmer by path or serial ("" any)
    bool all = true;                   // one station per programmer
    int pollMs = 250;
    bool requireLot = false, requireOperator = false, requirePart = false;
    int holdAfterFailures = 3;         // failures in a row on one programmer before it holds; 0 never
    bool soundOnPass = false, soundOnFail = false;
};

inline constexpr int kMaxHoldAfterFailures = 1000;

// The profile's text. Throws ProfileError for a value a profile cannot keep (a line break, blanks
// at either end, a store location with a password).
std::string ProfileText(const Profile& profile);
// Reads a profile's text; name is the file's name for messages. Relative image, counter and log
// paths are taken from folder (the profile's own folder). Throws ProfileError for an unknown
// section or key, a key given twice, a malformed value, or a missing chip, image or hash.
Profile ParseProfile(std::string_view text, const std::string& name, const std::string& folder);

// Writes the profile durably (replacing the file whole). Throws ProfileError.
void SaveProfile(const Profile& profile, const std::string& path);
// Throws ProfileError for a file that cannot be read or is not a valid profile.
Profile LoadProfile(const std::string& path);

// The store location with any password taken out (the user part of a URL, a password= keyword,
// a password query parameter): what a profile keeps, since libpq finds the password itself.
std::string StripPassword(std::string_view location);

// path made absolute (relative to folder, else to the current folder) and normal; "" stays "".
std::string AbsolutePath(const std::string& path, const std::string& folder = {});

// The words shown when the image file no longer is the one the profile approved.
inline constexpr const char* kImageChanged = "The image has changed since the profile was made";

// The SHA-256 of the file's bytes, as a profile records it. Throws ProfileError when the file
// cannot be read.
std::string ImageFileSha256(const std::string& path);

}  // namespace quillon::station
