// Device side of the simulated programmer: what its firmware does with each 64-byte output
// payload (connect block, command record, image packets) and which 64-byte input payloads it
// answers with. Pure logic over a NOR flash model; no threads, no clock of its own. The owner
// (SimPlatform) serialises calls, frames the payloads into reports and paces them.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quillon::sim {

using Payload = std::array<std::uint8_t, 64>;

inline constexpr std::uint8_t kOpIdentify = 1;
inline constexpr std::uint8_t kOpRead = 5;
inline constexpr std::uint8_t kOpWrite = 6;
inline constexpr std::uint8_t kOpChecksum = 7;
inline constexpr std::uint8_t kFailureBit = 0x80;
inline constexpr std::uint8_t kChecksumSeed = 0x1A;

// Faults that a simulated programmer can be told to show. All off by default; every field can be
// changed while a host talks to the device.
struct SimFaults {
    bool noChip = false;            // nothing on the pins: identify says no chip, read/write fail
    std::uint8_t failOpcode = 0;    // commands with this opcode get a failure reply (0: none)
    bool badEcho = false;           // the handshake echo is off by one
    int readStopAfter = -1;         // a read stream stops after this many data reports (-1: never)
    bool badChecksum = false;       // the checksum reply is wrong
    int unplugAfterIn = -1;         // unplug after this many data reports of a read reached the host
    int unplugAfterOut = -1;        // unplug after this many image packets of a write were taken
    bool silent = false;            // takes every report, answers none (a hung firmware)
    // The USB link refuses every output report (EIO) once this many image packets were taken,
    // while the device stays plugged in (-1: never).
    int refuseOutAfter = -1;
};

// One input payload the programmer produced; data reports belong to a read stream.
struct Emitted {
    Payload bytes{};
    bool data = false;
};

std::uint8_t checksum(std::span<const std::uint8_t> bytes, std::uint8_t seed = kChecksumSeed);

class SimProgrammer {
public:
    using Clock = std::chrono::steady_clock;

    // A write stream that sees no packet for this long is abandoned, so that a host which gave up
    // half-way can talk to the programmer again instead of feeding its commands into the image.
    static constexpr std::chrono::milliseconds kStreamTimeout{1000};

    explicit SimProgrammer(std::size_t flashSize, std::uint8_t firmware = 1, std::uint8_t version = 2);

    // Takes one output payload (the report without its report ID; shorter input counts as zero
    // padded) and appends the input payloads it answers with.
    void receive(std::span<const std::uint8_t> payload, Clock::time_point now, std::vector<Emitted>& out);

    // Forgets a stream in progress, as a power cycle does; the flash keeps its contents.
    void abandonStream();

    bool receivingImage() const { return packetsLeft_ > 0; }

    std::size_t flashSize() const { return flash_.size(); }
    const std::vector<std::uint8_t>& flash() const { return flash_; }
    void setFlash(std::span<const std::uint8_t> bytes);  // copies min(size, flash size) bytes
    bool isProtected() const { return protected_; }
    void setProtected(bool on) { protected_ = on; }
    int resetCount() const { return resetCount_; }
    void setResetCount(int n) { resetCount_ = n; }

    // Every connect block and command record received, in order (image packets are not logged).
    const std::vector<Payload>& commandLog() const { return commandLog_; }
    std::size_t imagePacketsReceived() const { return imagePackets_; }

    // True once after the flash or the protection changed (for the owner's persistence).
    bool takeChanged();

    SimFaults faults;

private:
    void command(const Payload& p, std::vector<Emitted>& out);
    void imagePacket(const Payload& p, std::vector<Emitted>& out);
    void finishWrite(std::vector<Emitted>& out);
    static Emitted reply(std::uint8_t b0, std::uint8_t b1 = 0);

    std::vector<std::uint8_t> flash_;
    bool protected_ = false;
    int resetCount_ = 0;
    std::uint8_t firmware_, version_;
    std::vector<Payload> commandLog_;
    std::size_t imagePackets_ = 0;
    bool changed_ = false;

    // The write stream in progress.
    std::size_t packetsLeft_ = 0;
    std::size_t streamLength_ = 0;   // image bytes announced by the command
    std::size_t streamOffset_ = 0;   // image bytes received so far
    std::uint8_t streamSum_ = kChecksumSeed;
    bool streamProtect_ = false, streamReset_ = false;
    Clock::time_point lastPacket_{};
};

// The chip file that lets separate processes share one simulated chip: flash contents and the
// protection flag. load() returns false when the file does not exist and throws
// std::runtime_error when it cannot be read, is damaged or holds a chip of another size; save()
// replaces the file atomically (temporary file, then rename) and throws on failure.
bool loadChipFile(const std::string& file, SimProgrammer& chip);
void saveChipFile(const std::string& file, const SimProgrammer& chip);

}  // namespace quillon::sim
