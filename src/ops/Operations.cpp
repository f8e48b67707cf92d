// The programming operations: what the window's buttons, the engine's events, the HID link's
// status events and the watchdog do. Engine events and received reports arrive on the HID reader
// thread; everything they change that the UI shows is posted to the UI thread, in order.
#include "ops/Operations.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <system_error>

#include "config/Config.h"
#include "fs/Files.h"
#include "hex/Chex2bin.h"

namespace quillon {

namespace {

std::string Format(const char* fmt, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// Load clears the first 64 KiB of the write buffer before it loads.
const std::vector<std::uint8_t> kErasedHead(0x10000, 0xFF);


}  // namespace

const char* const kAccessHint =
    " (no permission: install the udev rule 70-quillon-programmer.rules, or add yourself to the plugdev group and "
    "log in again; see \"USB permissions\" in the README)";

const char* OpKindName(OpKind kind) {
    switch (kind) {
        case OpKind::Detect: return "detect";
        case OpKind::Read: return "read";
        case OpKind::Write: return "write";
    }
    return "?";
}

const char* OpStatusName(OpStatus status) {
    switch (status) {
        case OpStatus::Ok: return "ok";
        case OpStatus::Refused: return "refused";
        case OpStatus::NoProgrammer: return "no programmer";
        case OpStatus::Timeout: return "timeout";
        case OpStatus::DeviceFailure: return "device failure";
        case OpStatus::VerifyFailure: return "verify failure";
        case OpStatus::Interrupted: return "interrupted";
    }
    return "?";
}

// The engine's news, handed to the operations' handlers.
class Operations::EngineListener : public ProListener {
public:
    explicit EngineListener(Operations& ops) : ops_(ops) {}
    void logLine(const std::string& text) override { ops_.EngineLog(text); }
    void message(const std::string& text) override { ops_.EngineLog(text); }
    void identified(const std::array<std::uint8_t, 64>& reply) override { ops_.EngineIdentified(reply); }
    void readProgress(std::uint32_t offset) override { ops_.EngineReadProgress(offset); }
    void writeProgress(std::int32_t sent) override { ops_.EngineWriteProgress(sent); }
    void streamStopped(std::uint32_t sent, bool aborted) override { ops_.EngineStreamStopped(sent, aborted); }
    void verified(bool agree, std::uint8_t, std::uint8_t) override { ops_.EngineVerified(agree); }
    void failureReply(std::uint8_t reply) override { ops_.EngineFailureReply(reply); }

private:
    Operations& ops_;
};

Operations::Operations(UiHost& host, hid::Platform& platform, OpsView* view, bool hotPlug)
    : host_(host), platform_(platform), view_(view), listener_(std::make_unique<EngineListener>(*this)),
      nrHid1_(platform) {
    pro_.SendFunc = [this](const std::uint8_t* data, std::int32_t length) { return SendReport(data, length); };
    pro_.SetListener(listener_.get());
    nrHid1_.OnOpen = [this](hid::DeviceLink&) { nrHid1Open(); };
    nrHid1_.OnClose = [this](hid::DeviceLink&) { nrHid1Close(); };
    nrHid1_.OnPayload = [this](hid::DeviceLink&, hid::DeviceLink::SessionId session, const std::uint8_t* payload,
                               std::uint32_t count) { nrHid1AfterReceive(session, payload, count); };
    nrHid1_.OnFatalError = [this](hid::DeviceLink&, std::uint32_t, std::uint32_t, const std::string&,
                                  bool& raise) { nrHid1FatalError(raise); };
    setHotPlug(hotPlug);
}

Operations::~Operations() {
    // The platform may call the listener on its own thread until this returns.
    if (hotPlug_) platform_.setChangeListener(nullptr);
    // Tasks still queued for us are dropped from now on, and the view hears nothing more (the
    // close below must not call into a shell that is being torn down). The link is the last
    // member, so its destructor joins the reader before anything the reader uses goes away.
    alive_->store(false);
    if (watchdog_ != 0) host_.stopTimer(watchdog_);
    if (quiet_ != 0) host_.stopTimer(quiet_);
    nrHid1_.SetActive(false);
}

void Operations::applySettings(const OpsControls& settings) {
    // A chip restored from the settings also takes effect in the engine: otherwise a restored
    // NRF24LU1_32K would refuse a 32 KiB image until the user picked it again.
    const int index = settings.chipIndex;
    if (index >= 0 && index < static_cast<int>(kChips.size())) {
        controls_.chipIndex = index;
        controls_.chipText = kChips[static_cast<std::size_t>(index)].name;
        pro_.SelectChip(controls_.chipText);
    } else {
        controls_.chipIndex = -1;
        controls_.chipText = "Select Device";
    }
    controls_.fileBox = settings.fileBox;
    rememberedFile_ = settings.fileBox;
    controls_.reload = settings.reload;
    controls_.erase = settings.erase;
    controls_.encrypt = settings.encrypt;
    controls_.verify = settings.verify;
    controls_.resetRun = settings.resetRun;
    ControlsChanged();
}

void Operations::setChipIndex(int index) { selectChip(index); }

namespace {
// Stores value and reports whether it changed.
template <class T>
bool Assign(T& field, T value) {
    if (field == value) return false;
    field = std::move(value);
    return true;
}
}  // namespace

void Operations::setReload(bool on) {
    if (Assign(controls_.reload, on)) ControlsChanged();
}
void Operations::setErase(bool on) {
    if (Assign(controls_.erase, on)) ControlsChanged();
}
void Operations::setEncrypt(bool on) {
    if (Assign(controls_.encrypt, on)) ControlsChanged();
}
void Operations::setVerify(bool on) {
    if (Assign(controls_.verify, on)) ControlsChanged();
}
void Operations::setResetRun(bool on) {
    if (Assign(controls_.resetRun, on)) ControlsChanged();
}
void Operations::setFileBox(std::string text) {
    if (Assign(controls_.fileBox, std::move(text))) ControlsChanged();
}
void Operations::setFlashSizeBox(std::string text) {
    if (Assign(controls_.flashSizeBox, std::move(text))) ControlsChanged();
}

void Operations::selectChip(int index) {
    if (index < -1 || index >= static_cast<int>(kChips.size())) index = -1;
    const bool changed = index != controls_.chipIndex;
    controls_.chipIndex = index;
    controls_.chipText = index < 0 ? "Select Device" : kChips[static_cast<std::size_t>(index)].name;
    if (changed) ControlsChanged();
    chipChanged();
}

void Operations::setProgrammerFilter(std::function<bool(const hid::TnrHidDevice&)> filter) {
    filter_ = std::move(filter);
}

void Operations::setHotPlug(bool on) {
    if (on == hotPlug_) return;
    hotPlug_ = on;
    searchOnChange_ = on;
    if (!on) {
        platform_.setChangeListener(nullptr);
        searchDeferred_ = false;
        return;
    }
    // Called on the platform's own thread: one search per change, on the UI thread.
    platform_.setChangeListener([this] { Post([this] { SearchAfterDeviceChange(); }); });
}

void Operations::SearchAfterDeviceChange() {
    // A change reported just before hot-plug was switched off is dropped.
    if (!searchOnChange_.load()) return;
    SearchNow();
}

void Operations::ResumeDeferredSearch() {
    if (searchDeferred_ && !busy()) Post([this] {
        if (searchDeferred_ && !busy()) SearchNow();
    });
}

void Operations::SearchNow() {
    try {
        searchProgrammer();
    } catch (const std::exception& e) {
        Notify([what = std::string(e.what())](OpsView& v) { v.error(what); });
    } catch (...) {
        Notify([](OpsView& v) { v.error("the programmer search failed"); });
    }
}

void Operations::setLogSink(LogSink sink) {
    std::lock_guard lock(logMutex_);
    logSink_ = std::move(sink);
}

void Operations::LogLine(std::string_view text) {
    std::unique_lock lock(logMutex_);
    if (!logSink_) {
        lock.unlock();
        Log(text);
        return;
    }
    std::string line = TimeStamp();
    line += "  ";
    line += text;
    logSink_(line);
}

bool Operations::busy() const { return pending_.has_value() || pro_.Streaming(); }

void Operations::closeProgrammer() { nrHid1_.SetActive(false); }

std::vector<ProgrammerEntry> Operations::listProgrammers() {
    std::vector<ProgrammerEntry> list;
    if (busy()) return list;
    nrHid1_.Update();
    for (int i = 0; i < nrHid1_.GetDeviceCount(); ++i) {
        const hid::TnrHidDevice* d = nrHid1_.GetHidDevice(i);
        if (d == nullptr || d->vendorId != kProgrammerVendorId || d->productId != kProgrammerProductId) continue;
        list.push_back({d->devicePath, d->productString, d->serialNumberString});
    }
    return list;
}

bool Operations::viewMatchesWriteImage() const {
    const std::size_t size = hexEditor_.GetDataSize();
    if (size > CPro::kBufferSize) return false;
    const auto view = hexEditor_.Data();
    return std::equal(view.begin(), view.begin() + static_cast<std::ptrdiff_t>(size), pro_.WriteBuffer());
}

CommandFlags Operations::Flags() const {
    CommandFlags flags;
    flags.verify = controls_.verify;
    flags.resetRun = controls_.resetRun;
    flags.protect = controls_.encrypt;
    flags.erase = controls_.erase;
    return flags;
}

void Operations::Post(std::function<void()> fn) {
    host_.post([alive = alive_, fn = std::move(fn)] {
        if (alive->load()) fn();
    });
}

void Operations::OnUi(std::function<void()> fn) {
    if (host_.onUiThread())
        fn();
    else
        Post(std::move(fn));
}

void Operations::Notify(std::function<void(OpsView&)> fn) {
    if (view_ == nullptr) return;
    // Always through the queue, so news keeps its order relative to posted state changes.
    Post([this, fn = std::move(fn)] { fn(*view_); });
}

void Operations::PostProgress(std::uint32_t position) {
    // Reports come faster than a UI repaints: keep the newest position and queue at most one task.
    progressPending_ = position;
    if (progressQueued_.exchange(true)) return;
    OnUi([this] {
        progressQueued_ = false;
        SetProgress(controls_.progressMax, progressPending_.load());
        // A long stream sends without hearing back; its packets keep the Write's quiet period
        // from running out.
        if (quiet_ != 0) StartQuiet();
    });
}

// --- results ----------------------------------------------------------------------------------

void Operations::Raise(OpsResult result) {
    if (view_ == nullptr) return;
    Post([this, result = std::move(result)] { view_->finished(result); });
}

bool Operations::RefuseWhileBusy(OpKind op) {
    if (!busy()) return false;
    LogLine(std::string("Busy: ") + (pending_ ? OpKindName(pending_->op) : "write") + " in progress, " +
            OpKindName(op) + " refused");
    Notify([](OpsView& v) { v.refused(OpsRefusal::Busy); });
    Raise({op, OpStatus::Refused, std::string("busy: another operation is in progress")});
    return true;
}

void Operations::Begin(OpKind op) {
    pending_ = Pending{op, nrHid1_.CurrentSessionId(), controls_.verify};
    ControlsChanged();
}

void Operations::Finish(OpKind op, OpStatus status, std::string message, std::uint32_t bytes, bool verified,
                        hid::DeviceLink::SessionId session) {
    if (!pending_ || pending_->op != op) return;
    if (session != 0 && pending_->session != session) return;
    ImagePtr image = op == OpKind::Write ? pending_->image : nullptr;
    pending_.reset();
    StopQuiet();
    OpsResult result{op, status, std::move(message), bytes, verified, std::move(image)};
    Raise(std::move(result));
    ControlsChanged();
    // A device change that came meanwhile is searched for now, after the result.
    ResumeDeferredSearch();
}

void Operations::cancel(const std::string& why, bool closeLink) {
    if (pro_.Streaming()) pro_.AbortStream();
    if (pending_) Finish(pending_->op, OpStatus::Interrupted, why);
    if (closeLink) closeProgrammer();
}

void Operations::Settle(std::function<void()> fn) {
    if (receivingThread_.load() == std::this_thread::get_id())
        settleAfterReport_.push_back(std::move(fn));
    else
        Post(std::move(fn));
}

void Operations::StartQuiet() {
    if (quiet_ != 0) host_.stopTimer(quiet_);
    quiet_ = host_.startTimer(UiHost::Millis(kWriteQuietMs), false, [this] { QuietExpired(); });
    quietEnabled_ = true;
}

void Operations::StopQuiet() {
    if (quiet_ != 0) host_.stopTimer(quiet_);
    quiet_ = 0;
    quietEnabled_ = false;
}

void Operations::QuietExpired() {
    quiet_ = 0;
    quietEnabled_ = false;
    if (!pending_ || pending_->op != OpKind::Write) return;
    if (pro_.Streaming()) {
        StartQuiet();
        return;
    }
    // Nothing is logged and no control changes here: the window shows a silent Write as the
    // log left it. With verify off a programmer may end a complete stream without a checksum.
    const Pending p = *pending_;
    if (p.streamed && !p.verify)
        Finish(OpKind::Write, OpStatus::Ok,
               "wrote " + std::to_string(p.bytes) + " bytes; the programmer sent no checksum", p.bytes, false);
    else if (p.session == 0)
        Finish(OpKind::Write, OpStatus::NoProgrammer, "no programmer is open", p.bytes);
    else
        Finish(OpKind::Write, OpStatus::Timeout, "no answer", p.bytes);
}

void Operations::RefuseBusy() {
    LogLine(pro_.Streaming() ? "Busy: the image is being written" : "Busy: an operation is in progress");
    Notify([](OpsView& v) { v.refused(OpsRefusal::Busy); });
}

void Operations::ControlsChanged() {
    controls_.busy = busy();
    controls_.buttonsEnabled = linkOpenShown_.value_or(true) && !controls_.busy;
    if (view_ != nullptr && alive_->load()) view_->controlsChanged(controls_);
}

void Operations::SetProgress(std::uint32_t max, std::uint32_t position) {
    controls_.progressMax = max;
    controls_.progressPosition = position;
    ControlsChanged();
}

// --- chip selection and the three operations ---------------------------------------------

void Operations::chipChanged() {
    if (controls_.chipText.empty() || controls_.chipIndex == -1) return;
    pro_.SelectChip(controls_.chipText);
}

void Operations::startWatchdog() {
    // Starting a running watchdog does not restart its countdown; only a report does.
    if (watchdog_ != 0) return;
    watchdog_ = host_.startTimer(UiHost::Millis(kWatchdogMs), true, [this] { watchdogExpired(); });
    watchdogEnabled_ = true;
}

void Operations::StopWatchdog() {
    if (watchdog_ != 0) host_.stopTimer(watchdog_);
    watchdog_ = 0;
    watchdogEnabled_ = false;
}

void Operations::RestartWatchdog() {
    if (watchdog_ == 0) return;  // a disabled watchdog stays disabled
    host_.stopTimer(watchdog_);
    watchdog_ = host_.startTimer(UiHost::Millis(kWatchdogMs), true, [this] { watchdogExpired(); });
}

void Operations::updateControlStatus(std::uint8_t status) {
    switch (status) {
        case 0:
            linkOpenShown_ = nrHid1_.GetActive();
            ControlsChanged();
            break;
        case 5:
            LogLine("Read FLASH");
            break;
        case 6:
            LogLine("Write FLASH");
            break;
        default:
            break;
    }
}

void Operations::SendFailed(OpKind op, const char* what) {
    // Not open: the message is lost as it always was; Detect and Read hear of it from the
    // watchdog, a Write (which has none) at once.
    if (pending_ && pending_->session == 0) {
        if (op == OpKind::Write) Finish(op, OpStatus::NoProgrammer, "no programmer is open");
        return;
    }
    if (pro_.Streaming()) return;  // cannot happen with the gate held; the stream's result comes
    const std::string reason = SystemReason(nrHid1_.LastWriteError());
    LogLine(std::string("Send failed: ") + what + " (" + reason + ")");
    StopWatchdog();
    Finish(op, OpStatus::DeviceFailure, std::string("the ") + what + " could not be sent to the programmer: " + reason);
}

void Operations::detect(bool sendConnectBlock) {
    if (RefuseWhileBusy(OpKind::Detect)) return;
    Begin(OpKind::Detect);
    programmer_.answered = false;  // until this connect block is answered
    startWatchdog();
    if (sendConnectBlock && !pro_.Connect()) SendFailed(OpKind::Detect, "connect block");
}

void Operations::read() {
    if (RefuseWhileBusy(OpKind::Read)) return;
    Begin(OpKind::Read);
    updateControlStatus(5);
    std::uint32_t length = pro_.PrepareRead(Flags());
    SetProgress(length, 0);
    startWatchdog();
    if (!pro_.SendCommand()) SendFailed(OpKind::Read, "read command");
}

void Operations::write() {
    // The gate is held from here to the result: no other operation, load, size change or search
    // can change the write buffer, the command or the link while the image goes out.
    if (RefuseWhileBusy(OpKind::Write)) return;
    Begin(OpKind::Write);
    updateControlStatus(6);
    const auto refuse = [this](OpsRefusal why, std::string message) {
        Notify([why](OpsView& v) { v.refused(why); });
        Finish(OpKind::Write, OpStatus::Refused, std::move(message));
    };
    if (controls_.reload) {
        if (!rememberedFile_.empty() && StatPath(rememberedFile_).error == 0) {
            bool loaded = false;
            std::string why = "the image file could not be loaded";
            try {
                loaded = LoadImageFileNow(rememberedFile_);
            } catch (const std::exception& e) {
                why += std::string(": ") + e.what();
            }
            if (!loaded) return refuse(OpsRefusal::LoadFailed, why);
        } else {
            LogLine(Translate("File Not Exists"));
            return refuse(OpsRefusal::FileNotExists, "the image file does not exist");
        }
    }
    pro_.EditCommand([](ProCommand& c) {
        c.opcode = OP_WRITE;
        c.reserved4 = 0;
    });
    const std::size_t size = hexEditor_.GetDataSize();
    if (size == 0) {
        LogLine(Translate("Please load HEX/BIN file"));
        return refuse(OpsRefusal::NoImage, "no image is loaded");
    }
    // The view may hold a file that is neither HEX nor BIN, or a chip read without any image
    // loaded: the write buffer then holds no image, and writing it would program erased bytes.
    if (!image_) {
        LogLine("The file loaded last is not a HEX or BIN image: load a HEX or BIN file to write it");
        return refuse(OpsRefusal::NotAnImage, "the last file loaded is not a HEX or BIN image");
    }
    if (size > pro_.Chip().flashSize) {
        LogLine(Translate("Select file is out of chip memory"));
        return refuse(OpsRefusal::TooBig, "the image is larger than the chip's flash");
    }
    // What goes out: the write buffer's first size bytes. That is the loaded image itself unless
    // Set Flash Size changed the view's size since.
    ImagePtr sent = image_;
    if (size != image_->bytes.size()) {
        std::vector<std::uint8_t> bytes(size);
        std::copy(pro_.WriteBuffer(), pro_.WriteBuffer() + size, bytes.begin());
        sent = WithBytes(*image_, std::move(bytes));
    }
    pending_->image = std::move(sent);
    pro_.PrepareWrite(Flags(), static_cast<std::uint32_t>(size));
    SetProgress(static_cast<std::uint32_t>(size), 0);
    if (!pro_.SendCommand()) return SendFailed(OpKind::Write, "write command");
    StartQuiet();
}

void Operations::watchdogExpired() {
    StopWatchdog();
    const std::uint32_t offset = pro_.ReadOffset();
    const std::uint32_t length = pro_.Command().length;
    LogLine(Translate("operation timeout") + std::to_string(offset) + "  " + std::to_string(length));
    pro_.ResetToIdle();
    Notify([offset, length](OpsView& v) { v.timedOut(offset, length); });
    // A Write is watched by its own quiet period, whatever the watchdog left running.
    if (!pending_ || pending_->op == OpKind::Write) return;
    const OpKind op = pending_->op;
    if (pending_->session == 0)
        Finish(op, OpStatus::NoProgrammer, "no programmer is open");
    else if (op == OpKind::Detect)
        Finish(op, OpStatus::Timeout, "the programmer did not answer");
    else
        Finish(op, OpStatus::Timeout,
               "no answer from the programmer after " + std::to_string(offset) + " of " + std::to_string(length) +
                   " bytes",
               offset);
}

// --- engine and link hooks (reader thread) -----------------------------------------------

std::int32_t Operations::SendReport(const std::uint8_t* data, std::int32_t length) {
    // On the reader thread the message answers a report (the image stream): it belongs to the
    // session that report came from, and must never reach a later one.
    const hid::DeviceLink::SessionId session =
        receivingThread_.load() == std::this_thread::get_id() ? receivingSession_ : 0;
    const std::uint32_t n = length < 0 ? 0u : static_cast<std::uint32_t>(length);
    return nrHid1_.WritePayload(data, n, session);
}

void Operations::EngineLog(const std::string& text) { LogLine(text); }

void Operations::EngineIdentified(const std::array<std::uint8_t, 64>& reply) {
    LogLine(Format("Programer Communication is   OK：firmware:%d version:%d ", reply[2], reply[3]));
    const ConnectBlock block = pro_.LastConnectBlock().value_or(ConnectBlock{});
    const std::uint16_t expected = block.ExpectedEcho();
    const std::uint16_t upload = static_cast<std::uint16_t>(reply[4] | (reply[5] << 8));
    if (upload != expected) {
        LogLine(Format("verify fail：upload：%d calc:：%d", upload, expected));
        LogLine(Format("%x %x %x", block.key2, block.key3, block.value));
    }
    const bool chip = reply[1] != 0;
    if (chip) {
        LogLine(Translate("chip dected OK"));
    } else {
        LogLine(Translate("chip dected fail"));
        LogLine("Chip is not connected! Please confirm: correct connection / module OK / good line contact");
    }
    const bool echo = upload == expected;
    const int firmware = reply[2], version = reply[3];
    const hid::DeviceLink::SessionId session = receivingSession_;
    OnUi([this, chip, echo, firmware, version] {
        StopWatchdog();
        programmer_.answered = true;
        programmer_.chipPresent = chip;
        programmer_.echoOk = echo;
        programmer_.firmware = firmware;
        programmer_.version = version;
    });
    Settle([this, chip, echo, session] {
        if (view_ != nullptr) view_->identified(programmer_);
        if (!echo)
            Finish(OpKind::Detect, OpStatus::DeviceFailure, "the programmer's handshake echo is wrong", 0, false, session);
        else if (!chip)
            Finish(OpKind::Detect, OpStatus::DeviceFailure, "no chip answered on the programmer's pins", 0, false,
                   session);
        else
            Finish(OpKind::Detect, OpStatus::Ok, "programmer answered and a chip is present", 0, false, session);
    });
}

void Operations::EngineReadProgress(std::uint32_t count) {
    const std::uint32_t length = pro_.Command().length;
    if (static_cast<std::int32_t>(count) < static_cast<std::int32_t>(length)) {
        PostProgress(count);
        return;
    }
    // The line and the table share "Read finish", so that it reads "读完成" in Chinese.
    LogLine(Translate("Read finish") + std::to_string(count) + " byte");
    const std::uint32_t flash = pro_.Chip().flashSize;
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(flash);
    pro_.CopyReadBuffer(0, bytes->data(), flash);
    const hid::DeviceLink::SessionId session = receivingSession_;
    OnUi([this, bytes] {
        StopWatchdog();
        hexEditor_.SetDataSize(static_cast<std::int64_t>(bytes->size()));
        hexEditor_.WriteBuffer(bytes->data(), 0, bytes->size());
        if (view_ != nullptr && alive_->load()) view_->hexViewChanged();
    });
    Settle([this, count, session] {
        if (view_ != nullptr) view_->readDone(count);
        Finish(OpKind::Read, OpStatus::Ok, "read " + std::to_string(count) + " bytes", count, false, session);
    });
}

void Operations::EngineWriteProgress(std::int32_t count) {
    const std::uint32_t length = pro_.Command().length;
    if (count < static_cast<std::int32_t>(length)) {
        PostProgress(static_cast<std::uint32_t>(count));
        return;
    }
    LogLine(Translate("Write finish"));
    OnUi([this] { StopWatchdog(); });
    const hid::DeviceLink::SessionId session = receivingSession_;
    // The last packet is padded to a whole one; the image is the command's length.
    Settle([this, length, session] {
        if (view_ != nullptr) view_->streamDone(length);
        ResumeDeferredSearch();
        if (!pending_ || pending_->op != OpKind::Write || pending_->session != session) return;
        pending_->streamed = true;
        pending_->bytes = length;
        StartQuiet();  // now for the checksum
    });
}

void Operations::EngineStreamStopped(std::uint32_t sent, bool aborted) {
    const std::uint32_t length = pro_.Command().length;
    const hid::DeviceLink::SessionId session = receivingSession_;
    if (aborted) {
        LogLine(Format("Write stopped after %u of %u bytes", sent, length));
        // The gate opens only now that the stream has stopped: the controls must say so.
        Settle([this] {
            ControlsChanged();
            ResumeDeferredSearch();
        });
        return;  // cancel() or the close gave the result
    }
    const std::string reason = SystemReason(nrHid1_.LastWriteError());
    LogLine(Format("Write failed after %u of %u bytes: %s", sent, length, reason.c_str()));
    Settle([this, sent, length, reason, session] {
        ResumeDeferredSearch();
        Finish(OpKind::Write, OpStatus::DeviceFailure,
               "the image stream failed after " + std::to_string(sent) + " of " + std::to_string(length) +
                   " bytes: " + reason,
               sent, false, session);
    });
}

void Operations::EngineVerified(bool ok) {
    LogLine(Translate("Verify") + " " + Translate(ok ? "Success" : "Fail"));
    const hid::DeviceLink::SessionId session = receivingSession_;
    Settle([this, ok, session] {
        if (view_ != nullptr) view_->verifyOutcome(ok);
        if (!pending_ || pending_->op != OpKind::Write || pending_->session != session) return;
        const std::uint32_t bytes = pending_->bytes;
        if (ok)
            Finish(OpKind::Write, OpStatus::Ok, "wrote " + std::to_string(bytes) + " bytes, transfer checksum matches",
                   bytes, true);
        else
            Finish(OpKind::Write, OpStatus::VerifyFailure,
                   "checksum mismatch: the programmer received other bytes than sent", bytes);
    });
}

void Operations::EngineFailureReply(std::uint8_t reply) {
    const hid::DeviceLink::SessionId session = receivingSession_;
    Settle([this, reply, session] {
        if (view_ != nullptr) view_->failureReply(reply);
        if (!pending_) return;
        // The reply names the command it refuses; a stale one must not end a newer operation.
        OpKind op = pending_->op;
        switch (reply & 0x7F) {
            case OP_IDENTIFY: op = OpKind::Detect; break;
            case OP_READ: op = OpKind::Read; break;
            case OP_WRITE:
            case OP_CHECKSUM: op = OpKind::Write; break;
            default: break;
        }
        Finish(op, OpStatus::DeviceFailure, Format("the programmer reported a failure (%02X)", reply), 0, false,
               session);
    });
}

void Operations::nrHid1AfterReceive(hid::DeviceLink::SessionId session, const std::uint8_t* payload,
                                    std::uint32_t count) {
    // One restart task in the queue at a time: it runs after the reports that asked for it,
    // and a report arriving after it started queues the next one.
    if ((watchdogEnabled_.load() || quietEnabled_.load()) && !restartQueued_.exchange(true)) {
        Post([this] {
            restartQueued_ = false;
            RestartWatchdog();
            if (quiet_ != 0) StartQuiet();
        });
    }
    // Results this report decides are posted once the engine has logged its lines.
    receivingSession_ = session;
    receivingThread_ = std::this_thread::get_id();
    struct AfterReport {
        Operations& ops;
        ~AfterReport() {
            ops.receivingThread_ = std::thread::id();
            for (auto& fn : ops.settleAfterReport_) ops.Post(std::move(fn));
            ops.settleAfterReport_.clear();
        }
    } after{*this};
    pro_.OnReceive(payload, static_cast<std::int32_t>(count));
}

void Operations::nrHid1Open() {
    LogLine("HID Opened");
    OnUi([this] { updateControlStatus(0); });
    Notify([](OpsView& v) { v.linkChanged(LinkEvent::Opened); });
}

void Operations::nrHid1Close() {
    LogLine("HID Close ");
    // The stream of the closed session cannot reach a later one; stop it before its next packet.
    if (pro_.Streaming()) pro_.AbortStream();
    OnUi([this] {
        updateControlStatus(0);
        programmer_ = ProgrammerInfo{};
    });
    Notify([](OpsView& v) { v.linkChanged(LinkEvent::Closed); });
    Post([this] {
        if (pending_ && pending_->session != 0 && pending_->session != nrHid1_.CurrentSessionId())
            Finish(pending_->op, OpStatus::DeviceFailure, "the programmer was disconnected");
    });
}

void Operations::nrHid1FatalError(bool& raiseException) {
    LogLine("HID Error ");
    OnUi([this] { updateControlStatus(0); });
    Notify([](OpsView& v) { v.linkChanged(LinkEvent::Error); });
    raiseException = true;
}

// --- the programmer search ------------------------------------------------------------------

void Operations::searchProgrammer() {
    // Never in the middle of an operation: the search may close the link and sends a connect
    // block. It runs once the operation has its result.
    if (busy()) {
        searchDeferred_ = true;
        return;
    }
    searchDeferred_ = false;
    nrHid1_.Update();
    nrHid1_.GetDeviceList();
    for (int i = 0; i < nrHid1_.GetDeviceCount(); ++i) {
        nrHid1_.SetDeviceIndex(i);
        if (nrHid1_.GetVendorId() != kProgrammerVendorId || nrHid1_.GetProductId() != kProgrammerProductId)
            continue;
        if (filter_) {
            const hid::TnrHidDevice* entry = nrHid1_.GetCurrentDevice();
            if (entry == nullptr || !filter_(*entry)) continue;
        }
        if (nrHid1_.GetActive()) {
            if (programmer_.path == nrHid1_.GetDevicePath()) return;
            // Another programmer was chosen: let go of the one that is open.
            nrHid1_.SetActive(false);
            nrHid1_.SetDeviceIndex(i);
        }
        try {
            nrHid1_.SetActive(true);
        } catch (const hid::HidError& e) {
            // Found but refused: the log says why and what to do, then the error goes on as before.
            if (e.Detail() == EACCES) LogLine(nrHid1_.GetDevicePath() + ": " + SystemReason(EACCES) + kAccessHint);
            throw;
        }
        if (nrHid1_.GetActive() && !nrHid1_.CanWrite())
            LogLine(nrHid1_.GetDevicePath() + ": opened for reading only, nothing can be sent to it" + kAccessHint);
        controls_.chipListColour = kColourGreen;
        ControlsChanged();
        programmer_ = ProgrammerInfo{};
        programmer_.path = nrHid1_.GetDevicePath();
        programmer_.product = nrHid1_.GetProductString();
        programmer_.serial = nrHid1_.GetSerialNumberString();
        LogLine(Translate("Programer is connected!") + nrHid1_.GetProductString() + " " +
                nrHid1_.GetSerialNumberString());
        pro_.Connect();
        return;
    }
    nrHid1_.SetActive(false);
    programmer_ = ProgrammerInfo{};
    controls_.chipListColour = kColourGrey;
    ControlsChanged();
}

// --- image loading, Set Flash Size, Save BIN ------------------------------------------------

bool Operations::loadImage(const std::string& name) {
    if (busy()) {
        RefuseBusy();
        return false;
    }
    return LoadImageFileNow(name);
}

void Operations::PutImage(ImagePtr image) {
    pro_.StoreImage(0, image->bytes.data(), image->bytes.size());
    hexEditor_.SetDataSize(static_cast<std::int64_t>(image->bytes.size()));
    hexEditor_.WriteBuffer(image->bytes.data(), 0, image->bytes.size());
    image_ = std::move(image);
}

bool Operations::LoadHex(const std::string& name) {
    // One read and one conversion into an image of its own: a file that fails to convert, or that
    // is larger than the write buffer, leaves the previous image in the buffer and the view.
    ImageLoad load = ReadImageFile(name, CPro::kBufferSize);
    if (!load.image) {
        LogLine(load.error);
        return false;
    }
    // The BIN copy beside the HEX file holds exactly the image (an older, longer copy is replaced
    // whole). A failure to write it does not stop the load.
    if (const std::string failed = WriteBinCopy(*load.image); !failed.empty()) LogLine(failed);
    PutImage(std::move(load.image));
    return true;
}

bool Operations::LoadImageFileNow(const std::string& name) {
    rememberedFile_ = name;
    controls_.fileBox = name;
    ControlsChanged();
    const ImageKind kind = ImageKindOf(name);
    bool loaded = false;
    if (kind == ImageKind::Hex) {
        loaded = LoadHex(name);
    } else {
        const PathStatus status = StatPath(name);
        const std::uint64_t size = status.size;
        if (status.error == 0 && status.isRegular && kind == ImageKind::Bin && size > CPro::kBufferSize) {
            LogLine(Format("%s: the image is %ju bytes, larger than the %" PRIu32 "-byte write buffer", name.c_str(),
                           static_cast<std::uintmax_t>(size), CPro::kBufferSize));
            return false;
        }
        hexEditor_.LoadFromFile(name);  // HexDocumentError: "Cannot open %s." ...
        if (kind == ImageKind::Bin) {
            // The view read the file once; the image is those same bytes.
            auto image = std::make_shared<Image>();
            image->kind = ImageKind::Bin;
            image->source = name;
            const auto data = hexEditor_.Data();
            image->bytes.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(hexEditor_.GetDataSize()));
            image->fileSha256 = image->bytesSha256();
            pro_.StoreImage(0, image->bytes.data(), image->bytes.size());
            image_ = std::move(image);
        } else {
            // Shown, but it is no image: Write refuses until a HEX or BIN file is loaded.
            image_.reset();
        }
        loaded = true;
    }
    if (loaded && view_ != nullptr) view_->hexViewChanged();
    return loaded;
}

void Operations::loadFile(const std::optional<std::string>& chosen) {
    if (args_.empty()) {
        if (chosen) loadChosenFile(*chosen);
        return;
    }
    if (busy()) {
        RefuseBusy();
        return;
    }
    const std::string name = args_.size() >= 2 ? args_[1] : std::string();
    if (ImageKindOf(name) != ImageKind::Hex) return;
    pro_.StoreImage(0, kErasedHead.data(), kErasedHead.size());
    if (LoadHex(name) && view_ != nullptr) view_->hexViewChanged();
}

void Operations::loadChosenFile(const std::string& name) {
    if (busy()) {
        RefuseBusy();
        return;
    }
    pro_.StoreImage(0, kErasedHead.data(), kErasedHead.size());
    try {
        if (!LoadImageFileNow(name)) return;
    } catch (const HexDocumentError& e) {
        throw OpsError(e.what());
    }
    const std::size_t n = hexEditor_.GetDataSize();
    LogLine("Load File" + name + "  " + std::to_string(n) + " Bytes");
    controls_.flashSizeBox = std::to_string(n);
    ControlsChanged();
}

bool Operations::setImage(ImagePtr image) {
    if (!image || image->bytes.size() > CPro::kBufferSize) return false;
    if (busy()) {
        RefuseBusy();
        return false;
    }
    PutImage(std::move(image));
    if (view_ != nullptr) view_->hexViewChanged();
    return true;
}

void Operations::setFlashSize() {
    const auto value = ParseInteger(controls_.flashSizeBox);
    if (!value) throw OpsError("'" + controls_.flashSizeBox + "' is not a valid integer value");
    // Sizes below zero or beyond what the write buffer holds could never be written.
    if (*value < 0 || *value > static_cast<std::int64_t>(CPro::kBufferSize))
        throw OpsError(Format("'%s' is not a flash size from 0 to %" PRIu32, controls_.flashSizeBox.c_str(),
                              CPro::kBufferSize));
    if (busy()) {
        RefuseBusy();
        return;
    }
    hexEditor_.SetDataSize(*value);
    if (view_ != nullptr) view_->hexViewChanged();
}

void Operations::saveBin(const std::optional<std::string>& chosen) {
    if (!chosen) return;
    try {
        hexEditor_.SaveToFile(*chosen, true);
    } catch (const HexDocumentError& e) {
        throw OpsError(e.what());
    }
}

}  // namespace quillon
