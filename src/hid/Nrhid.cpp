// The HID link: list loading with its identification rules, and the four open attempts.
#include "hid/Nrhid.h"

#include <array>

namespace quillon::hid {
namespace {

// Device strings of one or two bytes are padding or garbage on real devices, never a name.
std::string UsableString(const std::string& text) { return text.size() < 3 ? std::string() : text; }

struct Attempt {
    Access access;
    bool canRead;
    bool canWrite;
};
constexpr std::array<Attempt, 4> kAttempts{{
    {Access::ReadWrite, true, true},
    {Access::Read, true, false},
    {Access::Write, false, true},
    {Access::None, false, false},
}};

}  // namespace

std::uint16_t TnrHidDevice::GetReportLength(ReportKind kind) const {
    switch (kind) {
        case ReportKind::Output: return outputReportLength;
        case ReportKind::Input: return inputReportLength;
        case ReportKind::Feature: break;
    }
    return featureReportLength;
}

TnrHid::TnrHid(Platform& platform) : platform_(platform) {}

TnrHid::~TnrHid() { Shutdown(); }

void TnrHid::Update() { DeviceListLoad(); }

TnrHidDevice* TnrHid::GetHidDevice(int index) const { return static_cast<TnrHidDevice*>(GetDevice(index)); }

TnrHidDevice* TnrHid::GetCurrentDevice() const { return static_cast<TnrHidDevice*>(CurrentDevice()); }

std::uint16_t TnrHid::GetVendorId() const {
    auto* d = GetCurrentDevice();
    return d ? d->vendorId : 0;
}

std::uint16_t TnrHid::GetProductId() const {
    auto* d = GetCurrentDevice();
    return d ? d->productId : 0;
}

std::string TnrHid::GetProductString() const {
    auto* d = GetCurrentDevice();
    return d ? d->productString : std::string();
}

std::string TnrHid::GetSerialNumberString() const {
    auto* d = GetCurrentDevice();
    return d ? d->serialNumberString : std::string();
}

std::string TnrHid::GetDevicePath() const {
    auto* d = GetCurrentDevice();
    return d ? d->devicePath : std::string();
}

std::uint16_t TnrHid::GetReportLength(ReportKind kind) const {
    auto* d = GetCurrentDevice();
    return d ? d->GetReportLength(kind) : 0;
}

void TnrHid::DeviceListLoad() {
    if (listLoading_) return;
    listLoading_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{listLoading_};

    DeviceListClear();
    const int remembered = GetDeviceIndex();
    for (const RawDevice& raw : platform_.enumerate()) {
        auto entry = std::make_unique<TnrHidDevice>();
        entry->devicePath = raw.path;
        entry->description = raw.description;
        entry->manufacturer = raw.manufacturer;
        if (LoadDeviceCapabilities(*entry, GetEnumFullMode())) AddDevice(std::move(entry));
    }
    // The same index may name another device now; the owner's search selects every index anyway.
    if (remembered >= 0 && remembered < GetDeviceCount()) {
        SetDeviceIndex(remembered);
    }
}

bool TnrHid::LoadDeviceCapabilities(TnrHidDevice& entry, bool fullMode) {
    const DeviceQuery q = platform_.query(entry.devicePath, fullMode);
    if (q.error != 0 && q.error != kSharingViolation) return false;

    if (q.error == 0 && fullMode) {
        if (auto s = UsableString(q.productString); !s.empty()) entry.productString = s;
        if (auto s = UsableString(q.manufacturerString); !s.empty()) entry.manufacturer = s;
        std::string serial = UsableString(q.serialNumberString);
        if (serial.empty()) serial = UsableString(q.indexedString3);
        if (!serial.empty()) entry.serialNumberString = serial;
    }
    if (entry.productString.empty()) entry.productString = entry.description;

    // Held exclusively by another program: listed by name only, never taken for the programmer.
    if (q.error == kSharingViolation) return true;

    if (!q.haveAttributes || !q.haveCaps) return false;
    entry.vendorId = q.vendorId;
    entry.productId = q.productId;
    entry.versionNumber = q.versionNumber;
    entry.usage = q.usage;
    entry.usagePage = q.usagePage;
    entry.inputReportLength = q.inputReportLength;
    entry.outputReportLength = q.outputReportLength;
    entry.featureReportLength = q.featureReportLength;
    return true;
}

std::shared_ptr<LinkSession> TnrHid::RequestDeviceHandle() {
    TnrHidDevice* entry = GetCurrentDevice();
    if (entry == nullptr) {
        DoFatalErrors(16, 2, "Active device is not selected");
        return nullptr;
    }
    int lastError = 0;
    for (const Attempt& attempt : kAttempts) {
        OpenResult result = platform_.open(entry->devicePath, attempt.access, GetSharedMode());
        if (!result.device) {
            lastError = result.error;
            continue;
        }
        auto session = std::make_shared<LinkSession>();
        session->device = std::move(result.device);
        session->canRead = attempt.canRead;
        session->canWrite = attempt.canWrite;
        session->inputBuffer.assign(entry->inputReportLength, 0);
        session->outputReportLength = entry->outputReportLength;
        // A device without input reports has nothing to deliver: no reader for it.
        session->readingEnabled = attempt.canRead && entry->inputReportLength > 0;
        return session;
    }
    DoFatalErrors(16, static_cast<std::uint32_t>(lastError), platform_.errorText(lastError));
    return nullptr;
}

}  // namespace quillon::hid
