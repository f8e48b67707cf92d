// The window's controller: the programmer link (ProgrammerLink) and the window's image workspace
// (ImageWorkspace) side by side under the link's gate. It keeps the window's choices (chip,
// reload, write options), loads, Set Flash Size and Save BIN, loads the remembered file again
// before each Write, and maps the link's news onto what the window shows. What it shows reaches
// the window through OpsView, always on the UI thread and in the order it was raised.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/UiHost.h"
#include "image/HexDocument.h"
#include "image/Image.h"
#include "ops/ImageWorkspace.h"
#include "ops/ProgrammerLink.h"
#include "ops/WriteOptions.h"

namespace quillon {

// The choices the operations act on and the state they report, in their own words; how a shell
// shows them (check boxes, colours, what its edit boxes hold) is its own business.
struct OpsControls {
    int chipIndex = -1;                  // index into the chip table; -1: none chosen
    bool reload = true;                  // load the remembered file again before each Write
    WriteOptions options;                // erase, protect, verify, reset (readback is not theirs)
    LinkState link;                      // the link's own, never set here: busy, usable, progress
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
    // A load of this file begins (Load, a dropped file, the reload before Write): it is the file
    // the window names from now on.
    virtual void fileChosen(const std::string& /*name*/) {}
    // The Load button's (or a dropped) file loaded with this many bytes: the size Set Flash Size
    // offers.
    virtual void loadedSize(std::size_t /*bytes*/) {}
    // Every load (Load, a dropped file, the reload before Write) ends with this, loaded or not.
    virtual void loadFinished(const LoadOutcome&) {}
    // Exactly once per detect(), read() and write(), after the log lines and progress of that
    // operation.
    virtual void finished(const OpsResult&) {}
    // An exception from work the link ran on its own (the search after a device change).
    virtual void error(const std::string& /*message*/) {}
};

// Raised (as the window's error box would show) by Load, Set Flash Size and Save BIN.
class OpsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Operations : private LinkListener {
public:
    // With hotPlug false the link never subscribes to the platform's device changes (for
    // several programmers sharing one platform, which has a single listener).
    Operations(UiHost& host, hid::Platform& platform, OpsView* view = nullptr, bool hotPlug = true);
    ~Operations() override;
    Operations(const Operations&) = delete;
    Operations& operator=(const Operations&) = delete;

    // The selected chip's flash size (the engine's default chip until one is chosen).
    std::uint32_t flashSize() const { return link_.flashSize(); }
    // The document the window's hex view shows (UI thread).
    HexDocument& hexView() { return workspace_.view(); }
    const HexDocument& hexView() const { return workspace_.view(); }
    const OpsControls& controls() const { return controls_; }
    hid::Platform& platform() { return link_.platform(); }
    std::string rememberedFile() const { return workspace_.rememberedFile(); }

    // The settings restored at start, as a whole: the chip index (its chip parameters apply
    // quietly), reload and the write options, and the file Write reloads. Progress, the gate's
    // state and programmerOpen are left alone.
    void applySettings(const OpsControls& settings, const std::string& file);
    // One control changed by the user (UI thread). None of them touches the others or progress;
    // controlsChanged is raised only when the value really changed.
    void setChipIndex(int index);  // applies the chip, like selectChip
    void setReload(bool on);
    void setErase(bool on);
    void setEncrypt(bool on);
    void setVerify(bool on);
    void setResetRun(bool on);
    // Picks a chip table entry like the user does (its parameters apply); -1 clears the selection.
    void selectChip(int index);
    // Narrows the search to one programmer by device path or serial number ("" any).
    void chooseProgrammer(std::string pathOrSerial) { link_.chooseProgrammer(std::move(pathOrSerial)); }
    // The command-line arguments the program was started with (argv[0] excluded); Load then
    // takes the second one as a HEX file without a dialog.
    void setCommandLineArguments(std::vector<std::string> args) { args_ = std::move(args); }
    // A search after every device change the platform reports (on by default). A change that
    // arrives while an operation runs is searched for once it has its result.
    void setHotPlug(bool on) { link_.setHotPlug(on); }
    // Where this object's log lines go (any thread, in order, each line time-stamped like Log's).
    // Without one they go to the process-wide log.
    void setLogSink(LogSink sink) { link_.setLogSink(std::move(sink)); }
    // The programmers present, in the search's order (UI thread).
    std::vector<ProgrammerEntry> listProgrammers() { return link_.listProgrammers(); }
    // The open programmer and its last answer; path empty when none is open.
    const ProgrammerInfo& programmer() const { return link_.programmer(); }
    bool linkOpen() const { return link_.linkOpen(); }
    // Opened without write access: nothing can be sent to it.
    bool linkWritable() const { return link_.linkWritable(); }
    // Closes the programmer's link (the pending operation, if any, ends as a device failure).
    void closeProgrammer() { link_.closeProgrammer(); }
    // The image a Write sends (exactly its bytes); null when the last file shown is neither HEX
    // nor BIN, or nothing was loaded yet. A load that fails leaves it as it was.
    ImagePtr image() const { return workspace_.image(); }
    // True from an operation's start to its result, while an image still streams, and while a
    // cancelled operation's reports still arrive.
    bool busy() const { return link_.busy(); }
    // True when every byte the hex view shows is the image's byte at that address (the view may
    // be cut short by Set Flash Size).
    bool viewMatchesWriteImage() const { return workspace_.viewMatchesImage(); }

    // The verbs (UI thread).
    // Detect. With sendConnectBlock false it waits (under the watchdog) for the answer to the
    // connect block that the search has just sent, instead of sending another.
    void detect(bool sendConnectBlock = true) { link_.detect(sendConnectBlock); }
    // Read; the hex view shows the chip's bytes once they arrive.
    void read() { link_.read(); }
    // Write with reload, as the window's button and F9 do: the remembered file (reload on) or
    // the image loaded last.
    void write();
    // Writes this image, whatever is loaded or shown.
    void write(ImagePtr image) { link_.write(std::move(image)); }
    // Ends the pending operation with Interrupted and stops an image stream before its next
    // packet; with closeLink the programmer's link is closed too.
    void cancel(const std::string& why, bool closeLink = false) { link_.cancel(why, closeLink); }
    // The programmer search; HidError from an open that failed passes through.
    void searchProgrammer() { link_.searchProgrammer(); }
    // Loads one file into a new image value and the hex view; false when nothing was loaded
    // (the image and the view are then as they were).
    bool loadImage(const std::string& name);
    // The Load button; chosen is the dialog's answer (nullopt: cancelled). Throws OpsError.
    void loadFile(const std::optional<std::string>& chosen);
    // Load with a file already chosen (the dialog's answer, a dropped file), whatever the
    // command-line arguments. Throws OpsError.
    void loadChosenFile(const std::string& name);
    // Set Flash Size to the size as the user typed it (decimal, 0x or $ hex). Throws OpsError.
    void setFlashSize(const std::string& text);
    // Save BIN; chosen is the dialog's answer (nullopt: cancelled). Throws OpsError.
    void saveBin(const std::optional<std::string>& chosen);

    // True while a Write streams the image to the programmer.
    bool streaming() const { return link_.streaming(); }
    bool watchdogRunning() const { return link_.watchdogRunning(); }

private:
    // The link's news, onto what the window shows.
    void stateChanged(const LinkState& state) override;
    void linkChanged(LinkEvent e) override;
    void devicesChanged() override;
    void identified(const ProgrammerInfo& info) override;
    void chipRead(const Image& flash) override;
    void readDone(std::uint32_t bytes) override;
    void streamDone(std::uint32_t bytes) override;
    void verifyOutcome(bool agree) override;
    void failureReply(std::uint8_t reply) override;
    void timedOut(std::uint32_t offset, std::uint32_t length) override;
    void refused(OpsRefusal why) override;
    void finished(const OpsResult& result) override;
    void error(const std::string& message) override;

    // The write options as the link uses them (readback is never the link's).
    void OptionsChanged();
    void ControlsChanged();
    // Logs and reports that the image cannot change now because an operation runs.
    void RefuseBusy();
    // Loads one file into a new image value (the gate is not held by anyone else); "" when it
    // loaded, else why not, with the previous image left as it was.
    std::string LoadImageFileNow(const std::string& name);
    // Reports a load (log, view, shell) and returns its error; throws OpsError for an error box.
    std::string Loaded(const std::string& name, const ImageWorkspace::Load& load);
    void LoadDone(const std::string& name, const std::string& error);

    OpsView* view_;
    ImageWorkspace workspace_{CPro::kBufferSize};
    OpsControls controls_;
    std::vector<std::string> args_;
    // Last, so that it is destroyed first: its news stops before anything it reaches goes away.
    ProgrammerLink link_;
};

}  // namespace quillon
