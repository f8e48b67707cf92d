// The station profile's file: written by us in one fixed order, read line by line so that every
// refusal can name its line. Hand-written rather than through the settings file's INI library,
// which neither reports line numbers nor tells a repeated key from a single one.
#include "station/Profile.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "core/ConnectionSecrets.h"
#include "fs/Files.h"
#include "hash/Sha256.h"
#include "protocol/Chips.h"
#include "station/Serial.h"

namespace quillon::station {

namespace {

constexpr std::string_view kSection = "station";
constexpr std::size_t kMaxProfileBytes = 64 * 1024;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

const char* YesNo(bool b) { return b ? "yes" : "no"; }

// libpq separates keywords by any white space, not only by blanks.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool IsHex64(std::string_view s) {
    return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

// A NAME@ADDR:FORMAT field, checked for its shape only: the store that fills it judges the rest.
bool IsDataField(std::string_view s) {
    const std::size_t at = s.find('@');
    if (at == 0 || at == std::string_view::npos) return false;
    const std::string_view rest = s.substr(at + 1);
    return rest.find(':') != std::string_view::npos && rest.front() != ':' && rest.back() != ':';
}

// Text a profile can hold on one line and read back as written.
void CheckValue(std::string_view key, const std::string& value) {
    if (value.find_first_of("\r\n") != std::string::npos)
        throw ProfileError("the profile cannot keep " + std::string(key) + ": it contains a line break");
    if (!value.empty() && (value != Trim(value)))
        throw ProfileError("the profile cannot keep " + std::string(key) + " '" + value +
                           "': it begins or ends with a blank");
}

class Reader {
public:
    Reader(std::string name, std::size_t line) : name_(std::move(name)), line_(line) {}

    [[noreturn]] void Fail(const std::string& why) const {
        throw ProfileError(name_ + ":" + std::to_string(line_) + ": " + why);
    }
    bool Bool(std::string_view key, std::string_view value) const {
        const std::string v = Lower(value);
        if (v == "yes" || v == "true" || v == "on" || v == "1") return true;
        if (v == "no" || v == "false" || v == "off" || v == "0") return false;
        Fail(std::string(key) + " takes yes or no, not '" + std::string(value) + "'");
    }
    int Int(std::string_view key, std::string_view value, int min, int max) const {
        int n = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size() || n < min || n > max)
            Fail(std::string(key) + " takes a whole number from " + std::to_string(min) + " to " +
                 std::to_string(max) + ", not '" + std::string(value) + "'");
        return n;
    }

private:
    std::string name_;
    std::size_t line_;
};

}  // namespace

std::string AbsolutePath(const std::string& path, const std::string& folder) {
    if (path.empty()) return path;
    std::filesystem::path p = PathFromUtf8(path);
    if (p.is_relative() && !folder.empty()) p = PathFromUtf8(folder) / p;
    std::error_code error;
    const auto absolute = std::filesystem::absolute(p, error);
    const std::u8string text = (error ? p : absolute).lexically_normal().u8string();
    return {text.begin(), text.end()};
}

std::string StripPassword(std::string_view location) {
    std::string s(location);
    const std::string lower = Lower(s);
    if (lower.rfind("postgresql://", 0) == 0 || lower.rfind("postgres://", 0) == 0) {
        const std::size_t hostStart = s.find("://") + 3;
        const std::size_t hostEnd = std::min(s.find_first_of("/?", hostStart), s.size());
        std::size_t at = s.rfind('@', hostEnd == 0 ? 0 : hostEnd - 1);
        if (at == std::string::npos || at < hostStart) at = std::string::npos;
        // libpq ends the user part at an '@' before the first '/': a '?' or '#' may stand in a password.
        const std::size_t slash = s.find('/', hostStart);
        if (const std::size_t first = s.find('@', hostStart);
            first != std::string::npos && first < slash && (at == std::string::npos || first > at))
            at = first;
        if (at != std::string::npos) {
            const std::size_t colon = s.find(':', hostStart);
            if (colon != std::string::npos && colon < at) s.erase(colon, at - colon);
        }
        // The query's password parameter, wherever it stands among the others.
        if (const std::size_t q = s.find('?'); q != std::string::npos) {
            std::string query = s.substr(q + 1), kept;
            std::size_t from = 0;
            while (from <= query.size()) {
                std::size_t end = query.find('&', from);
                if (end == std::string::npos) end = query.size();
                const std::string param = query.substr(from, end - from);
                if (!IsSecretKey(Lower(DecodedQueryName(param.substr(0, param.find('='))))) && !param.empty())
                    kept += (kept.empty() ? "" : "&") + param;
                from = end + 1;
            }
            s = s.substr(0, q) + (kept.empty() ? "" : "?" + kept);
        }
        return s;
    }
    if (lower.find("password") == std::string::npos || lower.find('=') == std::string::npos) return s;
    // A keyword string: "host=h password='a b' dbname=d"; values may be quoted with ', and a
    // backslash keeps the next character (a blank too) within a value, quoted or not.
    std::string out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && IsBlank(s[i])) ++i;
        const std::size_t start = i;
        while (i < s.size() && s[i] != '=' && !IsBlank(s[i])) ++i;
        const std::string key = Lower(Trim(std::string_view(s).substr(start, i - start)));
        while (i < s.size() && IsBlank(s[i])) ++i;
        if (i < s.size() && s[i] == '=') {
            ++i;
            while (i < s.size() && IsBlank(s[i])) ++i;
            if (i < s.size() && s[i] == '\'') {
                for (++i; i < s.size() && s[i] != '\''; ++i)
                    if (s[i] == '\\') ++i;
                ++i;
            } else {
                for (; i < s.size() && !IsBlank(s[i]); ++i)
                    if (s[i] == '\\') ++i;
            }
        }
        const std::string token(Trim(std::string_view(s).substr(start, std::min(i, s.size()) - start)));
        if (!IsSecretKey(key) && !token.empty()) out += (out.empty() ? "" : " ") + token;
    }
    return out;
}

std::string ProfileText(const Profile& p) {
    std::string text =
        "# Quillon station profile: what this station programs and how. Made by\n"
        "# 'quillon-cli station ... --save-profile'; the operator's view shows it locked.\n"
        "[station]\n";
    auto put = [&text](std::string_view key, const std::string& value) {
        CheckValue(key, value);
        text += std::string(key) + " = " + value + "\n";
    };
    if (!p.store.empty() && StripPassword(p.store) != p.store)
        throw ProfileError("the profile cannot keep a store location with a password");
    put("chip", p.chip);
    put("image", p.image);
    put("image_sha256", p.imageSha256);
    put("erase", YesNo(p.write.erase));
    put("protect", YesNo(p.write.protect));
    put("verify", YesNo(p.write.verify));
    put("reset", YesNo(p.write.reset));
    put("readback", YesNo(p.write.readback));
    put("serial", p.serial);
    put("serial_file", p.serialFile);
    put("log", p.log);
    for (const std::string& field : p.data) put("data", field);
    put("series", p.series);
    put("store", p.store);
    put("station", p.station);
    put("device", p.device);
    put("all", YesNo(p.all));
    put("poll_ms", std::to_string(p.pollMs));
    put("require_lot", YesNo(p.requireLot));
    put("require_operator", YesNo(p.requireOperator));
    put("require_part", YesNo(p.requirePart));
    put("hold_after_failures", std::to_string(p.holdAfterFailures));
    put("sound_on_pass", YesNo(p.soundOnPass));
    put("sound_on_fail", YesNo(p.soundOnFail));
    return text;
}

Profile ParseProfile(std::string_view text, const std::string& name, const std::string& folder) {
    Profile p;
    std::set<std::string> seen;
    bool inSection = false, sawSection = false;
    std::size_t number = 0;
    std::size_t at = 0;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") at = 3;  // a byte-order mark from a Windows editor
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = Trim(text.substr(at, end - at));
        at = end + 1;
        ++number;
        const Reader r(name, number);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        if (line.front() == '[') {
            if (line.back() != ']') r.Fail("a section name must end with ']'");
            const std::string section = Lower(Trim(line.substr(1, line.size() - 2)));
            if (section != kSection) r.Fail("unknown section [" + section + "] (a profile has only [station])");
            if (sawSection) r.Fail("[station] given twice");
            inSection = sawSection = true;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) r.Fail("expected 'key = value', not '" + std::string(line) + "'");
        if (!inSection) r.Fail("key before the [station] section");
        const std::string key = Lower(Trim(line.substr(0, eq)));
        const std::string value(Trim(line.substr(eq + 1)));
        if (key != "data" && !seen.insert(key).second) r.Fail("key '" + key + "' given twice");
        if (key == "chip") {
            if (ChipIndex(value) < 0) r.Fail("unknown chip '" + value + "'");
            p.chip = value;
        } else if (key == "image") {
            if (value.empty()) r.Fail("image must name the image file");
            p.image = AbsolutePath(value, folder);
        } else if (key == "image_sha256") {
            if (!IsHex64(value)) r.Fail("image_sha256 takes 64 hex digits, not '" + value + "'");
            p.imageSha256 = Lower(value);
        } else if (key == "erase") {
            p.write.erase = r.Bool(key, value);
        } else if (key == "protect") {
            p.write.protect = r.Bool(key, value);
        } else if (key == "verify") {
            p.write.verify = r.Bool(key, value);
        } else if (key == "reset") {
            p.write.reset = r.Bool(key, value);
        } else if (key == "readback") {
            p.write.readback = r.Bool(key, value);
        } else if (key == "serial") {
            if (!value.empty()) {
                try {
                    (void)ParseSerialField(value);
                } catch (const SerialError& e) {
                    r.Fail(std::string("serial: ") + e.what());
                }
            }
            p.serial = value;
        } else if (key == "serial_file") {
            p.serialFile = AbsolutePath(value, folder);
        } else if (key == "log") {
            p.log = AbsolutePath(value, folder);
        } else if (key == "data") {
            if (value.empty()) continue;
            if (!IsDataField(value)) r.Fail("data takes NAME@ADDR:FORMAT, not '" + value + "'");
            p.data.push_back(value);
        } else if (key == "series") {
            p.series = value;
        } else if (key == "store") {
            if (StripPassword(value) != value)
                r.Fail("store holds a password; a profile never does (use ~/.pgpass, PGPASSWORD or a service file)");
            p.store = value;
        } else if (key == "station") {
            p.station = value;
        } else if (key == "device") {
            p.device = value;
        } else if (key == "all") {
            p.all = r.Bool(key, value);
        } else if (key == "poll_ms") {
            p.pollMs = r.Int(key, value, 10, 5000);
        } else if (key == "require_lot") {
            p.requireLot = r.Bool(key, value);
        } else if (key == "require_operator") {
            p.requireOperator = r.Bool(key, value);
        } else if (key == "require_part") {
            p.requirePart = r.Bool(key, value);
        } else if (key == "hold_after_failures") {
            p.holdAfterFailures = r.Int(key, value, 0, kMaxHoldAfterFailures);
        } else if (key == "sound_on_pass") {
            p.soundOnPass = r.Bool(key, value);
        } else if (key == "sound_on_fail") {
            p.soundOnFail = r.Bool(key, value);
        } else {
            r.Fail("unknown key '" + key + "'");
        }
    }
    for (const char* required : {"chip", "image", "image_sha256"})
        if (seen.count(required) == 0) throw ProfileError(name + ": " + required + " is missing");
    if (!p.serial.empty() && p.serialFile.empty() && p.store.empty())
        throw ProfileError(name + ": serial needs serial_file or store (where the numbers come from)");
    if (!p.serialFile.empty() && p.serial.empty())
        throw ProfileError(name + ": serial_file needs serial (where the number goes in the image)");
    if (p.write.protect && p.write.readback)
        throw ProfileError(name + ": readback cannot be done on a read-protected chip (protect = yes)");
    return p;
}

void SaveProfile(const Profile& profile, const std::string& path) {
    const std::string text = ProfileText(profile);
    try {
        WriteFileAtomically(path, text, Durability::Durable);
    } catch (const std::system_error& e) {
        throw ProfileError("cannot write profile " + path + ": " + SystemReason(e.code().value()));
    }
}

Profile LoadProfile(const std::string& path) {
    std::string text;
    try {
        if (const std::string kind = NonRegularKind(path); !kind.empty())
            throw ProfileError("profile " + path + " is " + kind + ", not a file");
        text = ReadWholeFile(path, kMaxProfileBytes);
    } catch (const std::system_error& e) {
        throw ProfileError("cannot read profile " + path + ": " +
                           (e.code().value() == EFBIG ? std::string("larger than 64 KiB, not a profile")
                                                      : SystemReason(e.code().value())));
    }
    const std::u8string folder = PathFromUtf8(AbsolutePath(path)).parent_path().u8string();
    return ParseProfile(text, path, std::string(folder.begin(), folder.end()));
}

std::string ImageFileSha256(const std::string& path) {
    try {
        const FileBlock block = ReadWholeFileBlock(path);
        return Sha256::Hex(block.view());
    } catch (const std::system_error& e) {
        throw ProfileError("cannot read image " + path + ": " + SystemReason(e.code().value()));
    }
}

}  // namespace quillon::station
