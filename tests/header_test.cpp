// The SDK header is a contract with hosts built by other compilers: natural alignment, the
// same layout in C and C++, in the 32-bit and the 64-bit build.
#include "iolib.h"
#include "pvqinc.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <string>

extern "C" {
struct layout_row {
    const char *name;
    size_t value;
};
const layout_row *c_layout(void);
}

TEST(SdkHeader, CLayoutMatchesTheHostContract) {
    const std::map<std::string, size_t> expected = {
        {"LBPDEV_INFO", 14},
        {"LBPDEV_INFO.ubSlotIndex", 0},
        {"LBPDEV_INFO.ubType", 1},
        {"LBPDEV_INFO.ubVersion", 2},
        {"LBPDEV_INFO.ubModules", 4},
        {"LBPDEV_INFO.ubSystemOff_Pairs", 5},
        {"LBPDEV_INFO.ubJustOn_Pairs", 6},
        {"LBPDEV_INFO.ubRuntime_Pairs", 7},
        {"LBPDEV_INFO.uwTimer1_MaxSec", 8},
        {"LBPDEV_INFO.uwTimer2_MaxSec", 10},
        {"LBPDEV_INFO.uwTimer3_MaxSec", 12},
        {"PAIRS_STATUS", 6},
        {"PAIRS_STATUS.ubRuntime_PortsDisconnect", 5},
        {"LBP_TIMERCFG", 6},
        {"LBP_TIMERCFG.uwTimeSec", 2},
        {"LBP_TIMERCFG.ubAction", 4},
        {"LBP_TIMERCFG.ubEffect", 5},
        {"LCM_INFO", 8},
        {"LCM_INFO.uwVersion", 2},
        {"LCM_INFO.udwBaudrate", 4},
        {"INTRUSION_TIME", 8},
        {"INTRUSION_TIME.ubMonth", 2},
        {"INTRUSION_TIME.ubSecond", 6},
        {"LCMKEY_MSG", 10},
        {"LCMKEY_MSG.ubStatus", 1},
        {"LCMKEY_MSG.stuTime", 2},
        {"PSU_INFO", 133},
        {"PSU_INFO.strubMfrId", 1},
        {"PSU_INFO.strubMfrModel", 34},
        {"PSU_INFO.strubMfrSerial", 67},
        {"PSU_INFO.strubMfrRevision", 100},
        {"PSU_SENSORS", 16},
        {"PSU_SENSORS.fTemp_1", 4},
        {"PSU_SENSORS.fTemp_2", 8},
        {"PSU_SENSORS.uwFanRpm", 12},
        {"PSU_WATTS", 16},
        {"PSU_WATTS.ubInOut", 1},
        {"PSU_WATTS.fVolts", 4},
        {"PSU_WATTS.fAmperes", 8},
        {"PSU_WATTS.fWatts", 12},
        {"HWMID_PSU2_TEMP", 60},
        {"HWMID_TOTAL", 62},
        {"ERR_AlreadyOpened", 6},
    };
    size_t seen = 0;
    for (const layout_row *row = c_layout(); row->name != nullptr; ++row, ++seen) {
        auto it = expected.find(row->name);
        ASSERT_NE(it, expected.end()) << row->name;
        EXPECT_EQ(row->value, it->second) << row->name;
    }
    EXPECT_EQ(seen, expected.size());
}

TEST(SdkHeader, CppSeesTheSameLayoutAsC) {
    EXPECT_EQ(sizeof(LBPDEV_INFO), 14u);
    EXPECT_EQ(offsetof(LBPDEV_INFO, uwTimer3_MaxSec), 12u);
    EXPECT_EQ(sizeof(PSU_INFO), 133u);
    EXPECT_EQ(offsetof(PSU_WATTS, fWatts), 12u);
    EXPECT_EQ(sizeof(LCMKEY_MSG), 10u);
    EXPECT_EQ(sizeof(HWM_SENEORITEM), 4u);
}

TEST(SdkHeader, StatusCodes) {
    const int codes[] = {ERR_Success,      ERR_Error,      ERR_OpenFail,     ERR_NotOpened,
                         ERR_InvalidParam, ERR_NotSupport, ERR_AlreadyOpened};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(codes[i], -i);
}

TEST(IoLibHeader, SensorItemsByRule) {
    struct Item {
        int value, expected;
    } items[] = {
        {HWMID_TEMP_CPU1, 0},    {HWMID_TEMP_SYS2, 3},    {HWMID_VCORE_CPU2, 5},
        {HWMID_VOLT_VBAT, 11},   {HWMID_VOLT_DDRCH1, 12}, {HWMID_VOLT_DDRCH8, 19},
        {HWMID_RPM_FanCpu1, 20}, {HWMID_RPM_FanSys2, 23}, {HWMID_RPM_Fan1A, 24},
        {HWMID_RPM_Fan4B, 31},   {HWMID_RPM_Fan10A, 42},  {HWMID_RPM_Fan10B, 43},
        {HWMID_PSU1_STATUS, 44}, {HWMID_PSU1_VOLTIN, 45}, {HWMID_PSU1_TEMP1, 51},
        {HWMID_PSU1_TEMP2, 52},  {HWMID_PSU2_STATUS, 53}, {HWMID_PSU2_VOLTIN, 54},
        {HWMID_PSU2_TEMP, 60},   {HWMID_PSU2_TEMP2, 61},  {HWMID_TOTAL, 62},
    };
    for (const Item &item : items) EXPECT_EQ(item.value, item.expected);
}
