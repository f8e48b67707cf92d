// The window's controller: the window's choices, the image workspace and its loads, the reload
// before Write, and the link's news mapped onto what the window shows.
#include "ops/Operations.h"

#include <cinttypes>
#include <cstdio>

#include "config/Config.h"
#include "core/Format.h"
#include "fs/Files.h"

namespace quillon {

std::string DescribeWriteImage(const Image* image) {
    if (image == nullptr || image->bytes.empty()) return "Write sends nothing: load a HEX or BIN file";
    return "Write sends " + (image->source.empty() ? std::string("the image") : image->source) + ": " +
           std::to_string(image->bytes.size()) + " bytes, SHA-256 " + image->bytesSha256().substr(0, 8);
}

Operations::Operations(UiHost& host, hid::Platform& platform, OpsView* view, bool hotPlug)
    : view_(view), link_(host, platform, this, hotPlug) {
    OptionsChanged();
}

Operations::~Operations() = default;

void Operations::applySettings(const OpsControls& settings, const std::string& file) {
    // A chip restored from the settings also takes effect in the engine: otherwise a restored
    // NRF24LU1_32K would refuse a 32 KiB image until the user picked it again.
    const int index = settings.chipIndex;
    if (index >= 0 && index < static_cast<int>(kChips.size())) {
        controls_.chipIndex = index;
        link_.useChip(index);
    } else {
        controls_.chipIndex = -1;
    }
    workspace_.remember(file);
    controls_.reload = settings.reload;
    controls_.options = settings.options;
    controls_.options.readback = false;
    OptionsChanged();
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
    if (!Assign(controls_.options.erase, on)) return;
    OptionsChanged();
    ControlsChanged();
}
void Operations::setEncrypt(bool on) {
    if (!Assign(controls_.options.protect, on)) return;
    OptionsChanged();
    ControlsChanged();
}
void Operations::setVerify(bool on) {
    if (!Assign(controls_.options.verify, on)) return;
    OptionsChanged();
    ControlsChanged();
}
void Operations::setResetRun(bool on) {
    if (!Assign(controls_.options.reset, on)) return;
    OptionsChanged();
    ControlsChanged();
}

void Operations::selectChip(int index) {
    if (index < -1 || index >= static_cast<int>(kChips.size())) index = -1;
    const bool changed = index != controls_.chipIndex;
    controls_.chipIndex = index;
    if (changed) ControlsChanged();
    link_.useChip(index);
}

void Operations::OptionsChanged() { link_.setOptions(controls_.options); }

void Operations::ControlsChanged() {
    controls_.link = link_.state();
    if (view_ != nullptr) view_->controlsChanged(controls_);
}

// --- the link's news --------------------------------------------------------------------------

void Operations::stateChanged(const LinkState&) { ControlsChanged(); }
void Operations::linkChanged(LinkEvent e) {
    if (view_ != nullptr) view_->linkChanged(e);
}
void Operations::devicesChanged() {
    if (view_ != nullptr) view_->devicesChanged();
}
void Operations::identified(const ProgrammerInfo& info) {
    if (view_ != nullptr) view_->identified(info);
}
void Operations::chipRead(const Image& flash) {
    // The chip's bytes as a value of their own: the result carries them, the view shows a copy.
    workspace_.showChip(flash);
    if (view_ != nullptr) view_->hexViewChanged();
}
void Operations::readDone(std::uint32_t bytes) {
    if (view_ != nullptr) view_->readDone(bytes);
}
void Operations::streamDone(std::uint32_t bytes) {
    if (view_ != nullptr) view_->streamDone(bytes);
}
void Operations::verifyOutcome(bool agree) {
    if (view_ != nullptr) view_->verifyOutcome(agree);
}
void Operations::failureReply(std::uint8_t reply) {
    if (view_ != nullptr) view_->failureReply(reply);
}
void Operations::timedOut(std::uint32_t offset, std::uint32_t length) {
    if (view_ != nullptr) view_->timedOut(offset, length);
}
void Operations::refused(OpsRefusal why) {
    if (view_ != nullptr) view_->refused(why);
}
void Operations::finished(const OpsResult& result) {
    if (view_ != nullptr) view_->finished(result);
}
void Operations::error(const std::string& message) {
    if (view_ != nullptr) view_->error(message);
}

// --- Write with its reload --------------------------------------------------------------------

void Operations::write() {
    // The gate is held from here to the result: no other operation, load, size change or search
    // can change the write buffer, the command or the link while the image goes out.
    if (!link_.beginWrite()) return;
    const auto refuse = [this](OpsRefusal why, std::string message, bool writeCommand = false) {
        link_.refuseWrite(why, std::move(message), writeCommand);
    };
    if (controls_.reload) {
        const std::string remembered = workspace_.rememberedFile();
        if (!remembered.empty() && StatPath(remembered).error == 0) {
            // The remembered file becomes a new image value; if it cannot, nothing is sent and
            // the result says why in the loader's words.
            std::string why;
            try {
                why = LoadImageFileNow(remembered);
            } catch (const std::exception& e) {
                why = e.what();
            }
            if (!why.empty()) return refuse(OpsRefusal::LoadFailed, why);
        } else {
            link_.log(Translate("File Not Exists"));
            return refuse(OpsRefusal::FileNotExists, "the image file does not exist");
        }
    }
    // What goes out is the image value and nothing else: neither the view's size (Set Flash
    // Size, a chip read) nor what an earlier image left in the engine's buffer.
    if (!workspace_.image() && workspace_.view().GetDataSize() > 0) {
        // The view holds a file that is neither HEX nor BIN, or a chip read, and no image.
        link_.log("The file loaded last is not a HEX or BIN image: load a HEX or BIN file to write it");
        return refuse(OpsRefusal::NotAnImage, "the last file loaded is not a HEX or BIN image", true);
    }
    link_.sendImage(workspace_.image());
}

void Operations::RefuseBusy() {
    link_.log(link_.streaming() ? "Busy: the image is being written" : "Busy: an operation is in progress");
    link_.post([this] { refused(OpsRefusal::Busy); });
}

// --- image loading, Set Flash Size, Save BIN ------------------------------------------------

void Operations::LoadDone(const std::string& name, const std::string& error) {
    LoadOutcome outcome{name, error, workspace_.image()};
    if (view_ != nullptr) view_->loadFinished(outcome);
}

std::string Operations::Loaded(const std::string& name, const ImageWorkspace::Load& load) {
    if (!load.copyWarning.empty()) link_.log(load.copyWarning);
    LoadDone(name, load.error);
    if (load.errorBox) throw OpsError(load.error);
    if (!load.error.empty()) {
        link_.log(load.error);
        return load.error;
    }
    if (view_ != nullptr) view_->hexViewChanged();
    return {};
}

std::string Operations::LoadImageFileNow(const std::string& name) {
    if (view_ != nullptr) view_->fileChosen(name);
    return Loaded(name, workspace_.load(name));
}

bool Operations::loadImage(const std::string& name) {
    if (busy()) {
        RefuseBusy();
        return false;
    }
    return LoadImageFileNow(name).empty();
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
    Loaded(name, workspace_.loadHex(name));
}

void Operations::loadChosenFile(const std::string& name) {
    if (busy()) {
        RefuseBusy();
        return;
    }
    if (!LoadImageFileNow(name).empty()) return;
    const std::size_t n = workspace_.view().GetDataSize();
    link_.log("Load File" + name + "  " + std::to_string(n) + " Bytes");
    if (view_ != nullptr) view_->loadedSize(n);
}

void Operations::setFlashSize(const std::string& text) {
    const auto value = ParseInteger(text);
    if (!value) throw OpsError("'" + text + "' is not a valid integer value");
    // Sizes below zero or beyond what the write buffer holds could never be written.
    if (*value < 0 || *value > static_cast<std::int64_t>(CPro::kBufferSize))
        throw OpsError(Format("'%s' is not a flash size from 0 to %" PRIu32, text.c_str(),
                              CPro::kBufferSize));
    if (busy()) {
        RefuseBusy();
        return;
    }
    workspace_.resize(*value);
    if (view_ != nullptr) view_->hexViewChanged();
}

void Operations::saveBin(const std::optional<std::string>& chosen) {
    if (!chosen) return;
    try {
        workspace_.save(*chosen);
    } catch (const HexDocumentError& e) {
        throw OpsError(e.what());
    }
}

}  // namespace quillon
