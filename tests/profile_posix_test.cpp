// A profile's image replaced by something that is not a file (a FIFO, a device): the station
// refuses it at once, as the command line does, instead of waiting on it for ever.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "station/Profile.h"
#include "store/ProfileStation.h"
#include "support/Process.h"

namespace quillon {
namespace {

TEST(ProfileStationPosix, AnImageThatIsNoRegularFileIsRefusedWithoutBeingRead) {
    test::ScratchDir dir("profile-fifo");
    test::WriteFileBytes(dir / "approved.bin", std::string(256, '\x31'));
    station::Profile p;
    p.chip = "NRF24LE1_16K";
    p.image = dir / "fw.bin";
    p.imageSha256 = station::ImageFileSha256(dir / "approved.bin");
    // Opening a FIFO that no one writes would wait for a writer: the check must come first.
    ASSERT_EQ(::mkfifo(test::PathOf(dir / "fw.bin").c_str(), 0600), 0);
    const struct {
        const char* what;
        std::string path;
    } cases[] = {{"a FIFO", dir / "fw.bin"}, {"a character device", "/dev/zero"}, {"a directory", dir.str()}};
    for (const auto& c : cases) {
        station::Profile q = p;
        q.image = c.path;
        try {
            (void)station::PrepareProfileConfig(q, "v");
            ADD_FAILURE() << c.what << " was taken";
        } catch (const station::ProfileError& e) {
            EXPECT_NE(std::string(e.what()).find(c.what), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace quillon
