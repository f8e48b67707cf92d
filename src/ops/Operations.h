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
#include <string>
#include <vector>

#include "core/UiHost.h"
#include "hid/Nrhid.h"
#include "image/HexDocument.h"
#include "protocol/Cpro.h"

namespace quillon {

using hid::kProgrammerProductId;
using hid::kProgrammerVendorId;
inline constexpr std::uint32_t kColourGrey = 0x808080;         // chip list: no programmer
inline constexpr std::uint32_t kColourGreen = 0xC0DCC0;        // chip list: programmer opened
inline constexpr int kWatchdogMs = 2000;
inline constexpr const char* kChipNames[3] = {"NRF24LE1_16K", "NRF24LU1_16K", "NRF24LU1_32K"};

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

// What happened, for shells that act on outcomes (the command-line tool's exit codes).
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

// Implemented by the shell; every call arrives on the UI thread.
class OpsView {
public:
    virtual ~OpsView() = default;
    virtual void controlsChanged(const OpsControls&) {}
    virtual void hexViewChanged() {}
    virtual void event(const OpsEvent&) {}
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

    CPro& Engine() { return pro_; }
    hid::TnrHid& Link() { return nrHid1_; }
    HexDocument& HexView() { return hexEditor_; }
    const OpsControls& Controls() const { return controls_; }
    std::string RememberedFile() const { return rememberedFile_; }

    // The window's control changes (UI thread). SetControls replaces the option boxes and file
    // box as a whole, as the settings do at start; a changed chip selection sets the engine's chip
    // parameters too (quietly, without running cbbDevChange).
    void SetControls(const OpsControls& controls);
    // Picks a chip list entry like the user does (runs cbbDevChange); -1 clears the selection.
    void SelectChipIndex(int index);
    // Narrows the search to programmers the filter accepts (for example one serial number).
    void SetProgrammerFilter(std::function<bool(const hid::TnrHidDevice&)> filter);
    // The command-line arguments the program was started with (argv[0] excluded); Load then
    // takes the second one as a HEX file without a dialog.
    void SetCommandLineArguments(std::vector<std::string> args) { args_ = std::move(args); }

    // Handlers (UI thread).
    void cbbDevChange();
    void btnDectClick();
    void btnReadClick();
    void BtnAutoClick();
    void tmrTimeoutTimer();
    void StartWatchdog();
    void UpdateCtrlStatus(std::uint8_t status);
    // The programmer search; HidError from an open that failed passes through.
    void updateUsbBridge();
    // Loads one file into the write buffer and the hex view; false when nothing was loaded.
    bool LoadImageFile(const std::string& name);
    // The Load button; chosen is the dialog's answer (nullopt: cancelled). Throws OpsError.
    void BtnLoadFileClick(const std::optional<std::string>& chosen);
    // Set Flash Size from the flash size box. Throws OpsError.
    void btnSetFlashSizeClick();
    // Save BIN; chosen is the dialog's answer (nullopt: cancelled). Throws OpsError.
    void btnSaveBinClick(const std::optional<std::string>& chosen);

    // Engine and link hooks (any thread).
    std::int32_t SendReport(const std::uint8_t* data, std::int32_t length);
    void OnProEvent(std::uint32_t code, const void* payload);
    void nrHid1AfterReceive(const std::uint8_t* buffer, std::uint32_t count);
    void nrHid1Open();
    void nrHid1Close();
    void nrHid1FatalError(bool& raiseException);

    // True while a Write streams the image to the programmer.
    bool Streaming() const { return streaming_.load(); }
    bool WatchdogRunning() const { return watchdog_ != 0; }

private:
    CommandFlags Flags() const;
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
    std::atomic<bool> restartQueued_{false};    // a watchdog restart task is in the queue
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
