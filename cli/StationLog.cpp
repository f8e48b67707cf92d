// Unit log lines are built with the tool's one JSON writer and checked with jsoncpp, so that what
// the station refuses is exactly what a JSON parser would refuse.
#include "cli/StationLog.h"

#include <json/json.h>

#include <memory>

#include "cli/Json.h"
#include "fs/Durable.h"

namespace quillon::cli {

std::string UnitLogLine(const station::UnitRecord& r) {
    JsonLine line("unit");
    line.Number("schema", kJsonSchema)
        .Text("time", r.time)
        .Text("programmer_serial", r.programmerSerial)
        .Path("programmer_path", r.programmerPath)
        .Text("chip", r.chip)
        .Path("image", r.imagePath)
        .Text("image_sha256", r.imageSha256);
    if (!r.bytesSha256.empty()) line.Text("bytes_sha256", r.bytesSha256);
    if (r.serial) line.Number("serial", static_cast<std::int64_t>(*r.serial));
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

namespace {

bool LooksTruncated(std::string_view line) {
    constexpr std::string_view kStart = "{\"type\":\"unit\"";
    return line.substr(0, kStart.size()) == kStart.substr(0, std::min(line.size(), kStart.size())) &&
           (line.empty() || line.back() != '}');
}

// "" when line is a complete unit record, else why not.
std::string RecordProblem(std::string_view line) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(line.data(), line.data() + line.size(), &value, &errors)) return "not JSON";
    if (!value.isObject()) return "not a JSON object";
    if (value["type"] != "unit") return "not a unit record (\"type\" is not \"unit\")";
    if (!value["time"].isString()) return "a unit record without \"time\"";
    if (value["result"] != "pass" && value["result"] != "fail") return "a unit record without a result";
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

void AppendUnitLog(const std::string& path, std::string_view line) {
    LockedFile log(path, true);
    std::string text;
    if (const std::string tail = log.ReadTail(1); !tail.empty() && tail != "\n") text = "\n";
    text.append(line);
    text += '\n';
    log.AppendSynced(text);
}

}  // namespace quillon::cli
