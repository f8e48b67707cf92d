// What quillon-cli prints: the system's log lines, progress, and one result line per run.
// Plain text by default, one JSON object per line with --json, errors only with --quiet.
// The progress bar is drawn on stderr only when stderr is a terminal.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "cli/Cli.h"

namespace quillon::cli {

class Output {
public:
    // Installs itself as the log's sink (log lines are printed unless logLines is false or the
    // run is quiet); the destructor removes it.
    explicit Output(const CliContext& ctx, bool logLines = true);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void Progress(const char* phase, std::uint32_t done, std::uint32_t total);
    void EndProgress();
    // The run's final line: exit code 0 is success.
    void Result(const char* op, int code, const std::string& message, const std::string& device = {});

private:
    void LogLine(const std::string& line);
    void ClearBar();

    bool json_;
    bool logLines_;
    bool bar_;
    bool barShown_ = false;
    int lastStep_ = -1;
    std::mutex mutex_;
};

// A JSON text for one value (UTF-8 kept as is).
std::string JsonString(const std::string& text);

}  // namespace quillon::cli
