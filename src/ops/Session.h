// One programming session: a chosen programmer driven operation by operation on the calling
// thread, each operation waited for until its one result. The command-line tool's detect, read,
// write and verify, and every production station, are built on it; what they add is only how
// they show the results.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/UiHost.h"
#include "image/Image.h"
#include "log/Log.h"
#include "ops/ProgrammerLink.h"
#include "ops/WriteOptions.h"

namespace quillon {

struct SessionOptions {
    int chipIndex = -1;        // index into the chip table; -1 keeps the engine's default
    WriteOptions write;        // readback is the caller's: the session only writes and reads
    std::string device;        // one programmer by device path or serial number; "" the first
    LogSink log;               // this programmer's log lines; empty: the process-wide log
};

// What a session tells its shell while an operation runs (on the session's thread).
class SessionListener {
public:
    virtual ~SessionListener() = default;
    // phase is "write" or "read"; position of max bytes.
    virtual void progress(const char* /*phase*/, std::uint32_t /*position*/, std::uint32_t /*max*/) {}
};

// Where the chip and the image part ways.
struct Comparison {
    bool equal = true;
    std::size_t first = 0;      // first differing address
    std::size_t differing = 0;  // bytes that differ
    std::uint8_t chipByte = 0, imageByte = 0;  // at first
    // "read-back differs at 0x0010: chip 0x00, image 0xFF (3 bytes differ)", or "" when equal.
    std::string message() const;
};
// Compares the chip's bytes with the image (the chip may hold more; bytes past its end count as
// differing).
Comparison CompareWithImage(std::span<const std::uint8_t> chip, const Image& image);

// The programmers present (by path), and one HID device that another program holds, which may
// be a programmer that could not be identified.
struct ProgrammerScan {
    std::vector<std::string> paths;
    std::string busyPath;
};
ProgrammerScan ScanProgrammers(hid::Platform& platform, const std::string& device = {});
// Why no programmer could be used, the same words for every way a run looks for one.
std::string NoProgrammerMessage(const ProgrammerScan& scan, const std::string& device);

class ProgrammerSession : private LinkListener {
public:
    ProgrammerSession(hid::Platform& platform, SessionOptions options, SessionListener* listener = nullptr);
    ~ProgrammerSession() override;
    ProgrammerSession(const ProgrammerSession&) = delete;
    ProgrammerSession& operator=(const ProgrammerSession&) = delete;

    // Finds and opens the programmer and waits for its answer to the connect block the search
    // sends. Detect result: Ok with a chip present; NoProgrammer with the reason when none can be
    // opened for writing; otherwise what the answer (or the silence) said.
    OpsResult connect();
    // Sends the connect block again and waits for the answer (a station's chip poll).
    OpsResult detect();
    // Writes the image with the session's options.
    OpsResult write(ImagePtr image);
    // Reads the whole flash into flash.
    OpsResult read(std::vector<std::uint8_t>& flash);
    // Any thread: ends the operation in progress as interrupted (and every later one), stops an
    // image stream before its next packet, and closes the link when asked.
    void cancel(const std::string& why, bool closeLink);
    // Any thread: makes a wait() in progress look at its stop condition now.
    void wake();
    // Waits ms on the session's loop, or less once stop() is true (checked when woken).
    void wait(int ms, const std::function<bool()>& stop);

    // The programmer and its last answer (path empty when none is open).
    ProgrammerInfo programmer() const;
    bool linkOpen() const;
    // The link closed or failed since connect().
    bool linkLost() const { return linkLost_; }
    bool interrupted() const { return interrupted_.load(); }

private:
    void stateChanged(const LinkState& s) override;
    void linkChanged(LinkEvent e) override;
    void finished(const OpsResult& r) override { result_ = r; }

    OpsResult Run(OpKind kind, const std::function<void()>& start);

    const SessionOptions options_;
    SessionListener* listener_;
    LoopUiHost host_;
    ProgrammerLink link_;
    std::optional<OpsResult> result_;
    const char* phase_ = "";
    std::uint32_t lastProgress_ = 0;
    bool linkLost_ = false;
    std::atomic<bool> interrupted_{false};
    std::string interruptWhy_ = "interrupted";
    mutable std::mutex infoMutex_;
    ProgrammerInfo info_;  // a copy for other threads
};

}  // namespace quillon
