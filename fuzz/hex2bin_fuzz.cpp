// libFuzzer harness for the HEX converter: arbitrary text must never crash it or make it write
// past the caller's buffer (the buffer is an exact-size heap block, so ASan sees any overrun),
// every accepted file must place its bytes where a slow, obvious model says they belong (the
// image ending just after the last of them), and collecting notices must not change any of it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <span>
#include <string_view>

#include "hex/Chex2bin.h"

using quillon::hex::CHex2Bin;

namespace {

// Where each data byte ends up, record by record, read with the plain digit decoder.
std::map<std::uint64_t, std::uint8_t> ModelImage(std::string_view text) {
    std::map<std::uint64_t, std::uint8_t> image;
    const std::size_t marker = text.find(":00000001FF");
    std::uint64_t segment = 0, linear = 0;
    auto byteAt = [&](std::size_t pos) {
        std::uint8_t b = 0;
        if (!CHex2Bin::HexToByte(text[pos], text[pos + 1], b)) std::abort();  // accepted text is all hex
        return b;
    };
    for (std::size_t p = 0; p < marker;) {
        if (text[p] != ':') {
            ++p;
            continue;
        }
        const std::size_t ll = byteAt(p + 1);
        const std::uint64_t offset = (std::uint64_t{byteAt(p + 3)} << 8) | byteAt(p + 5);
        const char type = text[p + 8];
        if (type == '0') {
            for (std::size_t i = 0; i < ll; ++i) image[segment + linear + offset + i] = byteAt(p + 9 + 2 * i);
        } else if (type == '2') {
            segment = ((std::uint64_t{byteAt(p + 9)} << 8) | byteAt(p + 11)) << 4;
        } else if (type == '4') {
            linear = ((std::uint64_t{byteAt(p + 9)} << 8) | byteAt(p + 11)) << 16;
        }
        p += 11 + 2 * ll;
    }
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    // The first three bytes pick the caller's capacity and buffer size (both up to 64 KiB).
    const std::uint32_t capacity = (std::uint32_t{data[0]} << 8 | data[1]) & 0xFFFF;
    const std::size_t bufferSize = std::size_t{data[2]} << 8;
    const std::string_view text(reinterpret_cast<const char*>(data + 3), size - 3);

    CHex2Bin measure;
    std::uint32_t imageLength = 0;
    const std::int32_t measured = measure.ConvertText(text, &imageLength);
    if (measured < 0 || measured > 8 || measure.LastMessage != CHex2Bin::Message(measured)) std::abort();

    CHex2Bin convert;
    convert.CollectNotices = true;
    // new[] gives a real (non-null) pointer even for 0 bytes, so this is always "a buffer".
    std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[bufferSize]);
    const std::span<std::uint8_t> buffer(storage.get(), bufferSize);
    std::memset(buffer.data(), 0x5A, bufferSize);
    std::uint32_t length = capacity;
    const std::int32_t code = convert.ConvertText(text, &length, buffer);
    if (convert.LastMessage != CHex2Bin::Message(code)) std::abort();
    // The notes of the converting pass are those of a look at the text alone.
    if (convert.Notices != quillon::hex::FindOddities(text)) std::abort();

    if (measured != quillon::hex::kHexLengthOnly) {
        // A rejected file must leave the buffer alone.
        for (std::uint8_t b : buffer) {
            if (b != 0x5A) std::abort();
        }
        return 0;
    }
    if (length != imageLength) std::abort();
    std::uint64_t count = imageLength;
    if (capacity != 0 && capacity < count) count = capacity;
    if (count > bufferSize) count = bufferSize;
    const bool fits = count == imageLength;
    if ((code == quillon::hex::kHexSuccess) != fits) std::abort();
    if (!fits && code != quillon::hex::kHexDestOverflow) std::abort();

    const auto model = ModelImage(text);
    for (std::size_t a = 0; a < bufferSize; ++a) {
        std::uint8_t expected = 0x5A;
        if (a < count) {
            const auto it = model.find(a);
            expected = it == model.end() ? 0xFF : it->second;
        }
        if (buffer[a] != expected) std::abort();
    }
    // The image ends just after the highest placed byte.
    const std::uint64_t end = model.empty() ? 0 : model.rbegin()->first + 1;
    if (imageLength != (end > UINT32_MAX ? UINT32_MAX : end)) std::abort();
    return 0;
}
