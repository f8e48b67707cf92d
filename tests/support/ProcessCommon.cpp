// The parts of the test process helpers that are the same on every system: argument quoting for
// Windows command lines, UTF-8 paths, whole-file reads and writes, and the run-to-the-end and
// wait-for-output loops built on the per-system start, poll and kill.
#include "support/Process.h"

#include <fstream>
#include <iterator>
#include <thread>

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

ScratchDir::~ScratchDir() {
    // A child that has just ended may still hold its files open for a moment on Windows (Wine
    // keeps redirected files open for up to ~170 ms), which makes the removal fail: try again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
        if (!ec) return;
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
