// The store's cost per unit: one unit's start (its number, a pool value and its taken record, in
// one committed transaction) plus its result, on SQLite (a file on this disk, fully synced) and on
// PostgreSQL on 127.0.0.1 (a server started for the run). Each unit is timed on its own; the
// median and the 99th percentile are reported as counters (milliseconds), beside the mean that
// Google Benchmark prints. The goal is under 5 ms median on each engine. Both engines sync every
// commit to disk, so two disk syncs per unit are the floor; TMPDIR=/dev/shm shows SQLite's own cost.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "store/Store.h"
#include "support/Postgres.h"
#include "support/StoreEngines.h"

namespace {

using namespace quillon;

void UnitCost(benchmark::State& state, store::Engine engine) {
    test::StoreEngines engines;
    const store::StoreLocation location = engines.NewStore(engine);
    if (location.target.empty()) {
        state.SkipWithError(engines.skipReason().c_str());
        return;
    }
    if (engine == store::Engine::Postgres) {
        // The tests' server runs without fsync (only time there); a line's server syncs each commit.
        test::PostgresServer::Shared()->sql("ALTER SYSTEM SET fsync = on");
        test::PostgresServer::Shared()->sql("ALTER SYSTEM SET full_page_writes = on");
        test::PostgresServer::Shared()->sql("SELECT pg_reload_conf()");
    }
    if (engine == store::Engine::Postgres) {
        const auto fsync = engines.RawConnection(location)->query("SHOW fsync");
        if (fsync.empty() || std::get<std::string>(fsync[0].at(0)) != "on") {
            state.SkipWithError("the server does not sync its commits");
            return;
        }
    }
    auto db = store::DbStore::Open(location);
    std::vector<std::string> macs;
    for (int i = 0; i < 2100; ++i) macs.push_back("02:00:00:" + std::to_string(100000 + i));
    db->loadPool("mac", macs);
    std::vector<double> ms;
    std::uint64_t n = 0;
    for (auto _ : state) {
        station::UnitRecord unit;
        unit.unitId = "bench-" + std::to_string(++n);
        unit.time = "2026-12-10T08:00:00.000Z";
        unit.programmerSerial = "P1";
        unit.programmerPath = "sim:0";
        unit.chip = "NRF24LE1_16K";
        unit.imagePath = "/img/fw.hex";
        unit.imageSha256 = std::string(64, 'a');
        unit.series = "serial";
        unit.version = "0.1.0";
        unit.station = "bench";
        unit.data = {{"mac", ""}};
        const auto start = std::chrono::steady_clock::now();
        const auto started = db->startUnit(unit, {}, {});
        unit.serial = started.serial;
        unit.pass = true;
        unit.durationMs = 300;
        unit.bytesWritten = 16384;
        unit.bytesSha256 = std::string(64, 'b');
        db->finishUnit(unit, {});
        const double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        ms.push_back(took);
        state.SetIterationTime(took / 1000.0);
    }
    std::sort(ms.begin(), ms.end());
    if (!ms.empty()) {
        state.counters["median_ms"] = ms[ms.size() / 2];
        state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    }
}

BENCHMARK_CAPTURE(UnitCost, sqlite, store::Engine::Sqlite)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(UnitCost, postgresql, store::Engine::Postgres)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
