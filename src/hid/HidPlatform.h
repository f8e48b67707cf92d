// The HID platform interface: the few things the link needs from the operating system.
// The link (TnrHid) keeps all the rules (list loading, identification, open attempts, the reader
// loop, closing exactly once); a platform only walks, queries, opens, reads and writes.
// Implementations: HidapiPlatform (Linux: hidapi on hidraw), the Windows platform on hid.dll and
// SetupAPI, and the simulated programmer (sim/).
//
// Error rule: every call that can fail reports a platform error code (errno values: EBUSY for a
// device held exclusively by another program, ENOENT for one that is gone, EACCES for missing
// permission); errorText() turns a code into the message the user sees.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace quillon::hid {

// The programmer this tool drives: vendor 1240, product 63.
inline constexpr std::uint16_t kProgrammerVendorId = 0x04D8;
inline constexpr std::uint16_t kProgrammerProductId = 0x003F;

// The error code of a device that another program holds exclusively.
inline constexpr int kSharingViolation = EBUSY;

// One HID interface as the platform's walk found it, before it is identified.
struct RawDevice {
    std::string path;          // what open() and query() take
    std::string description;   // the platform's own name for the device (may be empty)
    std::string manufacturer;  // the platform's manufacturer name (may be empty)
};

// What opening a device for querying only tells about it.
struct DeviceQuery {
    int error = 0;  // 0: the query open worked; kSharingViolation; or another code (unusable)

    // The HID strings (UTF-8), read only when asked; empty when the device has none.
    std::string productString;
    std::string manufacturerString;
    std::string serialNumberString;
    std::string indexedString3;  // string descriptor number 3

    bool haveAttributes = false;
    std::uint16_t vendorId = 0, productId = 0, versionNumber = 0;

    bool haveCaps = false;
    std::uint16_t usage = 0, usagePage = 0;
    // Report lengths count the report ID byte, even for a device that uses no report IDs.
    std::uint16_t inputReportLength = 0, outputReportLength = 0, featureReportLength = 0;
};

enum class Access { ReadWrite, Read, Write, None };

// An open device handle. Shared by the link and its reader thread, so that a close from one
// thread can never free what the other is still reading from.
class Device {
public:
    virtual ~Device() = default;

    // Blocks without a time limit (and without spinning) until one input report arrives, the
    // handle is closed, or cancelRead() is called. Stores the report with its report ID first
    // (0 for devices without report IDs) and returns the number of bytes stored; returns -1 on
    // failure, cancellation or close, with the reason in lastError().
    virtual int read(std::span<std::uint8_t> buffer) = 0;

    // Sends one output report (report ID first). Blocks until the platform took it. Returns false
    // on failure, with the reason in lastError(). Callers issue one write at a time.
    virtual bool write(std::span<const std::uint8_t> report) = 0;

    // Wakes a pending read(), which then returns -1. Later reads block again.
    virtual void cancelRead() = 0;

    // Closes the handle: a pending and every later read() or write() fails. Idempotent.
    virtual void close() = 0;

    virtual int lastError() const = 0;
};

struct OpenResult {
    std::shared_ptr<Device> device;  // null when the open failed
    int error = 0;
};

class Platform {
public:
    virtual ~Platform() = default;

    // The present HID interfaces, in the platform's order.
    virtual std::vector<RawDevice> enumerate() = 0;

    // Opens the path for querying only (shared, no read/write access) and reads its identity;
    // the strings only when readStrings is true.
    virtual DeviceQuery query(const std::string& path, bool readStrings) = 0;

    // Opens the path with the given access; shared lets other programs open it too.
    virtual OpenResult open(const std::string& path, Access access, bool shared) = 0;

    // The message text for an error code.
    virtual std::string errorText(int code) const = 0;

    // Called (on any thread) whenever devices arrive or leave; an empty function unsubscribes.
    virtual void setChangeListener(std::function<void()> listener) = 0;
};

// The real HID devices of the system the program runs on (hidapi on Linux, hid.dll and SetupAPI
// on Windows). Throws std::runtime_error when the system's HID layer cannot be started.
std::unique_ptr<Platform> MakeSystemPlatform();

}  // namespace quillon::hid
