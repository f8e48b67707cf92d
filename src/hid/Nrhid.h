// The HID link: builds the list of HID devices from a platform, identifies each one, and opens
// the selected device with the best access it can get. The base class (Nrclasses.h) carries the
// session, the reader thread and the events.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hid/HidPlatform.h"
#include "hid/Nrclasses.h"

namespace quillon::hid {

// The three kinds of HID report a device declares, each with its own length.
enum class ReportKind { Output, Input, Feature };

// One entry of the link's list: a HID interface that could be identified.
struct TnrHidDevice : TnrDevice {
    std::string productString;
    std::string serialNumberString;
    std::uint16_t vendorId = 0, productId = 0, versionNumber = 0;
    std::uint16_t usage = 0, usagePage = 0;
    std::uint16_t inputReportLength = 0, outputReportLength = 0, featureReportLength = 0;

    std::string ListName() const override { return productString; }
    std::uint16_t GetVendorId() const { return vendorId; }
    std::uint16_t GetProductId() const { return productId; }
    std::uint16_t GetVersion() const { return versionNumber; }
    std::uint16_t GetUsage() const { return usage; }
    std::uint16_t GetUsagePage() const { return usagePage; }
    // The declared length of that kind of report, with its report ID byte (0: none declared).
    std::uint16_t GetReportLength(ReportKind kind) const;
};

class TnrHid : public DeviceLink {
public:
    // The platform must outlive the link.
    explicit TnrHid(Platform& platform);
    ~TnrHid() override;

    // Loads the list anew, unless a load is already running on this link.
    void Update() override;

    TnrHidDevice* GetHidDevice(int index) const;
    // The entry selected by the last SetDeviceIndex, or null.
    TnrHidDevice* GetCurrentDevice() const;

    // Accessors of the current device (0 or empty when none is selected).
    std::uint16_t GetVendorId() const;
    std::uint16_t GetProductId() const;
    std::string GetProductString() const;
    std::string GetSerialNumberString() const;
    std::string GetDevicePath() const;
    std::uint16_t GetReportLength(ReportKind kind) const;

    // Fills the HID fields of an entry from the platform; false: the entry is unusable.
    bool LoadDeviceCapabilities(TnrHidDevice& entry, bool fullMode);

    Platform& GetPlatform() const { return platform_; }

protected:
    std::shared_ptr<LinkSession> RequestDeviceHandle() override;
    void DeviceListLoad() override;

private:
    Platform& platform_;
};

}  // namespace quillon::hid
