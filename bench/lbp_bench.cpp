// CPU time of LAN bypass calls over the zero-latency simulated bus, next to the same bus
// traffic replayed straight into the bus: the difference is the plug-in's own share.
#include "lbp_module.hpp"
#include "pvqinc.h"
#include "replay.hpp"

namespace {

struct Platform {
    Platform() {
        bus.attach(0, 0x6E, &modules[0]);
        for (unsigned s = 1; s <= 4; ++s) bus.attach(s, 0x60, &modules[s]);
        bus.set_tracing(false);
        pvqsmb::set_backend(&bus);
    }
    ~Platform() { pvqsmb::set_backend(nullptr); }
    zrqsim::SimBus bus;
    zrqsim::LbpModule modules[5];
};

void BM_QueryDevices(benchmark::State &state) {
    Platform p;
    uint16_t mask = 0;
    for (auto _ : state) benchmark::DoNotOptimize(_brdPVQ_LBP_QueryDevices(&mask, 4));
    state.counters["transfers"] =
        static_cast<double>(record(p.bus, [&] { _brdPVQ_LBP_QueryDevices(&mask, 4); }).size());
}
BENCHMARK(BM_QueryDevices);

void BM_QueryDevices_BusOnly(benchmark::State &state) {
    Platform p;
    uint16_t mask = 0;
    const auto trace = record(p.bus, [&] { _brdPVQ_LBP_QueryDevices(&mask, 4); });
    for (auto _ : state) replay(p.bus, trace);
}
BENCHMARK(BM_QueryDevices_BusOnly);

} // namespace
