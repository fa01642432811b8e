// libpvqio's reading of hwmon files, on any contents: a driver, a damaged sysfs or a user's
// bind mount may put anything there. The first byte picks the file, the rest is its content.
// A reading is a whole number or an error; never a crash, a hang or a value made up.
#include "board.hpp"
#include "hwmon.hpp"
#include "hwmon_trees.hpp"
#include "iolib.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

struct Target {
    const char *file; // in the nct6779's attribute folder
    int item;
};
constexpr Target kTargets[] = {
    {"in3_input", HWMID_VOLT_P3V3},    {"in0_input", HWMID_VCORE_CPU1},
    {"temp2_input", HWMID_TEMP_SYS1},  {"temp2_label", HWMID_TEMP_SYS1},
    {"fan1_input", HWMID_RPM_FanCpu1}, {"intrusion0_alarm", -1},
    {"name", HWMID_TEMP_SYS2},
};

struct World {
    HwmonTrees tree{"/tmp/fuzz-hwmon-" + std::to_string(::getpid())};
    int superio;
    World() {
        tree.adapter(0, "SMBus I801 adapter at f000");
        tree.coretemp(0, 4, 45000);
        tree.coretemp(1, 4, 47500);
        superio = tree.nct6779(
            {{"PECI Agent 0", 52000}, {"SYSTIN", 31000}, {"CPUTIN", 40000}, {"AUXTIN0", -1250}},
            {1050, 1062, 3328, 3312, 1014, 1008, 1003, 3296, 3120, 1000, 0, 0, 0, 0, 0},
            {2400, 3100, 3100, 3150, 0}, 2);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static World world;
    if (size == 0) return 0;
    const Target &t = kTargets[data[0] % (sizeof kTargets / sizeof kTargets[0])];
    const std::string content(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string before = world.tree.get(world.superio, t.file);
    world.tree.set(world.superio, t.file, content);
    // A backend of its own each time: nothing found before may stand in for this file.
    pvqio::HwmonBackend hwmon(world.tree.root(), pvqio::load_board(ZRQ_BOARD_FILE));
    char text[64];
    std::memset(text, 0x7F, sizeof text);
    if (t.item >= 0) {
        if (hwmon.sensor(t.item, text) == 0) {
            // A reading is a whole number, in the 30 characters a host gives.
            if (std::memchr(text, '\0', 30) == nullptr) std::abort();
            char *end = nullptr;
            std::strtoll(text, &end, 10);
            if (end == text || *end != '\0') std::abort();
        }
        hwmon.name(t.item, text);
    } else {
        // Any non-zero alarm counts as opened (a chassis switch is not to be argued with);
        // what matters is an answer without a crash.
        int open = INT_MIN;
        if (hwmon.get_caseopen(&open) == 0 && open == INT_MIN) std::abort();
    }
    world.tree.set(world.superio, t.file, before); // as it was, for the next input
    return 0;
}
