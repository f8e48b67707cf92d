// Real HID devices on Linux through hidapi's hidraw backend, with the report lengths computed
// from the report descriptor in sysfs and device arrival/removal from a libudev monitor.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "hid/HidPlatform.h"

namespace quillon::hid {

class HidapiPlatform : public Platform {
public:
    HidapiPlatform();
    ~HidapiPlatform() override;
    HidapiPlatform(const HidapiPlatform&) = delete;
    HidapiPlatform& operator=(const HidapiPlatform&) = delete;

    std::vector<RawDevice> enumerate() override;
    // Identity comes from the enumeration and sysfs, which needs no access to the node, so a
    // device the user may not open is still listed (and its open then fails with EACCES).
    DeviceQuery query(const std::string& path, bool readStrings) override;
    // ReadWrite uses hidapi; Read and Write open the node with that access alone; None (a
    // query-only handle) does not exist for hidraw and fails with the reason a full open fails.
    // hidraw cannot be opened exclusively, so shared=false opens it shared all the same.
    OpenResult open(const std::string& path, Access access, bool shared) override;
    // The system's text; for EACCES with a hint at the udev rule.
    std::string errorText(int code) const override;
    void setChangeListener(std::function<void()> listener) override;

private:
    struct Info {
        std::uint16_t vendorId = 0, productId = 0, release = 0, usagePage = 0, usage = 0;
        std::string product, manufacturer, serial;
    };
    void StopMonitor();
    void MonitorLoop(int stopFd);

    std::mutex infoMutex_;
    std::map<std::string, Info> infos_;  // from the last enumeration, by path

    std::mutex listenerMutex_;
    std::function<void()> listener_;
    std::thread monitor_;
    int stopPipe_[2] = {-1, -1};
};

}  // namespace quillon::hid
