// Throughput of the protocol engine: a 32 KiB image streamed into a counting SendFunc, and a
// 32 KiB read fed in as 512 data reports. A counting operator new shows how many allocations
// each stream costs, so a per-report allocation sneaking into the hot path is seen at once.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

#include "bench/AllocationCounter.h"
#include "protocol/Cpro.h"


namespace {

using quillon::CPro;

constexpr std::uint32_t kImage = 32768;
constexpr long kReports = kImage / 64;

void BM_WriteStream32K(benchmark::State& state) {
    CPro engine;
    long packets = 0;
    std::uint32_t acc = 0;
    engine.SendFunc = [&](const std::uint8_t* data, std::int32_t length) {
        ++packets;
        acc += data[length - 1];
        return length;
    };
    engine.SelectChip("NRF24LU1_32K");
    engine.PrepareWrite({.verify = true, .erase = true}, kImage);
    std::array<std::uint8_t, 64> ready{};
    ready[0] = quillon::OP_WRITE;

    const long before = quillon::bench::Allocations();
    for (auto _ : state) engine.OnReceive(ready.data(), 64);
    const long allocations = quillon::bench::Allocations() - before;

    benchmark::DoNotOptimize(acc);
    if (packets != kReports * static_cast<long>(state.iterations()))
        state.SkipWithError("wrong packet count");
    state.counters["reports/s"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
    // No log sink is installed here, so the ready reply's log line costs nothing either; with
    // one, that line is the only allocation of a write. The packets must allocate none.
    state.counters["allocs/stream"] =
        static_cast<double>(allocations) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WriteStream32K);

void BM_ReadStream32K(benchmark::State& state) {
    CPro engine;
    struct Progress : quillon::ProListener {
        long count = 0;
        void readProgress(std::uint32_t) override { ++count; }
    } listener;
    long& progress = listener.count;
    engine.SendFunc = [](const std::uint8_t*, std::int32_t length) { return length; };
    engine.SetListener(&listener);
    engine.SelectChip("NRF24LU1_32K");
    engine.PrepareRead({});
    std::array<std::uint8_t, 64> start{};
    start[0] = quillon::OP_READ;
    std::array<std::uint8_t, 64> data{};
    data.fill(0x5A);

    long allocations = 0;
    for (auto _ : state) {
        engine.OnReceive(start.data(), 64);
        const long before = quillon::bench::Allocations();
        for (long i = 0; i < kReports; ++i) engine.OnReceive(data.data(), 64);
        allocations += quillon::bench::Allocations() - before;
    }
    if (progress != kReports * static_cast<long>(state.iterations()))
        state.SkipWithError("wrong report count");
    state.counters["reports/s"] = benchmark::Counter(static_cast<double>(progress), benchmark::Counter::kIsRate);
    state.counters["allocs/report"] =
        static_cast<double>(allocations) / static_cast<double>(progress);
}
BENCHMARK(BM_ReadStream32K);

}  // namespace

BENCHMARK_MAIN();
