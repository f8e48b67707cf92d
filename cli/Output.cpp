// Plain, quiet and JSON-lines output of quillon-cli.
#include "cli/Output.h"

#include <cstdio>

#include "cli/Json.h"
#include "log/Log.h"

namespace quillon::cli {

std::string ResultJsonLine(std::string_view op, int code, const std::string& message, const ResultDetail& detail) {
    JsonLine j("result");
    j.Number("schema", kJsonSchema).Text("op", op).Flag("ok", code == 0).Number("exit", code).Text("message", message);
    if (!detail.device.empty()) j.Path("device", detail.device);
    if (detail.bytes >= 0) j.Number("bytes", detail.bytes);
    if (!detail.output.empty()) j.Path("output", detail.output);
    if (!detail.checked.empty()) j.Text("checked", detail.checked);
    if (detail.count >= 0) j.Number("count", detail.count);
    if (detail.differing >= 0) j.Number("differing", detail.differing);
    if (detail.firstDifference >= 0) j.Number("first_difference", detail.firstDifference);
    if (const auto& p = detail.programmer) {
        j.Path("path", p->path).Text("serial", p->serial).Flag("answered", p->answered);
        if (p->answered)
            j.Number("firmware", p->firmware).Number("version", p->version).Flag("chip_present", p->chipPresent);
    }
    return j.Str();
}

Output::Output(const CliContext& ctx, bool logLines)
    : json_(ctx.json), quiet_(ctx.quiet), logLines_(logLines && !ctx.quiet),
      bar_(!ctx.json && !ctx.quiet && logLines && IsTerminal(stderr)) {
    SetLogSink([this](const std::string& line) { LogLine(line); });
}

Output::~Output() {
    SetLogSink(nullptr);
    EndProgress();
}

void Output::PrintJson(const std::string& line) const {
    std::fputs(line.c_str(), stream_);
    std::fputc('\n', stream_);
    std::fflush(stream_);
}

void Output::ClearBar() {
    if (barShown_) {
        std::fputs("\r\033[K", stderr);
        barShown_ = false;
    }
}

void Output::LogLine(const std::string& line) {
    if (!logLines_) return;
    std::lock_guard lock(mutex_);
    if (json_) {
        PrintJson(JsonLine("log").Text("line", line).Str());
        return;
    }
    ClearBar();
    std::fprintf(stream_, "%s\n", line.c_str());
    std::fflush(stream_);
}

void Output::DeviceLog(const std::string& device, const std::string& line) {
    if (!logLines_) return;
    std::lock_guard lock(mutex_);
    if (json_) {
        PrintJson(JsonLine("log").Path("device", device).Text("line", line).Str());
        return;
    }
    ClearBar();
    std::fprintf(stream_, "[%s] %s\n", device.c_str(), line.c_str());
    std::fflush(stream_);
}

void Output::Progress(const char* phase, std::uint32_t done, std::uint32_t total) {
    if (total == 0 || !logLines_) return;
    std::lock_guard lock(mutex_);
    // 64 steps are plenty for a bar; JSON and plain logs get fewer, to stay short.
    const int steps = bar_ ? 64 : (json_ ? 32 : 4);
    const int step = static_cast<int>(static_cast<std::uint64_t>(done) * steps / total);
    if (step == lastStep_) return;
    lastStep_ = step;
    const unsigned percent = static_cast<unsigned>(static_cast<std::uint64_t>(done) * 100 / total);
    if (json_) {
        PrintJson(JsonLine("progress").Text("op", phase).Number("done", done).Number("total", total).Str());
        return;
    }
    if (!bar_) {
        if (step > 0) std::fprintf(stderr, "%s: %3u%% (%u/%u bytes)\n", phase, percent, done, total);
        return;
    }
    const int width = 40;
    const int filled = static_cast<int>(static_cast<std::uint64_t>(done) * width / total);
    std::fprintf(stderr, "\r%-5s [%.*s%*s] %3u%% %u/%u", phase, filled, "########################################",
                 width - filled, "", percent, done, total);
    std::fflush(stderr);
    barShown_ = true;
}

void Output::EndProgress() {
    std::lock_guard lock(mutex_);
    // The finished bar stays on screen.
    if (barShown_) std::fputs("\n", stderr);
    barShown_ = false;
    lastStep_ = -1;
}

void Output::Warning(const std::string& text, std::size_t line) {
    if (quiet_) return;
    std::lock_guard lock(mutex_);
    if (json_) {
        JsonLine j("warning");
        j.Text("message", text);
        if (line != 0) j.Number("line", static_cast<std::int64_t>(line));
        PrintJson(j.Str());
        return;
    }
    ClearBar();
    if (line != 0)
        std::fprintf(stderr, "warning: line %zu: %s\n", line, text.c_str());
    else
        std::fprintf(stderr, "warning: %s\n", text.c_str());
}

void Output::Result(const char* op, int code, const std::string& message, const ResultDetail& detail) {
    std::lock_guard lock(mutex_);
    ClearBar();
    if (json_) {
        PrintJson(ResultJsonLine(op, code, message, detail));
        return;
    }
    const std::string where = detail.device.empty() ? "" : " [" + detail.device + "]";
    if (code == 0) {
        std::fprintf(stream_, "%s%s: OK: %s\n", op, where.c_str(), message.c_str());
        std::fflush(stream_);
    } else {
        std::fprintf(stderr, "%s%s: FAILED (exit %d): %s\n", op, where.c_str(), code, message.c_str());
    }
}

}  // namespace quillon::cli
