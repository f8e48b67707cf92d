// Loading an image file once: one read, one conversion, one hash of what was read.
#include "image/Image.h"

#include <cctype>
#include <cerrno>
#include <system_error>

#include "fs/Files.h"
#include "hash/Sha256.h"

namespace quillon {

ImageKind ImageKindOf(std::string_view name) {
    std::string tail(name.size() >= 3 ? name.substr(name.size() - 3) : name);
    for (char& c : tail) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (tail == "HEX" || tail == "IHX") return ImageKind::Hex;
    if (tail == "BIN") return ImageKind::Bin;
    return ImageKind::Other;
}

std::string Image::bytesSha256() const { return Sha256::Hex(std::span<const std::uint8_t>(bytes)); }

std::uint64_t HexTextLimit(std::uint64_t maxImage) { return maxImage * 4 + (std::uint64_t{1} << 20); }

namespace {

std::string TooLarge(const std::string& path, std::uint64_t size, std::size_t capacity) {
    return path + ": the image is " + std::to_string(size) + " bytes, larger than the " + std::to_string(capacity) +
           "-byte write buffer";
}

}  // namespace

ImageLoad ReadImageFile(const std::string& path, std::size_t capacity) {
    ImageLoad load;
    const ImageKind kind = ImageKindOf(path);
    if (kind == ImageKind::Other) {
        load.error = path + ": not a HEX or BIN file (the name must end in hex, ihx or bin)";
        return load;
    }
    const std::uint64_t limit = kind == ImageKind::Hex ? HexTextLimit(capacity) : capacity;
    std::string text;
    try {
        text = ReadWholeFile(path, static_cast<std::size_t>(limit));
    } catch (const std::system_error& e) {
        if (e.code().value() == EFBIG) {
            load.tooLarge = true;
            load.error = kind == ImageKind::Hex
                             ? path + ": longer than " + std::to_string(limit) +
                                   " bytes, more than the HEX text of any image that fits the write buffer"
                             : TooLarge(path, StatPath(path).size, capacity);
        } else {
            load.error = "cannot open " + path + ": " + SystemReason(e.code().value());
        }
        return load;
    }
    auto image = std::make_shared<Image>();
    image->kind = kind;
    image->source = path;
    image->fileSha256 = Sha256::Hex(std::string_view(text));
    if (kind == ImageKind::Bin) {
        image->bytes.assign(text.begin(), text.end());
    } else {
        image->bytes.resize(capacity);
        hex::CHex2Bin converter;
        converter.CollectNotices = true;  // the warnings come from the same pass
        std::uint32_t length = static_cast<std::uint32_t>(capacity);
        converter.PartialOnOverflow = false;
        const std::int32_t rc = converter.ConvertText(text, &length, image->bytes);
        if (rc == hex::kHexDestOverflow) {
            load.tooLarge = true;
            load.error = TooLarge(path, length, capacity);
            return load;
        }
        if (rc != hex::kHexSuccess) {
            load.error = path + ": " + converter.LastMessage;
            return load;
        }
        image->bytes.resize(length);
        image->bytes.shrink_to_fit();
        image->notices = std::move(converter.Notices);
    }
    load.image = std::move(image);
    return load;
}

std::string WriteBinCopy(const Image& image) {
    if (image.kind != ImageKind::Hex || image.source.empty()) return {};
    const std::string copy = image.source + ".bin";
    // A copy's name that leads to the image file itself (a link, a hard link) would replace the
    // source with its own conversion.
    if (SameFile(image.source, copy))
        return copy + ": not written: it is the image file " + image.source +
               " itself (a link or another name of it); the image file was left as it was";
    try {
        WriteFileAtomically(copy,
                            std::string_view(reinterpret_cast<const char*>(image.bytes.data()), image.bytes.size()),
                            Durability::Rebuildable);
    } catch (const std::system_error& e) {
        return image.source + ".bin: " + hex::CHex2Bin::Message(hex::kHexWriteDestError) + " (" +
               SystemReason(e.code().value()) + ")";
    } catch (const std::exception& e) {
        return image.source + ".bin: " + hex::CHex2Bin::Message(hex::kHexWriteDestError) + " (" + e.what() + ")";
    }
    return {};
}

ImagePtr WithBytes(const Image& base, std::vector<std::uint8_t> bytes) {
    auto image = std::make_shared<Image>(base);
    image->bytes = std::move(bytes);
    return image;
}

}  // namespace quillon
