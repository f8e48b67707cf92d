// The hex view's byte model: size changes, block writes, file and stream transfer, and the
// save with its read-only refusal and ".bak" backup. File writes go through a temporary file
// so that a failed Save BIN never leaves a truncated image behind.
#include "image/HexDocument.h"

#include <algorithm>
#include <cerrno>
#include <istream>
#include <ostream>
#include <system_error>

#include "fs/Files.h"

namespace quillon {

HexDocumentError::HexDocumentError(const std::string& message, std::string reason)
    : std::runtime_error(message), reason_(std::move(reason)) {}

namespace {

[[noreturn]] void ThrowCannotOpen(const std::string& name, int error) {
    const std::string reason = SystemReason(error);
    throw HexDocumentError("Cannot open " + name + ".\n(" + reason + ".)", reason);
}

void CheckRange(std::size_t index, std::size_t count, std::size_t size) {
    if (index > size || count > size - index) {
        throw std::out_of_range("byte range " + std::to_string(index) + "+" + std::to_string(count) +
                                " lies outside the data size " + std::to_string(size));
    }
}

bool Exists(const std::string& path) { return PathEntryExists(path); }

}  // namespace

void HexDocument::SetDataSize(std::int64_t n) {
    if (n < 0 || static_cast<std::uint64_t>(n) > MaxDataSize) {
        throw HexDocumentError("Data size " + std::to_string(n) + " is out of range (0 to " +
                               std::to_string(MaxDataSize) + ")");
    }
    const std::size_t oldSize = data_.size();
    const auto newSize = static_cast<std::size_t>(n);
    if (newSize == oldSize) {
        return;
    }
    data_.resize(newSize, 0x00);
    changed_.resize(newSize, false);
    modified_ = true;
    Notify({std::min(oldSize, newSize), newSize > oldSize ? newSize - oldSize : oldSize - newSize, true});
}

void HexDocument::WriteBuffer(const std::uint8_t* bytes, std::size_t index, std::size_t count) {
    CheckRange(index, count, data_.size());
    if (count > 0) {
        std::copy(bytes, bytes + count, data_.begin() + static_cast<std::ptrdiff_t>(index));
    }
    modified_ = true;
    Notify({index, count, false});
}

void HexDocument::ReadBuffer(std::uint8_t* out, std::size_t index, std::size_t count) const {
    CheckRange(index, count, data_.size());
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(index), count, out);
}

void HexDocument::EditByte(std::size_t offset, std::uint8_t value) {
    CheckRange(offset, 1, data_.size());
    data_[offset] = value;
    changed_[offset] = true;
    modified_ = true;
    Notify({offset, 1, false});
}

void HexDocument::LoadFromFile(const std::string& name) {
    std::string text;
    try {
        text = ReadWholeFile(name, MaxDataSize);
    } catch (const std::system_error& e) {
        ThrowCannotOpen(name, e.code().value());
    }
    const bool readOnly = IsReadOnlyFile(name);
    Replace(std::vector<std::uint8_t>(text.begin(), text.end()));
    fileName_ = name;
    fileReadOnly_ = readOnly;
}

void HexDocument::SaveToStream(std::ostream& stream) const {
    stream.write(reinterpret_cast<const char*>(data_.data()), static_cast<std::streamsize>(data_.size()));
    if (!stream) {
        throw HexDocumentError("Stream write error");
    }
}

void HexDocument::LoadFromStream(std::istream& stream) {
    if (!stream) {
        throw HexDocumentError("Stream read error");
    }
    std::vector<std::uint8_t> bytes;
    char chunk[65536];
    while (stream) {
        stream.read(chunk, sizeof chunk);
        const auto n = static_cast<std::size_t>(stream.gcount());
        if (bytes.size() + n > MaxDataSize) {
            throw HexDocumentError("Stream read error", SystemReason(EFBIG));
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    if (stream.bad()) {
        throw HexDocumentError("Stream read error");
    }
    Replace(std::move(bytes));
}

void HexDocument::SaveToFile(const std::string& name, bool clearModified) {
    std::string backup;
    if (name == fileName_) {
        if (fileReadOnly_) {
            throw HexDocumentError("Cannot save readonly file " + name + ".");
        }
        if (modified_ && Exists(name)) {
            backup = name + ".bak";
        }
    }
    // Refused before any backup is taken, so a failed save moves nothing.
    if (IsReadOnlyFile(name)) {
        throw HexDocumentError("Cannot create file " + name, SystemReason(EACCES));
    }
    if (!backup.empty()) {
        if (const int error = Exists(backup) ? RemoveFile(backup) : 0; error != 0) {
            const std::string reason = SystemReason(error);
            throw HexDocumentError("Cannot delete previous backup " + backup + ". (" + reason + ")", reason);
        }
        if (const int error = RenameFile(name, backup); error != 0) {
            const std::string reason = SystemReason(error);
            throw HexDocumentError("Cannot create backup " + backup + ". (" + reason + ")", reason);
        }
    }
    try {
        WriteFileAtomically(name, std::string_view(reinterpret_cast<const char*>(data_.data()), data_.size()),
                            Durability::Durable);
    } catch (const std::system_error& e) {
        // Put the previous file back where the user expects it.
        if (!backup.empty() && !Exists(name)) {
            RenameFile(backup, name);
        }
        throw HexDocumentError("Cannot create file " + name, e.code().message());
    }
    if (clearModified) {
        modified_ = false;
        fileName_ = name;
        fileReadOnly_ = false;
        if (std::find(changed_.begin(), changed_.end(), true) != changed_.end()) {
            std::fill(changed_.begin(), changed_.end(), false);
            Notify({0, data_.size(), false});
        }
    }
}

void HexDocument::Replace(std::vector<std::uint8_t> bytes) {
    data_ = std::move(bytes);
    changed_.assign(data_.size(), false);
    Notify({0, data_.size(), true});
}

void HexDocument::Notify(const HexChange& change) {
    ++revision_;
    if (onChange_) {
        onChange_(change);
    }
}

}  // namespace quillon
