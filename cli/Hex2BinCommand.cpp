// quillon-cli hex2bin IN.hex OUT.bin: converts an Intel HEX file into a flat image from address 0.
// OUT follows the output rules of WriteFileAtomically: a regular file is replaced only after a
// complete conversion (so a failed or interrupted run never creates or changes it), a device or
// FIFO is written directly, a directory is refused.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "cli/Cli.h"
#include "image/Image.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "core/LargeBlock.h"
#include "fs/Files.h"
#include "hex/Chex2bin.h"

namespace quillon::cli {
namespace {

// What the programmer engine's write buffer holds; larger images cannot be programmed.
constexpr std::uint64_t kDefaultMaxSize = 524288;

struct FreeBlock {
    void operator()(void* p) const { FreeLargeBlock(p); }
};
using Block = std::unique_ptr<std::uint8_t[], FreeBlock>;

Block Allocate(std::size_t bytes) { return Block(static_cast<std::uint8_t*>(AllocateLargeBlock(bytes))); }

struct Hex2BinOptions {
    std::string input;
    std::string output;
    std::uint64_t maxSize = kDefaultMaxSize;
};

std::string TooLong(const Hex2BinOptions& opt, std::uint64_t limit) {
    return opt.input + ": longer than " + std::to_string(limit) + " bytes, more than the HEX text of any image up to " +
           std::to_string(opt.maxSize) + " bytes can be; raise the limit with --max-size";
}

int RunHex2Bin(const CliContext& ctx, Hex2BinOptions opt) {
    // The conversion asks InterruptWatch::Caught() between its steps and chunks.
    InterruptFlag watch;
    Output out(ctx);
    // "-" is standard output, as for most tools; the tool's own lines then go to standard error.
    if (opt.output == "-") opt.output = "/dev/stdout";
    if (opt.output == "/dev/stdout") out.GiveUpStdout();
    const auto finish = [&](int code, const std::string& message, const ResultDetail& detail = {}) {
        out.Result("hex2bin", code, message, detail);
        return code;
    };
    const auto interrupted = [&] { return finish(InterruptWatch::ExitCode(), "interrupted; " + opt.output + " was not changed"); };

    const PathStatus st = StatPath(opt.input);
    if (st.error != 0)
        return finish(kExitBadInput, opt.input + ": " + hex::CHex2Bin::Message(hex::kHexOpenError) + " (" +
                                         SystemReason(st.error) + ")");
    if (const std::string problem = InputProblem(opt.input); !problem.empty()) return finish(kExitBadInput, problem);
    if (SameFile(opt.input, opt.output))
        return finish(kExitUsage, opt.output + " is the same file as " + opt.input + "; refusing to overwrite the HEX source");
    if (StatPath(opt.output).isDirectory)
        return finish(kExitError, opt.output + ": " + SystemReason(EISDIR));

    const std::uint64_t limit = quillon::HexTextLimit(opt.maxSize);
    if (st.size > limit) return finish(kExitBadInput, TooLong(opt, limit));
    FileBlock text;
    try {
        text = ReadWholeFileBlock(opt.input, static_cast<std::size_t>(limit));
    } catch (const std::system_error& e) {
        if (e.code().value() == EFBIG) return finish(kExitBadInput, TooLong(opt, limit));
        return finish(kExitBadInput, opt.input + ": " + hex::CHex2Bin::Message(hex::kHexOpenError) + " (" +
                                         SystemReason(e.code().value()) + ")");
    } catch (const std::bad_alloc&) {
        return finish(kExitBadInput, opt.input + ": " + hex::CHex2Bin::Message(hex::kHexOpenError) + " (" +
                                         SystemReason(ENOMEM) + ")");
    }
    if (InterruptWatch::Caught() != 0) return interrupted();

    // One conversion: it checks, measures, notes the oddities and places the bytes in one go.
    // The buffer is as large as the limit but not filled beforehand, so only the pages the image
    // takes are ever touched; an image over the limit is measured, never built.
    Block image;
    try {
        image = Allocate(static_cast<std::size_t>(opt.maxSize));
    } catch (const std::bad_alloc&) {
        return finish(kExitError, opt.output + ": " + hex::CHex2Bin::Message(hex::kHexWriteDestError) + " (" +
                                      SystemReason(ENOMEM) + ")");
    }
    hex::CHex2Bin converter;
    converter.PartialOnOverflow = false;
    converter.CollectNotices = true;
    std::uint32_t length = static_cast<std::uint32_t>(opt.maxSize);
    const std::int32_t code = converter.ConvertText(
        text.view(), &length, std::span<std::uint8_t>(image.get(), static_cast<std::size_t>(opt.maxSize)));
    text = {};
    WarnHexNotices(out, converter.Notices);
    if (code != hex::kHexSuccess) {
        if (code == hex::kHexDestOverflow)
            return finish(kExitBadInput, opt.input + ": " + converter.LastMessage + " The image is " +
                                             std::to_string(length) + " bytes, more than the limit of " +
                                             std::to_string(opt.maxSize) +
                                             " bytes; raise the limit with --max-size (at most " +
                                             std::to_string(hex::CHex2Bin::kMaxImageLength) + ").");
        return finish(kExitBadInput, opt.input + ": " + converter.LastMessage);
    }
    if (InterruptWatch::Caught() != 0) return interrupted();

    try {
        // An image of 0 bytes (a file of nothing but the end marker) makes an empty OUT.
        WriteFileAtomically(opt.output, std::string_view(reinterpret_cast<const char*>(image.get()), length),
                            Durability::Rebuildable,
                            [] { return InterruptWatch::Caught() != 0; });
    } catch (const std::system_error& e) {
        if (InterruptWatch::Caught() != 0) return interrupted();
        return finish(kExitError, opt.output + ": " + hex::CHex2Bin::Message(hex::kHexWriteDestError) + " (" +
                                      SystemReason(e.code().value()) + ")");
    }
    ResultDetail detail;
    detail.bytes = length;
    detail.output = opt.output;
    return finish(kExitOk, "wrote " + std::to_string(length) + " bytes to " + opt.output, detail);
}

}  // namespace

void RegisterHex2Bin(CLI::App& app, CliContext& ctx) {
    auto opt = std::make_shared<Hex2BinOptions>();
    CLI::App* sub = app.add_subcommand(
        "hex2bin",
        "Convert an Intel HEX file into a flat binary image that starts at address 0.\n"
        "Bytes that no record covers are 0xFF. OUT is replaced only after a complete conversion:\n"
        "on any error (bad HEX, image too large, output not writable) OUT is neither created nor\n"
        "changed. A device or FIFO as OUT is written directly; OUT may not be IN.\n"
        "Exit status: 0 success, 3 bad or too large input, 1 output I/O error, 2 OUT is IN,\n"
        "130/143/129 interrupted.");
    sub->add_option("IN", opt->input, "Intel HEX file to read")->required();
    sub->add_option("OUT", opt->output, "Binary file to write (created, or replaced; - for standard output)")->required();
    sub->add_option("--max-size", opt->maxSize,
                    "Largest image accepted, in bytes (suffixes k, m allowed, e.g. 16m). The default 524288 "
                    "is the programmer's write buffer; at most 268435456 (256 MiB)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{hex::CHex2Bin::kMaxImageLength}))
        ->capture_default_str();
    ctx.commands.push_back({sub, [&ctx, opt] { return RunHex2Bin(ctx, *opt); }});
}

}  // namespace quillon::cli
