// Unit log lines are built with the tool's one JSON writer and checked with its strict reader, so
// that what the station accepts any JSON parser reads the same way.
#include "station/UnitLog.h"

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <memory>
#include <optional>
#include <system_error>

#include "core/Json.h"
#include "fs/Durable.h"
#include "fs/Files.h"

namespace quillon::station {

namespace {
// The fields every record of a unit starts with.
JsonLine UnitHead(const UnitRecord& r) {
    JsonLine line("unit");
    line.Number("schema", kJsonSchema)
        .Text("time", r.time)
        .Text("programmer_serial", r.programmerSerial)
        .Path("programmer_path", r.programmerPath)
        .Text("chip", r.chip)
        .Path("image", r.imagePath)
        .Text("image_sha256", r.imageSha256);
    if (!r.series.empty()) line.Path("series", r.series);
    return line;
}
}  // namespace

std::string UnitLogLine(const UnitRecord& r) {
    JsonLine line = UnitHead(r);
    if (!r.bytesSha256.empty()) line.Text("bytes_sha256", r.bytesSha256);
    if (r.serial) line.Number("serial", *r.serial);
    line.Text("result", r.pass ? "pass" : "fail");
    if (!r.pass) {
        line.Text("failure", r.failure);
        // The number went to a chip that failed: it is never given to another one.
        if (r.serial) line.Flag("serial_retired", true);
    }
    line.Text("message", r.message)
        .Number("duration_ms", r.durationMs)
        .Number("bytes_written", r.bytesWritten)
        .Text("version", r.version);
    return line.Str();
}

std::string TakenLogLine(const UnitRecord& r) {
    JsonLine line = UnitHead(r);
    if (r.serial) line.Number("serial", *r.serial);
    line.Text("result", "taken").Text("version", r.version);
    return line.Str();
}

namespace {

// What a power cut leaves of the last append: the start of a record without its end, and/or a
// run of NUL bytes where the file system had allocated blocks that were never written.
bool LooksTruncated(std::string_view line) {
    while (!line.empty() && line.back() == '\0') line.remove_suffix(1);
    while (!line.empty() && line.front() == '\0') line.remove_prefix(1);
    if (line.empty()) return true;
    constexpr std::string_view kStart = "{\"type\":\"unit\"";
    return line.substr(0, kStart.size()) == kStart.substr(0, std::min(line.size(), kStart.size())) &&
           line.back() != '}';
}

// "" when line is a complete unit record, else why not.
std::string RecordProblem(std::string_view line) {
    const std::optional<JsonValue> parsed = ParseJson(line);
    if (!parsed) return "not JSON";
    const JsonValue& value = *parsed;
    if (!value.IsObject()) return "not a JSON object";
    if (value["type"] != "unit") return "not a unit record (\"type\" is not \"unit\")";
    if (!value["time"].IsString()) return "a unit record without \"time\"";
    if (value["result"] != "pass" && value["result"] != "fail" && value["result"] != "taken")
        return "a unit record without a result";
    return {};
}

}  // namespace

namespace {
std::optional<std::string> FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int value = 0;
        for (std::size_t k = i; k < i + 2; ++k) {
            const char c = hex[k];
            const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0) return std::nullopt;
            value = value * 16 + digit;
        }
        bytes += static_cast<char>(value);
    }
    return bytes;
}
}  // namespace

std::optional<UnitLogEntry> ParseUnitLogLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (!RecordProblem(line).empty()) return std::nullopt;
    const JsonValue value = *ParseJson(line);
    UnitLogEntry entry;
    UnitRecord& r = entry.record;
    entry.result = value["result"].AsString();
    r.time = value["time"].AsString();
    r.programmerSerial = value["programmer_serial"].AsString();
    r.programmerPath = value["programmer_path"].AsString();
    r.chip = value["chip"].AsString();
    r.imagePath = value["image"].AsString();
    r.imageSha256 = value["image_sha256"].AsString();
    r.bytesSha256 = value["bytes_sha256"].AsString();
    r.series = value["series"].AsString();
    if (value.Has("series_bytes")) {
        const auto bytes = FromHex(value["series_bytes"].AsString());
        if (!bytes) return std::nullopt;
        r.series = *bytes;
    }
    if (value.Has("serial")) {
        const auto serial = value["serial"].AsUInt64();
        if (!serial) return std::nullopt;
        r.serial = serial;
    }
    r.pass = entry.result == "pass";
    r.failure = value["failure"].AsString();
    if (entry.result == "fail" && r.failure.empty()) r.failure = "fail";
    if (entry.result != "fail") r.failure.clear();
    r.message = value["message"].AsString();
    if (value.Has("duration_ms")) {
        const auto ms = value["duration_ms"].AsUInt64();
        if (!ms || *ms > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        r.durationMs = static_cast<std::int64_t>(*ms);
    }
    if (value.Has("bytes_written")) {
        const auto bytes = value["bytes_written"].AsUInt64();
        if (!bytes || *bytes > UINT32_MAX) return std::nullopt;
        r.bytesWritten = static_cast<std::uint32_t>(*bytes);
    }
    r.version = value["version"].AsString();
    r.station = value["station"].AsString();
    r.operatorName = value["operator"].AsString();
    r.lot = value["lot"].AsString();
    r.part = value["part"].AsString();
    return entry;
}

LogCheck CheckUnitLog(std::string_view text) {
    LogCheck check;
    std::size_t lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        const std::size_t end = text.find('\n');
        const bool complete = end != std::string_view::npos;
        std::string_view line = text.substr(0, complete ? end : text.size());
        text.remove_prefix(complete ? end + 1 : text.size());
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
        const std::string problem = RecordProblem(line);
        if (problem.empty()) {
            ++check.units;
            continue;
        }
        if (LooksTruncated(line)) {
            ++check.truncated;
            continue;
        }
        check.valid = false;
        check.badLine = lineNo;
        check.reason = "line " + std::to_string(lineNo) + " is " + problem;
        return check;
    }
    return check;
}

LogCheck CheckUnitLogTail(std::string_view tail, bool fromStart) {
    if (!fromStart) {
        const std::size_t end = tail.find('\n');
        tail.remove_prefix(end == std::string_view::npos ? tail.size() : end + 1);
    }
    return CheckUnitLog(tail);
}

namespace {
// The series a record names, as the writer put it: a name that is not valid UTF-8 is compared by
// its exact bytes.
bool NamesSeries(const JsonValue& record, const std::string& series) {
    if (record.Has("series_bytes")) return record["series_bytes"] == HexBytes(series);
    return record["series"] == series;
}
}  // namespace

std::optional<std::uint64_t> LastTakenSerial(std::string_view tail, const std::string& series) {
    std::optional<std::uint64_t> ours, unnamed;
    bool foreign = false;
    // Complete lines only, from the end: the last one may be cut short.
    std::size_t end = tail.rfind('\n');
    while (end != std::string_view::npos && end > 0) {
        const std::size_t start = tail.rfind('\n', end - 1);
        const std::size_t from = start == std::string_view::npos ? 0 : start + 1;
        const std::string_view line = tail.substr(from, end - from);
        const bool named = line.find("\"series\"") != std::string_view::npos;
        const bool taken = line.find("\"taken\"") != std::string_view::npos;
        const std::optional<JsonValue> parsed = named || taken ? ParseJson(line) : std::nullopt;
        if (parsed && parsed->IsObject() && (*parsed)["type"] == "unit") {
            const JsonValue& value = *parsed;
            const bool mine = series.empty() || (value.Has("series") && NamesSeries(value, series));
            if (value.Has("series") && !mine) foreign = true;
            if (value["result"] == "taken" && value["serial"].AsUInt64()) {
                const std::uint64_t number = *value["serial"].AsUInt64();
                if (mine && (series.empty() || value.Has("series"))) {
                    // The last record of a series holds its highest number.
                    if (!ours) ours = number;
                    if (series.empty()) break;
                } else if (!value.Has("series") && !unnamed) {
                    unnamed = number;
                }
            }
        }
        if (start == std::string_view::npos) break;
        end = start;
    }
    if (foreign || !unnamed) return ours;
    return ours ? std::max(*ours, *unnamed) : unnamed;
}

std::optional<std::uint64_t> ReadLastTakenSerial(const std::string& path, const std::string& series) {
    LockedFile log(path, true);
    return LastTakenSerial(log.ReadTail(kLogTailBytes), series);
}

std::string LogAppendProblem(const std::string& path) {
    std::string target;
    try {
        target = ResolveLinks(path);
    } catch (const std::system_error& e) {
        return "cannot follow " + path + ": " + SystemReason(e.code().value());
    }
    const PathStatus status = StatPath(target);
    if (status.error == 0) {
        if (!status.isRegular) return path + " is " + NonRegularKind(target) + ", not a unit log";
        if (IsReadOnlyFile(target)) return "cannot append to the unit log " + path + ": it is read-only";
        return {};
    }
    if (status.error != ENOENT)
        return "cannot append to the unit log " + path + ": " + SystemReason(status.error);
    const std::size_t slash = target.find_last_of(kPathSeparators);
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash == 0 ? 1 : slash);
    if (const int error = CheckCreatableIn(dir); error != 0)
        return "cannot create the unit log " + path + (target != path ? " (" + target + ")" : std::string()) +
               ": its folder " + (dir.empty() ? std::string(".") : dir) + ": " + SystemReason(error);
    return {};
}

void AppendUnitLog(const std::string& path, std::string_view line) { AppendUnitLog(path, line, {}); }

void AppendUnitLog(const std::string& path, std::string_view line, const std::function<bool()>& cancelled) {
    LockedFile log(path, true, cancelled);
    std::string text;
    // push_back, not = "\n": GCC 12 takes that assignment for an overlapping copy (-Wrestrict).
    if (const std::string tail = log.ReadTail(1); !tail.empty() && tail != "\n") text.push_back('\n');
    text.append(line);
    text += '\n';
    log.AppendSynced(text);
}

}  // namespace quillon::station
