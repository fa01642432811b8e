// The plug-ins as zrqd holds them: each loaded once with dlopen, its exports looked up once. A
// plug-in that cannot be loaded is said once and left out; the others go on without it.
#pragma once

#include "host/host.hpp"
#include "pvqinc.h"
#include "snapshot.hpp"

#include <memory>
#include <mutex>
#include <string>

namespace zrqd {

struct Hardware {
    // Loads the plug-ins of the SMBus and the hardware monitor (the LCD's belongs to the panel).
    explicit Hardware(const std::string &dir);

    bool loaded(Subsystem s) const { return plugins[s] != nullptr; }

    std::array<std::unique_ptr<zrqhost::Plugin>, kSubsystems> plugins;

    // Every call into the LAN bypass and PSU plug-ins holds this: they share the SMBus and the
    // slot switch, whose routing lasts from one call to the next.
    std::mutex bus;

    decltype(&_brdPVQ_HWM_GetSensorReport) hwm_report = nullptr;
    decltype(&_brdPVQ_HWM_GetSensorName) hwm_name = nullptr;
    decltype(&_brdPVQ_HWM_CaseOpenStatus) hwm_case_open = nullptr;

    decltype(&_brdPVQ_PSU_QueryDevices) psu_query = nullptr;
    decltype(&_brdPVQ_PSU_DeviceInfo) psu_info = nullptr;
    decltype(&_brdPVQ_PSU_Status) psu_status = nullptr;
    decltype(&_brdPVQ_PSU_SensorInfo) psu_sensors = nullptr;
    decltype(&_brdPVQ_PSU_WattsInfo) psu_watts = nullptr;

    decltype(&_brdPVQ_LBP_QueryDevices) lbp_query = nullptr;
    decltype(&_brdPVQ_LBP_DeviceInfo) lbp_info = nullptr;
    decltype(&_brdPVQ_LBP_GetPairsStatus) lbp_pairs = nullptr;
    decltype(&_brdPVQ_LBP_TimerStatus) lbp_timer = nullptr;
    decltype(&_brdPVQ_LBP_SetPairBypass) lbp_set_pair = nullptr;
};

// Whether the kernel's mux driver owns the slot switch (client 0x73 bound to a driver on
// some adapter): each slot is then its own adapter and a transfer selects its channel, so
// nothing another host does with the switch can misroute ours.
bool kernel_owns_switch(const std::string &sysfs = "/sys/bus/i2c/devices");

} // namespace zrqd
