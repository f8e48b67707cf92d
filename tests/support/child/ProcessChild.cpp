// A small program the process helper tests start as their child: it reports the arguments it
// was given (hex-encoded, one per line, as the C runtime parsed them), copies its input, ends
// with a chosen exit code, or sleeps, so that quoting, redirection and timeouts can be checked.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace {

int Run(const std::vector<std::string>& args) {
    if (args.empty()) return 100;
    const std::string& what = args[0];
    if (what == "args") {
        for (std::size_t i = 1; i < args.size(); ++i) {
            for (const unsigned char c : args[i]) std::printf("%02x", c);
            std::printf("\n");
        }
        return 0;
    }
    if (what == "exit" && args.size() == 2) {
        std::fputs("to stdout\n", stdout);
        std::fputs("to stderr\n", stderr);
        return std::atoi(args[1].c_str());
    }
    if (what == "stdin") {
        int c;
        while ((c = std::getchar()) != EOF) std::putchar(c);
        return 0;
    }
    if (what == "cwd") {
        const std::u8string dir = std::filesystem::current_path().u8string();
        std::fwrite(dir.data(), 1, dir.size(), stdout);
        return 0;
    }
    if (what == "env" && args.size() == 2) {
        const char* value = std::getenv(args[1].c_str());
        std::fputs(value != nullptr ? value : "(unset)", stdout);
        return 0;
    }
    if (what == "sleep" && args.size() == 2) {
        std::fputs("sleeping\n", stdout);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(args[1].c_str())));
        std::fputs("woke\n", stdout);
        return 0;
    }
    return 100;
}

}  // namespace

#ifdef _WIN32
// wmain: the arguments as the C runtime splits the UTF-16 command line, before any code page.
int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const int n = ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
        if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, utf8.data(), n, nullptr, nullptr);
        args.push_back(utf8);
    }
    return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
