// JSON text for quillon-cli's lines and the unit log: a strict UTF-8 check (no overlong forms, no surrogates,
// nothing past U+10FFFF) decides which bytes pass through and which become U+FFFD. The reader
// is as strict: what it accepts, any JSON parser reads the same way.
#include "core/Json.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace quillon {

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = DecodeUtf8(text, at).length;
        if (n == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            ++at;
            continue;
        }
        if (n > 1) {
            out.append(text.substr(at, n));
            at += n;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[at++]);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string HexBytes(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 0x0F];
    }
    return out;
}

JsonLine::JsonLine(std::string_view type) : text_("{\"type\":" + JsonString(type)) {}

void JsonLine::Key(std::string_view key) {
    text_ += ',';
    text_ += JsonString(key);
    text_ += ':';
}

JsonLine& JsonLine::Text(std::string_view key, std::string_view value) {
    Key(key);
    text_ += JsonString(value);
    return *this;
}

JsonLine& JsonLine::Path(std::string_view key, std::string_view value) {
    Text(key, value);
    if (!IsValidUtf8(value)) Text(std::string(key) + "_bytes", HexBytes(value));
    return *this;
}

JsonLine& JsonLine::Number(std::string_view key, std::int64_t value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Number(std::string_view key, std::uint64_t value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Flag(std::string_view key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
    return *this;
}

const std::string& JsonValue::Empty() {
    static const std::string empty;
    return empty;
}

std::optional<std::uint64_t> JsonValue::AsUInt64() const {
    if (kind_ != Kind::Number || text_.empty() || text_[0] == '-') return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text_) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

bool JsonValue::Has(std::string_view key) const {
    return kind_ == Kind::Object && std::find(keys_.begin(), keys_.end(), key) != keys_.end();
}

const JsonValue& JsonValue::operator[](std::string_view key) const {
    static const JsonValue null;
    if (kind_ != Kind::Object) return null;
    for (std::size_t i = keys_.size(); i-- > 0;)
        if (keys_[i] == key) return items_[i];
    return null;
}

// A recursive descent over the text; every Parse* returns false at the first byte that does
// not fit the grammar, and the whole parse fails then.
class JsonParser {
public:
    explicit JsonParser(std::string_view text) : text_(text) {}

    std::optional<JsonValue> Document() {
        JsonValue value;
        SkipBlanks();
        if (!Value(value, 0)) return std::nullopt;
        SkipBlanks();
        if (at_ != text_.size()) return std::nullopt;
        return value;
    }

private:
    static constexpr int kMaxDepth = 512;

    bool AtEnd() const { return at_ >= text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[at_]; }
    void SkipBlanks() {
        while (!AtEnd() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) ++at_;
    }
    bool Take(char c) {
        if (Peek() != c || AtEnd()) return false;
        ++at_;
        return true;
    }
    bool Word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    bool Value(JsonValue& out, int depth) {
        if (depth > kMaxDepth) return false;
        switch (Peek()) {
            case '{': return Object(out, depth);
            case '[': return Array(out, depth);
            case '"':
                out.kind_ = JsonValue::Kind::String;
                return String(out.text_);
            case 't':
            case 'f':
                out.kind_ = JsonValue::Kind::Bool;
                out.text_ = Peek() == 't' ? "true" : "false";
                return Word(out.text_);
            case 'n':
                out.kind_ = JsonValue::Kind::Null;
                return Word("null");
            default:
                out.kind_ = JsonValue::Kind::Number;
                return Number(out.text_);
        }
    }

    bool Object(JsonValue& out, int depth) {
        out.kind_ = JsonValue::Kind::Object;
        ++at_;  // '{'
        SkipBlanks();
        if (Take('}')) return true;
        for (;;) {
            std::string key;
            if (Peek() != '"' || !String(key)) return false;
            SkipBlanks();
            if (!Take(':')) return false;
            SkipBlanks();
            JsonValue value;
            if (!Value(value, depth + 1)) return false;
            out.keys_.push_back(std::move(key));
            out.items_.push_back(std::move(value));
            SkipBlanks();
            if (Take('}')) return true;
            if (!Take(',')) return false;
            SkipBlanks();
        }
    }

    bool Array(JsonValue& out, int depth) {
        out.kind_ = JsonValue::Kind::Array;
        ++at_;  // '['
        SkipBlanks();
        if (Take(']')) return true;
        for (;;) {
            JsonValue value;
            if (!Value(value, depth + 1)) return false;
            out.items_.push_back(std::move(value));
            SkipBlanks();
            if (Take(']')) return true;
            if (!Take(',')) return false;
            SkipBlanks();
        }
    }

    bool Digits() {
        const std::size_t from = at_;
        while (!AtEnd() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        return at_ > from;
    }

    bool Number(std::string& literal) {
        const std::size_t from = at_;
        Take('-');
        if (!Take('0') && (Peek() < '1' || Peek() > '9' || !Digits())) return false;
        if (Take('.') && !Digits()) return false;
        if (Take('e') || Take('E')) {
            if (!Take('+')) Take('-');
            if (!Digits()) return false;
        }
        literal.assign(text_.substr(from, at_ - from));
        return true;
    }

    bool Hex4(char32_t& unit) {
        if (text_.size() - at_ < 4) return false;
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            unit <<= 4;
            if (c >= '0' && c <= '9') unit |= static_cast<char32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') unit |= static_cast<char32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') unit |= static_cast<char32_t>(c - 'A' + 10);
            else return false;
        }
        return true;
    }

    bool String(std::string& out) {
        ++at_;  // '"'
        for (;;) {
            if (AtEnd()) return false;
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) return false;
            if (c >= 0x80) {
                const std::size_t n = DecodeUtf8(text_, at_).length;
                if (n == 0) return false;
                out.append(text_.substr(at_, n));
                at_ += n;
                continue;
            }
            ++at_;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (AtEnd()) return false;
            switch (text_[at_++]) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    char32_t cp = 0;
                    if (!Hex4(cp) || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        char32_t low = 0;
                        if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    AppendUtf8(out, cp);
                    break;
                }
                default: return false;
            }
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

std::optional<JsonValue> ParseJson(std::string_view text) { return JsonParser(text).Document(); }

}  // namespace quillon
