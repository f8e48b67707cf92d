// Test-side helpers for running programs and keeping scratch files, the same on Linux and
// Windows: a child process with its output captured through files (never pipes, which Wine's
// helper processes would hold open), a timeout that kills, and the few system-specific checks
// and fixtures the tests share. Each system has its own file (ProcessPosix.cpp, ProcessWin32.cpp).
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillon::test {

// A directory of its own under the system's temporary directory, removed with everything in it
// when the object goes. The name starts with prefix and is unique even across processes.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix = "quillon-test");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The directory, or a name inside it, as a UTF-8 string.
    std::string str() const;
    std::string operator/(const std::string& name) const;

private:
    std::filesystem::path path_;
};

// The UTF-8 text of a path, and a path from UTF-8 text, whatever the system's code page.
std::string Utf8(const std::filesystem::path& path);
std::filesystem::path PathOf(const std::string& utf8);

// The whole file as bytes ("" when it cannot be read), and a file replaced by the given bytes.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

struct ProcessResult {
    int code = -1;       // exit code; 128 + signal number when a POSIX signal ended it
    bool timedOut = false;  // killed because it ran past its time
    std::string out, err;
    std::string all() const { return out + err; }
};

struct ProcessOptions {
    std::string workingDir;                // "" keeps the caller's
    std::optional<std::string> stdinText;  // nullopt: the null device
    std::chrono::milliseconds timeout{60000};
    bool mustStart = true;  // false: a program that cannot be started is no test failure
    // Variables set for the child on top of the caller's environment.
    std::vector<std::pair<std::string, std::string>> environment;
};

// Signals a test may send to a running child. Only POSIX systems have them.
enum class StopSignal { Interrupt, Terminate, Hangup };

// A running child. Its standard output and error go to files of their own (in a private scratch
// directory, so they never show up in the directory under test) and are read after it ends.
class Process {
public:
    // Starts program (a path; a bare name is looked up on PATH) with args. A start failure
    // fails the test and leaves started() false.
    Process(const std::string& program, const std::vector<std::string>& args, const ProcessOptions& options = {});
    ~Process();  // kills the child when it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const;
    // False once the child has ended (or never started).
    bool Running();
    // Waits at most timeout for the output so far to contain text; false when the child ended
    // or the time ran out first.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Sends the signal; false where the system has no such signal (Windows).
    bool Send(StopSignal signal);
    // Ends the child at once (SIGKILL, TerminateProcess).
    void Kill();
    // Waits for the end (killing the child once timeout has passed) and collects the output.
    ProcessResult Finish(std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    // The standard output written so far.
    std::string OutputSoFar() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    ProcessOptions options_;
};

// Runs program to its end (or the timeout) and returns what it did.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// One argument as the Microsoft C runtime's command-line parser will give it back: quoted when
// it is empty or holds blanks or quotes, with backslashes doubled only before a quote.
std::string QuoteWindowsArgument(const std::string& arg);

// --- the system under the tests -------------------------------------------------------------------

bool OnWindows();
// Root on POSIX (permission bits do not stop it); false on Windows.
bool IsSuperUser();
// Skips the rest of the current test on Windows, with the reason in the skip message.
#define QUILLON_SKIP_ON_WINDOWS(reason)                                            \
    do {                                                                           \
        if (::quillon::test::OnWindows()) GTEST_SKIP() << "not on Windows: " << (reason); \
    } while (0)

// Makes a FIFO; false where there are none (Windows) or mkfifo fails.
bool MakeFifo(const std::string& path);
// A null character device safe to write into: the system's own, or, for root on POSIX, one made
// in dir so that a faulty build cannot replace the system's. "" when there is none to use.
std::string NullDeviceFor(const std::string& dir);
bool IsCharacterDevice(const std::string& path);
// The longest file name the directory's file system takes.
long MaxNameLength(const std::string& dir);

}  // namespace quillon::test
