// One poll of the appliance: every reading the service shows on the panel and serves as
// metrics, taken together by the poller so that neither waits on the bus.
#pragma once

#include "iolib.h"
#include "pvqinc.h"

#include <array>
#include <cstdint>
#include <string>

namespace zrqd {

// The subsystems, each a plug-in; failed reads are counted per subsystem.
enum Subsystem { kHwm, kPsu, kLbp, kLcm, kSubsystems };
inline constexpr const char *kSubsystemNames[kSubsystems] = {"hwm", "psu", "lbp", "lcm"};
inline constexpr const char *kPluginFiles[kSubsystems] = {"zrq4470hwm.so", "zrq4470psu.so",
                                                          "zrq4470lbp.so", "zrq4470lcm.so"};

inline constexpr int kPsus = 2;
inline constexpr int kSlots = 9; // 0 on the main board, 1 to 8 behind the slot switch

struct HwmItem {
    bool ok = false;
    int code = 0;      // the failed call's status
    long long raw = 0; // the reading as the library gives it (millidegrees, millivolts, rpm)
    std::string name;  // the sensor's name, as the plug-in gives it
};

struct PsuData {
    bool present = false;
    bool status_ok = false;
    uint16_t status = 0;
    bool info_ok = false;
    std::string mfr_id, model, serial, revision;
    bool vout_unreadable = false; // a maker whose READ_VOUT the plug-in does not decode
    bool in_ok = false, out_ok = false, sensors_ok = false;
    PSU_WATTS in{}, out{};
    PSU_SENSORS sensors{};
};

struct SlotData {
    bool present = false;
    bool info_ok = false, pairs_ok = false;
    LBPDEV_INFO info{};
    PAIRS_STATUS pairs{};
    std::array<int, 3> timer{-1, -1, -1}; // status byte of timers 1 to 3; -1 not read
};

struct Snapshot {
    uint64_t cycle = 0;         // 0: nothing polled yet
    double duration_s = 0;      // how long the cycle took
    double finished_unix_s = 0; // when it ended, wall clock
    std::array<bool, kSubsystems> loaded{};
    std::array<uint64_t, kSubsystems> failures{}; // failed reads since the start
    // Whether some device of each subsystem answered in this cycle (a sensor or the case
    // flag, a supply, the slot-0 bypass module on the main board, the LCD held): a dead bus
    // is not an empty chassis. The cycles since one last did, and when.
    std::array<bool, kSubsystems> up{};
    std::array<int, kSubsystems> down_cycles{};
    std::array<double, kSubsystems> last_up_unix_s{};

    std::array<HwmItem, HWMID_TOTAL> hwm;
    bool case_ok = false, case_open = false;

    bool psu_query_ok = false;
    std::array<PsuData, kPsus> psu;

    bool lbp_query_ok = false;
    int slots_polled = 0; // the highest slot asked for: 0 unless the switch is safe to use
    std::array<SlotData, kSlots> slots;
};

} // namespace zrqd
