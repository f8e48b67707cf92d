// Throughput of the in-memory HEX conversion (bytes of HEX text per second), for the image
// sizes the tool meets: a 16 KiB chip, the 512 KiB write buffer and a 16 MiB stress case, with
// 16- and 32-byte records and an extended linear address record every 64 KiB; also the image
// loader's call (notices collected, the 512 KiB write buffer as destination).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hex/Chex2bin.h"

namespace {

std::string MakeHex(std::size_t imageSize, std::size_t recordSize) {
    std::string text;
    text.reserve(imageSize * 3);
    char line[16 + 2 * 256];
    std::uint32_t state = 12345;
    auto emit = [&](std::size_t n, std::uint32_t offset, std::uint8_t type, const std::uint8_t* data) {
        unsigned sum = static_cast<unsigned>(n + (offset >> 8) + (offset & 0xFF) + type);
        int pos = std::snprintf(line, sizeof line, ":%02X%04X%02X", static_cast<unsigned>(n), offset, type);
        for (std::size_t i = 0; i < n; ++i) {
            sum += data[i];
            pos += std::snprintf(line + pos, sizeof line - static_cast<std::size_t>(pos), "%02X", data[i]);
        }
        std::snprintf(line + pos, sizeof line - static_cast<std::size_t>(pos), "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += line;
    };
    std::vector<std::uint8_t> data(recordSize);
    for (std::size_t address = 0; address < imageSize; address += recordSize) {
        if (address % 0x10000 == 0) {
            const std::uint8_t upper[2] = {static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16)};
            emit(2, 0, 4, upper);
        }
        for (auto& b : data) {
            state = state * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(state >> 16);
        }
        emit(recordSize, static_cast<std::uint32_t>(address & 0xFFFF), 0, data.data());
    }
    text += ":00000001FF\r\n";
    return text;
}

void BM_ConvertText(benchmark::State& state) {
    const auto imageSize = static_cast<std::size_t>(state.range(0));
    const auto recordSize = static_cast<std::size_t>(state.range(1));
    const std::string text = MakeHex(imageSize, recordSize);
    std::vector<std::uint8_t> buffer(imageSize);
    for (auto _ : state) {
        quillon::hex::CHex2Bin conv;
        std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
        const auto code = conv.ConvertText(text, &length, buffer);
        if (code != quillon::hex::kHexSuccess || length != imageSize) {
            state.SkipWithError("conversion failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
    state.counters["image_bytes"] = static_cast<double>(imageSize);
}

// The image loader's call: the 512 KiB write buffer as capacity and destination, notices on.
void BM_ConvertTextWithNotices(benchmark::State& state) {
    const auto imageSize = static_cast<std::size_t>(state.range(0));
    const std::string text = MakeHex(imageSize, 16);
    std::vector<std::uint8_t> buffer(524288);
    for (auto _ : state) {
        quillon::hex::CHex2Bin conv;
        conv.CollectNotices = true;
        std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
        const auto code = conv.ConvertText(text, &length, buffer);
        if (code != quillon::hex::kHexSuccess || length != imageSize || !conv.Notices.empty()) {
            state.SkipWithError("conversion failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

void BM_MeasureOnly(benchmark::State& state) {
    const std::string text = MakeHex(static_cast<std::size_t>(state.range(0)), 16);
    for (auto _ : state) {
        quillon::hex::CHex2Bin conv;
        std::uint32_t length = 0;
        benchmark::DoNotOptimize(conv.ConvertText(text, &length));
        benchmark::DoNotOptimize(length);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

}  // namespace

BENCHMARK(BM_ConvertText)
    ->ArgsProduct({{16 << 10, 512 << 10, 16 << 20}, {16, 32}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ConvertTextWithNotices)->Arg(16 << 10)->Arg(512 << 10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MeasureOnly)->Arg(512 << 10)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
