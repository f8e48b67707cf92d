// Reading and writing config.ini with Windows private-profile semantics. Loading parses with
// SimpleIni, whose case-insensitive flavour matches section and key names as the platform does;
// the rest (quote stripping, the 2,047-character cut, integer syntax, first-of-duplicates,
// byte-order marks and UTF-16 of files copied from Windows) is done here. Saving edits only the
// eight values in the file's own text (IniPatch), so nothing else in it is ever lost.
#include "config/Config.h"
#include "config/IniPatch.h"
#include "core/Utf8.h"

// Values are kept as the file's bytes, so no wide-character conversion is needed. The
// distribution's header keeps the template bodies behind SI_IMPLEMENTATION; instantiating
// them here keeps the core free of a link dependency on the packaged library.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

#include "fs/Files.h"
#include "log/Log.h"

namespace quillon {

IniWriteError::IniWriteError(const std::string& path, std::string reason)
    : std::runtime_error("Unable to write to " + path), path_(path), reason_(std::move(reason)) {}

namespace {

constexpr const char* kUtf8Bom = "\xEF\xBB\xBF";

enum class Encoding { Plain, Utf8Bom, Utf16Le, Utf16Be };

// The file's text as SimpleIni parses it (8-bit, without byte-order mark) and how to turn
// it back into the file's own form on save.
struct IniText {
    std::string text;
    Encoding encoding = Encoding::Plain;
    bool mark = true;  // a UTF-16 file began with its byte-order mark
};


std::optional<std::string> Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) {
        return std::nullopt;
    }
    auto unit = [&](std::size_t i) -> char16_t {
        auto hi = static_cast<unsigned char>(bytes[bigEndian ? i : i + 1]);
        auto lo = static_cast<unsigned char>(bytes[bigEndian ? i + 1 : i]);
        return static_cast<char16_t>((hi << 8) | lo);
    };
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        char32_t cp = unit(i);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 2 >= bytes.size()) {
                return std::nullopt;
            }
            char32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) {
                return std::nullopt;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return std::nullopt;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

// Only text that came from a UTF-16 file is converted back, so it is valid UTF-8 apart from
// what the program wrote into it; a stray byte is carried over as U+FFFD instead of failing.
std::string Utf8ToUtf16(std::string_view text, bool bigEndian, bool mark) {
    std::string out;
    auto put = [&](char16_t u) {
        char hi = static_cast<char>(u >> 8);
        char lo = static_cast<char>(u & 0xFF);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    };
    if (mark) put(0xFEFF);
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Char c = DecodeUtf8(text, i);
        const char32_t cp = c.length == 0 ? 0xFFFD : c.cp;
        i += c.length == 0 ? 1 : c.length;
        if (cp >= 0x10000) {
            put(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            put(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            put(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::optional<IniText> Decode(const std::string& bytes) {
    IniText result;
    std::string_view view(bytes);
    std::optional<bool> utf16BigEndian;
    if (view.substr(0, 3) == kUtf8Bom) {
        result.encoding = Encoding::Utf8Bom;
        result.text = std::string(view.substr(3));
    } else if (view.size() >= 2 && view[0] == '\xFF' && view[1] == '\xFE') {
        utf16BigEndian = false;
        view.remove_prefix(2);
    } else if (view.size() >= 2 && view[0] == '\xFE' && view[1] == '\xFF') {
        utf16BigEndian = true;
        view.remove_prefix(2);
    } else if (view.size() >= 2 && view.size() % 2 == 0 && view[0] != '\0' && view[1] == '\0') {
        // Notepad's "Unicode" without a mark: an ASCII character followed by a zero byte.
        utf16BigEndian = false;
        result.mark = false;
    } else {
        result.text = bytes;
    }
    if (utf16BigEndian) {
        auto text = Utf16ToUtf8(view, *utf16BigEndian);
        if (!text) {
            return std::nullopt;
        }
        result.text = std::move(*text);
        result.encoding = *utf16BigEndian ? Encoding::Utf16Be : Encoding::Utf16Le;
    }
    // A zero byte would end SimpleIni's parse early and drop everything after it on save.
    if (result.text.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return result;
}

// The file's own form of text: its byte-order mark and encoding. Line ends are left as they are.
std::string Encode(std::string text, const IniText& form) {
    switch (form.encoding) {
        case Encoding::Utf8Bom: return kUtf8Bom + text;
        case Encoding::Utf16Le: return Utf8ToUtf16(text, false, form.mark);
        case Encoding::Utf16Be: return Utf8ToUtf16(text, true, form.mark);
        case Encoding::Plain: break;
    }
    return text;
}

struct Ini {
    // Case-insensitive names; duplicates kept so that the first one wins, as on Windows.
    CSimpleIniA si{false, true, false};
    Ini() {
        si.SetSpaces(false);
        si.SetQuotes(false);  // quotes are handled here, so other keys are written back verbatim
    }
};

// The platform strips one pair of matching quotes around a value.
std::string Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

// The form a text takes in the file so that reading gives the same text back. A line break
// cannot be stored in a profile line; keeping only the first line stops a typed text from
// injecting further keys. A zero byte would make the whole file unreadable next time.
std::string QuoteForFile(std::string_view value) {
    std::size_t lineEnd = value.find_first_of(std::string_view("\r\n\0", 3));
    if (lineEnd != std::string_view::npos) {
        value = value.substr(0, lineEnd);
    }
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    bool needsQuotes = !value.empty() && (isBlank(value.front()) || isBlank(value.back()));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        needsQuotes = true;
    }
    std::string out;
    out.reserve(value.size() + 2);
    if (needsQuotes) out += '"';
    out += value;
    if (needsQuotes) out += '"';
    return out;
}

const char* Raw(const Ini& ini, const char* key) {
    return ini.si.GetValue(TIniOptions::Section, key, nullptr);
}

std::string ReadText(const Ini& ini, const char* key) {
    const char* raw = Raw(ini, key);
    if (raw == nullptr) {
        return {};
    }
    std::string text = Unquote(raw);
    if (text.size() > TIniOptions::MaxTextLength) {
        text.resize(TIniOptions::MaxTextLength);
    }
    return text;
}

std::int32_t ReadInt(const Ini& ini, const char* key, std::int32_t def) {
    const char* raw = Raw(ini, key);
    if (raw == nullptr) {
        return def;
    }
    return ParseInteger(Unquote(raw)).value_or(def);
}

bool ReadBool(const Ini& ini, const char* key, bool def) {
    return ReadInt(ini, key, def ? 1 : 0) != 0;
}

}  // namespace

std::optional<std::int32_t> ParseInteger(std::string_view text) {
    auto isTrim = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!text.empty() && isTrim(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isTrim(text.back())) {
        text.remove_suffix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    unsigned base = 10;
    if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    const std::uint64_t limit = negative ? 0x80000000ULL : 0x7FFFFFFFULL;
    std::uint64_t value = 0;
    for (char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * base + digit;
        if (value > limit) {
            return std::nullopt;
        }
    }
    const auto signedValue = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    return static_cast<std::int32_t>(signedValue);
}

IniLoadResult TIniOptions::Load(const std::string& path) {
    const PathStatus status = StatPath(path);
    if (status.error == ENOENT || status.error == ENOTDIR) {
        return IniLoadResult::NoFile;
    }
    if (status.isRegular && status.size > MaxFileSize) {
        return IniLoadResult::TooLarge;
    }

    Ini ini;
    IniLoadResult result = IniLoadResult::Unreadable;
    std::optional<std::string> bytes;
    // Only a regular file is opened: a FIFO would hold the start-up until someone wrote into it.
    if (status.error == 0 && status.isRegular) {
        try {
            bytes = ReadWholeFile(path, MaxFileSize);
        } catch (const std::system_error& e) {
            if (e.code().value() == EFBIG) return IniLoadResult::TooLarge;  // it grew meanwhile
        }
    }
    if (bytes) {
        if (auto text = Decode(*bytes)) {
            if (ini.si.LoadData(text->text) >= 0) {
                result = IniLoadResult::Loaded;
            } else {
                ini.si.Reset();
            }
        }
    }
    // An unreadable file behaves like an empty one: every key takes its default.
    file = ReadText(ini, "file");
    chipidx = ReadInt(ini, "chipidx", -1);
    reload = ReadBool(ini, "reload", true);
    erase = ReadBool(ini, "erase", true);
    encry = ReadBool(ini, "encry", true);
    verify = ReadBool(ini, "verify", true);
    rstrun = ReadBool(ini, "rstrun", true);
    lang = ReadText(ini, "lang");
    return result;
}

void TIniOptions::Save(const std::string& path) const {
    // The file is read again now, not at Load, so that whatever else it holds today survives.
    // Links are followed: what is looked at here is the file that the write below replaces.
    IniText form;
    const PathStatus status = StatPath(path);
    if (status.error == 0) {
        if (!status.isRegular) {
            throw IniWriteError(path, status.isDirectory ? "it is a directory" : "it is not a regular file");
        }
        if (IsReadOnlyFile(path)) {
            throw IniWriteError(path, "the file is read-only");
        }
        if (status.size > MaxFileSize) {
            throw IniWriteError(path, "the file is larger than 1 MiB");
        }
        std::string bytes;
        try {
            bytes = ReadWholeFile(path, MaxFileSize);
        } catch (const std::system_error& e) {
            throw IniWriteError(path, e.code().value() == EFBIG ? "the file is larger than 1 MiB"
                                                                : e.code().message());
        }
        auto text = Decode(bytes);
        if (!text) {
            throw IniWriteError(path, "the file's text encoding is not supported");
        }
        form = std::move(*text);
    } else if (status.error != ENOENT) {
        throw IniWriteError(path, SystemReason(status.error));
    }
    // ENOENT: nothing there, or a dangling link whose target the write creates.

    const std::vector<std::pair<std::string, std::string>> values = {
        {"file", QuoteForFile(file)},
        {"chipidx", std::to_string(chipidx)},
        {"reload", reload ? "1" : "0"},
        {"erase", erase ? "1" : "0"},
        {"encry", encry ? "1" : "0"},
        {"verify", verify ? "1" : "0"},
        {"rstrun", rstrun ? "1" : "0"},
        {"lang", QuoteForFile(lang)},
    };
    std::string text = ini::SetValues(form.text, Section, values);
    try {
        WriteFileAtomically(path, Encode(std::move(text), form), Durability::Durable);
    } catch (const std::system_error& e) {
        throw IniWriteError(path, e.code().message());
    }
}

std::string ChooseLanguage(std::string_view lang, bool chineseSystem) {
    if (!lang.empty()) {
        return std::string(lang);
    }
    return chineseSystem ? "cn" : "en";
}

std::string ChooseLanguage(std::string_view lang) {
    return ChooseLanguage(lang, lang.empty() && IsChineseSystem());
}

}  // namespace quillon
