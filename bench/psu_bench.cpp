// PMBus decoder throughput, and CPU time of _brdPVQ_PSU_WattsInfo over the zero-latency
// simulated bus next to its traffic replayed straight into the bus.
#include "pmbus_format.hpp"
#include "pmbus_psu.hpp"
#include "pvqinc.h"
#include "replay.hpp"

namespace {

template <typename Decode> void decode_all(benchmark::State &state, Decode decode) {
    for (auto _ : state)
        for (uint32_t w = 0; w <= 0xFFFF; ++w)
            benchmark::DoNotOptimize(decode(static_cast<uint16_t>(w)));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 65536);
}

void BM_Linear11ToFloat(benchmark::State &state) {
    decode_all(state, pmbus::linear11_to_float);
}
BENCHMARK(BM_Linear11ToFloat);

void BM_Linear11ToUint16(benchmark::State &state) {
    decode_all(state, pmbus::linear11_to_uint16);
}
BENCHMARK(BM_Linear11ToUint16);

void BM_Linear16ToFloat(benchmark::State &state) {
    decode_all(state, [](uint16_t w) { return pmbus::linear16_to_float(w, 0x17); });
}
BENCHMARK(BM_Linear16ToFloat);

struct Platform {
    Platform() {
        bus.attach(0, 0xB0, &psu);
        bus.set_tracing(false);
        pvqsmb::set_backend(&bus);
    }
    ~Platform() { pvqsmb::set_backend(nullptr); }
    zrqsim::SimBus bus;
    zrqsim::PmbusPsu psu;
};

PSU_WATTS output_side() {
    PSU_WATTS w{};
    w.ubPsuNo = 1;
    w.ubInOut = 1;
    return w;
}

void BM_WattsInfo(benchmark::State &state) {
    Platform p;
    PSU_WATTS w = output_side();
    for (auto _ : state) benchmark::DoNotOptimize(_brdPVQ_PSU_WattsInfo(&w));
    state.counters["transfers"] =
        static_cast<double>(record(p.bus, [&] { _brdPVQ_PSU_WattsInfo(&w); }).size());
}
BENCHMARK(BM_WattsInfo);

void BM_WattsInfo_BusOnly(benchmark::State &state) {
    Platform p;
    PSU_WATTS w = output_side();
    const auto trace = record(p.bus, [&] { _brdPVQ_PSU_WattsInfo(&w); });
    for (auto _ : state) replay(p.bus, trace);
}
BENCHMARK(BM_WattsInfo_BusOnly);

} // namespace
