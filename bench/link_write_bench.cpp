// A 32 KiB Write's image packets through the engine, the HID link and the simulated programmer:
// reports per second flat out (with the heap allocations counted per report), and the total
// time of the paced stream against the 512 ms that one report per millisecond allows.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "bench/AllocationCounter.h"
#include "hid/Nrhid.h"
#include "protocol/Cpro.h"
#include "sim/SimPlatform.h"


namespace {

using namespace quillon;

struct Rig : ProListener {
    std::unique_ptr<sim::SimPlatform> platform;
    hid::TnrHid link;
    CPro pro;
    std::mutex m;
    std::condition_variable cv;
    bool verifiedFlag = false;

    explicit Rig(bool paced)
        : platform([paced] {
              sim::SimOptions o;
              o.scenario = "lu1-32k";
              o.paced = paced;
              return sim::SimPlatform::fromOptions(o);
          }()),
          link(*platform) {
        pro.SendFunc = [this](const std::uint8_t* data, std::int32_t n) {
            return link.WritePayload(data, n < 0 ? 0u : static_cast<std::uint32_t>(n));
        };
        pro.SetListener(this);
        link.OnPayload = [this](hid::DeviceLink&, hid::DeviceLink::SessionId, const std::uint8_t* payload,
                                std::uint32_t n) { pro.OnReceive(payload, static_cast<std::int32_t>(n)); };
        link.Update();
        for (int i = 0; i < link.GetDeviceCount(); ++i) {
            link.SetDeviceIndex(i);
            if (link.GetVendorId() == hid::kProgrammerVendorId && link.GetProductId() == hid::kProgrammerProductId) break;
        }
        link.SetActive(true);
        pro.SelectChip("NRF24LU1_32K");
        for (std::uint32_t i = 0; i < 32768; ++i) pro.WriteBuffer()[i] = static_cast<std::uint8_t>(i * 7);
    }

    void verified(bool, std::uint8_t, std::uint8_t) override {
        std::lock_guard lock(m);
        verifiedFlag = true;
        cv.notify_all();
    }

    void WriteOnce() {
        {
            std::lock_guard lock(m);
            verifiedFlag = false;
        }
        CommandFlags flags;
        flags.erase = true;
        flags.verify = true;
        pro.PrepareWrite(flags, 32768);
        pro.SendCommand();
        std::unique_lock lock(m);
        cv.wait(lock, [this] { return verifiedFlag; });
    }
};

void BM_Write32KFlatOut(benchmark::State& state) {
    Rig rig(false);
    rig.WriteOnce();  // warm up: first-time allocations of the queues
    long allocations = 0;
    for (auto _ : state) {
        const auto before = quillon::bench::Allocations();
        rig.WriteOnce();
        allocations += quillon::bench::Allocations() - before;
    }
    const double reports = 512.0 * static_cast<double>(state.iterations());
    state.counters["reports/s"] = benchmark::Counter(reports, benchmark::Counter::kIsRate);
    state.counters["allocs/report"] = static_cast<double>(allocations) / reports;
}
BENCHMARK(BM_Write32KFlatOut)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Write32KPaced(benchmark::State& state) {
    Rig rig(true);
    for (auto _ : state) rig.WriteOnce();
    state.counters["bound_ms"] = 512;
}
BENCHMARK(BM_Write32KPaced)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
