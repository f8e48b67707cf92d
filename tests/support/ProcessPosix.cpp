// The test process helpers on POSIX systems: fork and exec with the standard streams on files,
// waitpid polling for the timeout, signals, and the FIFO and device fixtures Linux tests use.
#include "support/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace quillon::test {

ScratchDir::ScratchDir(const std::string& prefix) {
    std::string pattern = Utf8(std::filesystem::temp_directory_path() / (prefix + "-XXXXXX"));
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    path_ = PathOf(pattern);
}

struct Process::Impl {
    ScratchDir capture{"quillon-capture"};
    std::string program;
    pid_t pid = -1;
    bool ended = false;
    int status = 0;

    bool Poll() {
        if (ended || pid <= 0) return ended;
        if (::waitpid(pid, &status, WNOHANG) == pid) ended = true;
        return ended;
    }
};

Process::Process(const std::string& program, const std::vector<std::string>& args, const ProcessOptions& options)
    : impl_(std::make_unique<Impl>()), options_(options) {
    const std::string outFile = impl_->capture / "stdout", errFile = impl_->capture / "stderr";
    std::string inFile = "/dev/null";
    if (options.stdinText) {
        inFile = impl_->capture / "stdin";
        WriteFileBytes(inFile, *options.stdinText);
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The child's environment: the caller's, with the given variables replaced or added.
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : options.environment) replaced |= entry.rfind(name + "=", 0) == 0;
        if (!replaced) environment.push_back(entry);
    }
    for (const auto& [name, value] : options.environment) environment.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    // A close-on-exec pipe tells the parent whether exec worked: it stays silent when it did and
    // carries exec's errno when it did not.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return;
    }
    // Everything the child needs is prepared before the fork: after it, only async-signal-safe
    // calls (the test may have threads).
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        int error = 0;
        if (!options.workingDir.empty() && ::chdir(options.workingDir.c_str()) != 0) error = errno;
        const int in = error ? -1 : ::open(inFile.c_str(), O_RDONLY);
        const int out = error ? -1 : ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = error ? -1 : ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!error && (in < 0 || out < 0 || err < 0)) error = errno;
        if (!error) {
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execvpe(argv[0], argv.data(), envp.data());
            error = errno;
        }
        [[maybe_unused]] const ssize_t n = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        if (options.mustStart) ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(errno);
        return;
    }
    int error = 0;
    ssize_t n;
    while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n > 0) {
        ::waitpid(pid, nullptr, 0);
        if (options.mustStart) ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(error);
        return;
    }
    impl_->pid = pid;
    impl_->program = program;
}

Process::~Process() {
    if (started() && !impl_->Poll()) {
        Kill();
        Finish();
    }
}

bool Process::started() const { return impl_->pid > 0; }

bool Process::Running() { return started() && !impl_->Poll(); }

std::string Process::OutputSoFar() const { return ReadFileBytes(impl_->capture / "stdout"); }

bool Process::Send(StopSignal signal) {
    if (!started() || impl_->ended) return false;
    const int number = signal == StopSignal::Interrupt   ? SIGINT
                       : signal == StopSignal::Terminate ? SIGTERM
                                                         : SIGHUP;
    return ::kill(impl_->pid, number) == 0;
}

void Process::Kill() {
    if (started() && !impl_->Poll()) ::kill(impl_->pid, SIGKILL);
}

ProcessResult Process::Finish(std::optional<std::chrono::milliseconds> timeout) {
    ProcessResult r;
    if (!started()) return r;
    const auto deadline = std::chrono::steady_clock::now() + timeout.value_or(options_.timeout);
    while (!impl_->Poll()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(impl_->pid, SIGKILL);
            ::waitpid(impl_->pid, &impl_->status, 0);
            impl_->ended = true;
            r.timedOut = true;
            ADD_FAILURE() << impl_->program << " did not finish in time and was killed";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const int status = impl_->status;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    r.out = ReadFileBytes(impl_->capture / "stdout");
    r.err = ReadFileBytes(impl_->capture / "stderr");
    return r;
}

bool OnWindows() { return false; }
bool IsSuperUser() { return geteuid() == 0; }

bool MakeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

std::string NullDeviceFor(const std::string& dir) {
    if (::geteuid() != 0) return "/dev/null";
    const std::string path = dir + "/null";
    return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 ? path : std::string();
}

bool IsCharacterDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

long MaxNameLength(const std::string& dir) { return ::pathconf(dir.c_str(), _PC_NAME_MAX); }

}  // namespace quillon::test
