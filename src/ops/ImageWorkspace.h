// The window's image workspace: the image value a Write sends, the document the hex view shows,
// and the file remembered for the reload before Write. Loading, Set Flash Size and Save BIN act
// here. It knows nothing of the programmer or the gate (the operations hold the gate around
// it), and nothing of widgets: the command line and the station never need one.
#pragma once

#include <cstdint>
#include <string>

#include "image/HexDocument.h"
#include "image/Image.h"

namespace quillon {

class ImageWorkspace {
public:
    // What a load did. On any failure the image and the view are as they were.
    struct Load {
        std::string error;        // "" when it loaded; else one sentence naming the file
        bool errorBox = false;    // the file could not be opened: shown as an error, not logged
        std::string copyWarning;  // a HEX file's BIN copy could not be written (the load stands)
    };

    explicit ImageWorkspace(std::size_t capacity) : capacity_(capacity) {}

    // The image a Write sends; null when the last file shown is no image, or none was loaded.
    ImagePtr image() const { return image_; }
    HexDocument& view() { return view_; }
    const HexDocument& view() const { return view_; }
    const std::string& rememberedFile() const { return remembered_; }
    void remember(std::string name) { remembered_ = std::move(name); }

    // Loads a file by its kind into a new value (HEX with its BIN copy beside it, BIN), or, for
    // any other kind, into the view only (Write then has no image). Remembers the name first.
    Load load(const std::string& name);
    // A HEX file without remembering it (the command-line argument's load).
    Load loadHex(const std::string& name);
    // A chip's bytes into the view; the image stays.
    void showChip(const Image& chip);
    // Set Flash Size: the view's size only (cut, or 0x00 appended); the image stays.
    void resize(std::int64_t size) { view_.SetDataSize(size); }
    // Save BIN: the view's bytes. Throws HexDocumentError.
    void save(const std::string& name) { view_.SaveToFile(name, true); }
    // Every byte the view shows is the image's byte at that address (the view may be cut short).
    bool viewMatchesImage() const;

private:
    void Show(ImagePtr image);

    const std::size_t capacity_;
    ImagePtr image_;
    HexDocument view_;
    std::string remembered_;
};

}  // namespace quillon
