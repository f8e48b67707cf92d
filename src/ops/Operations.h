// The programming operations behind the window's ISP tab, without any widget: chip selection,
// Detect, Read, Write with its reload and checks, the 2000 ms watchdog, the engine's events, the
// search for the programmer with its link status handlers, and image loading / Set Flash Size /
// Save BIN. The window and the command-line tool both drive this class; what they show reaches
// them through OpsView, always on the UI thread and in the order it was raised. One gate per
// programmer: from an operation's start to its result nothing else talks to the programmer.
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
#include "image/Image.h"
#include "log/Log.h"
#include "protocol/Chips.h"
#include "protocol/Cpro.h"

namespace quillon {

using hid::kProgrammerProductId;
using hid::kProgrammerVendorId;
inline constexpr std::uint32_t kColourGrey = 0x808080;         // chip list: no programmer
inline constexpr std::uint32_t kColourGreen = 0xC0DCC0;        // chip list: programmer opened
inline constexpr int kWatchdogMs = 2000;
// How long a Write may hear nothing from the programmer (after its command, and after the image
// stream) before it ends. The window's watchdog does not watch a Write, so without this a silent
// programmer would leave the Write pending for ever.
inline constexpr int kWriteQuietMs = 3000;

// The state of the window's controls that the operations read and write.
struct OpsControls {
    int chipIndex = -1;                  // cbbDev selection; -1: none
    std::string chipText = "Select Device";
    bool reload = true;                  // chkReload
    bool erase = true;                   // chkEraseFlash
    bool encrypt = false;                // chkEncrypt (read protection)
    bool verify = true;                  // chkVerify
    bool resetRun = true;                // chkResetDev
    std::string fileBox;                 // edtFile
    std::string flashSizeBox;            // edtFlashSize
    // Derived, never set on their own: busy while an operation holds the programmer (from its
    // start to its result); btnRead and BtnAuto enabled while the link is open (before the first
    // link event: enabled) and no operation is running.
    bool busy = false;
    bool buttonsEnabled = true;
    std::uint32_t chipListColour = kColourGrey;
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

// A programmer the search could choose.
struct ProgrammerEntry {
    std::string path;
    std::string product;
    std::string serial;
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
    ImagePtr image{};         // Write: exactly the bytes that went to the programmer (once sent)
};

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

    // The engine as it stands, to look at (diagnostics and tests); everything that changes it is a
    // verb of this class.
    const CPro& engine() const { return pro_; }
    // The document the window's hex view shows (UI thread).
    HexDocument& hexView() { return hexEditor_; }
    const HexDocument& hexView() const { return hexEditor_; }
    const OpsControls& controls() const { return controls_; }
    hid::Platform& platform() { return platform_; }
    std::string rememberedFile() const { return rememberedFile_; }

    // The settings restored at start, as a whole: the chip index (its chip parameters apply
    // quietly, without chipChanged), the file box and remembered file, and the five option boxes.
    // Progress, button state and the chip list colour are left alone.
    void applySettings(const OpsControls& settings);
    // One control changed by the user (UI thread). None of them touches the others or progress;
    // controlsChanged is raised only when the value really changed.
    void setChipIndex(int index);  // runs chipChanged, like selectChip
    void setReload(bool on);
    void setErase(bool on);
    void setEncrypt(bool on);
    void setVerify(bool on);
    void setResetRun(bool on);
    void setFileBox(std::string text);  // the edit box only: the remembered file stays
    void setFlashSizeBox(std::string text);
    // Picks a chip list entry like the user does (runs chipChanged); -1 clears the selection.
    void selectChip(int index);
    // Narrows the search to programmers the filter accepts (for example one serial number).
    void setProgrammerFilter(std::function<bool(const hid::TnrHidDevice&)> filter);
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
    bool linkOpen() const { return nrHid1_.GetActive(); }
    // Opened without write access: nothing can be sent to it.
    bool linkWritable() const { return nrHid1_.CanWrite(); }
    // Closes the programmer's link (the pending operation, if any, ends as a device failure).
    void closeProgrammer();
    // The image the last load put into the write buffer; null when the last load did not put
    // one there (a file that is neither HEX nor BIN, or nothing loaded yet).
    ImagePtr image() const { return image_; }
    // True from an operation's start to its result, and while an image still streams.
    bool busy() const;
    // True when the hex view holds exactly what a Write without reload would send.
    bool viewMatchesWriteImage() const;

    // Handlers (UI thread).
    void chipChanged();
    // Detect. With sendConnectBlock false it waits (under the watchdog) for the answer to the
    // connect block that the search has just sent, instead of sending another.
    void detect(bool sendConnectBlock = true);
    void read();
    void write();
    // Ends the pending operation with Interrupted and stops an image stream before its next
    // packet; with closeLink the programmer's link is closed too.
    void cancel(const std::string& why, bool closeLink = false);
    void watchdogExpired();
    void startWatchdog();
    void updateControlStatus(std::uint8_t status);
    // The programmer search; HidError from an open that failed passes through.
    void searchProgrammer();
    // Loads one file into the write buffer and the hex view; false when nothing was loaded.
    bool loadImage(const std::string& name);
    // The Load button; chosen is the dialog's answer (nullopt: cancelled). Throws OpsError.
    void loadFile(const std::optional<std::string>& chosen);
    // Load with a file already chosen (the dialog's answer, a dropped file), whatever the
    // command-line arguments. Throws OpsError.
    void loadChosenFile(const std::string& name);
    // Puts an image already loaded into the write buffer and the hex view, as a load would
    // (sessions write one loaded image, with reload off). False, and nothing changes, while an
    // operation runs or when it does not fit the write buffer.
    bool setImage(ImagePtr image);
    // Set Flash Size from the flash size box. Throws OpsError.
    void setFlashSize();
    // Save BIN; chosen is the dialog's answer (nullopt: cancelled). Throws OpsError.
    void saveBin(const std::optional<std::string>& chosen);

    // Engine and link hooks (any thread).
    std::int32_t SendReport(const std::uint8_t* data, std::int32_t length);
    // One input report without its report ID byte, from the given session (reader thread).
    void nrHid1AfterReceive(hid::DeviceLink::SessionId session, const std::uint8_t* payload, std::uint32_t count);
    void nrHid1Open();
    void nrHid1Close();
    void nrHid1FatalError(bool& raiseException);

    // True while a Write streams the image to the programmer.
    bool streaming() const { return pro_.Streaming(); }
    bool watchdogRunning() const { return watchdog_ != 0; }

private:
    class EngineListener;
    friend class EngineListener;

    // The operation whose result is still owed (UI thread only).
    struct Pending {
        OpKind op;
        hid::DeviceLink::SessionId session;  // the link's open when it started (0: none)
        bool verify;            // Write: the verify box when it started
        bool streamed = false;  // Write: the whole image went out
        std::uint32_t bytes = 0;
        ImagePtr image{};       // Write: what is being sent
    };

    CommandFlags Flags() const;
    // True (after logging and raising the refusal) when op may not start because the gate is held.
    bool RefuseWhileBusy(OpKind op);
    void Begin(OpKind op);
    // Ends op with this result when it is the pending one (UI thread); otherwise nothing. With a
    // session given, only when the pending operation started on that session.
    void Finish(OpKind op, OpStatus status, std::string message, std::uint32_t bytes = 0, bool verified = false,
                hid::DeviceLink::SessionId session = 0);
    void Raise(OpsResult result);  // posted to the view
    // Runs fn on the UI thread after the lines of the report being handled (any thread).
    void Settle(std::function<void()> fn);
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
    // Loads one file (the gate is not held by anyone else); false when nothing was loaded.
    bool LoadImageFileNow(const std::string& name);
    bool LoadHex(const std::string& name);
    void PutImage(ImagePtr image);
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
    HexDocument hexEditor_;
    OpsControls controls_;
    std::optional<bool> linkOpenShown_;  // the link state the buttons follow; none before the first event
    std::string rememberedFile_;
    std::vector<std::string> args_;
    std::function<bool(const hid::TnrHidDevice&)> filter_;
    ImagePtr image_;
    ProgrammerInfo programmer_;

    std::mutex logMutex_;
    LogSink logSink_;                           // guarded by logMutex_

    UiHost::TimerId watchdog_ = 0;              // UI thread only; 0 when disabled
    std::atomic<bool> watchdogEnabled_{false};  // mirror the reader thread may look at
    std::atomic<bool> restartQueued_{false};    // a timer restart task is in the queue
    std::optional<Pending> pending_;
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
    // inside nrHid1AfterReceive using everything above.
    hid::TnrHid nrHid1_;
};

}  // namespace quillon
