// Which HID devices are the programmer, in one place for every shell: vendor 04D8 and product
// 003F, and, when the user named one, the device path or serial number they gave. The window's
// search and picker, the command line's sessions and scan, and the station's watch all ask here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "hid/Nrhid.h"

namespace quillon {

// A programmer the search could choose.
struct ProgrammerEntry {
    std::string path;
    std::string product;
    std::string serial;
};

// True for the programmer's vendor and product; with want given, also only for the device whose
// path or serial number is want.
bool MatchesProgrammer(const hid::TnrHidDevice& device, std::string_view want = {});

// The programmers in the link's device list as it stands (no new enumeration), in its order.
std::vector<ProgrammerEntry> ProgrammersIn(const hid::TnrHid& link, std::string_view want = {});

// Enumerates the platform once and returns the programmers present that match want.
std::vector<ProgrammerEntry> FindProgrammers(hid::Platform& platform, std::string_view want = {});

}  // namespace quillon
