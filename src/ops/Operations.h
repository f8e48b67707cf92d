// The programming operations of one programmer: chip selection, Detect, Read, Write (of the
// workspace's image with its reload, or of a given image), Cancel, the 2000 ms watchdog, the
// engine's events, and the search for the programmer with its link status. One gate per
// programmer: from an operation's start to its result, and while a cancelled one still drains,
// nothing else talks to the programmer. The window's image workspace (ImageWorkspace) sits
// beside it under the same gate. The window and the sessions drive this class; what they show
// reaches them through OpsView, always on the UI thread and in the order it was raised.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/UiHost.h"
#include "hid/Nrhid.h"
#include "image/HexDocument.h"
#include "ops/ImageWorkspace.h"
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
// stream) before it ends. The window's watchdog does not watch a Write, so without this a silent
// programmer would leave the Write pending for ever.
inline constexpr int kWriteQuietMs = 3000;

// The choices the operations act on and the state they report, in their own words; how a shell
// shows them (check boxes, colours) is its own business.
struct OpsControls {
    int chipIndex = -1;                  // index into the chip table; -1: none chosen
    std::string chipText = "Select Device";
    bool reload = true;                  // load the remembered file again before each Write
    WriteOptions options;                // erase, protect, verify, reset (readback is not theirs)
    std::string fileBox;                 // the file name as typed or last loaded
    std::string flashSizeBox;            // edtFlashSize
    // Derived, never set on their own: busy while an operation holds the programmer (from its
    // start to its result, and while a cancelled one still drains); Read and Write usable while
    // the link is open (before the first link event: usable) and no operation is running.
    bool busy = false;
    bool buttonsEnabled = true;
    bool programmerOpen = false;         // the search opened a programmer
    std::uint32_t progressMax = 0;
    std::uint32_t progressPosition = 0;
};

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

// What a load left behind: the file it tried, why it failed ("" when it loaded), and the image
// a Write sends from now on (the one loaded, the one before when the load failed, or none).
struct LoadOutcome {
    std::string file;
    std::string error;
    ImagePtr image;
};
// One line that names the image a Write sends: "Write sends fw.hex: 4096 bytes, SHA-256 1a2b3c4d",
// or, without one, that Write refuses until a HEX or BIN file loads.
std::string DescribeWriteImage(const Image* image);

// What to do when the system refuses the programmer for lack of permission: one sentence
// (starting with a blank) that names the udev rule and the group.
extern const char* const kAccessHint;

const char* OpKindName(OpKind kind);        // "detect", "read", "write"
const char* OpStatusName(OpStatus status);  // "ok", "refused", "no programmer", ...

// Implemented by the shell; every call arrives on the UI thread, one method per kind of news.
class OpsView {
public:
    virtual ~OpsView() = default;
    virtual void controlsChanged(const OpsControls&) {}
    virtual void hexViewChanged() {}
    virtual void linkChanged(LinkEvent) {}
    // The platform reported a device change (hot plug on): called just before the search it
    // causes, so that a shell can refresh what it lists first.
    virtual void devicesChanged() {}
    // The programmer answered the connect block.
    virtual void identified(const ProgrammerInfo&) {}
    // A read completed; the hex view holds its bytes.
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
    // Every load (Load, a dropped file, the reload before Write) ends with this, loaded or not.
    virtual void loadFinished(const LoadOutcome&) {}
    // Exactly once per detect(), read() and write(), after the log lines and progress of that
    // operation.
    virtual void finished(const OpsResult&) {}
    // An exception from work the core ran on its own (the search after a device change).
    virtual void error(const std::string& /*message*/) {}
};

// Raised (as the window's error box would show) by Load, Set Flash Size and Save BIN.
class OpsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Operations {
public:
    // With hotPlug false the operations never subscribe to the platform's device changes (for
    // several operations objects sharing one platform, which has a single listener).
    Operations(UiHost& host, hid::Platform& platform, OpsView* view = nullptr, bool hotPlug = true);
    ~Operations();
    Operations(const Operations&) = delete;
    Operations& operator=(const Operations&) = delete;

    // The selected chip's flash size (the engine's default chip until one is chosen).
    std::uint32_t flashSize() const { return pro_.Chip().flashSize; }
    // The document the window's hex view shows (UI thread).
    HexDocument& hexView() { return workspace_.view(); }
    const HexDocument& hexView() const { return workspace_.view(); }
    const OpsControls& controls() const { return controls_; }
    hid::Platform& platform() { return platform_; }
    std::string rememberedFile() const { return workspace_.rememberedFile(); }

    // The settings restored at start, as a whole: the chip index (its chip parameters apply
    // quietly), the file box and remembered file, reload and the write options. Progress, the
    // gate's state and programmerOpen are left alone.
    void applySettings(const OpsControls& settings);
    // One control changed by the user (UI thread). None of them touches the others or progress;
    // controlsChanged is raised only when the value really changed.
    void setChipIndex(int index);  // applies the chip, like selectChip
    void setReload(bool on);
    void setErase(bool on);
    void setEncrypt(bool on);
    void setVerify(bool on);
    void setResetRun(bool on);
    void setFileBox(std::string text);  // the edit box only: the remembered file stays
    void setFlashSizeBox(std::string text);
    // Picks a chip table entry like the user does (its parameters apply); -1 clears the selection.
    void selectChip(int index);
    // Narrows the search to one programmer by device path or serial number ("" any).
    void chooseProgrammer(std::string pathOrSerial);
    // The command-line arguments the program was started with (argv[0] excluded); Load then
    // takes the second one as a HEX file without a dialog.
    void setCommandLineArguments(std::vector<std::string> args) { args_ = std::move(args); }
    // A search after every device change the platform reports (on by default). A change that
    // arrives while an operation runs is searched for once it has its result.
    void setHotPlug(bool on);
    // Where this object's log lines go (any thread, in order, each line time-stamped like Log's).
    // Without one they go to the process-wide log.
    void setLogSink(LogSink sink);
    // The programmers present, in the search's order (UI thread).
    std::vector<ProgrammerEntry> listProgrammers();
    // The open programmer and its last answer; path empty when none is open.
    const ProgrammerInfo& programmer() const { return programmer_; }
    bool linkOpen() const { return link_.GetActive(); }
    // Opened without write access: nothing can be sent to it.
    bool linkWritable() const { return link_.CanWrite(); }
    // Closes the programmer's link (the pending operation, if any, ends as a device failure).
    void closeProgrammer();
    // The image a Write sends (exactly its bytes); null when the last file shown is neither HEX
    // nor BIN, or nothing was loaded yet. A load that fails leaves it as it was.
    ImagePtr image() const { return workspace_.image(); }
    // True from an operation's start to its result, while an image still streams, and while a
    // cancelled operation's reports still arrive.
    bool busy() const;
    // True when every byte the hex view shows is the image's byte at that address (the view may
    // be cut short by Set Flash Size).
    bool viewMatchesWriteImage() const;

    // The verbs (UI thread).
    // Detect. With sendConnectBlock false it waits (under the watchdog) for the answer to the
    // connect block that the search has just sent, instead of sending another.
    void detect(bool sendConnectBlock = true);
    void read();
    // Write with reload, as the window's button and F9 do: the remembered file (reload on) or
    // the image loaded last.
    void write();
    // Writes this image, whatever is loaded or shown (the sessions' write).
    void write(ImagePtr image);
    // Ends the pending operation with Interrupted and stops an image stream before its next
    // packet; with closeLink the programmer's link is closed too.
    void cancel(const std::string& why, bool closeLink = false);
    // The programmer search; HidError from an open that failed passes through.
    void searchProgrammer();
    // Loads one file into a new image value and the hex view; false when nothing was loaded
    // (the image and the view are then as they were).
    bool loadImage(const std::string& name);
    // The Load button; chosen is the dialog's answer (nullopt: cancelled). Throws OpsError.
    void loadFile(const std::optional<std::string>& chosen);
    // Load with a file already chosen (the dialog's answer, a dropped file), whatever the
    // command-line arguments. Throws OpsError.
    void loadChosenFile(const std::string& name);
    // Set Flash Size from the flash size box. Throws OpsError.
    void setFlashSize();
    // Save BIN; chosen is the dialog's answer (nullopt: cancelled). Throws OpsError.
    void saveBin(const std::optional<std::string>& chosen);

    // True while a Write streams the image to the programmer.
    bool streaming() const { return pro_.Streaming(); }
    bool watchdogRunning() const { return watchdog_ != 0; }

private:
    class EngineListener;
    friend class EngineListener;

    // The operation whose result is still owed (UI thread only).
    struct Pending {
        OpKind op;
        hid::TnrBaseIO::SessionId session;  // the link's open when it started (0: none)
        bool verify;            // Write: the verify box when it started
        bool streamed = false;  // Write: the whole image went out
        std::uint32_t bytes = 0;
        ImagePtr image{};       // Write: what is being sent; Read: what arrived
    };

    // The selected chip's parameters into the engine.
    void ApplyChip();
    // The 2000 ms watchdog of Detect and Read (UI thread).
    void StartWatchdog();
    void WatchdogExpired();
    // The buttons follow the link's state from its first open, close or failure on.
    void ShowLinkState();
    // The engine's and the link's hooks (any thread).
    std::int32_t SendToLink(const std::uint8_t* data, std::int32_t length);
    // One input report without its report ID byte, from the given session (reader thread).
    void LinkReceived(hid::TnrBaseIO::SessionId session, const std::uint8_t* payload, std::uint32_t count);
    void LinkOpened();
    void LinkClosed();
    void LinkFailed(bool& raiseException);
    CommandFlags Flags() const;
    // The part of a Write after its start (gate held): the checks, then the command.
    void SendImage(ImagePtr image);
    void RefuseWrite(OpsRefusal why, std::string message);
    // True (after logging and raising the refusal) when op may not start because the gate is held.
    bool RefuseWhileBusy(OpKind op);
    void Begin(OpKind op);
    // Ends op with this result when it is the pending one (UI thread); otherwise nothing. With a
    // session given, only when the pending operation started on that session.
    void Finish(OpKind op, OpStatus status, std::string message, std::uint32_t bytes = 0, bool verified = false,
                hid::TnrBaseIO::SessionId session = 0);
    void Raise(OpsResult result);  // posted to the view
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
    void SearchNow();              // the search, its errors reported to the view
    void ResumeDeferredSearch();   // runs a search held off by the gate once the gate is free
    void Notify(std::function<void(OpsView&)> fn);  // any thread: posted to the view, in order
    void OnUi(std::function<void()> fn);   // run now on the UI thread, else post
    void Post(std::function<void()> fn);   // posted; dropped if this object is gone by then
    void SetProgress(std::uint32_t max, std::uint32_t position);
    void PostProgress(std::uint32_t position);  // reader thread: coalesced progress update
    void StopWatchdog();
    void RestartWatchdog();
    void ControlsChanged();
    void LogLine(std::string_view text);
    // Logs and reports that the image cannot change now because an operation runs.
    void RefuseBusy();
    // Loads one file into a new image value (the gate is not held by anyone else); "" when it
    // loaded, else why not, with the previous image left as it was.
    std::string LoadImageFileNow(const std::string& name);
    // Reports a load (log, view, shell) and returns its error; throws OpsError for an error box.
    std::string Loaded(const std::string& name, const ImageWorkspace::Load& load);
    void LoadDone(const std::string& name, const std::string& error);
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
    OpsView* view_;
    // Posted tasks check it. Set false by the destructor; the pointer itself never changes, so
    // the reader thread may copy it while the UI thread clears the flag.
    const std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
    std::unique_ptr<EngineListener> listener_;
    CPro pro_;
    ImageWorkspace workspace_{CPro::kBufferSize};
    OpsControls controls_;
    std::optional<bool> linkOpenShown_;  // the link state the buttons follow; none before the first event
    std::vector<std::string> args_;
    std::string chosen_;  // the programmer the search takes by path or serial; "" the first
    ProgrammerInfo programmer_;

    std::mutex logMutex_;
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
    hid::TnrBaseIO::SessionId receivingSession_ = 0;  // reader thread: the session of that report
    std::vector<std::function<void()>> settleAfterReport_;
    std::atomic<bool> progressQueued_{false};   // a progress task is in the queue
    std::atomic<std::uint32_t> progressPending_{0};
    // Last, so that it is destroyed first: its destructor joins the reader thread, which may be
    // inside LinkReceived using everything above.
    hid::TnrHid link_;
};

}  // namespace quillon
