// The programming operations: what the window's buttons, the engine's events, the HID link's
// status events and the watchdog do. Engine events and received reports arrive on the HID reader
// thread; everything they change that the UI shows is posted to the UI thread, in order.
#include "ops/Operations.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "config/AtomicWrite.h"
#include "config/Config.h"
#include "hex/Chex2bin.h"
#include "log/Log.h"

namespace quillon {

namespace {

std::string Format(const char* fmt, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string UpperLast3(const std::string& name) {
    std::string tail = name.size() >= 3 ? name.substr(name.size() - 3) : name;
    for (char& c : tail) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return tail;
}

}  // namespace

Operations::Operations(UiHost& host, hid::Platform& platform, OpsView* view)
    : host_(host), view_(view), nrHid1_(platform) {
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
}

Operations::~Operations() {
    // Tasks still queued for us are dropped from now on. The link is the last member, so its
    // destructor joins the reader before anything the reader uses goes away.
    alive_->store(false);
    if (watchdog_ != 0) host_.stopTimer(watchdog_);
    nrHid1_.SetActive(false);
}

void Operations::SetControls(const OpsControls& controls) {
    const bool chipChanged = controls.chipIndex != controls_.chipIndex || controls.chipText != controls_.chipText;
    controls_ = controls;
    rememberedFile_ = controls_.fileBox;
    // A chip restored from the settings also takes effect in the engine: otherwise a restored
    // NRF24LU1_32K would refuse a 32 KiB image until the user picked it again.
    if (chipChanged && controls_.chipIndex >= 0 && controls_.chipIndex < 3) {
        controls_.chipText = kChipNames[controls_.chipIndex];
        pro_.SelectChip(controls_.chipText);
    }
    ControlsChanged();
}

void Operations::SelectChipIndex(int index) {
    if (index < -1 || index >= 3) index = -1;
    controls_.chipIndex = index;
    controls_.chipText = index < 0 ? "Select Device" : kChipNames[index];
    ControlsChanged();
    cbbDevChange();
}

void Operations::SetProgrammerFilter(std::function<bool(const hid::TnrHidDevice&)> filter) {
    filter_ = std::move(filter);
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
    });
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

void Operations::cbbDevChange() {
    if (controls_.chipText.empty() || controls_.chipIndex == -1) return;
    pro_.SelectChip(controls_.chipText);
}

void Operations::StartWatchdog() {
    // Starting a running watchdog does not restart its countdown; only a report does.
    if (watchdog_ != 0) return;
    watchdog_ = host_.startTimer(UiHost::Millis(kWatchdogMs), true, [this] { tmrTimeoutTimer(); });
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
    watchdog_ = host_.startTimer(UiHost::Millis(kWatchdogMs), true, [this] { tmrTimeoutTimer(); });
}

void Operations::UpdateCtrlStatus(std::uint8_t status) {
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

void Operations::btnDectClick() {
    pro_.Connect();
    StartWatchdog();
}

void Operations::btnReadClick() {
    UpdateCtrlStatus(5);
    std::uint32_t length = pro_.PrepareRead(Flags());
    SetProgress(length, 0);
    pro_.SendCommand();
    StartWatchdog();
}

void Operations::BtnAutoClick() {
    UpdateCtrlStatus(6);
    // While the previous Write streams its image, neither the write buffer nor the command it
    // streams may change: a second Write is refused until the stream ends.
    std::unique_lock image(imageMutex_, std::try_to_lock);
    if (!image.owns_lock()) {
        RefuseBusy();
        return;
    }
    if (controls_.reload) {
        std::error_code ec;
        if (!rememberedFile_.empty() && std::filesystem::exists(rememberedFile_, ec)) {
            if (!LoadImageFileLocked(rememberedFile_)) {
                Emit({OpsOutcome::Refused, static_cast<std::uint32_t>(OpsRefusal::LoadFailed)});
                return;
            }
        } else {
            Log(Translate("File Not Exists"));
            Emit({OpsOutcome::Refused, static_cast<std::uint32_t>(OpsRefusal::FileNotExists)});
            return;
        }
    }
    pro_.EditCommand([](ProCommand& c) {
        c.opcode = OP_WRITE;
        c.reserved4 = 0;
    });
    const std::size_t size = hexEditor_.GetDataSize();
    if (size == 0) {
        Log(Translate("Please load HEX/BIN file"));
        Emit({OpsOutcome::Refused, static_cast<std::uint32_t>(OpsRefusal::NoImage)});
        return;
    }
    if (size > pro_.Chip().flashSize) {
        Log(Translate("Select file is out of chip memory"));
        Emit({OpsOutcome::Refused, static_cast<std::uint32_t>(OpsRefusal::TooBig)});
        return;
    }
    pro_.PrepareWrite(Flags(), static_cast<std::uint32_t>(size));
    SetProgress(static_cast<std::uint32_t>(size), 0);
    image.unlock();
    pro_.SendCommand();
}

void Operations::tmrTimeoutTimer() {
    StopWatchdog();
    const std::uint32_t offset = pro_.ReadOffset();
    const std::uint32_t length = pro_.Command().length;
    Log(Translate("operation timeout") + std::to_string(offset) + "  " + std::to_string(length));
    pro_.ResetToIdle();
    Emit({OpsOutcome::Timeout, offset, length});
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
            break;
        }
        case EV_VERIFY: {
            const bool ok = *static_cast<const std::int32_t*>(payload) != 0;
            Log(Translate("Verify") + " " + Translate(ok ? "Success" : "Fail"));
            Emit({OpsOutcome::Verified, ok ? 1u : 0u, 0});
            break;
        }
        default:
            break;
    }
}

void Operations::nrHid1AfterReceive(const std::uint8_t* buffer, std::uint32_t count) {
    // One restart task in the queue at a time: it runs after the reports that asked for it,
    // and a report arriving after it started queues the next one.
    if (watchdogEnabled_.load() && !restartQueued_.exchange(true)) {
        Post([this] {
            restartQueued_ = false;
            RestartWatchdog();
        });
    }
    if (count == 0) return;
    // The receive handler's copy, kept in one reused buffer instead of an allocation per report.
    reportCopy_.assign(buffer, buffer + count);
    const std::uint8_t* payload = reportCopy_.data() + 1;
    const auto length = static_cast<std::int32_t>(count - 1);
    if (pro_.State() == ProState::Idle && length > 0) {
        if (payload[0] & 0x80) Emit({OpsOutcome::FailureReply, payload[0], 0});
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
    OnUi([this] { UpdateCtrlStatus(0); });
    Emit({OpsOutcome::LinkOpened});
}

void Operations::nrHid1Close() {
    Log("HID Close ");
    OnUi([this] { UpdateCtrlStatus(0); });
    Emit({OpsOutcome::LinkClosed});
}

void Operations::nrHid1FatalError(bool& raiseException) {
    Log("HID Error ");
    OnUi([this] { UpdateCtrlStatus(0); });
    Emit({OpsOutcome::LinkError});
    raiseException = true;
}

// --- the programmer search ------------------------------------------------------------------

void Operations::updateUsbBridge() {
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

bool Operations::LoadImageFile(const std::string& name) {
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
    const std::string kind = UpperLast3(name);
    bool loaded = false;
    if (kind == "HEX") {
        std::uint32_t length = 0;
        loaded = ConvertHex(name, length);
    } else {
        std::error_code ec;
        const auto size = std::filesystem::file_size(name, ec);
        if (!ec && kind == "BIN" && size > CPro::kBufferSize) {
            Log(Format("%s: the image is %ju bytes, larger than the %" PRIu32 "-byte write buffer", name.c_str(),
                       static_cast<std::uintmax_t>(size), CPro::kBufferSize));
            return false;
        }
        hexEditor_.LoadFromFile(name);  // HexDocumentError: "Cannot open %s." ...
        if (kind == "BIN")
            pro_.StoreImage(0, hexEditor_.Data().data(), hexEditor_.GetDataSize());
        loaded = true;
    }
    if (loaded && view_ != nullptr) view_->hexViewChanged();
    return loaded;
}

void Operations::BtnLoadFileClick(const std::optional<std::string>& chosen) {
    std::unique_lock image(imageMutex_, std::try_to_lock);
    if (!image.owns_lock()) {
        RefuseBusy();
        return;
    }
    static const std::vector<std::uint8_t> kErased(0x10000, 0xFF);
    if (args_.empty()) {
        if (!chosen) return;
        pro_.StoreImage(0, kErased.data(), kErased.size());
        try {
            if (!LoadImageFileLocked(*chosen)) return;
        } catch (const HexDocumentError& e) {
            throw OpsError(e.what());
        }
        const std::size_t n = hexEditor_.GetDataSize();
        Log("Load File" + *chosen + "  " + std::to_string(n) + " Bytes");
        controls_.flashSizeBox = std::to_string(n);
        ControlsChanged();
        return;
    }
    const std::string name = args_.size() >= 2 ? args_[1] : std::string();
    if (UpperLast3(name) != "HEX") return;
    pro_.StoreImage(0, kErased.data(), kErased.size());
    std::uint32_t length = 0;
    if (ConvertHex(name, length) && view_ != nullptr) view_->hexViewChanged();
}

void Operations::btnSetFlashSizeClick() {
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

void Operations::btnSaveBinClick(const std::optional<std::string>& chosen) {
    if (!chosen) return;
    try {
        hexEditor_.SaveToFile(*chosen, true);
    } catch (const HexDocumentError& e) {
        throw OpsError(e.what());
    }
}

}  // namespace quillon
