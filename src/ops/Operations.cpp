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
#include "log/Log.h"

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

ImageKind ImageKindOf(std::string_view name) {
    std::string tail(name.size() >= 3 ? name.substr(name.size() - 3) : name);
    for (char& c : tail) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (tail == "HEX") return ImageKind::Hex;
    if (tail == "BIN") return ImageKind::Bin;
    return ImageKind::Other;
}

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

Operations::Operations(UiHost& host, hid::Platform& platform, OpsView* view)
    : host_(host), platform_(platform), view_(view), nrHid1_(platform) {
    pro_.SendFunc = [this](const std::uint8_t* data, std::int32_t length) { return SendReport(data, length); };
    pro_.EventFunc = [this](std::uint32_t code, const void* payload) { OnProEvent(code, payload); };
    nrHid1_.OnOpen = [this](hid::TnrBaseIO&) { nrHid1Open(); };
    nrHid1_.OnClose = [this](hid::TnrBaseIO&) { nrHid1Close(); };
    nrHid1_.OnAfterReceive = [this](hid::TnrBaseIO&, const std::uint8_t* buffer, std::uint32_t received) {
        nrHid1AfterReceive(buffer, received);
    };
    nrHid1_.OnFatalError = [this](hid::TnrBaseIO&, std::uint32_t, std::uint32_t, const std::string&,
                                  bool& raise) { nrHid1FatalError(raise); };
    reportCopy_.reserve(1024);
    setHotPlug(true);
}

Operations::~Operations() {
    // The platform may call the listener on its own thread until this returns.
    if (hotPlug_) platform_.setChangeListener(nullptr);
    // Tasks still queued for us are dropped from now on. The link is the last member, so its
    // destructor joins the reader before anything the reader uses goes away.
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
        return;
    }
    // Called on the platform's own thread: one search per change, on the UI thread.
    platform_.setChangeListener([this] { Post([this] { SearchAfterDeviceChange(); }); });
}

void Operations::SearchAfterDeviceChange() {
    // A change reported just before hot-plug was switched off is dropped.
    if (!searchOnChange_.load()) return;
    try {
        searchProgrammer();
    } catch (const std::exception& e) {
        if (view_ != nullptr) view_->error(e.what());
    } catch (...) {
        if (view_ != nullptr) view_->error("the programmer search failed");
    }
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

void Operations::Emit(OpsEvent event) {
    if (view_ == nullptr) return;
    // Always through the queue, so outcomes keep their order relative to posted state changes.
    Post([this, event] { view_->event(event); });
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

void Operations::Begin(OpKind op) {
    if (pending_) Finish(pending_->op, OpStatus::Interrupted, std::string("superseded by ") + OpKindName(op));
    pending_ = Pending{op, nrHid1_.GetActive(), controls_.verify};
}

void Operations::Finish(OpKind op, OpStatus status, std::string message, std::uint32_t bytes, bool verified) {
    if (!pending_ || pending_->op != op) return;
    pending_.reset();
    StopQuiet();
    Raise({op, status, std::move(message), bytes, verified});
}

void Operations::cancel(const std::string& why) {
    if (pending_) Finish(pending_->op, OpStatus::Interrupted, why);
}

void Operations::Settle(std::function<void()> fn) {
    if (receivingThread_.load() == std::this_thread::get_id())
        settleAfterReport_.push_back(std::move(fn));
    else
        Post(std::move(fn));
}

void Operations::SettleFailureReply(std::uint8_t reply) {
    Settle([this, reply] {
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
        Finish(op, OpStatus::DeviceFailure, Format("the programmer reported a failure (%02X)", reply));
    });
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
    if (streaming_.load()) {
        StartQuiet();
        return;
    }
    // Nothing is logged and no control changes here: the window shows a silent Write as the
    // log left it. With verify off a programmer may end a complete stream without a checksum.
    const Pending p = *pending_;
    if (p.streamed && !p.verify)
        Finish(OpKind::Write, OpStatus::Ok,
               "wrote " + std::to_string(p.bytes) + " bytes; the programmer sent no checksum", p.bytes, false);
    else if (!p.linkWasOpen)
        Finish(OpKind::Write, OpStatus::NoProgrammer, "no programmer is open", p.bytes);
    else
        Finish(OpKind::Write, OpStatus::Timeout, "no answer", p.bytes);
}

void Operations::RefuseBusy() {
    Log("Busy: the image is being written");
    Emit({OpsOutcome::Refused, static_cast<std::uint32_t>(OpsRefusal::Busy)});
}

void Operations::ControlsChanged() {
    if (view_ != nullptr) view_->controlsChanged(controls_);
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
            controls_.buttonsEnabled = nrHid1_.GetActive();
            ControlsChanged();
            break;
        case 5:
            Log("Read FLASH");
            break;
        case 6:
            Log("Write FLASH");
            break;
        default:
            break;
    }
}

void Operations::detect(bool sendConnectBlock) {
    Begin(OpKind::Detect);
    if (sendConnectBlock) pro_.Connect();
    startWatchdog();
}

void Operations::read() {
    Begin(OpKind::Read);
    updateControlStatus(5);
    std::uint32_t length = pro_.PrepareRead(Flags());
    SetProgress(length, 0);
    pro_.SendCommand();
    startWatchdog();
}

void Operations::write() {
    // While the previous Write streams its image, neither the write buffer nor the command it
    // streams may change: a second Write is refused until the stream ends, and the streaming
    // one keeps its result to come.
    std::unique_lock image(imageMutex_, std::try_to_lock);
    if (!image.owns_lock()) {
        updateControlStatus(6);
        RefuseBusy();
        Raise({OpKind::Write, OpStatus::Refused, "busy: the image is being written"});
        return;
    }
    Begin(OpKind::Write);
    updateControlStatus(6);
    const auto refuse = [this](OpsRefusal why, std::string message) {
        Emit({OpsOutcome::Refused, static_cast<std::uint32_t>(why)});
        Finish(OpKind::Write, OpStatus::Refused, std::move(message));
    };
    if (controls_.reload) {
        if (!rememberedFile_.empty() && StatPath(rememberedFile_).error == 0) {
            bool loaded = false;
            std::string why = "the image file could not be loaded";
            try {
                loaded = LoadImageFileLocked(rememberedFile_);
            } catch (const std::exception& e) {
                why += std::string(": ") + e.what();
            }
            if (!loaded) return refuse(OpsRefusal::LoadFailed, why);
        } else {
            Log(Translate("File Not Exists"));
            return refuse(OpsRefusal::FileNotExists, "the image file does not exist");
        }
    }
    pro_.EditCommand([](ProCommand& c) {
        c.opcode = OP_WRITE;
        c.reserved4 = 0;
    });
    const std::size_t size = hexEditor_.GetDataSize();
    if (size == 0) {
        Log(Translate("Please load HEX/BIN file"));
        return refuse(OpsRefusal::NoImage, "no image is loaded");
    }
    if (size > pro_.Chip().flashSize) {
        Log(Translate("Select file is out of chip memory"));
        return refuse(OpsRefusal::TooBig, "the image is larger than the chip's flash");
    }
    pro_.PrepareWrite(Flags(), static_cast<std::uint32_t>(size));
    SetProgress(static_cast<std::uint32_t>(size), 0);
    image.unlock();
    pro_.SendCommand();
    StartQuiet();
}

void Operations::watchdogExpired() {
    StopWatchdog();
    const std::uint32_t offset = pro_.ReadOffset();
    const std::uint32_t length = pro_.Command().length;
    Log(Translate("operation timeout") + std::to_string(offset) + "  " + std::to_string(length));
    pro_.ResetToIdle();
    Emit({OpsOutcome::Timeout, offset, length});
    // A Write is watched by its own quiet period, whatever the watchdog left running.
    if (!pending_ || pending_->op == OpKind::Write) return;
    const OpKind op = pending_->op;
    if (!pending_->linkWasOpen)
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
    std::uint8_t report[65] = {};
    const std::int32_t n = length < 0 ? 0 : (length > 64 ? 64 : length);
    if (n > 0) std::memcpy(report + 1, data, static_cast<std::size_t>(n));
    nrHid1_.WriteReport(report, sizeof report);
    return n;
}

void Operations::OnProEvent(std::uint32_t code, const void* payload) {
    switch (code) {
        case EV_MESSAGE:
            Log(static_cast<const char*>(payload));
            break;
        case EV_IDENTIFY: {
            const auto* reply = static_cast<const std::uint8_t*>(payload);
            Log(Format("Programer Communication is   OK：firmware:%d version:%d ", reply[2], reply[3]));
            const ConnectBlock block = pro_.LastConnectBlock().value_or(ConnectBlock{});
            const std::uint16_t expected = block.ExpectedEcho();
            const std::uint16_t upload = static_cast<std::uint16_t>(reply[4] | (reply[5] << 8));
            if (upload != expected) {
                Log(Format("verify fail：upload：%d calc:：%d", upload, expected));
                Log(Format("%x %x %x", block.key2, block.key3, block.value));
            }
            const bool chip = reply[1] != 0;
            if (chip) {
                Log(Translate("chip dected OK"));
            } else {
                Log(Translate("chip dected fail"));
                Log("Chip is not connected! Please confirm: correct connection / module OK / good line contact");
            }
            OnUi([this] { StopWatchdog(); });
            Emit({OpsOutcome::Identified, chip ? 1u : 0u, upload == expected ? 1u : 0u});
            Settle([this, chip, echo = upload == expected] {
                if (!echo)
                    Finish(OpKind::Detect, OpStatus::DeviceFailure, "the programmer's handshake echo is wrong");
                else if (!chip)
                    Finish(OpKind::Detect, OpStatus::DeviceFailure, "no chip answered on the programmer's pins");
                else
                    Finish(OpKind::Detect, OpStatus::Ok, "programmer answered and a chip is present");
            });
            break;
        }
        case EV_READ_PROGRESS: {
            const std::uint32_t count = *static_cast<const std::uint32_t*>(payload);
            const std::uint32_t length = pro_.Command().length;
            if (static_cast<std::int32_t>(count) < static_cast<std::int32_t>(length)) {
                PostProgress(count);
                break;
            }
            // The line and the table share "Read finish", so that it reads "读完成" in Chinese.
            Log(Translate("Read finish") + std::to_string(count) + " byte");
            const std::uint32_t flash = pro_.Chip().flashSize;
            auto bytes = std::make_shared<std::vector<std::uint8_t>>(flash);
            pro_.CopyReadBuffer(0, bytes->data(), flash);
            OnUi([this, bytes] {
                StopWatchdog();
                hexEditor_.SetDataSize(static_cast<std::int64_t>(bytes->size()));
                hexEditor_.WriteBuffer(bytes->data(), 0, bytes->size());
                if (view_ != nullptr) view_->hexViewChanged();
            });
            Emit({OpsOutcome::ReadComplete, count, 0});
            Settle([this, count] {
                Finish(OpKind::Read, OpStatus::Ok, "read " + std::to_string(count) + " bytes", count);
            });
            break;
        }
        case EV_WRITE_PROGRESS: {
            const std::int32_t count = *static_cast<const std::int32_t*>(payload);
            const std::uint32_t length = pro_.Command().length;
            if (count < static_cast<std::int32_t>(length)) {
                PostProgress(static_cast<std::uint32_t>(count));
                break;
            }
            Log(Translate("Write finish"));
            OnUi([this] { StopWatchdog(); });
            Emit({OpsOutcome::WriteStreamed, static_cast<std::uint32_t>(count), 0});
            // The last packet is padded to a whole one; the image is the command's length.
            Settle([this, length] {
                if (!pending_ || pending_->op != OpKind::Write) return;
                pending_->streamed = true;
                pending_->bytes = length;
                StartQuiet();  // now for the checksum
            });
            break;
        }
        case EV_VERIFY: {
            const bool ok = *static_cast<const std::int32_t*>(payload) != 0;
            Log(Translate("Verify") + " " + Translate(ok ? "Success" : "Fail"));
            Emit({OpsOutcome::Verified, ok ? 1u : 0u, 0});
            Settle([this, ok] {
                if (!pending_ || pending_->op != OpKind::Write) return;
                const std::uint32_t bytes = pending_->bytes;
                if (ok)
                    Finish(OpKind::Write, OpStatus::Ok,
                           "wrote " + std::to_string(bytes) + " bytes, transfer checksum matches", bytes, true);
                else
                    Finish(OpKind::Write, OpStatus::VerifyFailure,
                           "checksum mismatch: the programmer received other bytes than sent", bytes);
            });
            break;
        }
        default:
            break;
    }
}

void Operations::nrHid1AfterReceive(const std::uint8_t* buffer, std::uint32_t count) {
    // One restart task in the queue at a time: it runs after the reports that asked for it,
    // and a report arriving after it started queues the next one.
    if ((watchdogEnabled_.load() || quietEnabled_.load()) && !restartQueued_.exchange(true)) {
        Post([this] {
            restartQueued_ = false;
            RestartWatchdog();
            if (quiet_ != 0) StartQuiet();
        });
    }
    if (count == 0) return;
    // The receive handler's copy, kept in one reused buffer instead of an allocation per report.
    reportCopy_.assign(buffer, buffer + count);
    const std::uint8_t* payload = reportCopy_.data() + 1;
    const auto length = static_cast<std::int32_t>(count - 1);
    // Results this report decides are posted once the engine has logged its lines.
    receivingThread_ = std::this_thread::get_id();
    struct AfterReport {
        Operations& ops;
        ~AfterReport() {
            ops.receivingThread_ = std::thread::id();
            for (auto& fn : ops.settleAfterReport_) ops.Post(std::move(fn));
            ops.settleAfterReport_.clear();
        }
    } after{*this};
    if (pro_.State() == ProState::Idle && length > 0) {
        if (payload[0] & 0x80) {
            Emit({OpsOutcome::FailureReply, payload[0], 0});
            SettleFailureReply(payload[0]);
        }
        if (payload[0] == OP_WRITE) {
            // The engine streams the image inside this call: hold off loads meanwhile.
            std::lock_guard image(imageMutex_);
            streaming_ = true;
            pro_.OnReceive(payload, length);
            streaming_ = false;
            return;
        }
    }
    pro_.OnReceive(payload, length);
}

void Operations::nrHid1Open() {
    Log("HID Opened");
    OnUi([this] { updateControlStatus(0); });
    Emit({OpsOutcome::LinkOpened});
}

void Operations::nrHid1Close() {
    Log("HID Close ");
    OnUi([this] { updateControlStatus(0); });
    Emit({OpsOutcome::LinkClosed});
    Post([this] {
        if (pending_) Finish(pending_->op, OpStatus::DeviceFailure, "the programmer was disconnected");
    });
}

void Operations::nrHid1FatalError(bool& raiseException) {
    Log("HID Error ");
    OnUi([this] { updateControlStatus(0); });
    Emit({OpsOutcome::LinkError});
    raiseException = true;
}

// --- the programmer search ------------------------------------------------------------------

void Operations::searchProgrammer() {
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
        if (nrHid1_.GetActive()) return;
        nrHid1_.SetActive(true);
        controls_.chipListColour = kColourGreen;
        ControlsChanged();
        Log(Translate("Programer is connected!") + nrHid1_.GetProductString() + " " +
            nrHid1_.GetSerialNumberString());
        pro_.Connect();
        return;
    }
    nrHid1_.SetActive(false);
    controls_.chipListColour = kColourGrey;
    ControlsChanged();
}

// --- image loading, Set Flash Size, Save BIN ------------------------------------------------

bool Operations::loadImage(const std::string& name) {
    std::unique_lock image(imageMutex_, std::try_to_lock);
    if (!image.owns_lock()) {
        RefuseBusy();
        return false;
    }
    return LoadImageFileLocked(name);
}

bool Operations::ConvertHex(const std::string& name, std::uint32_t& length) {
    // Convert into a scratch image first: a file that fails to convert, or that is larger than
    // the write buffer, leaves the previous image in the buffer and the view.
    std::vector<std::uint8_t> scratch(CPro::kBufferSize);
    hex::CHex2Bin converter;
    length = CPro::kBufferSize;
    const std::int32_t rc = converter.Convert(name, nullptr, &length, scratch);
    if (rc == hex::kHexDestOverflow) {
        Log(Format("%s: the image is %" PRIu32 " bytes, larger than the %" PRIu32 "-byte write buffer",
                   name.c_str(), length, CPro::kBufferSize));
        return false;
    }
    if (rc != hex::kHexSuccess) {
        Log(name + ": " + converter.LastMessage);
        return false;
    }
    pro_.StoreImage(0, scratch.data(), length);
    // The BIN copy beside the HEX file holds exactly the image (an older, longer copy is replaced
    // whole). A failure to write it does not stop the load.
    try {
        WriteFileAtomically(name + ".bin", std::string_view(reinterpret_cast<const char*>(scratch.data()), length));
    } catch (const std::exception&) {
        Log(name + ".bin: " + hex::CHex2Bin::Message(hex::kHexWriteDestError));
    }
    hexEditor_.SetDataSize(length);
    hexEditor_.WriteBuffer(scratch.data(), 0, length);
    return true;
}

bool Operations::LoadImageFileLocked(const std::string& name) {
    rememberedFile_ = name;
    controls_.fileBox = name;
    ControlsChanged();
    const ImageKind kind = ImageKindOf(name);
    bool loaded = false;
    if (kind == ImageKind::Hex) {
        std::uint32_t length = 0;
        loaded = ConvertHex(name, length);
    } else {
        const PathStatus status = StatPath(name);
        const std::uint64_t size = status.size;
        if (status.error == 0 && status.isRegular && kind == ImageKind::Bin && size > CPro::kBufferSize) {
            Log(Format("%s: the image is %ju bytes, larger than the %" PRIu32 "-byte write buffer", name.c_str(),
                       static_cast<std::uintmax_t>(size), CPro::kBufferSize));
            return false;
        }
        hexEditor_.LoadFromFile(name);  // HexDocumentError: "Cannot open %s." ...
        if (kind == ImageKind::Bin)
            pro_.StoreImage(0, hexEditor_.Data().data(), hexEditor_.GetDataSize());
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
    std::unique_lock image(imageMutex_, std::try_to_lock);
    if (!image.owns_lock()) {
        RefuseBusy();
        return;
    }
    const std::string name = args_.size() >= 2 ? args_[1] : std::string();
    if (ImageKindOf(name) != ImageKind::Hex) return;
    pro_.StoreImage(0, kErasedHead.data(), kErasedHead.size());
    std::uint32_t length = 0;
    if (ConvertHex(name, length) && view_ != nullptr) view_->hexViewChanged();
}

void Operations::loadChosenFile(const std::string& name) {
    std::unique_lock image(imageMutex_, std::try_to_lock);
    if (!image.owns_lock()) {
        RefuseBusy();
        return;
    }
    pro_.StoreImage(0, kErasedHead.data(), kErasedHead.size());
    try {
        if (!LoadImageFileLocked(name)) return;
    } catch (const HexDocumentError& e) {
        throw OpsError(e.what());
    }
    const std::size_t n = hexEditor_.GetDataSize();
    Log("Load File" + name + "  " + std::to_string(n) + " Bytes");
    controls_.flashSizeBox = std::to_string(n);
    ControlsChanged();
}

bool Operations::setImage(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > CPro::kBufferSize) return false;
    std::unique_lock image(imageMutex_, std::try_to_lock);
    if (!image.owns_lock()) {
        RefuseBusy();
        return false;
    }
    pro_.StoreImage(0, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    hexEditor_.SetDataSize(static_cast<std::int64_t>(bytes.size()));
    hexEditor_.WriteBuffer(bytes.data(), 0, bytes.size());
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
    std::unique_lock image(imageMutex_, std::try_to_lock);
    if (!image.owns_lock()) {
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
