// The journal is rewritten whole (through a temporary file and a synced rename) on every change,
// under a lock file beside it: results are few and small, a rewrite never leaves half a line,
// and two processes that share a station name take turns instead of interleaving.
#include "station/Journal.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "core/Json.h"
#include "fs/Durable.h"
#include "fs/Files.h"
#include "hash/Sha256.h"

namespace quillon::station {

namespace {

std::string Reason(const std::system_error& e) { return SystemReason(e.code().value()); }

std::optional<std::string> FromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const auto digit = [](char c) {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        const int high = digit(hex[i]), low = digit(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

// A text field as written by JsonLine::Path: the exact bytes when they were not UTF-8.
std::optional<std::string> TextOf(const JsonValue& v, const std::string& key) {
    if (v.Has(key + "_bytes")) return FromHex(v[key + "_bytes"].AsString());
    if (!v[key].IsString()) return std::nullopt;
    return v[key].AsString();
}

}  // namespace

std::string JournalPath(const std::string& folder, const std::string& station) {
    std::string name;
    bool changed = station.empty();
    for (char c : station) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_' || (c == '.' && !name.empty());
        name += safe ? c : '_';
        changed = changed || !safe;
    }
    if (name.size() > 64) {
        name.resize(64);
        changed = true;
    }
    if (changed) {
        name += '-';
        name += Sha256::Hex(std::string_view(station)).substr(0, 12);
    }
    if (folder.empty()) return name + ".journal";
    const char last = folder.back();
    return folder + (last == '/' || last == '\\' ? "" : "/") + name + ".journal";
}

std::string JournalLine(const UnitRecord& r) {
    JsonLine line("result");
    line.Path("unit_id", r.unitId)
        .Path("time", r.time)
        .Path("programmer_serial", r.programmerSerial)
        .Path("programmer_path", r.programmerPath)
        .Path("chip", r.chip)
        .Path("image", r.imagePath)
        .Path("image_sha256", r.imageSha256)
        .Path("bytes_sha256", r.bytesSha256)
        .Path("series", r.series);
    if (r.serial) line.Number("serial", *r.serial);
    line.Text("result", r.pass ? "pass" : "fail")
        .Path("failure", r.failure)
        .Path("message", r.message)
        .Number("duration_ms", static_cast<std::uint64_t>(r.durationMs < 0 ? 0 : r.durationMs))
        .Number("bytes_written", r.bytesWritten)
        .Path("version", r.version)
        .Path("station", r.station)
        .Path("operator", r.operatorName)
        .Path("lot", r.lot)
        .Path("part", r.part)
        .Number("pools", r.data.size());
    for (std::size_t i = 0; i < r.data.size(); ++i)
        line.Path("pool_" + std::to_string(i), r.data[i].pool).Path("value_" + std::to_string(i), r.data[i].value);
    return line.Str();
}

std::optional<UnitRecord> ParseJournalLine(std::string_view text) {
    const std::optional<JsonValue> parsed = ParseJson(text);
    if (!parsed || !parsed->IsObject() || (*parsed)["type"] != "result") return std::nullopt;
    const JsonValue& v = *parsed;
    UnitRecord r;
    const std::pair<const char*, std::string*> texts[] = {
        {"unit_id", &r.unitId},       {"time", &r.time},           {"programmer_serial", &r.programmerSerial},
        {"programmer_path", &r.programmerPath}, {"chip", &r.chip}, {"image", &r.imagePath},
        {"image_sha256", &r.imageSha256}, {"bytes_sha256", &r.bytesSha256}, {"series", &r.series},
        {"failure", &r.failure},      {"message", &r.message},     {"version", &r.version},
        {"station", &r.station},      {"operator", &r.operatorName}, {"lot", &r.lot},
        {"part", &r.part},
    };
    for (const auto& [key, field] : texts) {
        auto value = TextOf(v, key);
        if (!value) return std::nullopt;
        *field = std::move(*value);
    }
    if (r.unitId.empty()) return std::nullopt;
    if (v.Has("serial")) {
        r.serial = v["serial"].AsUInt64();
        if (!r.serial) return std::nullopt;
    }
    if (v["result"] != "pass" && v["result"] != "fail") return std::nullopt;
    r.pass = v["result"] == "pass";
    const auto duration = v["duration_ms"].AsUInt64(), written = v["bytes_written"].AsUInt64(),
               pools = v["pools"].AsUInt64();
    if (!duration || !written || !pools || *written > 0xFFFFFFFFu || *pools > 1024) return std::nullopt;
    r.durationMs = static_cast<std::int64_t>(*duration);
    r.bytesWritten = static_cast<std::uint32_t>(*written);
    for (std::uint64_t i = 0; i < *pools; ++i) {
        auto pool = TextOf(v, "pool_" + std::to_string(i)), value = TextOf(v, "value_" + std::to_string(i));
        if (!pool || !value) return std::nullopt;
        r.data.push_back({std::move(*pool), std::move(*value)});
    }
    return r;
}

JournalingStore::JournalingStore(UnitStore& store, std::string journalPath)
    : store_(store), path_(std::move(journalPath)), lockPath_(path_ + ".lock") {
    const std::size_t slash = path_.find_last_of(kPathSeparators);
    const std::string folder = slash == std::string::npos ? std::string() : path_.substr(0, slash == 0 ? 1 : slash);
    std::error_code error;
    if (!folder.empty()) std::filesystem::create_directories(PathFromUtf8(folder), error);
    if (error)
        throw std::runtime_error("cannot create the journal's folder " + folder + ": " + SystemReason(error.value()));
    // Found now rather than when the store is lost and a result has nowhere else to go.
    if (const int problem = CheckCreatableIn(folder); problem != 0)
        throw std::runtime_error("cannot keep the journal in " + folder + ": " + SystemReason(problem));
}

std::vector<std::string> JournalingStore::ReadLocked() {
    std::string text;
    try {
        text = ReadWholeFile(path_);
    } catch (const std::system_error& e) {
        if (e.code().value() == ENOENT) return {};
        throw std::runtime_error("cannot read the journal " + path_ + ": " + Reason(e));
    }
    std::vector<std::string> lines;
    std::size_t at = 0, number = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (line.empty()) continue;
        // The file is only ever replaced whole: a line that is not a result is not ours to drop.
        if (!ParseJournalLine(line))
            throw std::runtime_error("the journal " + path_ + " has a line that is not a unit's result (line " +
                                     std::to_string(number) + "); move it aside to go on");
        lines.push_back(std::move(line));
    }
    return lines;
}

void JournalingStore::WriteLocked(const std::vector<std::string>& lines) {
    try {
        if (lines.empty()) {
            if (const int error = RemoveFile(path_); error != 0 && error != ENOENT)
                throw std::system_error(error, std::generic_category(), path_);
            SyncDirectoryOf(path_);
            return;
        }
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        WriteFileAtomically(path_, text, Durability::Durable);
    } catch (const std::system_error& e) {
        throw std::runtime_error("cannot write the journal " + path_ + ": " + Reason(e));
    }
}

std::size_t JournalingStore::SendLocked(const std::function<bool()>& cancelled) {
    std::unique_ptr<LockedFile> lock;
    try {
        lock = std::make_unique<LockedFile>(lockPath_, true, cancelled ? cancelled : [] { return false; });
    } catch (const std::system_error& e) {
        if (e.code().value() == ECANCELED) throw SerialCancelled("stopped while waiting for the journal " + path_);
        throw std::runtime_error("cannot lock the journal " + path_ + ": " + Reason(e));
    }
    std::vector<std::string> lines = ReadLocked();
    std::size_t sent = 0;
    const auto keepRest = [&] {
        if (sent > 0) WriteLocked(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(sent), lines.end()));
    };
    try {
        for (; sent < lines.size(); ++sent) store_.finishUnit(*ParseJournalLine(lines[sent]), cancelled);
    } catch (const StoreUnavailable&) {
        keepRest();
        throw;
    } catch (const StoreWaitCancelled&) {
        keepRest();
        throw;
    } catch (const std::exception& e) {
        keepRest();
        throw std::runtime_error("the store refuses a result that waits in the journal " + path_ + ": " + e.what());
    }
    if (sent > 0) WriteLocked({});
    return sent;
}

std::size_t JournalingStore::send(const std::function<bool()>& cancelled) {
    std::lock_guard guard(mutex_);
    return SendLocked(cancelled);
}

std::size_t JournalingStore::waiting() {
    std::lock_guard guard(mutex_);
    try {
        LockedFile lock(lockPath_, true);
        return ReadLocked().size();
    } catch (const std::system_error& e) {
        throw std::runtime_error("cannot lock the journal " + path_ + ": " + Reason(e));
    }
}

StartedUnit JournalingStore::startUnit(const UnitRecord& unit, const NumberCheck& check,
                                       const std::function<bool()>& cancelled) {
    std::lock_guard guard(mutex_);
    try {
        (void)SendLocked(cancelled);
    } catch (const StoreWaitCancelled& e) {
        throw SerialCancelled(e.what());
    }
    return store_.startUnit(unit, check, cancelled);
}

void JournalingStore::finishUnit(const UnitRecord& unit, const std::function<bool()>& cancelled) {
    std::lock_guard guard(mutex_);
    std::unique_ptr<LockedFile> lock;
    try {
        lock = std::make_unique<LockedFile>(lockPath_, true, cancelled ? cancelled : [] { return false; });
    } catch (const std::system_error& e) {
        if (e.code().value() == ECANCELED) throw StoreWaitCancelled("stopped while waiting for the journal " + path_);
        throw std::runtime_error("cannot lock the journal " + path_ + ": " + Reason(e));
    }
    std::vector<std::string> lines;
    try {
        lines = ReadLocked();
    } catch (const std::runtime_error& e) {
        // A damaged journal is the operator's to look at, not ours to rewrite; this result still
        // must not be lost: it goes after what is there, byte for byte, and the error stands.
        std::string text;
        try {
            text = ReadWholeFile(path_);
            if (!text.empty() && text.back() != '\n') text += '\n';
            WriteFileAtomically(path_, text + JournalLine(unit) + "\n", Durability::Durable);
        } catch (const std::system_error&) {
            throw e;
        }
        throw std::runtime_error(std::string(e.what()) + " (the result of unit " + unit.unitId +
                                 " is kept at its end)");
    }
    if (lines.empty()) {
        try {
            store_.finishUnit(unit, cancelled);
            return;
        } catch (const StoreWaitCancelled&) {
            throw;
        } catch (const StoreUnavailable&) {
            lines.push_back(JournalLine(unit));
            WriteLocked(lines);
            return;
        } catch (...) {
            // Refused for another reason: kept, so that the next start meets the same refusal.
            lines.push_back(JournalLine(unit));
            WriteLocked(lines);
            throw;
        }
    }
    // Results wait: this one goes after them, in order.
    lines.push_back(JournalLine(unit));
    WriteLocked(lines);
}

std::uint64_t JournalingStore::peekNext(const std::string& series) {
    std::lock_guard guard(mutex_);
    return store_.peekNext(series);
}

std::optional<std::string> JournalingStore::peekPool(const std::string& pool) {
    std::lock_guard guard(mutex_);
    return store_.peekPool(pool);
}

}  // namespace quillon::station
