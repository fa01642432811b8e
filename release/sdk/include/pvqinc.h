/*
 * pvqinc.h - SDK header of the zrq4470 board-support package.
 *
 * The contract between a management host and the four plug-ins (zrq4470lbp, zrq4470lcm,
 * zrq4470psu, zrq4470hwm): the status codes, the records the plug-ins fill and the exported
 * functions. Plain C99 and C++; records use natural alignment (no packing), so the layout is
 * the one the host's own compiler gives for the same declarations on i386 and x86-64 alike.
 *
 * Error contract. Every exported function returns an int status. 0 is success; the seven
 * ERR_ codes below are the plug-ins' own. Two other values can reach the host: a LAN bypass
 * slot operation passes a failed slot switch's result through unchanged, and the hardware
 * monitor passes a failed I/O-library result through unchanged. Treat every nonzero value as
 * failure.
 *
 * Ownership. The host owns every record and buffer it passes; a plug-in writes into it during
 * the call and keeps no pointer afterwards. A call that fails midway leaves the record partly
 * filled: the fields written before the failing transfer hold new values, the rest keep what
 * the host left in them.
 */
#ifndef PVQINC_H
#define PVQINC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define PVQ_API __attribute__((visibility("default")))
#else
#define PVQ_API
#endif

/* ---- Status codes ---------------------------------------------------------------------- */

#define ERR_Success 0          /* done */
#define ERR_Error (-1)         /* transfer failed after its retries, no answer, no module */
#define ERR_OpenFail (-2)      /* LCD port cannot be opened, or no baud rate answered */
#define ERR_NotOpened (-3)     /* LCD command on a port that is not open */
#define ERR_InvalidParam (-4)  /* argument out of range or refused by the device's capabilities */
#define ERR_NotSupport (-5)    /* slot above the host's count, or a function not offered */
#define ERR_AlreadyOpened (-6) /* LCD port already open */

/* ---- LAN bypass (zrq4470lbp) ------------------------------------------------------------ */

/* What a bypass module is and can do. Pair n is bit n-1 of a pair mask. A register the module
 * answered without its valid flag reads as 0. */
typedef struct DEF_LBPDEV_INFO {
    uint8_t ubSlotIndex;       /* slot that was asked for */
    uint8_t ubType;            /* 2 for version 1.8; 1 for 1.6 and 2.0; 0 otherwise */
    uint8_t ubVersion[2];      /* registers 0x01 and 0x02: version ubVersion[0].ubVersion[1] */
    uint8_t ubModules;         /* register 0x03: module count */
    uint8_t ubSystemOff_Pairs; /* register 0x04: pairs that can bypass while the system is off */
    uint8_t ubJustOn_Pairs;    /* register 0x05: pairs that can bypass just after power-on */
    uint8_t ubRuntime_Pairs;   /* register 0x06: pairs that can bypass at run time */
    uint16_t uwTimer1_MaxSec;  /* register 0x07: timer 1 maximum, seconds (0..255) */
    uint16_t uwTimer2_MaxSec;  /* register 0x08: timer 2 maximum, seconds (0..255) */
    uint16_t uwTimer3_MaxSec;  /* register 0x09 times 5: timer 3 maximum, seconds (0..1275) */
} LBPDEV_INFO;

/* Current bypass and disconnect settings of a module. Port n is bit n-1 of a port mask. */
typedef struct DEF_PAIRS_STATUS {
    uint8_t ubSlotIndex;               /* slot that was asked for */
    uint8_t ubSystemOff_PairsBypass;   /* register 0x10: pairs bypassed while the system is off */
    uint8_t ubJustOn_PairsBypass;      /* register 0x11: pairs bypassed just after power-on */
    uint8_t ubRuntime_PairsBypass;     /* register 0x12: pairs bypassed now */
    uint8_t ubJustOn_PortsDisconnect;  /* register 0x13: ports disconnected just after power-on */
    uint8_t ubRuntime_PortsDisconnect; /* register 0x14: ports disconnected now */
} PAIRS_STATUS;

/* Timer configuration, passed by value to _brdPVQ_LBP_TimerConfig. */
typedef struct DEF_LBP_TIMERCFG {
    uint8_t ubTimerNo;  /* 1 to 3 */
    uint16_t uwTimeSec; /* seconds; timers 1 and 2 take up to 255, timer 3 up to 1279 (5 s units) */
    uint8_t ubAction; /* 1: bypass the pairs in ubEffect; 2: disconnect (modules with disconnect) */
    uint8_t ubEffect; /* action 1: pair mask within register 0x06; action 2: disconnect mask */
} LBP_TIMERCFG;

/* ---- LCD module (zrq4470lcm) ------------------------------------------------------------ */

typedef struct DEF_LCM_INFO {
    uint16_t uwModeNo;    /* model number: first answer byte * 256 + second */
    uint16_t uwVersion;   /* version, the same way */
    uint32_t udwBaudrate; /* link rate found at open, bits per second; 0 when none answered */
} LCM_INFO;

typedef struct DEF_INTRUSION_TIME {
    uint16_t uwYear;
    uint8_t ubMonth;
    uint8_t ubDay;
    uint8_t ubHour;
    uint8_t ubMinute;
    uint8_t ubSecond;
} INTRUSION_TIME;

/* Key notification records. This platform offers no key notification; they are declared for
 * hosts that share code with other platforms. */
typedef struct DEF_LCMKEY_MSG {
    uint8_t ubKeys;
    uint8_t ubStatus;
    INTRUSION_TIME stuTime;
} LCMKEY_MSG;

typedef void (*LCMKEY_CALLBACK)(LCMKEY_MSG);

/* Key byte of _brdPVQ_LCM_KeysStatus: at most one bit set per query. */
#define LCMKEY_A 0x01
#define LCMKEY_B 0x02
#define LCMKEY_C 0x04
#define LCMKEY_D 0x08

/* ---- Power supplies (zrq4470psu) -------------------------------------------------------- */

typedef struct DEF_PSU_INFO {
    uint8_t ubPsuNo;              /* in: 1 or 2 */
    uint8_t strubMfrId[33];       /* out: MFR_ID text, zero-terminated */
    uint8_t strubMfrModel[33];    /* out: MFR_MODEL text */
    uint8_t strubMfrSerial[33];   /* out: MFR_SERIAL text */
    uint8_t strubMfrRevision[33]; /* out: MFR_REVISION block bytes 1, 5 and 2 as "%d.%d.%d" */
} PSU_INFO;

typedef struct DEF_PSU_SENSORS {
    uint8_t ubPsuNo;   /* in: 1 or 2 */
    float fTemp_1;     /* out: READ_TEMPERATURE_1, degrees Celsius */
    float fTemp_2;     /* out: READ_TEMPERATURE_2 */
    uint16_t uwFanRpm; /* out: READ_FAN_SPEED_1, rpm; 0 for a negative reading, at most 65535 */
} PSU_SENSORS;

typedef struct DEF_PSU_WATTS {
    uint8_t ubPsuNo; /* in: 1 or 2 */
    uint8_t ubInOut; /* in: 0 input side, 1 output side */
    float fVolts;    /* out */
    float fAmperes;  /* out */
    float fWatts;    /* out: fVolts * fAmperes */
} PSU_WATTS;

/* ---- Exported functions ----------------------------------------------------------------- */

/* zrq4470lbp. maxslots is the highest slot number of the platform (slots 0..maxslots). */
PVQ_API int _get_path_addr(uint8_t ubSlot, uint8_t *pubAddr);
PVQ_API int _check_slot_exist(uint8_t ubSlot);
PVQ_API int _brdPVQ_LBP_QueryDevices(uint16_t *puwSlotsDev, uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_DeviceInfo(uint8_t ubSlot, LBPDEV_INFO *pstuDevInfo, uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_GetPairsStatus(uint8_t ubSlot, PAIRS_STATUS *pstuPairsStatus,
                                       uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_FactoryReset(uint8_t ubSlot, uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_SaveConfig(uint8_t ubSlot, uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_SetPairBypass(uint8_t ubSlot, uint8_t ubPairNo, uint8_t ubEnable,
                                      uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_SetAllPairs(uint8_t ubSlot, uint8_t ubStatus, uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_SetJustOnPairs(uint8_t ubSlot, uint8_t ubStatus, uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_SetSystemOffPairs(uint8_t ubSlot, uint8_t ubStatus, uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_SetPortDisconnect(uint8_t ubSlot, uint8_t ubPortNo, uint8_t ubEnable,
                                          uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_SetAllPortsDisconnect(uint8_t ubSlot, uint8_t ubStatus, uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_TimerConfig(uint8_t ubSlot, LBP_TIMERCFG stuLbpTimerCfg, uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_TimerStart(uint8_t ubSlot, uint8_t ubTimerNo, uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_TimerStop(uint8_t ubSlot, uint8_t ubTimerNo, uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_TimerTick(uint8_t ubSlot, uint8_t ubTimerNo, uint16_t maxslots);
PVQ_API int _brdPVQ_LBP_TimerStatus(uint8_t ubSlot, uint8_t ubTimerNo, uint8_t *pubStatus,
                                    uint16_t maxslots);

/* zrq4470lcm. One LCD module on the serial port /dev/ttyS1. DeviceOpen and DeviceClose must
 * not run while any other call of the plug-in runs. */
PVQ_API int _brdPVQ_LCM_DeviceOpen(void);
PVQ_API int _brdPVQ_LCM_DeviceClose(void);
PVQ_API int _brdPVQ_LCM_DeviceInfo(LCM_INFO *pstuLcmInfo);
PVQ_API int _brdPVQ_LCM_LightCtrl(unsigned char ubOnOff);
PVQ_API int _brdPVQ_LCM_SetCursor(unsigned char ubColumn, unsigned char ubRow);
PVQ_API int _brdPVQ_LCM_WriteString(unsigned char *pstrubString);
PVQ_API int _brdPVQ_LCM_DisplayClear(void);
PVQ_API int _brdPVQ_LCM_Brightness(unsigned char ubBrightness);
PVQ_API int _brdPVQ_LCM_Reset(void);
PVQ_API int _brdPVQ_LCM_SetSpeed(unsigned int udwBaudrate);
PVQ_API int _brdPVQ_LCM_WrapCtrl(unsigned char ubOnOff);
PVQ_API int _brdPVQ_LCM_CursorModeCtrl(unsigned char ubcursorMode);
PVQ_API int _brdPVQ_LCM_StartupMsg(unsigned char *pubMsg, unsigned char length);
PVQ_API int _brdPVQ_LCM_KeysStatus(unsigned char *pubKeys);
PVQ_API int _brdPVQ_LCM_KeysCallback(LCMKEY_CALLBACK pCallback, unsigned short uwmSec);

/* zrq4470psu. PSU 1 at SMBus address 0xB0, PSU 2 at 0xB2. */
PVQ_API int _brdPVQ_PSU_QueryDevices(uint16_t *puwPsuDev);
PVQ_API int _brdPVQ_PSU_DeviceInfo(PSU_INFO *pstuPsuInfo);
PVQ_API int _brdPVQ_PSU_Status(uint8_t ubPsuNo, uint16_t *puwStatus);
PVQ_API int _brdPVQ_PSU_SensorInfo(PSU_SENSORS *pstuPsuSensors);
PVQ_API int _brdPVQ_PSU_WattsInfo(PSU_WATTS *pstuWatts);

/* zrq4470hwm. Temperatures in degrees Celsius, voltages in volts, speeds in rpm. */
PVQ_API int _brdPVQ_HWM_GetCpuTemp(unsigned char ubCpuNo, float *pfTemperature);
PVQ_API int _brdPVQ_HWM_GetSysTemp(unsigned char ubSysNo, float *pfTemperature);
PVQ_API int _brdPVQ_HWM_GetVcore(unsigned char ubCpuNo, float *pfVoltage);
PVQ_API int _brdPVQ_HWM_Get12V(float *pfVoltage);
PVQ_API int _brdPVQ_HWM_Get5V(float *pfVoltage);
PVQ_API int _brdPVQ_HWM_Get3V3(float *pfVoltage);
PVQ_API int _brdPVQ_HWM_Get5Vsb(float *pfVoltage);
PVQ_API int _brdPVQ_HWM_Get3V3sb(float *pfVoltage);
PVQ_API int _brdPVQ_HWM_GetVbat(float *pfVoltage);
PVQ_API int _brdPVQ_HWM_GetCpuFan(unsigned char ubCpuNo, unsigned short *puwRpm);
PVQ_API int _brdPVQ_HWM_GetSysFan(unsigned char ubSysNo, unsigned short *puwRpm);
PVQ_API int _brdPVQ_HWM_GetFanSpeed(unsigned char ubFanNo, unsigned short *puwRpm);
PVQ_API int _brdPVQ_HWM_GetFanSpeedEx(unsigned char ubFanNo, unsigned short *puwRpm,
                                      unsigned char ubFanSeq);
PVQ_API int _brdPVQ_HWM_GetPowerSupply(unsigned char ubPowerNo, unsigned short *puwVoltage);
PVQ_API int _brdPVQ_HWM_CaseOpenStatus(unsigned char *pubStatus);
PVQ_API int _brdPVQ_HWM_ClearCaseOpenStatus(void);
PVQ_API int _brdPVQ_HWM_GetSensorReport(int dwSensorID, char *pbString);
PVQ_API int _brdPVQ_HWM_GetSensorName(int dwSensorID, char *pbString);

#ifdef __cplusplus
}
#endif

#endif /* PVQINC_H */
