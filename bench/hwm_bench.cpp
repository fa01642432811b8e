// Reading all 62 sensor items once through the hardware monitor plug-in, over the hwmon
// backend of the I/O library: a tree of the zrq4470's drivers as the kernel presents them,
// the board description as shipped, the power supplies on the simulated SMBus.
#include "hwmon.hpp"
#include "hwmon_trees.hpp"
#include "pmbus_psu.hpp"
#include "pvqinc.h"
#include "pvqsmb_backend.hpp"
#include "simbus.hpp"

#include <benchmark/benchmark.h>

#include <unistd.h>

namespace {

void BM_AllItemsOverHwmon(benchmark::State &state) {
    HwmonTrees tree(std::filesystem::temp_directory_path() /
                    ("hwm-bench-" + std::to_string(getpid())));
    tree.adapter(0, "SMBus I801 adapter at f000");
    tree.coretemp(0, 4, 45000);
    tree.coretemp(1, 4, 47500);
    tree.nct6779({{"SYSTIN", 31000}, {"CPUTIN", 40000}, {"AUXTIN0", 29000}},
                 std::vector<int>(15, 1000), {2400, 2500, 3100, 3150, 0}, 0);
    tree.max31790(0, 0x20, {8001, 8002, 8003, 8004, 8005, 8006}, {1, 2, 3, 4, 5, 6});
    zrqsim::SimBus bus;
    zrqsim::PmbusPsu psu1{zrqsim::PmbusPsu::Maker::Delta}, psu2{zrqsim::PmbusPsu::Maker::Y3};
    bus.attach(0, 0xB0, &psu1);
    bus.attach(0, 0xB2, &psu2);
    pvqsmb::set_backend(&bus);
    pvqio::HwmonBackend hwmon(tree.root(), pvqio::load_board(BOARD_FILE));
    pvqio::set_backend(&hwmon);
    char text[30];
    int failed = 0;
    for (auto _ : state) {
        failed = 0;
        for (int item = 0; item < 62; ++item)
            failed += _brdPVQ_HWM_GetSensorReport(item, text) != ERR_Success;
        benchmark::DoNotOptimize(text);
    }
    state.counters["items_absent"] = failed;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 62);
    pvqio::set_backend(nullptr);
    pvqsmb::set_backend(nullptr);
}
BENCHMARK(BM_AllItemsOverHwmon)->Unit(benchmark::kMicrosecond);

} // namespace
