// The test process helpers on Windows: CreateProcessW with a command line quoted for the C
// runtime's parser, the standard streams on inheritable file handles, TerminateProcess for the
// timeout, and unique scratch directories under GetTempPathW.
#include "support/Process.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <stdexcept>
#include <thread>

namespace quillon::test {
namespace {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

// An inheritable handle for one of the child's standard streams. Every sharing mode is granted,
// so that the test can read the output while the child (or a lingering Wine process) holds it.
HANDLE OpenInheritable(const std::string& path, bool write) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return ::CreateFileW(Wide(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                         write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Reads a capture file, retrying for a while when it cannot be opened yet: a child started
// without a console may keep it open for some time after it has ended.
std::string ReadCapture(const std::string& path) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            std::string text;
            char buf[65536];
            DWORD n = 0;
            while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
            ::CloseHandle(h);
            return text;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

// The child's environment block: the caller's variables, with the given ones replaced or added.
std::wstring EnvironmentBlock(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::wstring block;
    wchar_t* const strings = ::GetEnvironmentStringsW();
    for (const wchar_t* e = strings; *e != L'\0'; e += std::wcslen(e) + 1) {
        const std::wstring entry = e;
        bool replaced = false;
        for (const auto& [name, value] : extra) replaced |= ::_wcsnicmp(entry.c_str(), (Wide(name) + L"=").c_str(), name.size() + 1) == 0;
        if (!replaced) block += entry + L'\0';
    }
    ::FreeEnvironmentStringsW(strings);
    for (const auto& [name, value] : extra) block += Wide(name) + L"=" + Wide(value) + L'\0';
    return block + L'\0';
}

// Children are started with handle inheritance on, for their three standard streams: keep the
// test's own output (ctest's pipe) out of them, so that no child, nor any helper Wine starts for
// it, can hold that pipe open after the test has ended.
void KeepOwnStreamsFromChildren() {
    static const bool done = [] {
        for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
            const HANDLE h = ::GetStdHandle(which);
            if (h != nullptr && h != INVALID_HANDLE_VALUE) ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
        }
        return true;
    }();
    (void)done;
}

}  // namespace

ScratchDir::ScratchDir(const std::string& prefix) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::wstring name = Wide(prefix) + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(::GetTickCount64() % 100000) + L"-" + std::to_wstring(counter++);
        const std::wstring dir = std::wstring(temp, n) + name;
        // CreateDirectoryW fails when the name exists: the directory is ours alone.
        if (::CreateDirectoryW(dir.c_str(), nullptr)) {
            path_ = std::filesystem::path(dir);
            return;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw std::runtime_error("cannot make a scratch directory for " + prefix);
}

struct Process::Impl {
    ScratchDir capture{"quillon-capture"};
    std::string program;
    PROCESS_INFORMATION info{};
    bool ended = false;

    bool Poll() {
        if (ended || info.hProcess == nullptr) return ended;
        ended = ::WaitForSingleObject(info.hProcess, 0) == WAIT_OBJECT_0;
        return ended;
    }
};

Process::Process(const std::string& program, const std::vector<std::string>& args, const ProcessOptions& options)
    : impl_(std::make_unique<Impl>()), options_(options) {
    impl_->program = program;
    const std::string outFile = impl_->capture / "stdout", errFile = impl_->capture / "stderr";
    std::string inFile = "NUL";
    if (options.stdinText) {
        inFile = impl_->capture / "stdin";
        WriteFileBytes(inFile, *options.stdinText);
    }

    std::string commandLine = QuoteWindowsArgument(program);
    for (const auto& a : args) {
        commandLine += ' ';  // appended apart: GCC 12 misreads " " + ... as an overlapping copy
        commandLine += QuoteWindowsArgument(a);
    }
    std::wstring wideLine = Wide(commandLine);

    KeepOwnStreamsFromChildren();
    const HANDLE in = OpenInheritable(inFile, false);
    const HANDLE out = OpenInheritable(outFile, true);
    const HANDLE err = OpenInheritable(errFile, true);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    const std::wstring dir = Wide(options.workingDir);
    std::wstring environment;
    if (!options.environment.empty()) environment = EnvironmentBlock(options.environment);
    BOOL ok = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE;
    DWORD error = ok ? 0 : ::GetLastError();
    if (ok) {
        // A program given by a path is started from it; a bare name is searched for on PATH.
        const bool bare = program.find_first_of("/\\") == std::string::npos;
        const std::wstring application = bare ? std::wstring() : Wide(program);
        ok = ::CreateProcessW(bare ? nullptr : application.c_str(), wideLine.data(), nullptr, nullptr, TRUE,
                              CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                              environment.empty() ? nullptr : environment.data(),
                              dir.empty() ? nullptr : dir.c_str(), &si, &impl_->info);
        if (!ok) error = ::GetLastError();
    }
    for (const HANDLE h : {in, out, err})
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    if (!ok) {
        impl_->info = PROCESS_INFORMATION{};
        if (options.mustStart) ADD_FAILURE() << "cannot start " << program << " (Windows error " << error << ")";
        return;
    }
    ::CloseHandle(impl_->info.hThread);
    impl_->info.hThread = nullptr;
}

Process::~Process() {
    if (!started()) return;
    if (!impl_->Poll()) {
        Kill();
        ::WaitForSingleObject(impl_->info.hProcess, INFINITE);
    }
    ::CloseHandle(impl_->info.hProcess);
}

bool Process::started() const { return impl_->info.hProcess != nullptr; }

bool Process::Running() { return started() && !impl_->Poll(); }

std::string Process::OutputSoFar() const { return ReadCapture(impl_->capture / "stdout"); }

bool Process::Send(StopSignal) { return false; }

void Process::Kill() {
    if (started() && !impl_->Poll()) ::TerminateProcess(impl_->info.hProcess, 137);
}

ProcessResult Process::Finish(std::optional<std::chrono::milliseconds> timeout) {
    ProcessResult r;
    if (!started()) return r;
    const auto limit = timeout.value_or(options_.timeout);
    if (::WaitForSingleObject(impl_->info.hProcess, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        ::TerminateProcess(impl_->info.hProcess, 137);
        ::WaitForSingleObject(impl_->info.hProcess, INFINITE);
        r.timedOut = true;
        ADD_FAILURE() << impl_->program << " did not finish in time and was killed";
    }
    impl_->ended = true;
    DWORD code = 0;
    ::GetExitCodeProcess(impl_->info.hProcess, &code);
    r.code = static_cast<int>(code);
    r.out = ReadCapture(impl_->capture / "stdout");
    r.err = ReadCapture(impl_->capture / "stderr");
    return r;
}

bool OnWindows() { return true; }
bool IsSuperUser() { return false; }

bool MakeFifo(const std::string&) { return false; }

std::string NullDeviceFor(const std::string&) { return "NUL"; }

bool IsCharacterDevice(const std::string& path) {
    const HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool device = ::GetFileType(h) == FILE_TYPE_CHAR;
    ::CloseHandle(h);
    return device;
}

long MaxNameLength(const std::string& dir) {
    // The volume's limit, from its root ("C:\").
    const std::wstring wide = Wide(dir);
    wchar_t root[MAX_PATH + 1];
    if (!::GetVolumePathNameW(wide.c_str(), root, MAX_PATH + 1)) return 255;
    DWORD max = 0;
    if (!::GetVolumeInformationW(root, nullptr, 0, nullptr, &max, nullptr, nullptr, 0)) return 255;
    return static_cast<long>(max);
}

}  // namespace quillon::test
