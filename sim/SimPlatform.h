// The simulated HID platform: simulated programmers (and unrelated HID devices beside them)
// behind the same interface as real hardware, so the link, the operations and the command-line
// tool run unchanged without a programmer. Reports can be paced like a full-speed interrupt
// endpoint (one per millisecond per direction) or run flat out, and faults can be injected per
// device at run time or chosen by scenario name.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "SimProgrammer.h"
#include "hid/HidPlatform.h"

namespace quillon::sim {

struct SimOptions {
    std::string scenario = "default";
    bool paced = false;
    std::string flashFile;  // chip file of the first programmer, shared between processes
    int programmers = 1;
    std::string flashDir;   // one raw flash file per simulated chip (chip-0001.bin, ...)
};

// The chip-swap scenario "swap:N[:fail-write=K[-L]][:unplug=K]": every programmer presents N
// fresh chips one after another. A chip is taken off the pins at the first identify after a write
// command reached it (the operator takes the board away once the station has shown its result);
// the next one appears kSwapGap later. fail-write=K makes the first programmer refuse the write
// of its K-th chip (fail-write=K-L: of its K-th to L-th chips, a fixture gone bad); unplug=K
// unplugs the first programmer after 32 image packets of its K-th chip and plugs it back
// kReplugDelay later.
struct SwapScenario {
    int chips = 0;
    int failWrite = 0;
    int failWriteLast = 0;  // the last chip of a fail-write range (failWrite when there is none)
    int unplug = 0;
};
inline constexpr std::chrono::milliseconds kSwapGap{100};
inline constexpr std::chrono::milliseconds kReplugDelay{300};
// nullopt when name is not a swap scenario or is malformed.
std::optional<SwapScenario> ParseSwapScenario(const std::string& name);

using hid::kProgrammerProductId;
using hid::kProgrammerVendorId;
inline constexpr std::size_t kFlash16K = 16384;
inline constexpr std::size_t kFlash32K = 32768;

class SimDevice;
class ChangeNotifier;

class SimPlatform : public hid::Platform {
public:
    SimPlatform();  // no devices yet
    ~SimPlatform() override;
    SimPlatform(const SimPlatform&) = delete;
    SimPlatform& operator=(const SimPlatform&) = delete;

    // Builds the devices of a scenario. Throws std::invalid_argument for an unknown scenario
    // (the message lists the known names) or a programmer count outside 1..16, and
    // std::runtime_error for a chip file that exists but cannot be used.
    static std::unique_ptr<SimPlatform> fromOptions(const SimOptions& options);
    static const std::vector<std::string>& scenarioNames();
    // One of scenarioNames() or a well-formed swap scenario.
    static bool isScenario(const std::string& name);
    // What a command line says about a scenario name: "" when it is one, else the reason it is
    // refused (the same words in every program that takes --sim).
    static std::string scenarioProblem(const std::string& name);

    // Adds devices; each returns the device's path. Programmers are "sim:programmer:1", ":2", ...
    // with serial numbers "SIM0001", "SIM0002", ...
    std::string addProgrammer(std::size_t flashSize = kFlash16K);
    std::string addKeyboard();     // 046D:C31C, "sim:keyboard"
    std::string addOtherDevice();  // 04D8:000A, "sim:other"
    std::string programmerPath(int index) const;  // index 0 is the first programmer added

    // Pacing of all devices, added before or after.
    void setPaced(bool paced);

    // Run-time changes; every path must name a device that was added (else std::out_of_range).
    void setFaults(const std::string& path, const SimFaults& faults);  // also restarts fault counters
    SimFaults faults(const std::string& path) const;
    void setAllowedAccess(const std::string& path, bool read, bool write);  // others: EACCES
    void setHeldExclusively(const std::string& path, bool held);  // query/open: kSharingViolation
    void unplug(const std::string& path);  // open handles fail with ENODEV; listener fires
    void plug(const std::string& path);    // back in the enumeration (the chip keeps its flash)
    bool isPlugged(const std::string& path) const;
    // Loads the chip from file when it exists, and saves it there after every erase, completed
    // or abandoned write from now on. The file is locked (FILE.lock beside it) for as long as
    // this platform lives; when another process holds it for more than about a second, the
    // programmer shows as held by another program instead. Throws std::runtime_error for a file
    // that is not a regular file, cannot be written or created, or is damaged.
    void setChipFile(const std::string& path, const std::string& file);
    // Why a save of the programmer's chip (to its chip file or flash folder) failed, the first
    // time one did; "" while every save went through. path "": any programmer.
    std::string chipFileError(const std::string& path = {}) const;

    // Chip state of a programmer (std::invalid_argument for a device that is not one).
    std::vector<std::uint8_t> flash(const std::string& path) const;
    void setFlash(const std::string& path, std::span<const std::uint8_t> bytes);
    bool isProtected(const std::string& path) const;
    void setProtected(const std::string& path, bool on);
    int resetCount(const std::string& path) const;
    std::vector<Payload> commandLog(const std::string& path) const;
    std::size_t imagePacketsReceived(const std::string& path) const;
    int openHandleCount(const std::string& path) const;  // handles not yet closed

    // hid::Platform
    std::vector<hid::RawDevice> enumerate() override;
    hid::DeviceQuery query(const std::string& path, bool readStrings) override;
    hid::OpenResult open(const std::string& path, hid::Access access, bool shared) override;
    std::string errorText(int code) const override;
    void setChangeListener(std::function<void()> listener) override;

private:
    std::shared_ptr<SimDevice> find(const std::string& path) const;
    std::shared_ptr<SimDevice> add(std::shared_ptr<SimDevice> device);

    std::shared_ptr<ChangeNotifier> notifier_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<SimDevice>> devices_;
    std::vector<std::string> programmerPaths_;
    bool paced_ = false;
};

}  // namespace quillon::sim
