// The programmer link: the verbs, the engine's events, the link's status events, the watchdog,
// the Write's quiet period and the drain after Cancel. Engine events and received reports arrive
// on the HID reader thread; everything they change that a shell shows is posted to the UI
// thread, in order.
#include "ops/ProgrammerLink.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <system_error>

#include "core/Format.h"
#include "fs/Files.h"

namespace quillon {

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

// The engine's news, handed to the link's handlers.
class ProgrammerLink::EngineListener : public ProListener {
public:
    explicit EngineListener(ProgrammerLink& ops) : ops_(ops) {}
    void logLine(const std::string& text) override { ops_.EngineLog(text); }
    void message(const std::string& text) override { ops_.EngineLog(text); }
    void identified(const std::array<std::uint8_t, 64>& reply) override { ops_.EngineIdentified(reply); }
    void readProgress(std::uint32_t offset) override { ops_.EngineReadProgress(offset); }
    void writeProgress(std::int32_t sent) override { ops_.EngineWriteProgress(sent); }
    void streamStopped(std::uint32_t sent, bool aborted) override { ops_.EngineStreamStopped(sent, aborted); }
    void verified(bool agree, std::uint8_t, std::uint8_t) override { ops_.EngineVerified(agree); }
    void failureReply(std::uint8_t reply) override { ops_.EngineFailureReply(reply); }

private:
    ProgrammerLink& ops_;
};

ProgrammerLink::ProgrammerLink(UiHost& host, hid::Platform& platform, LinkListener* listener, bool hotPlug)
    : host_(host), platform_(platform), listener_(listener), engineListener_(std::make_unique<EngineListener>(*this)),
      link_(platform) {
    pro_.SendFunc = [this](const std::uint8_t* data, std::int32_t length) { return SendToLink(data, length); };
    pro_.SetListener(engineListener_.get());
    link_.OnOpen = [this](hid::DeviceLink&) { LinkOpened(); };
    link_.OnClose = [this](hid::DeviceLink&) { LinkClosed(); };
    link_.OnPayload = [this](hid::DeviceLink&, hid::DeviceLink::SessionId session, const std::uint8_t* payload,
                               std::uint32_t count) { LinkReceived(session, payload, count); };
    link_.OnFatalError = [this](hid::DeviceLink&, std::uint32_t, std::uint32_t, const std::string&,
                                  bool& raise) { LinkFailed(raise); };
    setHotPlug(hotPlug);
}

ProgrammerLink::~ProgrammerLink() {
    // The platform may call the listener on its own thread until this returns.
    if (hotPlug_) platform_.setChangeListener(nullptr);
    // Tasks still queued for us are dropped from now on, and the listener hears nothing more (the
    // close below must not call into a shell that is being torn down). The link is the last
    // member, so its destructor joins the reader before anything the reader uses goes away.
    alive_->store(false);
    if (watchdog_ != 0) host_.stopTimer(watchdog_);
    if (quiet_ != 0) host_.stopTimer(quiet_);
    link_.SetActive(false);
}

void ProgrammerLink::useChip(int index) {
    if (index < 0 || index >= static_cast<int>(kChips.size())) return;
    pro_.SelectChip(kChips[static_cast<std::size_t>(index)].name);
}

void ProgrammerLink::setHotPlug(bool on) {
    if (on == hotPlug_) return;
    hotPlug_ = on;
    searchOnChange_ = on;
    if (!on) {
        platform_.setChangeListener(nullptr);
        searchDeferred_ = false;
        return;
    }
    // Called on the platform's own thread: one search per change, on the UI thread.
    platform_.setChangeListener([this] { post([this] { SearchAfterDeviceChange(); }); });
}

void ProgrammerLink::SearchAfterDeviceChange() {
    // A change reported just before hot-plug was switched off is dropped.
    if (!searchOnChange_.load()) return;
    if (listener_ != nullptr) listener_->devicesChanged();
    SearchNow();
}

void ProgrammerLink::ResumeDeferredSearch() {
    if (searchDeferred_ && !busy()) post([this] {
        if (searchDeferred_ && !busy()) SearchNow();
    });
}

void ProgrammerLink::SearchNow() {
    try {
        searchProgrammer();
    } catch (const std::exception& e) {
        Notify([what = std::string(e.what())](LinkListener& v) { v.error(what); });
    } catch (...) {
        Notify([](LinkListener& v) { v.error("the programmer search failed"); });
    }
}

void ProgrammerLink::setLogSink(LogSink sink) {
    std::lock_guard lock(logMutex_);
    logSink_ = std::move(sink);
}

void ProgrammerLink::log(std::string_view text) {
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

bool ProgrammerLink::busy() const { return pending_.has_value() || pro_.Streaming() || draining_.load() >= 0; }

LinkState ProgrammerLink::state() const {
    LinkState now = state_;
    now.busy = busy();
    now.usable = linkOpenShown_.value_or(true) && !now.busy;
    return now;
}

bool ProgrammerLink::Draining(OpKind op) const { return draining_.load() == static_cast<int>(op); }

void ProgrammerLink::EndDrain() {
    if (draining_.load() < 0) return;
    const OpKind op = static_cast<OpKind>(draining_.load());
    draining_ = -1;
    // The cancelled operation's traffic has ended: its watchdog has nothing left to watch.
    if (op != OpKind::Write) StopWatchdog();
    StateChanged();
    ResumeDeferredSearch();
}

void ProgrammerLink::closeProgrammer() { link_.SetActive(false); }

std::vector<ProgrammerEntry> ProgrammerLink::listProgrammers() {
    if (busy()) return {};
    link_.Update();
    return ProgrammersIn(link_);
}

void ProgrammerLink::post(std::function<void()> fn) {
    host_.post([alive = alive_, fn = std::move(fn)] {
        if (alive->load()) fn();
    });
}

void ProgrammerLink::OnUi(std::function<void()> fn) {
    if (host_.onUiThread())
        fn();
    else
        post(std::move(fn));
}

void ProgrammerLink::Notify(std::function<void(LinkListener&)> fn) {
    if (listener_ == nullptr) return;
    // Always through the queue, so news keeps its order relative to posted state changes.
    post([this, fn = std::move(fn)] { fn(*listener_); });
}

void ProgrammerLink::PostProgress(std::uint32_t position) {
    // Reports come faster than a UI repaints: keep the newest position and queue at most one task.
    progressPending_ = position;
    if (progressQueued_.exchange(true)) return;
    OnUi([this] {
        progressQueued_ = false;
        // A cancelled operation moves the bar no more.
        if (draining_.load() >= 0) return;
        SetProgress(state_.progressMax, progressPending_.load());
        // A long stream sends without hearing back; its packets keep the Write's quiet period
        // from running out.
        if (quiet_ != 0) StartQuiet();
    });
}

// --- results ----------------------------------------------------------------------------------

void ProgrammerLink::Raise(OpsResult result) {
    if (listener_ == nullptr) return;
    post([this, result = std::move(result)] { listener_->finished(result); });
}

bool ProgrammerLink::RefuseWhileBusy(OpKind op) {
    if (!busy()) return false;
    const char* running = pending_ ? OpKindName(pending_->op)
                          : draining_.load() >= 0 ? OpKindName(static_cast<OpKind>(draining_.load()))
                                                  : "write";
    log(std::string("Busy: ") + running + " in progress, " +
            OpKindName(op) + " refused");
    Notify([](LinkListener& v) { v.refused(OpsRefusal::Busy); });
    Raise({op, OpStatus::Refused, std::string("busy: another operation is in progress")});
    return true;
}

void ProgrammerLink::Begin(OpKind op) {
    pending_ = Pending{op, link_.CurrentSessionId(), options_.verify};
    StateChanged();
}

void ProgrammerLink::Finish(OpKind op, OpStatus status, std::string message, std::uint32_t bytes, bool verified,
                        hid::DeviceLink::SessionId session) {
    if (!pending_ || pending_->op != op) return;
    if (session != 0 && pending_->session != session) return;
    ImagePtr image = pending_->image;
    pending_.reset();
    StopQuiet();
    // A read or write that completed leaves the bar full.
    if (status == OpStatus::Ok && op != OpKind::Detect) state_.progressPosition = state_.progressMax;
    OpsResult result{op, status, std::move(message), bytes, verified, std::move(image)};
    Raise(std::move(result));
    StateChanged();
    // A device change that came meanwhile is searched for now, after the result.
    ResumeDeferredSearch();
}

void ProgrammerLink::cancel(const std::string& why, bool closeLink) {
    // The programmer may go on answering the cancelled command (a read streams its data to the
    // end): until it is quiet, or the link is reset, its reports belong to that command. They
    // reach neither the log, the bar nor the view, and the gate stays closed meanwhile. Set before
    // the stream is told to stop, so that its stop is not news either.
    if (pending_ && !closeLink && pending_->session != 0 && pending_->session == link_.CurrentSessionId() &&
        link_.GetActive())
        draining_ = static_cast<int>(pending_->op);
    if (pro_.Streaming()) pro_.AbortStream();
    if (pending_) {
        const OpKind op = pending_->op;
        state_.progressPosition = 0;
        Finish(op, OpStatus::Interrupted, why);
        // A Write whose stream has not started yet: the programmer's reply may still start it
        // (and it is stopped at once); without one the quiet period ends the wait.
        if (Draining(OpKind::Write) && !pro_.Streaming()) StartQuiet();
    }
    if (closeLink) closeProgrammer();
}

void ProgrammerLink::Settle(std::function<void()> fn) {
    if (receivingThread_.load() == std::this_thread::get_id())
        settleAfterReport_.push_back(std::move(fn));
    else
        post(std::move(fn));
}

void ProgrammerLink::StartQuiet() {
    if (quiet_ != 0) host_.stopTimer(quiet_);
    quiet_ = host_.startTimer(UiHost::Millis(kWriteQuietMs), false, [this] { QuietExpired(); });
    quietEnabled_ = true;
}

void ProgrammerLink::StopQuiet() {
    if (quiet_ != 0) host_.stopTimer(quiet_);
    quiet_ = 0;
    quietEnabled_ = false;
}

void ProgrammerLink::QuietExpired() {
    quiet_ = 0;
    quietEnabled_ = false;
    if (Draining(OpKind::Write)) {
        if (pro_.Streaming())
            StartQuiet();
        else
            EndDrain();
        return;
    }
    if (!pending_ || pending_->op != OpKind::Write) return;
    if (pro_.Streaming()) {
        StartQuiet();
        return;
    }
    // Nothing is logged here and only the gate opens: a shell shows a silent Write as the
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

void ProgrammerLink::StateChanged() {
    state_ = state();
    if (listener_ != nullptr && alive_->load()) listener_->stateChanged(state_);
}

void ProgrammerLink::SetProgress(std::uint32_t max, std::uint32_t position) {
    state_.progressMax = max;
    state_.progressPosition = position;
    StateChanged();
}

// --- the three operations ------------------------------------------------------------------

void ProgrammerLink::StartWatchdog() {
    // Starting a running watchdog does not restart its countdown; only a report does.
    if (watchdog_ != 0) return;
    watchdog_ = host_.startTimer(UiHost::Millis(kWatchdogMs), true, [this] { WatchdogExpired(); });
    watchdogEnabled_ = true;
}

void ProgrammerLink::StopWatchdog() {
    if (watchdog_ != 0) host_.stopTimer(watchdog_);
    watchdog_ = 0;
    watchdogEnabled_ = false;
}

void ProgrammerLink::RestartWatchdog() {
    if (watchdog_ == 0) return;  // a disabled watchdog stays disabled
    host_.stopTimer(watchdog_);
    watchdog_ = host_.startTimer(UiHost::Millis(kWatchdogMs), true, [this] { WatchdogExpired(); });
}

void ProgrammerLink::ShowLinkState() {
    linkOpenShown_ = link_.GetActive();
    StateChanged();
}

void ProgrammerLink::SendFailed(OpKind op, const char* what) {
    // Not open: the message is lost as it always was; Detect and Read hear of it from the
    // watchdog, a Write (which has none) at once.
    if (pending_ && pending_->session == 0) {
        if (op == OpKind::Write) Finish(op, OpStatus::NoProgrammer, "no programmer is open");
        return;
    }
    if (pro_.Streaming()) return;  // cannot happen with the gate held; the stream's result comes
    const std::string reason = SystemReason(link_.LastWriteError());
    log(std::string("Send failed: ") + what + " (" + reason + ")");
    StopWatchdog();
    Finish(op, OpStatus::DeviceFailure, std::string("the ") + what + " could not be sent to the programmer: " + reason);
}

void ProgrammerLink::detect(bool sendConnectBlock) {
    if (RefuseWhileBusy(OpKind::Detect)) return;
    Begin(OpKind::Detect);
    programmer_.answered = false;  // until this connect block is answered
    StartWatchdog();
    if (sendConnectBlock && !pro_.Connect()) SendFailed(OpKind::Detect, "connect block");
}

void ProgrammerLink::read() {
    if (RefuseWhileBusy(OpKind::Read)) return;
    Begin(OpKind::Read);
    log("Read FLASH");
    std::uint32_t length = pro_.PrepareRead(options_.commandFlags());
    SetProgress(length, 0);
    StartWatchdog();
    if (!pro_.SendCommand()) SendFailed(OpKind::Read, "read command");
}

void ProgrammerLink::write(ImagePtr image) {
    if (!beginWrite()) return;
    sendImage(std::move(image));
}

bool ProgrammerLink::beginWrite() {
    // The gate is held from here to the result: no other operation, load, size change or search
    // can change the write buffer, the command or the link while the image goes out.
    if (RefuseWhileBusy(OpKind::Write)) return false;
    Begin(OpKind::Write);
    log("Write FLASH");
    return true;
}

void ProgrammerLink::refuseWrite(OpsRefusal why, std::string message, bool writeCommand) {
    if (writeCommand)
        pro_.EditCommand([](ProCommand& c) {
            c.opcode = OP_WRITE;
            c.reserved4 = 0;
        });
    Notify([why](LinkListener& v) { v.refused(why); });
    Finish(OpKind::Write, OpStatus::Refused, std::move(message));
}

void ProgrammerLink::sendImage(ImagePtr image) {
    pro_.EditCommand([](ProCommand& c) {
        c.opcode = OP_WRITE;
        c.reserved4 = 0;
    });
    if (!image || image->bytes.empty()) {
        log(Translate("Please load HEX/BIN file"));
        return refuseWrite(OpsRefusal::NoImage, "no image is loaded");
    }
    const std::size_t size = image->bytes.size();
    if (size > pro_.Chip().flashSize) {
        log(Translate("Select file is out of chip memory"));
        return refuseWrite(OpsRefusal::TooBig, "the image is larger than the chip's flash");
    }
    StageImage(*image);
    pending_->image = std::move(image);
    pro_.PrepareWrite(options_.commandFlags(), static_cast<std::uint32_t>(size));
    SetProgress(static_cast<std::uint32_t>(size), 0);
    if (!pro_.SendCommand()) return SendFailed(OpKind::Write, "write command");
    StartQuiet();
}

void ProgrammerLink::WatchdogExpired() {
    StopWatchdog();
    const std::uint32_t offset = pro_.ReadOffset();
    const std::uint32_t length = pro_.Command().length;
    log(Translate("operation timeout") + std::to_string(offset) + "  " + std::to_string(length));
    pro_.ResetToIdle();
    Notify([offset, length](LinkListener& v) { v.timedOut(offset, length); });
    // A cancelled operation's traffic ends here, if nothing ended it before.
    if (draining_.load() >= 0) return EndDrain();
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

std::int32_t ProgrammerLink::SendToLink(const std::uint8_t* data, std::int32_t length) {
    // On the reader thread the message answers a report (the image stream): it belongs to the
    // session that report came from, and must never reach a later one.
    const hid::DeviceLink::SessionId session =
        receivingThread_.load() == std::this_thread::get_id() ? receivingSession_ : 0;
    const std::uint32_t n = length < 0 ? 0u : static_cast<std::uint32_t>(length);
    return link_.WritePayload(data, n, session);
}

void ProgrammerLink::EngineLog(const std::string& text) {
    if (draining_.load() >= 0) return;  // a cancelled operation's news
    log(text);
}

void ProgrammerLink::EngineIdentified(const std::array<std::uint8_t, 64>& reply) {
    if (draining_.load() >= 0) {
        Settle([this] { EndDrain(); });
        return;
    }
    log(Format("Programer Communication is   OK：firmware:%d version:%d ", reply[2], reply[3]));
    const ConnectBlock block = pro_.LastConnectBlock().value_or(ConnectBlock{});
    const std::uint16_t expected = block.ExpectedEcho();
    const std::uint16_t upload = static_cast<std::uint16_t>(reply[4] | (reply[5] << 8));
    if (upload != expected) {
        log(Format("verify fail：upload：%d calc:：%d", upload, expected));
        log(Format("%x %x %x", block.key2, block.key3, block.value));
    }
    const bool chip = reply[1] != 0;
    if (chip) {
        log(Translate("chip dected OK"));
    } else {
        log(Translate("chip dected fail"));
        log("Chip is not connected! Please confirm: correct connection / module OK / good line contact");
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
        if (draining_.load() >= 0) return EndDrain();  // cancelled while this answer was on its way
        if (listener_ != nullptr) listener_->identified(programmer_);
        if (!echo)
            Finish(OpKind::Detect, OpStatus::DeviceFailure, "the programmer's handshake echo is wrong", 0, false, session);
        else if (!chip)
            Finish(OpKind::Detect, OpStatus::DeviceFailure, "no chip answered on the programmer's pins", 0, false,
                   session);
        else
            Finish(OpKind::Detect, OpStatus::Ok, "programmer answered and a chip is present", 0, false, session);
    });
}

void ProgrammerLink::EngineReadProgress(std::uint32_t count) {
    const std::uint32_t length = pro_.Command().length;
    const bool muted = draining_.load() >= 0;
    if (static_cast<std::int32_t>(count) < static_cast<std::int32_t>(length)) {
        if (!muted) PostProgress(count);
        return;
    }
    if (muted) {
        // The cancelled read's last report: the programmer is quiet again.
        Settle([this] { EndDrain(); });
        return;
    }
    // The line and the table share "Read finish", so that it reads "读完成" in Chinese.
    log(Translate("Read finish") + std::to_string(count) + " byte");
    // The chip's bytes as a value of their own: the result carries them, the listener may show them.
    const std::uint32_t flash = pro_.Chip().flashSize;
    auto chip = std::make_shared<Image>();
    chip->bytes.resize(flash);
    pro_.CopyReadBuffer(0, chip->bytes.data(), flash);
    const ImagePtr bytes = chip;
    const hid::DeviceLink::SessionId session = receivingSession_;
    OnUi([this, bytes] {
        StopWatchdog();
        if (draining_.load() >= 0) return;  // cancelled before this reached the UI: not shown
        if (listener_ != nullptr && alive_->load()) listener_->chipRead(*bytes);
    });
    Settle([this, count, session, bytes] {
        if (draining_.load() >= 0) return EndDrain();
        if (listener_ != nullptr) listener_->readDone(count);
        if (pending_ && pending_->op == OpKind::Read && pending_->session == session) pending_->image = bytes;
        Finish(OpKind::Read, OpStatus::Ok, "read " + std::to_string(count) + " bytes", count, false, session);
    });
}

void ProgrammerLink::EngineWriteProgress(std::int32_t count) {
    const std::uint32_t length = pro_.Command().length;
    if (draining_.load() >= 0) {
        // A cancelled Write's stream (started by the programmer's late reply, or not yet stopped):
        // stop it before its next packet. One that got out whole waits for its checksum, or the
        // quiet period, before the gate opens.
        if (count < static_cast<std::int32_t>(length))
            pro_.AbortStream();
        else
            Settle([this] {
                if (Draining(OpKind::Write)) StartQuiet();
            });
        return;
    }
    if (count < static_cast<std::int32_t>(length)) {
        PostProgress(static_cast<std::uint32_t>(count));
        return;
    }
    log(Translate("Write finish"));
    OnUi([this] { StopWatchdog(); });
    const hid::DeviceLink::SessionId session = receivingSession_;
    // The last packet is padded to a whole one; the image is the command's length.
    Settle([this, length, session] {
        if (listener_ != nullptr) listener_->streamDone(length);
        ResumeDeferredSearch();
        if (!pending_ || pending_->op != OpKind::Write || pending_->session != session) return;
        pending_->streamed = true;
        pending_->bytes = length;
        StartQuiet();  // now for the checksum
    });
}

void ProgrammerLink::EngineStreamStopped(std::uint32_t sent, bool aborted) {
    const std::uint32_t length = pro_.Command().length;
    const hid::DeviceLink::SessionId session = receivingSession_;
    if (aborted) {
        // Stopped by Cancel: the cancelled Write says nothing more; stopped by a closing link: say
        // how far it got.
        if (draining_.load() < 0) log(Format("Write stopped after %u of %u bytes", sent, length));
        // The gate opens only now that the stream has stopped: its state must say so.
        Settle([this] {
            if (draining_.load() >= 0) return EndDrain();
            StateChanged();
            ResumeDeferredSearch();
        });
        return;  // cancel() or the close gave the result
    }
    const std::string reason = SystemReason(link_.LastWriteError());
    log(Format("Write failed after %u of %u bytes: %s", sent, length, reason.c_str()));
    Settle([this, sent, length, reason, session] {
        ResumeDeferredSearch();
        Finish(OpKind::Write, OpStatus::DeviceFailure,
               "the image stream failed after " + std::to_string(sent) + " of " + std::to_string(length) +
                   " bytes: " + reason,
               sent, false, session);
    });
}

void ProgrammerLink::EngineVerified(bool ok) {
    if (draining_.load() >= 0) {
        Settle([this] { EndDrain(); });
        return;
    }
    log(Translate("Verify") + " " + Translate(ok ? "Success" : "Fail"));
    const hid::DeviceLink::SessionId session = receivingSession_;
    Settle([this, ok, session] {
        if (listener_ != nullptr) listener_->verifyOutcome(ok);
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

void ProgrammerLink::EngineFailureReply(std::uint8_t reply) {
    const hid::DeviceLink::SessionId session = receivingSession_;
    Settle([this, reply, session] {
        if (draining_.load() >= 0) return EndDrain();  // the programmer refused the cancelled command
        if (listener_ != nullptr) listener_->failureReply(reply);
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

void ProgrammerLink::LinkReceived(hid::DeviceLink::SessionId session, const std::uint8_t* payload,
                                    std::uint32_t count) {
    // One restart task in the queue at a time: it runs after the reports that asked for it,
    // and a report arriving after it started queues the next one.
    if ((watchdogEnabled_.load() || quietEnabled_.load()) && !restartQueued_.exchange(true)) {
        post([this] {
            restartQueued_ = false;
            RestartWatchdog();
            if (quiet_ != 0) StartQuiet();
        });
    }
    // Results this report decides are posted once the engine has logged its lines.
    receivingSession_ = session;
    receivingThread_ = std::this_thread::get_id();
    struct AfterReport {
        ProgrammerLink& ops;
        ~AfterReport() {
            ops.receivingThread_ = std::thread::id();
            for (auto& fn : ops.settleAfterReport_) ops.post(std::move(fn));
            ops.settleAfterReport_.clear();
        }
    } after{*this};
    pro_.OnReceive(payload, static_cast<std::int32_t>(count));
}

void ProgrammerLink::LinkOpened() {
    log("HID Opened");
    OnUi([this] { ShowLinkState(); });
    Notify([](LinkListener& v) { v.linkChanged(LinkEvent::Opened); });
}

void ProgrammerLink::LinkClosed() {
    log("HID Close ");
    // The stream of the closed session cannot reach a later one; stop it before its next packet.
    if (pro_.Streaming()) pro_.AbortStream();
    OnUi([this] {
        ShowLinkState();
        programmer_ = ProgrammerInfo{};
    });
    Notify([](LinkListener& v) { v.linkChanged(LinkEvent::Closed); });
    post([this] {
        EndDrain();  // a reset link carries nothing of the cancelled operation
        if (pending_ && pending_->session != 0 && pending_->session != link_.CurrentSessionId())
            Finish(pending_->op, OpStatus::DeviceFailure, "the programmer was disconnected");
    });
}

void ProgrammerLink::LinkFailed(bool& raiseException) {
    log("HID Error ");
    OnUi([this] { ShowLinkState(); });
    Notify([](LinkListener& v) { v.linkChanged(LinkEvent::Error); });
    raiseException = true;
}

// --- the programmer search ------------------------------------------------------------------

void ProgrammerLink::searchProgrammer() {
    // Never in the middle of an operation: the search may close the link and sends a connect
    // block. It runs once the operation has its result.
    if (busy()) {
        searchDeferred_ = true;
        return;
    }
    searchDeferred_ = false;
    link_.Update();
    link_.GetDeviceList();
    for (int i = 0; i < link_.GetDeviceCount(); ++i) {
        link_.SetDeviceIndex(i);
        const hid::TnrHidDevice* entry = link_.GetCurrentDevice();
        if (entry == nullptr || !MatchesProgrammer(*entry, chosen_)) continue;
        if (link_.GetActive()) {
            if (programmer_.path == link_.GetDevicePath()) return;
            // Another programmer was chosen: let go of the one that is open.
            link_.SetActive(false);
            link_.SetDeviceIndex(i);
        }
        try {
            link_.SetActive(true);
        } catch (const hid::HidError& e) {
            // Found but refused: the log says why and what to do, then the error goes on as before.
            if (e.Detail() == EACCES) log(link_.GetDevicePath() + ": " + SystemReason(EACCES) + kAccessHint);
            throw;
        }
        if (link_.GetActive() && !link_.CanWrite())
            log(link_.GetDevicePath() + ": opened for reading only, nothing can be sent to it" + kAccessHint);
        state_.programmerOpen = true;
        StateChanged();
        programmer_ = ProgrammerInfo{};
        programmer_.path = link_.GetDevicePath();
        programmer_.product = link_.GetProductString();
        programmer_.serial = link_.GetSerialNumberString();
        log(Translate("Programer is connected!") + link_.GetProductString() + " " +
                link_.GetSerialNumberString());
        pro_.Connect();
        return;
    }
    link_.SetActive(false);
    programmer_ = ProgrammerInfo{};
    state_.programmerOpen = false;
    StateChanged();
}

// --- the image on its way out ------------------------------------------------------------

void ProgrammerLink::StageImage(const Image& image) {
    // The engine streams whole packets: the image, then erased bytes to the end of its last
    // packet, so that nothing an earlier, longer image left in the buffer follows it to the chip.
    static const std::array<std::uint8_t, 64> kErased = [] {
        std::array<std::uint8_t, 64> a{};
        a.fill(0xFF);
        return a;
    }();
    const std::size_t size = image.bytes.size();
    pro_.StoreImage(0, image.bytes.data(), size);
    const std::size_t tail = std::min<std::size_t>((64 - size % 64) % 64, CPro::kBufferSize - size);
    if (tail != 0) pro_.StoreImage(static_cast<std::uint32_t>(size), kErased.data(), tail);
}

}  // namespace quillon
