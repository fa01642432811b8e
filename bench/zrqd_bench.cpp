// zrqd's costs: one poll cycle (every plug-in call of a cycle over the simulated bus), the
// memory the service holds after 100,000 cycles back to back, serving /metrics alone and beside
// slow, idle and oversized clients, and stopping with slow clients held.
#include "platform.hpp"
#include "pvqio_backend.hpp"
#include "pvqsmb_backend.hpp"
#include "service.hpp"

#include <benchmark/benchmark.h>
#include "http_client.hpp"
#include "lcm_emulator.hpp"
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
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

zrqd::Config serving_config() {
    zrqd::Config config;
    config.listen_port = 0;
    config.plugins = ZRQ_PLUGIN_DIR;
    config.poll_interval_ms = 1000;
    config.sole_host = true;
    config.panel.enabled = false;
    return config;
}

// Resident memory of this process, from /proc/self/status.
double resident_mib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024;
    return 0;
}

// Holds `slow` connections that began a request and send nothing more and `idle` ones that
// never sent a byte.
std::vector<zrqtest::HttpConn> hostile(int port, int slow, int idle) {
    std::vector<zrqtest::HttpConn> held;
    for (int i = 0; i < slow; ++i) {
        held.emplace_back(port);
        held.back().send("GET /metrics HTTP/1.1\r\nX-Slow: 1\r\n");
    }
    for (int i = 0; i < idle; ++i) held.emplace_back(port);
    return held;
}

// Scrape times over one kept connection, in microseconds, sorted; empty when one failed.
std::vector<double> scrape_times(int port, int scrapes, size_t &bytes) {
    zrqtest::HttpConn client(port, "127.0.0.2");
    std::vector<double> us;
    us.reserve(static_cast<size_t>(scrapes));
    for (int i = 0; i < scrapes; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        const auto res = client.get("/metrics");
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin)
                .count());
        if (!res || res->status != 200) return {};
        bytes = res->body.size();
    }
    std::sort(us.begin(), us.end());
    return us;
}

// Scrapes alone (0) and with 50 slow and 50 idle connections held (1).
void BM_ServeMetrics(benchmark::State &state) {
    Platform p;
    zrqd::Service service(serving_config());
    service.start();
    service.poller().wait_cycle(0, 10000);
    const bool crowded = state.range(0) != 0;
    auto held = crowded ? hostile(service.port(), 50, 50) : std::vector<zrqtest::HttpConn>{};
    std::vector<double> us;
    size_t bytes = 0;
    for (auto _ : state) {
        us = scrape_times(service.port(), 10000, bytes);
        if (us.empty()) {
            state.SkipWithError("a scrape failed");
            return;
        }
    }
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
    state.counters["body_bytes"] = static_cast<double>(bytes);
    state.counters["held_connections"] = static_cast<double>(held.size());
    service.stop();
}
BENCHMARK(BM_ServeMetrics)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// Resident memory after 1,000 requests each with a 64 KiB head (answered 431 and closed).
void BM_MemoryAfterOversizedRequests(benchmark::State &state) {
    Platform p;
    zrqd::Service service(serving_config());
    service.start();
    service.poller().wait_cycle(0, 10000);
    std::string head = "GET /metrics HTTP/1.1\r\n";
    while (head.size() < 64 * 1024) head += "X-Filler: " + std::string(100, 'f') + "\r\n";
    head += "\r\n";
    const double before = resident_mib();
    int refused = 0;
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) {
            zrqtest::HttpConn c(service.port());
            c.send(head);
            const auto r = c.reply();
            refused += r && r->status == 431 ? 1 : 0;
        }
    }
    state.counters["rss_mib_before"] = before;
    state.counters["rss_mib_after"] = resident_mib();
    state.counters["answered_431"] = refused;
    service.stop();
}
BENCHMARK(BM_MemoryAfterOversizedRequests)->Iterations(1)->Unit(benchmark::kMillisecond);

// From the stop (what SIGTERM starts) to every thread joined and the LCD put back, with 50
// slow clients held and the panel running on an emulated module (its bounded drain included).
void BM_StopWithSlowClients(benchmark::State &state) {
    Platform p;
    zrqsim::LcmEmulator module;
    for (auto _ : state) {
        state.PauseTiming();
        zrqd::Config config = serving_config();
        config.panel.enabled = true;
        config.panel.port = module.slave_path();
        zrqd::Service service(config);
        service.start();
        service.poller().wait_cycle(0, 10000);
        for (int i = 0; i < 10000 && !service.lcd_held(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        auto held = hostile(service.port(), 50, 0);
        state.ResumeTiming();
        service.stop();
        state.PauseTiming();
        if (module.screen()[1].rfind("zrqd stopped", 0) != 0) {
            state.SkipWithError("the panel was not left showing that zrqd stopped");
            return;
        }
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StopWithSlowClients)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace
