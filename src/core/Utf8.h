// UTF-8 in both directions, shared by everything that reads or writes text the program did not
// make itself: HID strings, settings files saved by Windows editors, the JSON lines of
// quillon-cli. One strict decoder, so that every reader agrees on which bytes are text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon {

// Appends cp as UTF-8; surrogates and values beyond U+10FFFF become U+FFFD.
inline void AppendUtf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// One code point read from UTF-8 text. length is 0 when the bytes at the position start no
// valid sequence: a stray continuation byte, an overlong form, a surrogate, a value past
// U+10FFFF, or a sequence cut short by the end of the text. Callers that carry on take one byte
// as U+FFFD then, so that one bad byte never swallows the good text after it.
struct Utf8Char {
    char32_t cp = 0xFFFD;
    std::size_t length = 0;
};

inline Utf8Char DecodeUtf8(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b0 = byte(at);
    if (b0 < 0x80) return {b0, 1};
    std::size_t n;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;  // overlong
        if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;  // overlong
        if (b0 == 0xF4) hi = 0x8F;  // past U+10FFFF
    } else {
        return {};
    }
    if (text.size() - at < n) return {};
    if (byte(at + 1) < lo || byte(at + 1) > hi) return {};
    for (std::size_t i = 1; i < n; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return {};
        cp = (cp << 6) | (byte(at + i) & 0x3F);
    }
    return {cp, n};
}

inline bool IsValidUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = DecodeUtf8(text, at).length;
        if (n == 0) return false;
        at += n;
    }
    return true;
}

}  // namespace quillon
