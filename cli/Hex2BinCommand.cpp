// quillon-cli hex2bin IN.hex OUT.bin: converts an Intel HEX file into a flat image from address 0.
// The image goes to a temporary file beside OUT that replaces OUT only after a complete
// conversion, so a failed run never creates or changes OUT.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/Cli.h"
#include "hex/Chex2bin.h"

namespace quillon::cli {
namespace {

// What the programmer engine's write buffer holds; larger images cannot be programmed.
constexpr std::uint64_t kDefaultMaxSize = 524288;

struct Hex2BinOptions {
    std::string input;
    std::string output;
    std::uint64_t maxSize = kDefaultMaxSize;
};

std::string JsonEscape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int Fail(const CliContext& ctx, int exitCode, const std::string& text) {
    std::fprintf(stderr, "hex2bin: %s\n", text.c_str());
    if (ctx.json) {
        std::printf("{\"event\":\"result\",\"command\":\"hex2bin\",\"ok\":false,\"exit\":%d,\"message\":\"%s\"}\n",
                    exitCode, JsonEscape(text).c_str());
    }
    return exitCode;
}

// A fresh file beside target (same file system, so rename is atomic) with the permissions a
// newly created target would get, or the target's own when it exists.
std::string MakeTempBeside(const std::string& target, std::string& error) {
    namespace fs = std::filesystem;
    const fs::path path(target);
    const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::string pattern = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        error = "cannot create a file in " + dir.string() + ": " + std::strerror(errno);
        return {};
    }
    struct stat st {};
    mode_t mode;
    if (::stat(target.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    (void)::fchmod(fd, mode);
    ::close(fd);
    return pattern;
}

int RunHex2Bin(const CliContext& ctx, const Hex2BinOptions& opt) {
    std::string error;
    const std::string temp = MakeTempBeside(opt.output, error);
    if (temp.empty()) return Fail(ctx, kExitError, opt.output + ": " + error);

    hex::CHex2Bin converter;
    converter.PartialOnOverflow = false;  // an oversized image is refused, so do not build it
    std::uint32_t length = static_cast<std::uint32_t>(opt.maxSize);
    const std::int32_t code = converter.Convert(opt.input, &temp, &length);
    if (code != hex::kHexSuccess) {
        std::remove(temp.c_str());
        switch (code) {
            case hex::kHexDestOverflow:
                return Fail(ctx, kExitBadInput,
                            opt.input + ": " + converter.LastMessage + " The image is " + std::to_string(length) +
                                " bytes, more than the limit of " + std::to_string(opt.maxSize) +
                                " bytes; raise the limit with --max-size (at most " +
                                std::to_string(hex::CHex2Bin::kMaxImageLength) + ").");
            case hex::kHexWriteDestError:
                return Fail(ctx, kExitError, opt.output + ": " + converter.LastMessage);
            case hex::kHexOpenError:
            case hex::kHexEofError:
            case hex::kHexChecksumError:
            case hex::kHexWrongLabel:
                return Fail(ctx, kExitBadInput, opt.input + ": " + converter.LastMessage);
            default:
                return Fail(ctx, kExitError, opt.input + ": " + converter.LastMessage);
        }
    }
    if (std::rename(temp.c_str(), opt.output.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        std::remove(temp.c_str());
        return Fail(ctx, kExitError, opt.output + ": " + reason);
    }
    if (ctx.json) {
        std::printf("{\"event\":\"result\",\"command\":\"hex2bin\",\"ok\":true,\"exit\":0,\"bytes\":%u,"
                    "\"output\":\"%s\"}\n",
                    length, JsonEscape(opt.output).c_str());
    } else if (!ctx.quiet) {
        std::printf("%s: %u bytes\n", opt.output.c_str(), length);
    }
    return kExitOk;
}

}  // namespace

void RegisterHex2Bin(CLI::App& app, CliContext& ctx) {
    auto opt = std::make_shared<Hex2BinOptions>();
    CLI::App* sub = app.add_subcommand(
        "hex2bin",
        "Convert an Intel HEX file into a flat binary image that starts at address 0.\n"
        "Bytes that no record covers are 0xFF. OUT is replaced only after a complete conversion:\n"
        "on any error (bad HEX, image too large, output not writable) OUT is neither created nor\n"
        "changed. Exit status: 0 success, 3 bad or too large input, 1 output I/O error.");
    sub->add_option("IN", opt->input, "Intel HEX file to read")->required();
    sub->add_option("OUT", opt->output, "Binary file to write (created, or replaced)")->required();
    sub->add_option("--max-size", opt->maxSize,
                    "Largest image accepted, in bytes (suffixes k, m allowed, e.g. 16m). The default 524288 "
                    "is the programmer's write buffer; at most 268435456 (256 MiB)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{hex::CHex2Bin::kMaxImageLength}))
        ->capture_default_str();
    ctx.commands.push_back({sub, [&ctx, opt] { return RunHex2Bin(ctx, *opt); }});
}

}  // namespace quillon::cli
