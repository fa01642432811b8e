// The LCD link against the emulator on a pseudo-terminal: CPU cost of an open, idle link;
// round trip of _brdPVQ_LCM_DeviceInfo; receive throughput with no byte lost.
#include "lcm_emulator.hpp"
#include "lcmlib.h"
#include "pvqinc.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

double process_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_IdleLinkCpu(benchmark::State &state) {
    zrqsim::LcmEmulator emu;
    lcm_test_set_port(emu.slave_path().c_str());
    _brdPVQ_LCM_DeviceOpen();
    double percent = 0;
    for (auto _ : state) {
        const double before = process_cpu_seconds();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        percent = (process_cpu_seconds() - before) / 2.0 * 100.0;
    }
    state.counters["cpu_percent_of_one_core"] = percent;
    _brdPVQ_LCM_DeviceClose();
}
BENCHMARK(BM_IdleLinkCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_DeviceInfoRoundTrip(benchmark::State &state) {
    zrqsim::LcmEmulator emu;
    lcm_test_set_port(emu.slave_path().c_str());
    _brdPVQ_LCM_DeviceOpen();
    LCM_INFO info{};
    int failures = 0;
    for (auto _ : state) failures += _brdPVQ_LCM_DeviceInfo(&info) != ERR_Success;
    state.counters["failures"] = failures;
    _brdPVQ_LCM_DeviceClose();
}
BENCHMARK(BM_DeviceInfoRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ReceiveThroughput(benchmark::State &state) {
    zrqsim::LcmEmulator emu;
    lcm_test_set_port(emu.slave_path().c_str());
    _brdPVQ_LCM_DeviceOpen();
    const size_t total = 1 << 20;
    std::vector<unsigned char> buf(256);
    size_t gaps = 0;
    for (auto _ : state) {
        emu.flood(total, 512, static_cast<int>(state.range(0)));
        // Byte i of the flood is i % 251: every break in that sequence is a loss.
        size_t got = 0;
        unsigned expected = 0;
        while (got < total) {
            const int want = static_cast<int>(std::min(buf.size(), total - got));
            if (!_ReadBufferLength(buf.data(), want)) break;
            for (int i = 0; i < want; ++i) {
                const unsigned b = buf[static_cast<size_t>(i)];
                if (b != expected) ++gaps;
                expected = (b + 1) % 251;
            }
            got += static_cast<size_t>(want);
        }
        if (got < total) ++gaps;
        while (!emu.flood_done()) std::this_thread::yield();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
    state.counters["loss_events"] = static_cast<double>(gaps);
    _brdPVQ_LCM_DeviceClose();
}
// Argument: pause in microseconds between 512-byte chunks (0: as fast as the pty takes them).
BENCHMARK(BM_ReceiveThroughput)
    ->Arg(0)
    ->Arg(100)
    ->Arg(400)
    ->Arg(1000)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
