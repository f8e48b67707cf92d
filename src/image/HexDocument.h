// The bytes behind the hex view on the "Flash" page, kept apart from any widget.
// The window's view paints from it (size, byte access, per-byte changed marks, a revision
// counter and a change callback for repainting only what changed); the image loader, the
// read-back of a chip and Save BIN work on it through the operations below.
// It belongs to one thread (the window's); it takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillon {

// Every failure of the document. what() is the user-facing message, for example
// "Cannot open fw.bin.\n(No such file or directory.)" or "Cannot create file out.bin";
// reason() is the system's explanation where there is one (empty otherwise).
class HexDocumentError : public std::runtime_error {
public:
    explicit HexDocumentError(const std::string& message, std::string reason = {});
    const std::string& reason() const noexcept { return reason_; }

private:
    std::string reason_;
};

// What a change touched, so that a view can repaint only that: bytes [offset, offset+count)
// changed value; sizeChanged tells that rows appeared or disappeared as well.
struct HexChange {
    std::size_t offset = 0;
    std::size_t count = 0;
    bool sizeChanged = false;
};

class HexDocument {
public:
    // The largest data size the document accepts. Flash images are at most 512 KiB; the
    // limit keeps an odd file chosen through the "All" filter, or a mistyped flash size, from
    // exhausting memory.
    static constexpr std::size_t MaxDataSize = 64u * 1024u * 1024u;

    using ChangeCallback = std::function<void(const HexChange&)>;

    // Makes the document hold exactly n bytes: cuts the tail, or appends bytes of value 0x00.
    // Sets the modified state when the size changes. A negative n or one above MaxDataSize is
    // refused with HexDocumentError and leaves the document as it was.
    void SetDataSize(std::int64_t n);
    std::size_t GetDataSize() const noexcept { return data_.size(); }

    // Overwrites count bytes from index on and sets the modified state. The range must lie
    // inside the data (std::out_of_range otherwise, nothing written): it never grows it.
    void WriteBuffer(const std::uint8_t* bytes, std::size_t index, std::size_t count);
    // Copies count bytes from index on into out; the same range rule as WriteBuffer.
    void ReadBuffer(std::uint8_t* out, std::size_t index, std::size_t count) const;

    // Replaces the data with the file's bytes and makes name the document's file name. On
    // failure throws "Cannot open <name>." + "\n(" + reason + ".)" and changes nothing.
    void LoadFromFile(const std::string& name);

    // Copy the data into a stream and back. LoadFromStream reads from the stream's current
    // position to its end and replaces the data; it throws "Stream read error" when the
    // stream fails (and changes nothing), SaveToStream "Stream write error".
    void SaveToStream(std::ostream& stream) const;
    void LoadFromStream(std::istream& stream);

    // Writes the data to the file, creating or replacing it. With clearModified the modified
    // state and changed marks are cleared afterwards and name becomes the file name. When
    // name equals the file name: a file that was read-only when loaded is refused with
    // "Cannot save readonly file <name>."; otherwise, when modified and the file exists, it is
    // first moved to <name>.bak (an older .bak deleted first; failures "Cannot delete previous
    // backup <bak>. (<reason>)" and "Cannot create backup <bak>. (<reason>)"). A file that
    // cannot be created gives "Cannot create file <name>". The new content replaces the file
    // in one step, so a failed write never leaves it truncated.
    void SaveToFile(const std::string& name, bool clearModified);

    // An edit made in the view: sets the byte, marks it changed and sets the modified state.
    void EditByte(std::size_t offset, std::uint8_t value);

    std::uint8_t ByteAt(std::size_t offset) const { return data_.at(offset); }
    std::span<const std::uint8_t> Data() const noexcept { return data_; }
    // True for bytes edited in the view since the last load or clearing save (shown
    // highlighted by the view).
    bool IsChanged(std::size_t offset) const noexcept {
        return offset < changed_.size() && changed_[offset];
    }

    bool Modified() const noexcept { return modified_; }
    const std::string& FileName() const noexcept { return fileName_; }
    // Whether the file named by FileName() could only be opened read-only when it was loaded.
    bool FileReadOnly() const noexcept { return fileReadOnly_; }

    // Counts every change of size or bytes, so a view can tell cheaply whether to repaint.
    std::uint64_t Revision() const noexcept { return revision_; }
    // Called after each change, on the thread that made it. Empty to disconnect.
    void SetChangeCallback(ChangeCallback callback) { onChange_ = std::move(callback); }

private:
    void Replace(std::vector<std::uint8_t> bytes);
    void Notify(const HexChange& change);

    std::vector<std::uint8_t> data_;
    std::vector<bool> changed_;
    bool modified_ = false;
    std::string fileName_;
    bool fileReadOnly_ = false;
    std::uint64_t revision_ = 0;
    ChangeCallback onChange_;
};

}  // namespace quillon
