// Unit log lines are built with the tool's one JSON writer and checked with jsoncpp, so that what
// the station refuses is exactly what a JSON parser would refuse.
#include "cli/StationLog.h"

#include <json/json.h>

#include <cerrno>
#include <memory>
#include <system_error>

#include "cli/Json.h"
#include "fs/Durable.h"
#include "fs/Files.h"

namespace quillon::cli {

namespace {
// The fields every record of a unit starts with.
JsonLine UnitHead(const station::UnitRecord& r) {
    JsonLine line("unit");
    line.Number("schema", kJsonSchema)
        .Text("time", r.time)
        .Text("programmer_serial", r.programmerSerial)
        .Path("programmer_path", r.programmerPath)
        .Text("chip", r.chip)
        .Path("image", r.imagePath)
        .Text("image_sha256", r.imageSha256);
    return line;
}
}  // namespace

std::string UnitLogLine(const station::UnitRecord& r) {
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

std::string TakenLogLine(const station::UnitRecord& r) {
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

bool ParseRecord(std::string_view line, Json::Value& value) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(line.data(), line.data() + line.size(), &value, &errors);
}

// "" when line is a complete unit record, else why not.
std::string RecordProblem(std::string_view line) {
    Json::Value value;
    if (!ParseRecord(line, value)) return "not JSON";
    if (!value.isObject()) return "not a JSON object";
    if (value["type"] != "unit") return "not a unit record (\"type\" is not \"unit\")";
    if (!value["time"].isString()) return "a unit record without \"time\"";
    if (value["result"] != "pass" && value["result"] != "fail" && value["result"] != "taken")
        return "a unit record without a result";
    return {};
}

}  // namespace

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

std::optional<std::uint64_t> LastTakenSerial(std::string_view tail) {
    // Complete lines only, from the end: the last one may be cut short.
    std::size_t end = tail.rfind('\n');
    while (end != std::string_view::npos && end > 0) {
        const std::size_t start = tail.rfind('\n', end - 1);
        const std::size_t from = start == std::string_view::npos ? 0 : start + 1;
        const std::string_view line = tail.substr(from, end - from);
        Json::Value value;
        if (line.find("\"taken\"") != std::string_view::npos && ParseRecord(line, value) && value.isObject() &&
            value["type"] == "unit" && value["result"] == "taken" && value["serial"].isUInt64())
            return value["serial"].asUInt64();
        if (start == std::string_view::npos) break;
        end = start;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> ReadLastTakenSerial(const std::string& path) {
    LockedFile log(path, true);
    return LastTakenSerial(log.ReadTail(kLogTailBytes));
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

}  // namespace quillon::cli
