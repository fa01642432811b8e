// Reading all 62 sensor items once through the hardware monitor plug-in, over the hwmon
// backend of the I/O library on a fake sysfs tree.
#include "fake_hwmon.hpp"
#include "hwmon.hpp"
#include "pvqinc.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

namespace {

void BM_AllItemsOverHwmon(benchmark::State &state) {
    FakeHwmon tree(std::filesystem::temp_directory_path() /
                   ("hwm-bench-" + std::to_string(getpid())));
    pvqio::HwmonBackend hwmon(tree.root());
    pvqio::set_backend(&hwmon);
    char text[30];
    int failed = 0;
    for (auto _ : state) {
        failed = 0;
        for (int item = 0; item < 62; ++item)
            failed += _brdPVQ_HWM_GetSensorReport(item, text) != ERR_Success;
        benchmark::DoNotOptimize(text);
    }
    state.counters["items_not_fitted"] = failed;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 62);
    pvqio::set_backend(nullptr);
}
BENCHMARK(BM_AllItemsOverHwmon)->Unit(benchmark::kMicrosecond);

} // namespace
