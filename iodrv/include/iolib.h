/*
 * iolib.h - the platform's hardware I/O library (libpvqio) as the hardware monitor plug-in
 * calls it: the sensor items and the four functions.
 *
 * Readings are NUL-terminated decimal integers of at most 29 characters: temperatures and
 * voltages in thousandths of a degree or volt, fans in rpm. Every function returns 0 on
 * success and a nonzero value on failure (this platform's library: a positive errno value);
 * the caller's buffer is not to be used after a failure.
 */
#ifndef IOLIB_H
#define IOLIB_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum DEF_HWM_SENEORITEM {
    HWMID_TEMP_CPU1 = 0,
    HWMID_TEMP_CPU2 = 1,
    HWMID_TEMP_SYS1 = 2,
    HWMID_TEMP_SYS2 = 3,
    HWMID_VCORE_CPU1 = 4,
    HWMID_VCORE_CPU2 = 5,
    HWMID_VOLT_P12V = 6,
    HWMID_VOLT_P5V = 7,
    HWMID_VOLT_P3V3 = 8,
    HWMID_VOLT_P5VSB = 9,
    HWMID_VOLT_P3V3SB = 10,
    HWMID_VOLT_VBAT = 11,
    HWMID_VOLT_DDRCH1 = 12,
    HWMID_VOLT_DDRCH2 = 13,
    HWMID_VOLT_DDRCH3 = 14,
    HWMID_VOLT_DDRCH4 = 15,
    HWMID_VOLT_DDRCH5 = 16,
    HWMID_VOLT_DDRCH6 = 17,
    HWMID_VOLT_DDRCH7 = 18,
    HWMID_VOLT_DDRCH8 = 19,
    HWMID_RPM_FanCpu1 = 20,
    HWMID_RPM_FanCpu2 = 21,
    HWMID_RPM_FanSys1 = 22,
    HWMID_RPM_FanSys2 = 23,
    HWMID_RPM_Fan1A = 24,
    HWMID_RPM_Fan1B = 25,
    HWMID_RPM_Fan2A = 26,
    HWMID_RPM_Fan2B = 27,
    HWMID_RPM_Fan3A = 28,
    HWMID_RPM_Fan3B = 29,
    HWMID_RPM_Fan4A = 30,
    HWMID_RPM_Fan4B = 31,
    HWMID_RPM_Fan5A = 32,
    HWMID_RPM_Fan5B = 33,
    HWMID_RPM_Fan6A = 34,
    HWMID_RPM_Fan6B = 35,
    HWMID_RPM_Fan7A = 36,
    HWMID_RPM_Fan7B = 37,
    HWMID_RPM_Fan8A = 38,
    HWMID_RPM_Fan8B = 39,
    HWMID_RPM_Fan9A = 40,
    HWMID_RPM_Fan9B = 41,
    HWMID_RPM_Fan10A = 42,
    HWMID_RPM_Fan10B = 43,
    HWMID_PSU1_STATUS = 44,
    HWMID_PSU1_VOLTIN = 45,
    HWMID_PSU1_VOLTOUT = 46,
    HWMID_PSU1_CURRENTIN = 47,
    HWMID_PSU1_CURRENTOUT = 48,
    HWMID_PSU1_POWERIN = 49,
    HWMID_PSU1_FAN = 50,
    HWMID_PSU1_TEMP1 = 51,
    HWMID_PSU1_TEMP2 = 52,
    HWMID_PSU2_STATUS = 53,
    HWMID_PSU2_VOLTIN = 54,
    HWMID_PSU2_VOLTOUT = 55,
    HWMID_PSU2_CURRENTIN = 56,
    HWMID_PSU2_CURRENTOUT = 57,
    HWMID_PSU2_POWERIN = 58,
    HWMID_PSU2_FAN = 59,
    HWMID_PSU2_TEMP = 60,
    HWMID_PSU2_TEMP2 = 61,
    HWMID_TOTAL = 62,
} HWM_SENEORITEM;

/* Size of the text buffer a caller passes to _pvqio_hwm_sensor and _pvqio_hwm_name. */
#define PVQIO_TEXT_SIZE 30

/* Writes item's reading into strValue (at most 29 characters and a terminator). */
int _pvqio_hwm_sensor(int item, char *strValue);
/* Writes item's name into strName (at most 29 characters and a terminator). */
int _pvqio_hwm_name(int item, char *strName);
/* Stores nonzero in *pdwOpen when the chassis has been opened since the flag was cleared. */
int _pvqio_get_caseopen(int *pdwOpen);
/* Clears the chassis-intrusion flag. */
int _pvqio_clear_caseopen(void);

#ifdef __cplusplus
}
#endif

#endif /* IOLIB_H */
