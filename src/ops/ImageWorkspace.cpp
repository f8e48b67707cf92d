// The image workspace: one loader for every kind, and a view that never decides what Write sends.
#include "ops/ImageWorkspace.h"

#include <algorithm>

namespace quillon {

void ImageWorkspace::Show(ImagePtr image) {
    view_.SetDataSize(static_cast<std::int64_t>(image->bytes.size()));
    view_.WriteBuffer(image->bytes.data(), 0, image->bytes.size());
    image_ = std::move(image);
}

ImageWorkspace::Load ImageWorkspace::loadHex(const std::string& name) {
    Load result;
    // One read and one conversion into an image of its own: a file that fails to convert, or that
    // is larger than the write buffer, leaves the previous image and the view as they were.
    ImageLoad load = ReadImageFile(name, capacity_);
    if (!load.image) {
        result.error = load.error;
        return result;
    }
    // The BIN copy beside the HEX file holds exactly the image (an older, longer copy is replaced
    // whole). A failure to write it does not stop the load.
    result.copyWarning = WriteBinCopy(*load.image);
    Show(std::move(load.image));
    return result;
}

ImageWorkspace::Load ImageWorkspace::load(const std::string& name) {
    remembered_ = name;
    const ImageKind kind = ImageKindOf(name);
    if (kind == ImageKind::Hex) return loadHex(name);
    Load result;
    if (kind == ImageKind::Bin) {
        // The same loader as HEX files and the command line: one read into a new value, which
        // replaces the image only once it is whole.
        ImageLoad load = ReadImageFile(name, capacity_);
        if (!load.image) {
            result.error = load.error;
            // A file that cannot be opened is an error box, as the view's own load gave; one too
            // large for the write buffer is a log line.
            result.errorBox = !load.tooLarge;
            return result;
        }
        Show(std::move(load.image));
        return result;
    }
    try {
        view_.LoadFromFile(name);
    } catch (const HexDocumentError& e) {
        result.error = e.what();
        result.errorBox = true;
        return result;
    }
    // Shown, but it is no image: Write refuses until a HEX or BIN file is loaded.
    image_.reset();
    return result;
}

void ImageWorkspace::showChip(const Image& chip) {
    view_.SetDataSize(static_cast<std::int64_t>(chip.bytes.size()));
    view_.WriteBuffer(chip.bytes.data(), 0, chip.bytes.size());
}

bool ImageWorkspace::viewMatchesImage() const {
    if (!image_) return false;
    // A view cut short by Set Flash Size still shows nothing but the image's own bytes; one grown
    // past it, edited, or holding a chip read does not.
    const auto view = view_.Data();
    return view.size() <= image_->bytes.size() && std::equal(view.begin(), view.end(), image_->bytes.begin());
}

}  // namespace quillon
