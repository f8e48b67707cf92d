// The programming operations behind the window's ISP tab, without any widget: chip selection,
// Detect, Read, Write with its reload and checks, the 2000 ms watchdog, the engine's events, the
// search for the programmer with its link status handlers, and image loading / Set Flash Size /
// Save BIN. The window and the command-line tool both drive this class; what they show reaches
// them through OpsView, always on the UI thread and in the order it was raised.
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
    bool buttonsEnabled = true;          // btnRead and BtnAuto
    std::uint32_t chipListColour = kColourGrey;
    std::uint32_t progressMax = 0;
    std::uint32_t progressPosition = 0;
};

// Link and engine happenings as they are raised, for shells that show more than the log.
enum class OpsOutcome {
    LinkOpened,       // a = 0
    LinkClosed,
    LinkError,
    Identified,       // a = chip present (0/1), b = handshake echo matched (0/1)
    ReadComplete,     // a = bytes read
    WriteStreamed,    // a = bytes sent
    Verified,         // a = 1 when the checksums agree
    FailureReply,     // a = reply byte 0 (failure bit set)
    Timeout,          // a = read offset, b = command length
    Refused,          // a = OpsRefusal
};

enum class OpsRefusal : std::uint32_t { FileNotExists, NoImage, TooBig, Busy, LoadFailed };

struct OpsEvent {
    OpsOutcome outcome;
    std::uint32_t a = 0;
    std::uint32_t b = 0;
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
};

// What the image loader takes a file for: the last three characters of its name, in any case,
// are "HEX" or "BIN" (the dot is not looked at); anything else is shown but never written.
enum class ImageKind { Hex, Bin, Other };
ImageKind ImageKindOf(std::string_view name);

const char* OpKindName(OpKind kind);        // "detect", "read", "write"
const char* OpStatusName(OpStatus status);  // "ok", "refused", "no programmer", ...

// Implemented by the shell; every call arrives on the UI thread.
class OpsView {
public:
    virtual ~OpsView() = default;
    virtual void controlsChanged(const OpsControls&) {}
    virtual void hexViewChanged() {}
    virtual void event(const OpsEvent&) {}
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
    Operations(UiHost& host, hid::Platform& platform, OpsView* view = nullptr);
    ~Operations();
    Operations(const Operations&) = delete;
    Operations& operator=(const Operations&) = delete;

    CPro& engine() { return pro_; }
    hid::TnrHid& link() { return nrHid1_; }
    HexDocument& hexView() { return hexEditor_; }
    const OpsControls& controls() const { return controls_; }
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
    // A search after every device change the platform reports (on by default).
    void setHotPlug(bool on);
    // True when the hex view holds exactly what a Write without reload would send.
    bool viewMatchesWriteImage() const;

    // Handlers (UI thread).
    void chipChanged();
    // Detect. With sendConnectBlock false it waits (under the watchdog) for the answer to the
    // connect block that the search has just sent, instead of sending another.
    void detect(bool sendConnectBlock = true);
    void read();
    void write();
    // Ends the pending operation with Interrupted; nothing else is stopped or closed.
    void cancel(const std::string& why);
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
    // Puts bytes into the write buffer and the hex view as the image, without a file (a station
    // writes its own patched copy per unit, with reload off). False, and nothing changes, while a
    // Write streams or when bytes do not fit the write buffer.
    bool setImage(std::span<const std::uint8_t> bytes);
    // Set Flash Size from the flash size box. Throws OpsError.
    void setFlashSize();
    // Save BIN; chosen is the dialog's answer (nullopt: cancelled). Throws OpsError.
    void saveBin(const std::optional<std::string>& chosen);

    // Engine and link hooks (any thread).
    std::int32_t SendReport(const std::uint8_t* data, std::int32_t length);
    void OnProEvent(std::uint32_t code, const void* payload);
    void nrHid1AfterReceive(const std::uint8_t* buffer, std::uint32_t count);
    void nrHid1Open();
    void nrHid1Close();
    void nrHid1FatalError(bool& raiseException);

    // True while a Write streams the image to the programmer.
    bool streaming() const { return streaming_.load(); }
    bool watchdogRunning() const { return watchdog_ != 0; }

private:
    // The operation whose result is still owed (UI thread only).
    struct Pending {
        OpKind op;
        bool linkWasOpen;    // the link was open when it started
        bool verify;         // Write: the verify box when it started
        bool streamed = false;  // Write: the whole image went out
        std::uint32_t bytes = 0;
    };

    CommandFlags Flags() const;
    // Makes op the pending operation; one still pending ends as superseded.
    void Begin(OpKind op);
    // Ends op with this result when it is the pending one (UI thread); otherwise nothing.
    void Finish(OpKind op, OpStatus status, std::string message, std::uint32_t bytes = 0, bool verified = false);
    void Raise(OpsResult result);  // posted to the view
    // Runs fn on the UI thread after the lines of the report being handled (any thread).
    void Settle(std::function<void()> fn);
    void SettleFailureReply(std::uint8_t reply);
    void StartQuiet();
    void StopQuiet();
    void QuietExpired();
    void SearchAfterDeviceChange();
    void Emit(OpsEvent event);             // any thread: posted to the UI thread
    void OnUi(std::function<void()> fn);   // run now on the UI thread, else post
    void Post(std::function<void()> fn);   // posted; dropped if this object is gone by then
    void SetProgress(std::uint32_t max, std::uint32_t position);
    void PostProgress(std::uint32_t position);  // reader thread: coalesced progress update
    void StopWatchdog();
    void RestartWatchdog();
    void ControlsChanged();
    // Logs and reports that the image cannot change now because a Write streams it.
    void RefuseBusy();
    bool LoadImageFileLocked(const std::string& name);
    bool ConvertHex(const std::string& name, std::uint32_t& length);

    UiHost& host_;
    hid::Platform& platform_;
    OpsView* view_;
    // Posted tasks check it. Set false by the destructor; the pointer itself never changes, so
    // the reader thread may copy it while the UI thread clears the flag.
    const std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
    CPro pro_;
    HexDocument hexEditor_;
    OpsControls controls_;
    std::string rememberedFile_;
    std::vector<std::string> args_;
    std::function<bool(const hid::TnrHidDevice&)> filter_;

    UiHost::TimerId watchdog_ = 0;              // UI thread only; 0 when disabled
    std::atomic<bool> watchdogEnabled_{false};  // mirror the reader thread may look at
    std::atomic<bool> restartQueued_{false};    // a timer restart task is in the queue
    std::optional<Pending> pending_;
    UiHost::TimerId quiet_ = 0;                 // UI thread only; the Write's quiet period
    std::atomic<bool> quietEnabled_{false};
    bool hotPlug_ = false;                      // subscribed to the platform's device changes
    std::atomic<bool> searchOnChange_{false};
    // Results that a report decided, held until the engine has logged that report's lines.
    std::atomic<std::thread::id> receivingThread_{};
    std::vector<std::function<void()>> settleAfterReport_;
    std::atomic<bool> progressQueued_{false};   // a progress task is in the queue
    std::atomic<std::uint32_t> progressPending_{0};
    std::mutex imageMutex_;                     // held while the write buffer is streamed
    std::atomic<bool> streaming_{false};
    std::vector<std::uint8_t> reportCopy_;      // the receive handler's copy (reader thread)
    // Last, so that it is destroyed first: its destructor joins the reader thread, which may be
    // inside nrHid1AfterReceive using everything above.
    hid::TnrHid nrHid1_;
};

}  // namespace quillon
