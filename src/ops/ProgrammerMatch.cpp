// The programmer matcher and the scans built on it.
#include "ops/ProgrammerMatch.h"

namespace quillon {

bool MatchesProgrammer(const hid::TnrHidDevice& device, std::string_view want) {
    if (device.vendorId != hid::kProgrammerVendorId || device.productId != hid::kProgrammerProductId) return false;
    return want.empty() || device.devicePath == want || device.serialNumberString == want;
}

std::vector<ProgrammerEntry> ProgrammersIn(const hid::TnrHid& link, std::string_view want) {
    std::vector<ProgrammerEntry> list;
    for (int i = 0; i < link.GetDeviceCount(); ++i) {
        const hid::TnrHidDevice* d = link.GetHidDevice(i);
        if (d != nullptr && MatchesProgrammer(*d, want)) list.push_back({d->devicePath, d->productString, d->serialNumberString});
    }
    return list;
}

std::vector<ProgrammerEntry> FindProgrammers(hid::Platform& platform, std::string_view want) {
    hid::TnrHid link(platform);
    link.Update();
    return ProgrammersIn(link, want);
}

}  // namespace quillon
