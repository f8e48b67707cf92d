// The link to one programmer with its gate: the search for the programmer and its link status,
// the engine's hooks, Detect, Read and Write of a given image, Cancel, the 2000 ms watchdog and
// the Write's quiet period, and every operation's result in its final words. One gate per
// programmer: from an operation's start to its result, and while a cancelled one still drains,
// nothing else talks to the programmer. It knows no window and no file: the window's controller
// (Operations) and the sessions of the command line and the station drive it alike, and hear
// its news through LinkListener, always on the UI thread and in the order it was raised.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/UiHost.h"
#include "hid/Nrhid.h"
#include "image/Image.h"
#include "log/Log.h"
#include "ops/ProgrammerMatch.h"
#include "ops/WriteOptions.h"
#include "protocol/Chips.h"
#include "protocol/Cpro.h"

namespace quillon {

using hid::kProgrammerProductId;
using hid::kProgrammerVendorId;
inline constexpr int kWatchdogMs = 2000;
// How long a Write may hear nothing from the programmer (after its command, and after the image
// stream) before it ends. The watchdog does not watch a Write, so without this a silent
// programmer would leave the Write pending for ever.
inline constexpr int kWriteQuietMs = 3000;

enum class OpsRefusal : std::uint32_t { FileNotExists, NoImage, TooBig, Busy, LoadFailed, NotAnImage };
enum class LinkEvent { Opened, Closed, Error };

// The programmer the link has open, and what it said to the last connect block.
struct ProgrammerInfo {
    std::string path;
    std::string product;
    std::string serial;
    bool answered = false;      // an answer to the connect block arrived since the open
    int firmware = -1;          // reply byte 2
    int version = -1;           // reply byte 3
    bool chipPresent = false;   // reply byte 1 is not 0
    bool echoOk = false;        // the handshake echo is the expected one
};

// Every detect(), read() and write() ends in exactly one of these.
enum class OpKind { Detect, Read, Write };
enum class OpStatus { Ok, Refused, NoProgrammer, Timeout, DeviceFailure, VerifyFailure, Interrupted };

struct OpsResult {
    OpKind op;
    OpStatus status;
    std::string message;      // one English sentence for the user, e.g. "no answer from the programmer"
    std::uint32_t bytes = 0;  // bytes read / written when relevant
    bool verified = false;    // Write: the programmer's transfer checksum matched
    // Write: exactly the bytes that went to the programmer (once sent); Read: the chip's flash.
    ImagePtr image{};
};

// What to do when the system refuses the programmer for lack of permission: one sentence
// (starting with a blank) that names the udev rule and the group.
extern const char* const kAccessHint;

const char* OpKindName(OpKind kind);        // "detect", "read", "write"
const char* OpStatusName(OpStatus status);  // "ok", "refused", "no programmer", ...

// The link's state as its shells show it. Derived, never set on their own: busy while an
// operation holds the programmer (from its start to its result, and while a cancelled one still
// drains); usable while the link is open (before the first link event: usable) and no operation
// is running.
struct LinkState {
    bool busy = false;
    bool usable = true;
    bool programmerOpen = false;  // the search opened a programmer
    std::uint32_t progressMax = 0;
    std::uint32_t progressPosition = 0;
};

// Implemented by whoever drives the link; every call arrives on the UI thread, one method per
// kind of news.
class LinkListener {
public:
    virtual ~LinkListener() = default;
    // The busy, usable, open or progress state was set again (not always to another value).
    virtual void stateChanged(const LinkState&) {}
    virtual void linkChanged(LinkEvent) {}
    // The platform reported a device change (hot plug on): called just before the search it
    // causes, so that a shell can refresh what it lists first.
    virtual void devicesChanged() {}
    // The programmer answered the connect block.
    virtual void identified(const ProgrammerInfo&) {}
    // A read's bytes arrived, before its log line's news (not called for a cancelled read).
    virtual void chipRead(const Image& /*flash*/) {}
    // A read completed.
    virtual void readDone(std::uint32_t /*bytes*/) {}
    // The whole image went out.
    virtual void streamDone(std::uint32_t /*bytes*/) {}
    // The programmer's checksum reply.
    virtual void verifyOutcome(bool /*agree*/) {}
    // A reply with the failure bit; reply is its first byte.
    virtual void failureReply(std::uint8_t /*reply*/) {}
    // The watchdog ran out after offset of length bytes.
    virtual void timedOut(std::uint32_t /*offset*/, std::uint32_t /*length*/) {}
    virtual void refused(OpsRefusal) {}
    // Exactly once per detect(), read() and write(), after the log lines and progress of that
    // operation.
    virtual void finished(const OpsResult&) {}
    // An exception from work the link ran on its own (the search after a device change).
    virtual void error(const std::string& /*message*/) {}
};

class ProgrammerLink {
public:
    // With hotPlug false the link never subscribes to the platform's device changes (for several
    // links sharing one platform, which has a single listener).
    ProgrammerLink(UiHost& host, hid::Platform& platform, LinkListener* listener = nullptr, bool hotPlug = true);
    ~ProgrammerLink();
    ProgrammerLink(const ProgrammerLink&) = delete;
    ProgrammerLink& operator=(const ProgrammerLink&) = delete;

    // The selected chip's flash size (the engine's default chip until one is chosen).
    std::uint32_t flashSize() const { return pro_.Chip().flashSize; }
    hid::Platform& platform() { return platform_; }
    // The state as of now (busy and usable computed afresh).
    LinkState state() const;

    // The chip table entry whose parameters the engine uses; an index outside the table leaves
    // the engine's chip as it is.
    void useChip(int index);
    // What the next Detect, Read or Write asks of the chip (readback is not the link's).
    void setOptions(const WriteOptions& options) { options_ = options; }
    // Narrows the search to one programmer by device path or serial number ("" any).
    void chooseProgrammer(std::string pathOrSerial) { chosen_ = std::move(pathOrSerial); }
    // A search after every device change the platform reports. A change that arrives while an
    // operation runs is searched for once it has its result.
    void setHotPlug(bool on);
    // Where the link's log lines go (any thread, in order, each line time-stamped like Log's).
    // Without one they go to the process-wide log.
    void setLogSink(LogSink sink);
    // One line into that log (any thread).
    void log(std::string_view text);
    // Runs fn on the UI thread after everything queued so far; dropped if the link is gone by then.
    void post(std::function<void()> fn);
    // The programmers present, in the search's order (UI thread); none while busy.
    std::vector<ProgrammerEntry> listProgrammers();
    // The open programmer and its last answer; path empty when none is open.
    const ProgrammerInfo& programmer() const { return programmer_; }
    bool linkOpen() const { return link_.GetActive(); }
    // Opened without write access: nothing can be sent to it.
    bool linkWritable() const { return link_.CanWrite(); }
    // Closes the programmer's link (the pending operation, if any, ends as a device failure).
    void closeProgrammer();
    // True from an operation's start to its result, while an image still streams, and while a
    // cancelled operation's reports still arrive.
    bool busy() const;
    // True while a Write streams the image to the programmer.
    bool streaming() const { return pro_.Streaming(); }
    bool watchdogRunning() const { return watchdog_ != 0; }

    // The verbs (UI thread).
    // Detect. With sendConnectBlock false it waits (under the watchdog) for the answer to the
    // connect block that the search has just sent, instead of sending another.
    void detect(bool sendConnectBlock = true);
    void read();
    // Writes this image (beginWrite, then sendImage).
    void write(ImagePtr image);
    // A Write in two steps, for a caller with work of its own between them under the gate (the
    // window's reload): false, after the refusal, when the gate is held; otherwise the Write is
    // pending and must end with sendImage or refuseWrite.
    bool beginWrite();
    void sendImage(ImagePtr image);
    // Ends the Write begun without sending anything. With writeCommand the engine's command is
    // made a write first, as sendImage does before its own checks.
    void refuseWrite(OpsRefusal why, std::string message, bool writeCommand = false);
    // Ends the pending operation with Interrupted and stops an image stream before its next
    // packet; with closeLink the programmer's link is closed too.
    void cancel(const std::string& why, bool closeLink = false);
    // The programmer search; HidError from an open that failed passes through.
    void searchProgrammer();

private:
    class EngineListener;
    friend class EngineListener;

    // The operation whose result is still owed (UI thread only).
    struct Pending {
        OpKind op;
        hid::DeviceLink::SessionId session;  // the link's open when it started (0: none)
        bool verify;            // Write: the verify option when it started
        bool streamed = false;  // Write: the whole image went out
        std::uint32_t bytes = 0;
        ImagePtr image{};       // Write: what is being sent; Read: what arrived
    };

    // The 2000 ms watchdog of Detect and Read (UI thread).
    void StartWatchdog();
    void WatchdogExpired();
    // The usable state follows the link's state from its first open, close or failure on.
    void ShowLinkState();
    // The engine's and the link's hooks (any thread).
    std::int32_t SendToLink(const std::uint8_t* data, std::int32_t length);
    // One input report without its report ID byte, from the given session (reader thread).
    void LinkReceived(hid::DeviceLink::SessionId session, const std::uint8_t* payload, std::uint32_t count);
    void LinkOpened();
    void LinkClosed();
    void LinkFailed(bool& raiseException);
    // True (after logging and raising the refusal) when op may not start because the gate is held.
    bool RefuseWhileBusy(OpKind op);
    void Begin(OpKind op);
    // Ends op with this result when it is the pending one (UI thread); otherwise nothing. With a
    // session given, only when the pending operation started on that session.
    void Finish(OpKind op, OpStatus status, std::string message, std::uint32_t bytes = 0, bool verified = false,
                hid::DeviceLink::SessionId session = 0);
    void Raise(OpsResult result);  // posted to the listener
    // Runs fn on the UI thread after the lines of the report being handled (any thread).
    void Settle(std::function<void()> fn);
    // The cancelled operation whose reports may still arrive (UI thread).
    bool Draining(OpKind op) const;
    // Its traffic has ended (the last report, a reply, the watchdog, the link reset): the gate opens.
    void EndDrain();
    void StartQuiet();
    void StopQuiet();
    void QuietExpired();
    void SearchAfterDeviceChange();
    void SearchNow();              // the search, its errors reported to the listener
    void ResumeDeferredSearch();   // runs a search held off by the gate once the gate is free
    void Notify(std::function<void(LinkListener&)> fn);  // any thread: posted to the listener, in order
    void OnUi(std::function<void()> fn);   // run now on the UI thread, else post
    void SetProgress(std::uint32_t max, std::uint32_t position);
    void PostProgress(std::uint32_t position);  // reader thread: coalesced progress update
    void StopWatchdog();
    void RestartWatchdog();
    void StateChanged();
    // Puts the image into the engine's write buffer just before it goes out (gate held).
    void StageImage(const Image& image);
    // What a send that returned false means for op (UI thread).
    void SendFailed(OpKind op, const char* what);

    // Engine news (reader thread, or the caller's thread for Connect).
    void EngineLog(const std::string& text);
    void EngineIdentified(const std::array<std::uint8_t, 64>& reply);
    void EngineReadProgress(std::uint32_t count);
    void EngineWriteProgress(std::int32_t count);
    void EngineStreamStopped(std::uint32_t sent, bool aborted);
    void EngineVerified(bool agree);
    void EngineFailureReply(std::uint8_t reply);

    UiHost& host_;
    hid::Platform& platform_;
    LinkListener* listener_;
    // Posted tasks check it. Set false by the destructor; the pointer itself never changes, so
    // the reader thread may copy it while the UI thread clears the flag.
    const std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
    std::unique_ptr<EngineListener> engineListener_;
    CPro pro_;
    WriteOptions options_;
    LinkState state_;
    std::optional<bool> linkOpenShown_;  // the link state usable follows; none before the first event
    std::string chosen_;  // the programmer the search takes by path or serial; "" the first
    ProgrammerInfo programmer_;

    mutable std::mutex logMutex_;
    LogSink logSink_;                           // guarded by logMutex_

    UiHost::TimerId watchdog_ = 0;              // UI thread only; 0 when disabled
    std::atomic<bool> watchdogEnabled_{false};  // mirror the reader thread may look at
    std::atomic<bool> restartQueued_{false};    // a timer restart task is in the queue
    std::optional<Pending> pending_;
    // An OpKind cancelled while the programmer still answers it; -1 when none. Set and cleared on
    // the UI thread; the reader thread reads it to keep that operation's news out of the shells.
    std::atomic<int> draining_{-1};
    UiHost::TimerId quiet_ = 0;                 // UI thread only; the Write's quiet period
    std::atomic<bool> quietEnabled_{false};
    bool hotPlug_ = false;                      // subscribed to the platform's device changes
    std::atomic<bool> searchOnChange_{false};
    bool searchDeferred_ = false;               // a device change came while the gate was held
    // Results that a report decided, held until the engine has logged that report's lines.
    std::atomic<std::thread::id> receivingThread_{};
    hid::DeviceLink::SessionId receivingSession_ = 0;  // reader thread: the session of that report
    std::vector<std::function<void()>> settleAfterReport_;
    std::atomic<bool> progressQueued_{false};   // a progress task is in the queue
    std::atomic<std::uint32_t> progressPending_{0};
    // Last, so that it is destroyed first: its destructor joins the reader thread, which may be
    // inside LinkReceived using everything above.
    hid::TnrHid link_;
};

}  // namespace quillon
