// Plain, quiet and JSON-lines output of quillon-cli.
#include "cli/Output.h"

#include <unistd.h>

#include <cstdio>

#include "log/Log.h"

namespace quillon::cli {

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
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

Output::Output(const CliContext& ctx, bool logLines)
    : json_(ctx.json), logLines_(logLines && !ctx.quiet),
      bar_(!ctx.json && !ctx.quiet && logLines && isatty(STDERR_FILENO) == 1) {
    SetLogSink([this](const std::string& line) { LogLine(line); });
}

Output::~Output() {
    SetLogSink(nullptr);
    EndProgress();
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
        std::printf("{\"type\":\"log\",\"line\":%s}\n", JsonString(line).c_str());
    } else {
        ClearBar();
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
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
        std::printf("{\"type\":\"progress\",\"op\":\"%s\",\"done\":%u,\"total\":%u}\n", phase, done, total);
        std::fflush(stdout);
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

void Output::Result(const char* op, int code, const std::string& message, const std::string& device) {
    std::lock_guard lock(mutex_);
    ClearBar();
    if (json_) {
        std::printf("{\"type\":\"result\",\"op\":\"%s\",\"ok\":%s,\"exit\":%d,\"message\":%s%s}\n", op,
                    code == 0 ? "true" : "false", code, JsonString(message).c_str(),
                    device.empty() ? "" : (",\"device\":" + JsonString(device)).c_str());
        std::fflush(stdout);
        return;
    }
    const std::string where = device.empty() ? "" : " [" + device + "]";
    if (code == 0) {
        std::printf("%s%s: OK: %s\n", op, where.c_str(), message.c_str());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "%s%s: FAILED (exit %d): %s\n", op, where.c_str(), code, message.c_str());
    }
}

}  // namespace quillon::cli
