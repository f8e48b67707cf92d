// The parts of the test process helpers that are the same on every system: argument quoting for
// Windows command lines, UTF-8 paths, whole-file reads and writes, and the run-to-the-end and
// wait-for-output loops built on the per-system start, poll and kill.
#include "support/Process.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace quillon::test {

std::string Utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

std::filesystem::path PathOf(const std::string& utf8) { return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())); }

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(PathOf(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(PathOf(path), std::ios::binary | std::ios::trunc) << bytes;
}

std::string ScratchDir::str() const { return Utf8(path_); }

std::string ScratchDir::operator/(const std::string& name) const { return Utf8(path_ / PathOf(name)); }

namespace {

// Removes path and everything under it in one pass; false when something stayed. Not
// std::filesystem::remove_all: on Windows (seen under Wine) libstdc++ 12's remove_all spins for
// ever over a file whose deletion is pending because a child that has just ended still holds it
// open: the file stays listed, and remove_all keeps going back to it. Here each pass lists a
// folder once, and the caller decides when to try again.
bool RemoveTree(const std::filesystem::path& path) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::symlink_status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) return true;
    if (ec) return false;
    if (status.type() == std::filesystem::file_type::directory) {
        std::vector<std::filesystem::path> entries;
        for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            entries.push_back(it->path());
        for (const auto& entry : entries) RemoveTree(entry);  // what stays makes the folder's removal fail
    }
    return std::filesystem::remove(path, ec) && !ec;
}

}  // namespace

ScratchDir::~ScratchDir() {
    // A child that has just ended may still hold its files open for a moment on Windows (Wine
    // keeps redirected files open for up to ~170 ms), which makes the removal fail: try again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::error_code ec;
        if (RemoveTree(path_)) return;
        // Read-only files cannot be deleted on Windows, nor entries of a read-only directory
        // anywhere: give the owner write access back before the next try.
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            std::error_code ignored;
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add | std::filesystem::perm_options::nofollow,
                                         ignored);
        }
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string QuoteWindowsArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them: then each one is doubled and the
        // quote itself escaped.
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    // The closing quote follows: the trailing backslashes must not escape it.
    quoted.append(2 * backslashes, '\\');
    return quoted + '"';
}

bool Process::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const bool running = Running();
        if (OutputSoFar().find(text) != std::string::npos) return true;
        if (!running || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
    Process child(program, args, options);
    return child.Finish();
}

}  // namespace quillon::test
