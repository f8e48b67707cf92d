// What quillon-cli prints: the system's log lines, progress, warnings, and one result line per
// run. Plain text by default, one JSON object per line with --json (see cli/Json.h and the
// README's schema table), errors only with --quiet. The progress bar is drawn on stderr only when
// stderr is a terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "cli/Cli.h"
#include "ops/ProgrammerLink.h"

namespace quillon::cli {

// What a result line says beyond its code and message.
struct ResultDetail {
    std::string device;      // the programmer, when several were used
    std::int64_t bytes = -1;  // image or dump size; -1: none
    std::string output;      // file written, if any
    std::string checked;     // what was checked: "transfer checksum", "read-back", ... ("" none)
    std::int64_t count = -1;  // devices listed; -1: none
    std::int64_t firstDifference = -1;  // verify / read-back: first address where chip and image differ
    std::int64_t differing = -1;        // verify / read-back: bytes that differ; -1 not compared
    std::optional<ProgrammerInfo> programmer;  // detect: the programmer and its answer
};

// The JSON result line (without its line end) that ends a run: the one shape of every "result"
// object, also for runs that end before an Output exists (usage errors, escaped exceptions).
std::string ResultJsonLine(std::string_view op, int code, const std::string& message, const ResultDetail& detail = {});

class Output {
public:
    // Installs itself as the log's sink (log lines are printed unless logLines is false or the
    // run is quiet); the destructor removes it.
    explicit Output(const CliContext& ctx, bool logLines = true);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // True when stream is a terminal (live status lines are drawn only there).
    static bool IsTerminal(std::FILE* stream);

    // The run writes its data to standard output: every line goes to standard error instead.
    void GiveUpStdout() { stream_ = stderr; }

    void Progress(const char* phase, std::uint32_t done, std::uint32_t total);
    void EndProgress();
    // Something the user should know although the run goes on; line 0: no line number. Not
    // printed in quiet runs.
    void Warning(const std::string& text, std::size_t line = 0);
    // One log line of one programmer among several: prefixed by the programmer on a terminal,
    // with a "device" field in JSON lines.
    void DeviceLog(const std::string& device, const std::string& line);
    // The run's final line: exit code 0 is success.
    void Result(const char* op, int code, const std::string& message, const ResultDetail& detail = {});

private:
    void LogLine(const std::string& line);
    void ClearBar();

    void PrintJson(const std::string& line) const;

    std::FILE* stream_ = stdout;
    bool json_;
    bool quiet_;
    bool logLines_;
    bool bar_;
    bool barShown_ = false;
    int lastStep_ = -1;
    std::mutex mutex_;
};

}  // namespace quillon::cli
