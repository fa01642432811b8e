/* The SDK header as a C99 host compiles it: the layout its compiler gives. */
#include "iolib.h"
#include "pvqinc.h"

#include <stddef.h>

#define ROW(type, field)                                                                           \
    { #type "." #field, offsetof(type, field) }
#define SIZE(type)                                                                                 \
    { #type, sizeof(type) }

struct layout_row {
    const char *name;
    size_t value;
};

static const struct layout_row rows[] = {
    SIZE(LBPDEV_INFO),
    ROW(LBPDEV_INFO, ubSlotIndex),
    ROW(LBPDEV_INFO, ubType),
    ROW(LBPDEV_INFO, ubVersion),
    ROW(LBPDEV_INFO, ubModules),
    ROW(LBPDEV_INFO, ubSystemOff_Pairs),
    ROW(LBPDEV_INFO, ubJustOn_Pairs),
    ROW(LBPDEV_INFO, ubRuntime_Pairs),
    ROW(LBPDEV_INFO, uwTimer1_MaxSec),
    ROW(LBPDEV_INFO, uwTimer2_MaxSec),
    ROW(LBPDEV_INFO, uwTimer3_MaxSec),
    SIZE(PAIRS_STATUS),
    ROW(PAIRS_STATUS, ubRuntime_PortsDisconnect),
    SIZE(LBP_TIMERCFG),
    ROW(LBP_TIMERCFG, uwTimeSec),
    ROW(LBP_TIMERCFG, ubAction),
    ROW(LBP_TIMERCFG, ubEffect),
    SIZE(LCM_INFO),
    ROW(LCM_INFO, uwVersion),
    ROW(LCM_INFO, udwBaudrate),
    SIZE(INTRUSION_TIME),
    ROW(INTRUSION_TIME, ubMonth),
    ROW(INTRUSION_TIME, ubSecond),
    SIZE(LCMKEY_MSG),
    ROW(LCMKEY_MSG, ubStatus),
    ROW(LCMKEY_MSG, stuTime),
    SIZE(PSU_INFO),
    ROW(PSU_INFO, strubMfrId),
    ROW(PSU_INFO, strubMfrModel),
    ROW(PSU_INFO, strubMfrSerial),
    ROW(PSU_INFO, strubMfrRevision),
    SIZE(PSU_SENSORS),
    ROW(PSU_SENSORS, fTemp_1),
    ROW(PSU_SENSORS, fTemp_2),
    ROW(PSU_SENSORS, uwFanRpm),
    SIZE(PSU_WATTS),
    ROW(PSU_WATTS, ubInOut),
    ROW(PSU_WATTS, fVolts),
    ROW(PSU_WATTS, fAmperes),
    ROW(PSU_WATTS, fWatts),
    {"HWMID_PSU2_TEMP", HWMID_PSU2_TEMP},
    {"HWMID_TOTAL", HWMID_TOTAL},
    {"ERR_AlreadyOpened", (size_t)-ERR_AlreadyOpened},
    {0, 0},
};

const struct layout_row *c_layout(void) {
    return rows;
}
