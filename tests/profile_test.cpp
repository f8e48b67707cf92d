// The station profile's file: what is saved reads back the same, every line a profile does not
// know is refused with its number, no password ever lands in it, and relative paths follow the
// profile's folder.
#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <functional>
#include <vector>

#include "station/Profile.h"
#include "store/ProfileStation.h"
#include "support/Process.h"

namespace quillon {
namespace {

using station::Profile;
using station::ProfileError;

const std::string kSha(64, 'a');

Profile Full() {
    Profile p;
    p.chip = "NRF24LU1_32K";
    p.image = "/line/fw v2.hex";
    p.imageSha256 = kSha;
    p.write = {.erase = false, .protect = false, .verify = true, .reset = false, .readback = true};
    p.serial = "0x7FFC:u32be";
    p.serialFile = "/line/serial.txt";
    p.log = "/line/units.log";
    p.data = {"mac@0x7F00:hex:6", "key@0x7F10:ascii:8"};
    p.series = "boards";
    p.store = "postgresql://station@db.line/units?sslmode=verify-full";
    p.station = "bench 4";
    p.device = "SIM0002";
    p.all = false;
    p.pollMs = 40;
    p.requireLot = true;
    p.requireOperator = true;
    p.holdAfterFailures = 0;
    p.soundOnFail = true;
    return p;
}

// A path as the test wrote it: on Windows the profile's absolute paths gain a drive and
// backslashes, which say nothing about how a relative path was resolved.
std::string Slashed(std::string path) {
    if (path.size() > 2 && path[1] == ':') path.erase(0, 2);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

void ExpectSame(const Profile& a, const Profile& b) {
    EXPECT_EQ(a.chip, b.chip);
    EXPECT_EQ(Slashed(a.image), Slashed(b.image));
    EXPECT_EQ(a.imageSha256, b.imageSha256);
    EXPECT_EQ(a.write.erase, b.write.erase);
    EXPECT_EQ(a.write.protect, b.write.protect);
    EXPECT_EQ(a.write.verify, b.write.verify);
    EXPECT_EQ(a.write.reset, b.write.reset);
    EXPECT_EQ(a.write.readback, b.write.readback);
    EXPECT_EQ(a.serial, b.serial);
    EXPECT_EQ(Slashed(a.serialFile), Slashed(b.serialFile));
    EXPECT_EQ(Slashed(a.log), Slashed(b.log));
    EXPECT_EQ(a.data, b.data);
    EXPECT_EQ(a.series, b.series);
    EXPECT_EQ(a.store, b.store);
    EXPECT_EQ(a.station, b.station);
    EXPECT_EQ(a.device, b.device);
    EXPECT_EQ(a.all, b.all);
    EXPECT_EQ(a.pollMs, b.pollMs);
    EXPECT_EQ(a.requireLot, b.requireLot);
    EXPECT_EQ(a.requireOperator, b.requireOperator);
    EXPECT_EQ(a.requirePart, b.requirePart);
    EXPECT_EQ(a.holdAfterFailures, b.holdAfterFailures);
    EXPECT_EQ(a.soundOnPass, b.soundOnPass);
    EXPECT_EQ(a.soundOnFail, b.soundOnFail);
}

TEST(Profile, SavedProfileReadsBackTheSame) {
    test::ScratchDir dir("profile");
    const Profile p = Full();
    station::SaveProfile(p, dir / "station.ini");
    ExpectSame(station::LoadProfile(dir / "station.ini"), p);
    // The defaults a minimal profile takes: the hold after three failures, sounds off.
    const Profile minimal =
        station::ParseProfile("[station]\nchip = NRF24LE1_16K\nimage = /fw.bin\nimage_sha256 = " + kSha + "\n", "p", "/");
    EXPECT_EQ(minimal.holdAfterFailures, 3);
    EXPECT_FALSE(minimal.soundOnPass || minimal.soundOnFail);
    EXPECT_FALSE(minimal.requireLot || minimal.requireOperator || minimal.requirePart);
    EXPECT_TRUE(minimal.write.readback);
}

TEST(Profile, RefusesWhatItDoesNotKnowWithTheLineNumber) {
    const std::string head = "# made by hand\n[station]\nchip = NRF24LE1_16K\nimage = fw.bin\nimage_sha256 = " + kSha + "\n";
    struct Case {
        std::string extra;
        const char* where;  // the start of the message, line number included
    };
    const Case cases[] = {
        {"hold = 3\n", "p.ini:6: unknown key 'hold'"},
        {"\n\nhold_after_failure = 2\n", "p.ini:8: unknown key"},
        {"hold_after_failures = -1\n", "p.ini:6: hold_after_failures takes a whole number"},
        {"hold_after_failures = 3x\n", "p.ini:6: hold_after_failures"},
        {"hold_after_failures = 1001\n", "p.ini:6: hold_after_failures"},
        {"sound_on_pass = maybe\n", "p.ini:6: sound_on_pass takes yes or no"},
        {"poll_ms = 5\n", "p.ini:6: poll_ms"},
        {"chip = NRF24LE1_32K\n", "p.ini:6: key 'chip' given twice"},
        {"serial = 0x3FFC:u24le\nserial_file = s.txt\n", "p.ini:6: serial:"},
        {"data = mac:hex:6\n", "p.ini:6: data takes NAME@ADDR:FORMAT"},
        {"store = postgresql://u:secret@h/db\n", "p.ini:6: store holds a password"},
        {"[other]\n", "p.ini:6: unknown section [other]"},
        {"just words\n", "p.ini:6: expected 'key = value'"},
    };
    for (const Case& c : cases) {
        try {
            station::ParseProfile(head + c.extra, "p.ini", "/line");
            ADD_FAILURE() << "accepted: " << c.extra;
        } catch (const ProfileError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.where, 0), 0u) << e.what();
        }
    }
    // Missing essentials and combinations that cannot run.
    for (const std::string& bad :
         std::vector<std::string>{"[station]\nchip = NRF24LE1_16K\nimage = fw.bin\n",
          "chip = NRF24LE1_16K\n",
          head + "serial = 0x3FFC:u32le\n",
          head + "serial_file = serial.txt\n",
          head + "protect = yes\nreadback = yes\n",
          head + "image_sha256 = " + std::string(63, 'a') + "\n"})
        EXPECT_THROW(station::ParseProfile(bad, "p.ini", "/line"), ProfileError) << bad;
}

TEST(Profile, RelativePathsFollowTheProfilesFolder) {
    const Profile p = station::ParseProfile(
        "[STATION]\r\nChip = NRF24LE1_16K\r\nimage = fw/app.hex\r\nimage_sha256 = " + std::string(64, 'B') +
            "\r\nserial = 0x3FFC:u32le\r\nserial_file = ../serial.txt\r\nlog = /abs/units.log\r\n",
        "p.ini", "/line/bench");
    EXPECT_EQ(Slashed(p.image), "/line/bench/fw/app.hex");
    EXPECT_EQ(Slashed(p.serialFile), "/line/serial.txt");
    EXPECT_EQ(Slashed(p.log), "/abs/units.log");
    EXPECT_EQ(p.imageSha256, std::string(64, 'b'));
}

TEST(Profile, NeverHoldsAPassword) {
    struct Case {
        const char* given;
        const char* kept;
    };
    const Case cases[] = {
        {"postgresql://station:s3cret@db:5432/line", "postgresql://station@db:5432/line"},
        {"postgres://station:s3cret@db/line?sslmode=require&password=x", "postgres://station@db/line?sslmode=require"},
        {"postgresql://db/line?password=x", "postgresql://db/line"},
        {"host=db password='a b\\' c' dbname=line", "host=db dbname=line"},
        {"host=db password=s3cret", "host=db"},
        {"host=db\tpassword=s3cret\tdbname=line", "host=db dbname=line"},
        {"postgresql://station:pa?s3cret@db/line", "postgresql://station@db/line"},
        {"postgresql://station:pa#s3cret@db/line?sslmode=require", "postgresql://station@db/line?sslmode=require"},
        {"postgresql://db/line?pass%77ord=s3cret&sslmode=require", "postgresql://db/line?sslmode=require"},
        {"service=line", "service=line"},
        {"sqlite:/var/line/units.db", "sqlite:/var/line/units.db"},
        {"/var/line/units.db", "/var/line/units.db"},
        // libpq reads a tab as a separator, a backslash as keeping the next character in the
        // value, and a query parameter's name percent-decoded: none of these hides a password.
        {"host=db\tpassword=s3cret\tdbname=line", "host=db dbname=line"},
        {"host=db password=s3\\ cret dbname=line", "host=db dbname=line"},
        {"postgresql://db/line?pass%77ord=s3cret&sslmode=require", "postgresql://db/line?sslmode=require"},
        {"postgresql://db/line?PASSWORD=s3cret", "postgresql://db/line"},
        // The client key's password is a secret too.
        {"host=db sslpassword=s3cret dbname=line", "host=db dbname=line"},
        {"postgresql://db/line?sslpassword=s3cret", "postgresql://db/line"},
    };
    for (const Case& c : cases) EXPECT_EQ(station::StripPassword(c.given), c.kept) << c.given;
    Profile p = Full();
    p.store = "postgresql://station:s3cret@db/line";
    EXPECT_THROW(station::ProfileText(p), ProfileError);
}

TEST(Profile, ValuesThatCannotBeKeptAndUnreadableFilesAreRefused) {
    test::ScratchDir dir("profile-bad");
    Profile p = Full();
    p.station = "two\nlines";
    EXPECT_THROW(station::SaveProfile(p, dir / "a.ini"), ProfileError);
    p.station = " padded";
    EXPECT_THROW(station::SaveProfile(p, dir / "a.ini"), ProfileError);
    EXPECT_FALSE(std::filesystem::exists(test::PathOf(dir / "a.ini")));
    EXPECT_THROW(station::LoadProfile(dir / "missing.ini"), ProfileError);
    EXPECT_THROW(station::LoadProfile(dir.str()), ProfileError);  // a folder
    EXPECT_THROW(station::SaveProfile(Full(), dir / "no-such-folder/a.ini"), ProfileError);
}

TEST(Profile, ImageHashIsTheFilesBytes) {
    test::ScratchDir dir("profile-image");
    test::WriteFileBytes(dir / "fw.bin", "abc");
    EXPECT_EQ(station::ImageFileSha256(dir / "fw.bin"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_THROW(station::ImageFileSha256(dir / "none.bin"), ProfileError);
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

using station::ProfileError;

TEST(ProfileStation, ReadyOnlyWithTheApprovedImageAndUsableRecords) {
    test::ScratchDir dir("profile-station");
    test::WriteFileBytes(dir / "fw.bin", std::string(1000, '\x11'));
    test::WriteFileBytes(dir / "serial.txt", "65534\n");
    station::Profile p;
    p.chip = "NRF24LE1_16K";
    p.image = dir / "fw.bin";
    p.imageSha256 = station::ImageFileSha256(p.image);
    p.serial = "0x3FF0:u16le";
    p.serialFile = dir / "serial.txt";
    p.holdAfterFailures = 4;
    p.station = "bench-9";
    const station::ProfileStation ready = station::PrepareProfileStation(p, "v");
    EXPECT_EQ(ready.config.image->bytes.size(), 1000u);
    EXPECT_EQ(ready.config.holdAfterFailures, 4);
    EXPECT_EQ(ready.config.station, "bench-9");
    ASSERT_TRUE(ready.store);

    struct Case {
        const char* what;
        std::function<void(station::Profile&)> change;
        const char* says;
    };
    const Case cases[] = {
        {"changed image", [&](station::Profile&) { test::WriteFileBytes(dir / "fw.bin", std::string(1000, '\x12')); },
         station::kImageChanged},
        {"data without a database", [](station::Profile& q) { q.data = {"mac@0x3F00:hex:6"}; }, "database"},
        {"missing counter", [&](station::Profile& q) { q.serialFile = dir / "none.txt"; }, "none.txt"},
        {"serial beyond the flash", [](station::Profile& q) { q.serial = "0x3FFF:u16le"; }, ""},
    };
    for (const Case& c : cases) {
        station::Profile q = p;
        test::WriteFileBytes(dir / "fw.bin", std::string(1000, '\x11'));
        c.change(q);
        try {
            (void)station::PrepareProfileStation(q, "v");
            ADD_FAILURE() << c.what;
        } catch (const ProfileError& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.what << ": " << e.what();
        }
    }
    // The next number would not fit a u16 field: refused before any unit.
    test::WriteFileBytes(dir / "serial.txt", "65535\n");
    EXPECT_THROW(station::PrepareProfileStation(p, "v"), ProfileError);
    EXPECT_EQ(test::ReadFileBytes(dir / "serial.txt"), "65535\n");
}

// The image named through a link that is moved to another file after the profile was made: the
// hash is judged on the bytes that were loaded, so the other file is refused and the approved
// one, back in place, is what the station programs.
TEST(ProfileStation, AnImageLinkMovedToAnotherFileIsRefused) {
    test::ScratchDir dir("profile-link");
    test::WriteFileBytes(dir / "approved.bin", std::string(512, '\x21'));
    test::WriteFileBytes(dir / "other.bin", std::string(512, '\x22'));
    std::error_code error;
    std::filesystem::create_symlink(test::PathOf(dir / "approved.bin"), test::PathOf(dir / "fw.bin"), error);
    if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
    station::Profile p;
    p.chip = "NRF24LE1_16K";
    p.image = dir / "fw.bin";
    p.imageSha256 = station::ImageFileSha256(p.image);
    const auto relink = [&](const char* target) {
        std::filesystem::remove(test::PathOf(dir / "fw.bin"));
        std::filesystem::create_symlink(test::PathOf(dir / target), test::PathOf(dir / "fw.bin"));
    };
    relink("other.bin");
    try {
        (void)station::PrepareProfileConfig(p, "v");
        ADD_FAILURE() << "the other file was taken";
    } catch (const ProfileError& e) {
        EXPECT_STREQ(e.what(), station::kImageChanged);
    }
    relink("approved.bin");
    const station::ProfileStation ready = station::PrepareProfileConfig(p, "v");
    EXPECT_EQ(ready.config.image->bytes, std::vector<std::uint8_t>(512, 0x21));
    EXPECT_EQ(ready.config.image->fileSha256, p.imageSha256);
    // Moved again once loaded: the station keeps the bytes it checked.
    relink("other.bin");
    EXPECT_EQ(ready.config.image->bytes, std::vector<std::uint8_t>(512, 0x21));
}

}  // namespace
}  // namespace quillon
