// zrq4470hwm: the motherboard hardware monitor.
//
// Every reading comes from the platform's I/O library as decimal text for a sensor item:
// temperatures and voltages in thousandths, fans in rpm. The plug-in picks the item, checks
// the arguments that choose it, and turns the text into the host's number.
#include "iolib.h"
#include "pvqinc.h"

#include <climits>
#include <cstdint>

namespace {

constexpr int kTextSize = 30;

// Decimal text to int as atoi reads it (leading white space, a sign, digits up to the first
// other character, 0 for no digits), but saturating at the int range instead of overflowing,
// so that the 32-bit and the 64-bit build agree.
int to_int(const char *s) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    int64_t v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<int64_t>(INT_MAX) + 1) v = static_cast<int64_t>(INT_MAX) + 1;
    }
    if (negative) return static_cast<int>(-v);
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

// Reads an item as a whole number; the library's own result on failure.
int read_item(int item, int &value) {
    char strSensor[kTextSize];
    int iResult = _pvqio_hwm_sensor(item, strSensor);
    if (iResult != 0) return iResult;
    // The library promises a terminator within 30 characters; don't rely on it.
    strSensor[kTextSize - 1] = '\0';
    value = to_int(strSensor);
    return ERR_Success;
}

// Thousandths to units, rounded once to float.
int read_scaled(int item, float *out) {
    if (out == nullptr) return ERR_InvalidParam;
    int value = 0;
    int iResult = read_item(item, value);
    if (iResult != ERR_Success) return iResult;
    *out = static_cast<float>(value / 1000.0);
    return ERR_Success;
}

// Fan speeds go out as their low 16 bits, unscaled.
int read_rpm(int index, unsigned short *puwRpm) {
    int value = 0;
    int iResult = read_item(index, value);
    if (iResult != ERR_Success) return iResult;
    *puwRpm = static_cast<unsigned short>(static_cast<unsigned>(value) & 0xFFFF);
    return ERR_Success;
}

// CPU and system sensors come in pairs: number 1 or 2 picks the item from `first`.
int pick_pair(unsigned char number, int first, int &item) {
    if (number < 1 || number > 2) return ERR_InvalidParam;
    item = first + number - 1;
    return ERR_Success;
}

int read_pair_scaled(unsigned char number, int first, float *out) {
    int item = 0;
    if (out == nullptr || pick_pair(number, first, item) != ERR_Success) return ERR_InvalidParam;
    return read_scaled(item, out);
}

int read_pair_rpm(unsigned char number, int first, unsigned short *puwRpm) {
    int index = 0;
    if (puwRpm == nullptr || pick_pair(number, first, index) != ERR_Success)
        return ERR_InvalidParam;
    return read_rpm(index, puwRpm);
}

constexpr bool valid_sensor(int dwSensorID) {
    return dwSensorID >= 0 && dwSensorID < HWMID_TOTAL;
}

} // namespace

extern "C" {

PVQ_API int _brdPVQ_HWM_GetCpuTemp(unsigned char ubCpuNo, float *pfTemperature) {
    return read_pair_scaled(ubCpuNo, HWMID_TEMP_CPU1, pfTemperature);
}

PVQ_API int _brdPVQ_HWM_GetSysTemp(unsigned char ubSysNo, float *pfTemperature) {
    return read_pair_scaled(ubSysNo, HWMID_TEMP_SYS1, pfTemperature);
}

PVQ_API int _brdPVQ_HWM_GetVcore(unsigned char ubCpuNo, float *pfVoltage) {
    return read_pair_scaled(ubCpuNo, HWMID_VCORE_CPU1, pfVoltage);
}

PVQ_API int _brdPVQ_HWM_Get12V(float *pfVoltage) {
    return read_scaled(HWMID_VOLT_P12V, pfVoltage);
}
PVQ_API int _brdPVQ_HWM_Get5V(float *pfVoltage) {
    return read_scaled(HWMID_VOLT_P5V, pfVoltage);
}
PVQ_API int _brdPVQ_HWM_Get3V3(float *pfVoltage) {
    return read_scaled(HWMID_VOLT_P3V3, pfVoltage);
}
PVQ_API int _brdPVQ_HWM_Get5Vsb(float *pfVoltage) {
    return read_scaled(HWMID_VOLT_P5VSB, pfVoltage);
}
PVQ_API int _brdPVQ_HWM_Get3V3sb(float *pfVoltage) {
    return read_scaled(HWMID_VOLT_P3V3SB, pfVoltage);
}
PVQ_API int _brdPVQ_HWM_GetVbat(float *pfVoltage) {
    return read_scaled(HWMID_VOLT_VBAT, pfVoltage);
}

PVQ_API int _brdPVQ_HWM_GetCpuFan(unsigned char ubCpuNo, unsigned short *puwRpm) {
    return read_pair_rpm(ubCpuNo, HWMID_RPM_FanCpu1, puwRpm);
}

PVQ_API int _brdPVQ_HWM_GetSysFan(unsigned char ubSysNo, unsigned short *puwRpm) {
    return read_pair_rpm(ubSysNo, HWMID_RPM_FanSys1, puwRpm);
}

PVQ_API int _brdPVQ_HWM_GetFanSpeed(unsigned char ubFanNo, unsigned short *puwRpm) {
    if (ubFanNo < 1 || ubFanNo > 10 || puwRpm == nullptr) return ERR_InvalidParam;
    return read_rpm(2 * ubFanNo + 22, puwRpm); // rotor A of fan n
}

PVQ_API int _brdPVQ_HWM_GetFanSpeedEx(unsigned char ubFanNo, unsigned short *puwRpm,
                                      unsigned char ubFanSeq) {
    if (ubFanNo < 1 || ubFanNo > 10) return ERR_InvalidParam;
    if (ubFanSeq < 1 || ubFanSeq > 2 || puwRpm == nullptr) return ERR_InvalidParam;
    int index = 2 * ubFanNo + 21 + ubFanSeq; // rotor A, then rotor B
    return read_rpm(index, puwRpm);
}

PVQ_API int _brdPVQ_HWM_GetPowerSupply(unsigned char ubPowerNo, unsigned short *puwVoltage) {
    if (ubPowerNo < 1 || ubPowerNo > 2 || puwVoltage == nullptr) return ERR_InvalidParam;
    int index = ubPowerNo == 1 ? HWMID_PSU1_VOLTIN : HWMID_PSU2_VOLTIN;
    int value = 0;
    int iResult = read_item(index, value);
    if (iResult != ERR_Success) return iResult;
    // Whole volts, truncated toward zero.
    const int volts = static_cast<int>(static_cast<float>(value / 1000.0));
    *puwVoltage = static_cast<unsigned short>(static_cast<unsigned>(volts) & 0xFFFF);
    return ERR_Success;
}

PVQ_API int _brdPVQ_HWM_CaseOpenStatus(unsigned char *pubStatus) {
    if (pubStatus == nullptr) return ERR_InvalidParam;
    int dwOpen = 0;
    _pvqio_get_caseopen(&dwOpen); // a failure leaves 0: not opened
    *pubStatus = dwOpen != 0 ? 1 : 0;
    return ERR_Success;
}

PVQ_API int _brdPVQ_HWM_ClearCaseOpenStatus(void) {
    _pvqio_clear_caseopen();
    return ERR_Success;
}

PVQ_API int _brdPVQ_HWM_GetSensorReport(int dwSensorID, char *pbString) {
    if (!valid_sensor(dwSensorID) || pbString == nullptr) return ERR_InvalidParam;
    return _pvqio_hwm_sensor(dwSensorID, pbString);
}

PVQ_API int _brdPVQ_HWM_GetSensorName(int dwSensorID, char *pbString) {
    if (!valid_sensor(dwSensorID) || pbString == nullptr) return ERR_InvalidParam;
    return _pvqio_hwm_name(dwSensorID, pbString);
}

} // extern "C"
