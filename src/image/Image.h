// A firmware image as one immutable value: read from its file once, converted once, and then
// shared by everything that needs it (the write buffer, the read-back compare, the unit log, and
// every programmer of a parallel write). A file rewritten during a run cannot give two chips, or
// a chip and its log record, different bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hex/Chex2bin.h"

namespace quillon {

// What the image loader takes a file for: the last three characters of its name, in any case,
// are "HEX" or "BIN" (the dot is not looked at); SDCC's ".ihx" output is HEX too. Anything else
// is shown but never written.
enum class ImageKind { Hex, Bin, Other };
ImageKind ImageKindOf(std::string_view name);

struct Image {
    std::vector<std::uint8_t> bytes;    // flash from address 0
    ImageKind kind = ImageKind::Bin;
    std::string source;                 // the file's name as given ("" for bytes without a file)
    std::string fileSha256;             // of the file's bytes as read (hex), "" without a file
    std::vector<hex::HexNotice> notices;  // leniencies of the HEX reading (empty for BIN)

    // SHA-256 of bytes (hex); computed on each call.
    std::string bytesSha256() const;
};
using ImagePtr = std::shared_ptr<const Image>;

// The longest HEX text that can hold an image of maxImage bytes: 16-byte records take 2.8
// characters per byte, so four per byte plus a mebibyte of slack refuses only what cannot fit.
std::uint64_t HexTextLimit(std::uint64_t maxImage);

struct ImageLoad {
    ImagePtr image;     // null when the file gave no image
    std::string error;  // why, one sentence naming the file ("" on success)
    bool tooLarge = false;  // the image (or file) is larger than the capacity
};

// Reads path once and converts it by its kind (HEX or BIN; any other kind is refused). An image
// larger than capacity bytes is refused. An empty image is returned as such; callers that
// program it refuse it themselves.
ImageLoad ReadImageFile(const std::string& path, std::size_t capacity);

// Writes the BIN copy beside a HEX image's file (its name with ".bin" appended), replacing an
// older one whole. Returns "" or the reason it failed; images that are not HEX have no copy. A
// copy's name that is the image file itself (a link to it) is not written: the reason says so.
std::string WriteBinCopy(const Image& image);

// The same image with other bytes (a production unit's serial number patched in): source, kind
// and file hash stay, so the log can name the file and the bytes actually written.
ImagePtr WithBytes(const Image& base, std::vector<std::uint8_t> bytes);

}  // namespace quillon
