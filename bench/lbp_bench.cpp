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

namespace {

LBP_TIMERCFG bench_timer() {
    LBP_TIMERCFG cfg{};
    cfg.ubTimerNo = 1;
    cfg.uwTimeSec = 60;
    cfg.ubAction = 1;
    cfg.ubEffect = 0x03;
    return cfg;
}

void BM_GetPairsStatus(benchmark::State &state) {
    Platform p;
    PAIRS_STATUS st{};
    for (auto _ : state) benchmark::DoNotOptimize(_brdPVQ_LBP_GetPairsStatus(2, &st, 4));
    state.counters["transfers"] =
        static_cast<double>(record(p.bus, [&] { _brdPVQ_LBP_GetPairsStatus(2, &st, 4); }).size());
}
BENCHMARK(BM_GetPairsStatus);

void BM_GetPairsStatus_BusOnly(benchmark::State &state) {
    Platform p;
    PAIRS_STATUS st{};
    const auto trace = record(p.bus, [&] { _brdPVQ_LBP_GetPairsStatus(2, &st, 4); });
    for (auto _ : state) replay(p.bus, trace);
}
BENCHMARK(BM_GetPairsStatus_BusOnly);

void BM_TimerConfig(benchmark::State &state) {
    Platform p;
    for (auto _ : state) benchmark::DoNotOptimize(_brdPVQ_LBP_TimerConfig(2, bench_timer(), 4));
    state.counters["transfers"] = static_cast<double>(
        record(p.bus, [&] { _brdPVQ_LBP_TimerConfig(2, bench_timer(), 4); }).size());
}
BENCHMARK(BM_TimerConfig);

void BM_TimerConfig_BusOnly(benchmark::State &state) {
    Platform p;
    const auto trace = record(p.bus, [&] { _brdPVQ_LBP_TimerConfig(2, bench_timer(), 4); });
    for (auto _ : state) replay(p.bus, trace);
}
BENCHMARK(BM_TimerConfig_BusOnly);

} // namespace
