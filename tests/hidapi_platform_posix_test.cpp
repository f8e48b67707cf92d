// The Linux HID platform (hidapi on hidraw) without hardware: the errors a missing node gives and
// the change monitor's start and stop. Built on POSIX systems only; the Windows platform has its
// own tests in hid_win32_test.cpp.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "hid/HidapiPlatform.h"

namespace quillon::hid {
namespace {

using namespace std::chrono_literals;

TEST(HidapiPlatform, AMissingNodeIsReportedAsGoneForEveryAccessMode) {
    HidapiPlatform platform;
    const std::string path = "/dev/quillon-no-such-hidraw";
    EXPECT_EQ(platform.query(path, true).error, ENOENT);
    for (Access access : {Access::ReadWrite, Access::Read, Access::Write, Access::None}) {
        const OpenResult r = platform.open(path, access, true);
        EXPECT_EQ(r.device, nullptr);
        EXPECT_EQ(r.error, ENOENT);
    }
    EXPECT_EQ(platform.errorText(ENOENT), std::strerror(ENOENT));
    // A missing permission points the user at the fix.
    EXPECT_NE(platform.errorText(EACCES).find("udev rule"), std::string::npos);
}

TEST(HidapiPlatform, TheChangeMonitorStartsAndStopsPromptly) {
    HidapiPlatform platform;
    for (int i = 0; i < 3; ++i) {
        platform.setChangeListener([] {});
        const auto t0 = std::chrono::steady_clock::now();
        platform.setChangeListener(nullptr);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    }
    platform.setChangeListener([] {});  // left subscribed: the destructor stops it
}

}  // namespace
}  // namespace quillon::hid
