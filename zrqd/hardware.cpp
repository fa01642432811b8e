#include "hardware.hpp"

#include "log.hpp"

#include <filesystem>

namespace zrqd {

Hardware::Hardware(const std::string &dir) {
    // Loads subsystem `s`'s plug-in and looks up its exports with `bind`; a plug-in that is
    // missing or lacks an export is left out, said once.
    auto load = [&](Subsystem s, auto &&bind) {
        try {
            plugins[s] = std::make_unique<zrqhost::Plugin>(dir, kPluginFiles[s]);
            bind(*plugins[s]);
        } catch (const std::exception &e) {
            plugins[s].reset();
            log(Level::Error, std::string(e.what()) + "; the " + kSubsystemNames[s] +
                                  " metrics say so and the rest goes on");
        }
    };
    load(kHwm, [this](const zrqhost::Plugin &p) {
        hwm_report = ZRQ_EXPORT(p, _brdPVQ_HWM_GetSensorReport);
        hwm_name = ZRQ_EXPORT(p, _brdPVQ_HWM_GetSensorName);
        hwm_case_open = ZRQ_EXPORT(p, _brdPVQ_HWM_CaseOpenStatus);
    });
    load(kPsu, [this](const zrqhost::Plugin &p) {
        psu_query = ZRQ_EXPORT(p, _brdPVQ_PSU_QueryDevices);
        psu_info = ZRQ_EXPORT(p, _brdPVQ_PSU_DeviceInfo);
        psu_status = ZRQ_EXPORT(p, _brdPVQ_PSU_Status);
        psu_sensors = ZRQ_EXPORT(p, _brdPVQ_PSU_SensorInfo);
        psu_watts = ZRQ_EXPORT(p, _brdPVQ_PSU_WattsInfo);
    });
    load(kLbp, [this](const zrqhost::Plugin &p) {
        lbp_query = ZRQ_EXPORT(p, _brdPVQ_LBP_QueryDevices);
        lbp_info = ZRQ_EXPORT(p, _brdPVQ_LBP_DeviceInfo);
        lbp_pairs = ZRQ_EXPORT(p, _brdPVQ_LBP_GetPairsStatus);
        lbp_timer = ZRQ_EXPORT(p, _brdPVQ_LBP_TimerStatus);
        lbp_set_pair = ZRQ_EXPORT(p, _brdPVQ_LBP_SetPairBypass);
    });
}

bool kernel_owns_switch(const std::string &sysfs) {
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(sysfs, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 5 && name.compare(name.size() - 5, 5, "-0073") == 0 &&
            std::filesystem::exists(entry.path() / "driver", ec))
            return true;
    }
    return false;
}

} // namespace zrqd
