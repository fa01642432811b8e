// zrq4470psu: the two redundant power supplies, over PMBus.
//
// PSU 1 answers at 0xB0, PSU 2 at 0xB2. Every transfer is made up to three times back to back;
// three failures end the operation with ERR_Error, leaving the fields written before it.
#include "pmbus_format.hpp"
#include "pvqinc.h"
#include "pvqsmb.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int xCnt = 3;

enum Command : uint8_t {
    VOUT_MODE = 0x20,
    STATUS_WORD = 0x79,
    READ_VIN = 0x88,
    READ_IIN = 0x89,
    READ_VOUT = 0x8B,
    READ_IOUT = 0x8C,
    READ_TEMPERATURE_1 = 0x8D,
    READ_TEMPERATURE_2 = 0x8E,
    READ_FAN_SPEED_1 = 0x90,
    PMBUS_REVISION = 0x98,
    MFR_ID = 0x99,
    MFR_MODEL = 0x9A,
    MFR_REVISION = 0x9B,
    MFR_SERIAL = 0x9E,
};

constexpr uint8_t kPsuAddr[] = {0xB0, 0xB2};

// Maps a PSU number to its bus address; 0 for a number the platform does not have.
constexpr uint8_t psu_addr(uint8_t ubPsuNo) {
    return ubPsuNo >= 1 && ubPsuNo <= 2 ? kPsuAddr[ubPsuNo - 1] : 0;
}

int read_word(uint8_t xAddr, uint8_t xCmd, uint16_t &uwData) {
    for (int xi = 0; xi < xCnt; ++xi)
        if (_pvqsmb_i2c_read_word(xAddr, xCmd, &uwData) == 0) return ERR_Success;
    return ERR_Error;
}

int read_byte(uint8_t xAddr, uint8_t xCmd, uint8_t &ubData) {
    for (int xi = 0; xi < xCnt; ++xi)
        if (_pvqsmb_i2c_read_byte(xAddr, xCmd, &ubData) == 0) return ERR_Success;
    return ERR_Error;
}

// Block read into a cleared 33-byte buffer, so that the text is always terminated.
int read_block(uint8_t xAddr, uint8_t xCmd, uint8_t (&xBlock)[33]) {
    for (int xi = 0; xi < xCnt; ++xi) {
        std::memset(xBlock, 0, sizeof xBlock);
        if (_pvqsmb_i2c_read_block(xAddr, xCmd, xBlock) == 0) return ERR_Success;
    }
    return ERR_Error;
}

int read_text(uint8_t xAddr, uint8_t xCmd, uint8_t (&field)[33]) {
    uint8_t xBlock[33];
    if (read_block(xAddr, xCmd, xBlock) != ERR_Success) return ERR_Error;
    // A zero byte inside the block ends the text early.
    std::memcpy(field, xBlock, std::strlen(reinterpret_cast<const char *>(xBlock)) + 1);
    return ERR_Success;
}

int read_linear11(uint8_t xAddr, uint8_t xCmd, float &field) {
    uint16_t uwData = 0;
    if (read_word(xAddr, xCmd, uwData) != ERR_Success) return ERR_Error;
    field = pmbus::linear11_to_float(uwData);
    return ERR_Success;
}

} // namespace

extern "C" {

PVQ_API int _brdPVQ_PSU_QueryDevices(uint16_t *puwPsuDev) {
    if (puwPsuDev == nullptr) return ERR_InvalidParam;
    *puwPsuDev = 0;
    for (unsigned i = 0; i < 2; ++i) {
        uint16_t uwData = 0;
        if (read_word(kPsuAddr[i], PMBUS_REVISION, uwData) == ERR_Success)
            *puwPsuDev = static_cast<uint16_t>(*puwPsuDev | (1u << i));
    }
    return ERR_Success;
}

PVQ_API int _brdPVQ_PSU_DeviceInfo(PSU_INFO *pstuPsuInfo) {
    if (pstuPsuInfo == nullptr) return ERR_InvalidParam;
    const uint8_t xAddr = psu_addr(pstuPsuInfo->ubPsuNo);
    if (xAddr == 0) return ERR_InvalidParam;
    if (read_text(xAddr, MFR_ID, pstuPsuInfo->strubMfrId) != ERR_Success ||
        read_text(xAddr, MFR_MODEL, pstuPsuInfo->strubMfrModel) != ERR_Success ||
        read_text(xAddr, MFR_SERIAL, pstuPsuInfo->strubMfrSerial) != ERR_Success)
        return ERR_Error;
    uint8_t xBlock[33];
    if (read_block(xAddr, MFR_REVISION, xBlock) != ERR_Success) return ERR_Error;
    // The revision block carries its three numbers at positions 1, 5 and 2.
    std::snprintf(reinterpret_cast<char *>(pstuPsuInfo->strubMfrRevision),
                  sizeof pstuPsuInfo->strubMfrRevision, "%u.%u.%u", xBlock[1], xBlock[5],
                  xBlock[2]);
    return ERR_Success;
}

PVQ_API int _brdPVQ_PSU_Status(uint8_t ubPsuNo, uint16_t *puwStatus) {
    const uint8_t xAddr = psu_addr(ubPsuNo);
    if (xAddr == 0 || puwStatus == nullptr) return ERR_InvalidParam;
    uint16_t uwData = 0;
    if (read_word(xAddr, STATUS_WORD, uwData) != ERR_Success) return ERR_Error;
    *puwStatus = uwData;
    return ERR_Success;
}

PVQ_API int _brdPVQ_PSU_SensorInfo(PSU_SENSORS *pstuPsuSensors) {
    if (pstuPsuSensors == nullptr) return ERR_InvalidParam;
    const uint8_t xAddr = psu_addr(pstuPsuSensors->ubPsuNo);
    if (xAddr == 0) return ERR_InvalidParam;
    if (read_linear11(xAddr, READ_TEMPERATURE_1, pstuPsuSensors->fTemp_1) != ERR_Success ||
        read_linear11(xAddr, READ_TEMPERATURE_2, pstuPsuSensors->fTemp_2) != ERR_Success)
        return ERR_Error;
    uint16_t uwData = 0;
    if (read_word(xAddr, READ_FAN_SPEED_1, uwData) != ERR_Success) return ERR_Error;
    pstuPsuSensors->uwFanRpm = pmbus::linear11_to_uint16(uwData);
    return ERR_Success;
}

PVQ_API int _brdPVQ_PSU_WattsInfo(PSU_WATTS *pstuWatts) {
    if (pstuWatts == nullptr) return ERR_InvalidParam;
    const uint8_t xAddr = psu_addr(pstuWatts->ubPsuNo);
    if (xAddr == 0 || pstuWatts->ubInOut > 1) return ERR_InvalidParam;
    const bool output = pstuWatts->ubInOut == 1;

    if (read_linear11(xAddr, output ? READ_IOUT : READ_IIN, pstuWatts->fAmperes) != ERR_Success)
        return ERR_Error;
    if (output) {
        uint16_t uwData = 0;
        uint8_t ubMode = 0;
        if (read_word(xAddr, READ_VOUT, uwData) != ERR_Success ||
            read_byte(xAddr, VOUT_MODE, ubMode) != ERR_Success)
            return ERR_Error;
        pstuWatts->fVolts = pmbus::linear16_to_float(uwData, ubMode);
    } else if (read_linear11(xAddr, READ_VIN, pstuWatts->fVolts) != ERR_Success) {
        return ERR_Error;
    }
    pstuWatts->fWatts = pstuWatts->fVolts * pstuWatts->fAmperes;
    return ERR_Success;
}

} // extern "C"
