// zrqd's costs: one poll cycle (every plug-in call of a cycle over the simulated bus), the
// memory the service holds after 100,000 cycles back to back, and serving /metrics.
#include "platform.hpp"
#include "pvqio_backend.hpp"
#include "pvqsmb_backend.hpp"
#include "service.hpp"

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <vector>

namespace {

// The shipped platform's devices on the simulated bus, with no state file between calls: the
// cost measured is the plug-ins' and the poller's own.
struct Platform {
    Platform() {
        char error[256] = {};
        platform = zrqsim::VirtualPlatform::load(ZRQ_DEFAULT_PLATFORM);
        io.reset(zrqsim_platform_io_backend(ZRQ_DEFAULT_PLATFORM, error, sizeof error));
        platform->bus().set_tracing(false);
        pvqsmb::set_backend(&platform->bus());
        pvqio::set_backend(io.get());
    }
    ~Platform() {
        pvqsmb::set_backend(nullptr);
        pvqio::set_backend(nullptr);
    }
    std::unique_ptr<zrqsim::VirtualPlatform> platform;
    std::unique_ptr<pvqio::Backend> io;
};

size_t heap_in_use() {
    return mallinfo2().uordblks;
}

void BM_PollCycle(benchmark::State &state) {
    Platform p;
    zrqd::Hardware hw(ZRQ_PLUGIN_DIR);
    zrqd::Poller poller(hw, 1000, 8); // sole host: slots 0 to 8 asked for
    // The transfers of one cycle, counted once with the trace on.
    p.platform->bus().set_tracing(true);
    p.platform->bus().clear_trace();
    benchmark::DoNotOptimize(poller.poll_once());
    const size_t transfers = p.platform->bus().trace().size();
    p.platform->bus().set_tracing(false);
    for (auto _ : state) benchmark::DoNotOptimize(poller.poll_once());
    state.counters["smbus_transfers"] = static_cast<double>(transfers);
    // What those transfers take on the appliance's bus: about 0.45 ms a word at 100 kHz.
    state.counters["bus_ms_at_100kHz"] = static_cast<double>(transfers) * 0.45;
}
BENCHMARK(BM_PollCycle)->Unit(benchmark::kMicrosecond);

void BM_MemoryOver100kCycles(benchmark::State &state) {
    Platform p;
    zrqd::Hardware hw(ZRQ_PLUGIN_DIR);
    zrqd::Poller poller(hw, 1000, 8);
    for (auto _ : state) {
        size_t after_1k = 0;
        for (int cycle = 1; cycle <= 100000; ++cycle) {
            benchmark::DoNotOptimize(poller.poll_once());
            if (cycle == 1000) after_1k = heap_in_use();
        }
        const size_t after_100k = heap_in_use();
        state.counters["heap_kib_after_1k"] = static_cast<double>(after_1k) / 1024;
        state.counters["heap_kib_after_100k"] = static_cast<double>(after_100k) / 1024;
        state.counters["growth_bytes"] = static_cast<double>(static_cast<long long>(after_100k) -
                                                             static_cast<long long>(after_1k));
    }
}
BENCHMARK(BM_MemoryOver100kCycles)->Iterations(1)->Unit(benchmark::kSecond);

void BM_ServeMetrics(benchmark::State &state) {
    Platform p;
    zrqd::Config config;
    config.listen_port = 0;
    config.plugins = ZRQ_PLUGIN_DIR;
    config.poll_interval_ms = 1000;
    config.sole_host = true;
    config.panel.enabled = false;
    zrqd::Service service(config);
    service.start();
    service.poller().wait_cycle(0, 10000);
    httplib::Client client("127.0.0.1", service.port());
    client.set_keep_alive(true);
    std::vector<double> us;
    us.reserve(10000);
    size_t bytes = 0;
    for (auto _ : state) {
        us.clear();
        for (int i = 0; i < 10000; ++i) {
            const auto begin = std::chrono::steady_clock::now();
            const auto res = client.Get("/metrics");
            us.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin)
                    .count());
            if (!res || res->status != 200) {
                state.SkipWithError("a scrape failed");
                return;
            }
            bytes = res->body.size();
        }
    }
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
    state.counters["body_bytes"] = static_cast<double>(bytes);
    service.stop();
}
BENCHMARK(BM_ServeMetrics)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
