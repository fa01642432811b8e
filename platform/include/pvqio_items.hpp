// The sensor items of the I/O library by name, in enumeration order, for the stand-in's
// backends and the virtual platform description.
#pragma once

#include <array>
#include <string_view>

namespace pvqio {

inline constexpr std::array<std::string_view, 62> kItemNames = {
    "HWMID_TEMP_CPU1",       "HWMID_TEMP_CPU2",       "HWMID_TEMP_SYS1",    "HWMID_TEMP_SYS2",
    "HWMID_VCORE_CPU1",      "HWMID_VCORE_CPU2",      "HWMID_VOLT_P12V",    "HWMID_VOLT_P5V",
    "HWMID_VOLT_P3V3",       "HWMID_VOLT_P5VSB",      "HWMID_VOLT_P3V3SB",  "HWMID_VOLT_VBAT",
    "HWMID_VOLT_DDRCH1",     "HWMID_VOLT_DDRCH2",     "HWMID_VOLT_DDRCH3",  "HWMID_VOLT_DDRCH4",
    "HWMID_VOLT_DDRCH5",     "HWMID_VOLT_DDRCH6",     "HWMID_VOLT_DDRCH7",  "HWMID_VOLT_DDRCH8",
    "HWMID_RPM_FanCpu1",     "HWMID_RPM_FanCpu2",     "HWMID_RPM_FanSys1",  "HWMID_RPM_FanSys2",
    "HWMID_RPM_Fan1A",       "HWMID_RPM_Fan1B",       "HWMID_RPM_Fan2A",    "HWMID_RPM_Fan2B",
    "HWMID_RPM_Fan3A",       "HWMID_RPM_Fan3B",       "HWMID_RPM_Fan4A",    "HWMID_RPM_Fan4B",
    "HWMID_RPM_Fan5A",       "HWMID_RPM_Fan5B",       "HWMID_RPM_Fan6A",    "HWMID_RPM_Fan6B",
    "HWMID_RPM_Fan7A",       "HWMID_RPM_Fan7B",       "HWMID_RPM_Fan8A",    "HWMID_RPM_Fan8B",
    "HWMID_RPM_Fan9A",       "HWMID_RPM_Fan9B",       "HWMID_RPM_Fan10A",   "HWMID_RPM_Fan10B",
    "HWMID_PSU1_STATUS",     "HWMID_PSU1_VOLTIN",     "HWMID_PSU1_VOLTOUT", "HWMID_PSU1_CURRENTIN",
    "HWMID_PSU1_CURRENTOUT", "HWMID_PSU1_POWERIN",    "HWMID_PSU1_FAN",     "HWMID_PSU1_TEMP1",
    "HWMID_PSU1_TEMP2",      "HWMID_PSU2_STATUS",     "HWMID_PSU2_VOLTIN",  "HWMID_PSU2_VOLTOUT",
    "HWMID_PSU2_CURRENTIN",  "HWMID_PSU2_CURRENTOUT", "HWMID_PSU2_POWERIN", "HWMID_PSU2_FAN",
    "HWMID_PSU2_TEMP",       "HWMID_PSU2_TEMP2",
};

// The item with this enumeration name, or -1.
constexpr int item_by_name(std::string_view name) {
    for (size_t i = 0; i < kItemNames.size(); ++i)
        if (kItemNames[i] == name) return static_cast<int>(i);
    return -1;
}

} // namespace pvqio
