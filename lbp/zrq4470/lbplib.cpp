// zrq4470lbp: the LAN bypass modules.
//
// A module is an SMBus device with an 8-bit register space. The module of slot 0 sits on the
// main bus at 0x6E; the modules of slots 1..maxslots sit at 0x60, each behind a channel of the
// slot switch at 0xE6. Reads are SMBus Read Word: byte 0 is a status byte whose bit 7 says the
// value is valid, byte 1 the register's value. Writes are SMBus Write Byte.
//
// The plug-in keeps nothing between calls: every call re-selects the slot path and tests that
// the module answers before it touches a register.
#include "pvqinc.h"
#include "pvqsmb.h"

#include <cstdint>

namespace {

constexpr uint8_t kSwitchAddr = 0xE6;
constexpr uint8_t kSlot0Addr = 0x6E;
constexpr uint8_t kSlotAddr = 0x60;
constexpr int xCnt = 3; // attempts per transfer
constexpr uint8_t kValidFlag = 0x80;

// The 16-bit presence mask has a bit for slots 0 to 15 only.
constexpr unsigned kMaskSlots = 16;
// Slot numbers are 8-bit, so discovery never probes past slot 255.
constexpr unsigned kLastSlot = 255;

enum Reg : uint8_t {
    kVersion0 = 0x01,
    kVersion1 = 0x02,
    kModules = 0x03,
    kSystemOffCaps = 0x04,
    kJustOnCaps = 0x05,
    kRuntimeCaps = 0x06,
    kTimer1Max = 0x07,
    kTimer2Max = 0x08,
    kTimer3Max = 0x09,
    kFactoryReset = 0x0A,
    kSaveConfig = 0x0B,
    kSystemOffBypass = 0x10,
    kJustOnBypass = 0x11,
    kRuntimeBypass = 0x12,
    kJustOnDisconnect = 0x13,
    kRuntimeDisconnect = 0x14,
};

// Offsets inside the register block of timer n, which starts at 0x10 * (n + 1).
enum TimerReg : uint8_t {
    kTimerStatus = 0,
    kTimerBypassMask = 1,
    kTimerCount = 2,
    kTimerStart = 4,
    kTimerStop = 5,
    kTimerDisconnect1 = 6,
    kTimerDisconnect2 = 7,
};

constexpr uint8_t timer_reg(uint8_t ubTimerNo, TimerReg offset) {
    return static_cast<uint8_t>(0x10 * (ubTimerNo + 1) + offset);
}

// A register as the module answered it.
struct RegValue {
    uint8_t status = 0;
    uint8_t value = 0;
    bool valid() const { return (status & kValidFlag) != 0; }
    // What the plug-in reports for the register: the value only when the module vouched for it.
    uint8_t reported() const { return valid() ? value : 0; }
};

int read_reg(uint8_t xAddr, uint8_t xReg, RegValue &out) {
    uint16_t uwData = 0;
    for (int xi = 0; xi < xCnt; ++xi) {
        if (_pvqsmb_i2c_read_word(xAddr, xReg, &uwData) == 0) {
            // The first byte received is the low-order byte of the word.
            out.status = static_cast<uint8_t>(uwData & 0xFF);
            out.value = static_cast<uint8_t>(uwData >> 8);
            return ERR_Success;
        }
    }
    return ERR_Error;
}

int write_reg(uint8_t xAddr, uint8_t xReg, uint8_t ubData) {
    for (int xi = 0; xi < xCnt; ++xi)
        if (_pvqsmb_i2c_write_byte(xAddr, xReg, ubData) == 0) return ERR_Success;
    return ERR_Error;
}

// Presence test and path selection of the common prologue, for operations whose argument
// checks all come before the bus is touched.
int reach_module(uint8_t ubSlot, uint8_t &xAddr) {
    int iResult = _check_slot_exist(ubSlot);
    if (iResult != ERR_Success) return iResult;
    return _get_path_addr(ubSlot, &xAddr);
}

// Read a register and store what the plug-in reports for it.
template <typename Field> int read_field(uint8_t xAddr, uint8_t xReg, Field &field, int scale = 1) {
    RegValue reg;
    int iResult = read_reg(xAddr, xReg, reg);
    if (iResult == ERR_Success) field = static_cast<Field>(reg.reported() * scale);
    return iResult;
}

uint8_t module_type(uint8_t v0, uint8_t v1) {
    struct Known {
        uint8_t v0, v1, type;
    };
    static constexpr Known kTypes[] = {{1, 8, 2}, {1, 6, 1}, {2, 0, 1}};
    for (const Known &k : kTypes)
        if (k.v0 == v0 && k.v1 == v1) return k.type;
    return 0;
}

// The prologue of the two record reads: slot range, record, presence, then the slot index is
// stored before the path is selected again, so that a switch failing there leaves it set.
template <typename Record>
int open_record(uint8_t ubSlot, uint16_t maxslots, Record *record, uint8_t &xAddr) {
    if (ubSlot > maxslots) return ERR_NotSupport;
    if (record == nullptr) return ERR_InvalidParam;
    int iResult = _check_slot_exist(ubSlot);
    if (iResult != ERR_Success) return iResult;
    record->ubSlotIndex = ubSlot;
    return _get_path_addr(ubSlot, &xAddr);
}

// One of the three plain writes of a whole mask or command byte.
int write_one(uint8_t ubSlot, uint16_t maxslots, uint8_t xReg, uint8_t ubData) {
    if (ubSlot > maxslots) return ERR_NotSupport;
    uint8_t xAddr = 0;
    int iResult = reach_module(ubSlot, xAddr);
    if (iResult != ERR_Success) return iResult;
    return write_reg(xAddr, xReg, ubData);
}

// Presence, path, and the run-time disconnect mask, which only modules that offer port
// disconnect answer with the valid flag.
int reach_disconnect_mask(uint8_t ubSlot, uint8_t &xAddr, uint8_t &mask) {
    int iResult = reach_module(ubSlot, xAddr);
    if (iResult != ERR_Success) return iResult;
    RegValue reg;
    if (read_reg(xAddr, kRuntimeDisconnect, reg) != ERR_Success) return ERR_Error;
    if (!reg.valid()) return ERR_NotSupport;
    mask = reg.value;
    return ERR_Success;
}

constexpr bool bit_in_byte(unsigned number) {
    return number >= 1 && number <= 8;
}
constexpr uint8_t bit_of(unsigned number) {
    return static_cast<uint8_t>(1u << (number - 1));
}

// `mask` with the bit of pair or port `number` set or cleared; the other bits stay.
constexpr uint8_t with_bit(uint8_t mask, unsigned number, uint8_t ubEnable) {
    const uint8_t bit = bit_of(number);
    return static_cast<uint8_t>((mask & ~bit) | (ubEnable ? bit : 0));
}

// Timer start, stop, tick and status share their checks.
int timer_prologue(uint8_t ubSlot, uint8_t ubTimerNo, uint8_t lastTimer, uint16_t maxslots,
                   uint8_t &xAddr) {
    if (ubSlot > maxslots) return ERR_NotSupport;
    if (ubTimerNo == 0 || ubTimerNo > lastTimer) return ERR_InvalidParam;
    return reach_module(ubSlot, xAddr);
}

} // namespace

extern "C" {

PVQ_API int _get_path_addr(uint8_t ubSlot, uint8_t *pubAddr) {
    if (pubAddr == nullptr) return ERR_InvalidParam;
    if (ubSlot == 0) {
        *pubAddr = kSlot0Addr;
        return ERR_Success;
    }
    *pubAddr = kSlotAddr;
    return _pvqsmb_switch_slot(kSwitchAddr, ubSlot);
}

PVQ_API int _check_slot_exist(uint8_t ubSlot) {
    uint8_t xAddr = 0;
    int iResult = _get_path_addr(ubSlot, &xAddr);
    if (iResult != ERR_Success) return iResult;
    RegValue reg;
    return read_reg(xAddr, kVersion0, reg);
}

PVQ_API int _brdPVQ_LBP_QueryDevices(uint16_t *puwSlotsDev, uint16_t maxslots) {
    if (puwSlotsDev == nullptr) return ERR_InvalidParam;
    *puwSlotsDev = 0;
    const unsigned last = maxslots < kLastSlot ? maxslots : kLastSlot;
    for (unsigned slot = 0; slot <= last; ++slot) {
        uint8_t xAddr = 0;
        int iResult = _get_path_addr(static_cast<uint8_t>(slot), &xAddr);
        if (iResult != ERR_Success) return iResult;
        RegValue reg;
        if (read_reg(xAddr, kVersion0, reg) == ERR_Success && slot < kMaskSlots)
            *puwSlotsDev = static_cast<uint16_t>(*puwSlotsDev | (1u << slot));
    }
    return ERR_Success;
}

PVQ_API int _brdPVQ_LBP_DeviceInfo(uint8_t ubSlot, LBPDEV_INFO *pstuDevInfo, uint16_t maxslots) {
    uint8_t xAddr = 0;
    int iResult = open_record(ubSlot, maxslots, pstuDevInfo, xAddr);
    if (iResult != ERR_Success) return iResult;

    if (read_field(xAddr, kVersion0, pstuDevInfo->ubVersion[0]) != ERR_Success ||
        read_field(xAddr, kVersion1, pstuDevInfo->ubVersion[1]) != ERR_Success)
        return ERR_Error;
    pstuDevInfo->ubType = module_type(pstuDevInfo->ubVersion[0], pstuDevInfo->ubVersion[1]);

    if (read_field(xAddr, kModules, pstuDevInfo->ubModules) != ERR_Success ||
        read_field(xAddr, kSystemOffCaps, pstuDevInfo->ubSystemOff_Pairs) != ERR_Success ||
        read_field(xAddr, kJustOnCaps, pstuDevInfo->ubJustOn_Pairs) != ERR_Success ||
        read_field(xAddr, kRuntimeCaps, pstuDevInfo->ubRuntime_Pairs) != ERR_Success ||
        read_field(xAddr, kTimer1Max, pstuDevInfo->uwTimer1_MaxSec) != ERR_Success ||
        read_field(xAddr, kTimer2Max, pstuDevInfo->uwTimer2_MaxSec) != ERR_Success ||
        // The module counts timer 3 in units of 5 seconds.
        read_field(xAddr, kTimer3Max, pstuDevInfo->uwTimer3_MaxSec, 5) != ERR_Success)
        return ERR_Error;
    return ERR_Success;
}

PVQ_API int _brdPVQ_LBP_GetPairsStatus(uint8_t ubSlot, PAIRS_STATUS *pstuPairsStatus,
                                       uint16_t maxslots) {
    uint8_t xAddr = 0;
    int iResult = open_record(ubSlot, maxslots, pstuPairsStatus, xAddr);
    if (iResult != ERR_Success) return iResult;

    if (read_field(xAddr, kSystemOffBypass, pstuPairsStatus->ubSystemOff_PairsBypass) ||
        read_field(xAddr, kJustOnBypass, pstuPairsStatus->ubJustOn_PairsBypass) ||
        read_field(xAddr, kRuntimeBypass, pstuPairsStatus->ubRuntime_PairsBypass) ||
        read_field(xAddr, kJustOnDisconnect, pstuPairsStatus->ubJustOn_PortsDisconnect) ||
        read_field(xAddr, kRuntimeDisconnect, pstuPairsStatus->ubRuntime_PortsDisconnect))
        return ERR_Error;
    return ERR_Success;
}

PVQ_API int _brdPVQ_LBP_FactoryReset(uint8_t ubSlot, uint16_t maxslots) {
    return write_one(ubSlot, maxslots, kFactoryReset, 1);
}

PVQ_API int _brdPVQ_LBP_SaveConfig(uint8_t ubSlot, uint16_t maxslots) {
    return write_one(ubSlot, maxslots, kSaveConfig, 1);
}

PVQ_API int _brdPVQ_LBP_SetSystemOffPairs(uint8_t ubSlot, uint8_t ubStatus, uint16_t maxslots) {
    return write_one(ubSlot, maxslots, kSystemOffBypass, ubStatus);
}

PVQ_API int _brdPVQ_LBP_SetJustOnPairs(uint8_t ubSlot, uint8_t ubStatus, uint16_t maxslots) {
    return write_one(ubSlot, maxslots, kJustOnBypass, ubStatus);
}

PVQ_API int _brdPVQ_LBP_SetAllPairs(uint8_t ubSlot, uint8_t ubStatus, uint16_t maxslots) {
    return write_one(ubSlot, maxslots, kRuntimeBypass, ubStatus);
}

PVQ_API int _brdPVQ_LBP_SetPairBypass(uint8_t ubSlot, uint8_t ubPairNo, uint8_t ubEnable,
                                      uint16_t maxslots) {
    if (ubSlot > maxslots) return ERR_NotSupport;
    if (ubPairNo == 0 || ubEnable > 1) return ERR_InvalidParam;
    uint8_t xAddr = 0;
    int iResult = reach_module(ubSlot, xAddr);
    if (iResult != ERR_Success) return iResult;

    RegValue caps;
    if (read_reg(xAddr, kRuntimeCaps, caps) != ERR_Success || !caps.valid()) return ERR_Error;
    // A pair above 8 has no bit in the module's masks.
    if (!bit_in_byte(ubPairNo) || (caps.value & bit_of(ubPairNo)) == 0) return ERR_InvalidParam;

    // Read-modify-write so that the other pairs keep their state; a mask the module does not
    // vouch for is never written back.
    RegValue current;
    if (read_reg(xAddr, kRuntimeBypass, current) != ERR_Success || !current.valid())
        return ERR_Error;
    return write_reg(xAddr, kRuntimeBypass, with_bit(current.value, ubPairNo, ubEnable));
}

PVQ_API int _brdPVQ_LBP_SetPortDisconnect(uint8_t ubSlot, uint8_t ubPortNo, uint8_t ubEnable,
                                          uint16_t maxslots) {
    if (ubSlot > maxslots) return ERR_NotSupport;
    if (!bit_in_byte(ubPortNo) || ubEnable > 1) return ERR_InvalidParam;
    uint8_t xAddr = 0, current = 0;
    const int iResult = reach_disconnect_mask(ubSlot, xAddr, current);
    if (iResult != ERR_Success) return iResult;
    // Only this port's bit changes; the other ports stay as they are.
    return write_reg(xAddr, kRuntimeDisconnect, with_bit(current, ubPortNo, ubEnable));
}

PVQ_API int _brdPVQ_LBP_SetAllPortsDisconnect(uint8_t ubSlot, uint8_t ubStatus, uint16_t maxslots) {
    if (ubSlot > maxslots) return ERR_NotSupport;
    uint8_t xAddr = 0, current = 0;
    const int iResult = reach_disconnect_mask(ubSlot, xAddr, current);
    if (iResult != ERR_Success) return iResult;
    return write_reg(xAddr, kRuntimeDisconnect, ubStatus);
}

PVQ_API int _brdPVQ_LBP_TimerConfig(uint8_t ubSlot, LBP_TIMERCFG stuLbpTimerCfg,
                                    uint16_t maxslots) {
    if (ubSlot > maxslots) return ERR_NotSupport;
    int iResult = _check_slot_exist(ubSlot);
    if (iResult != ERR_Success) return iResult;

    const uint8_t ubTimerNo = stuLbpTimerCfg.ubTimerNo;
    const uint8_t ubAction = stuLbpTimerCfg.ubAction;
    const uint8_t ubEffect = stuLbpTimerCfg.ubEffect;
    if (ubAction != 1 && ubAction != 2) return ERR_InvalidParam;
    if (ubTimerNo == 0 || ubTimerNo > 3) return ERR_InvalidParam;
    // Timers 1 and 2 count seconds, timer 3 units of 5 seconds; the count register is one
    // byte, so a longer time is refused rather than cut to its low 8 bits.
    const unsigned timerCnt =
        ubTimerNo == 3 ? stuLbpTimerCfg.uwTimeSec / 5u : stuLbpTimerCfg.uwTimeSec;
    if (timerCnt > 0xFF) return ERR_InvalidParam;

    uint8_t xAddr = 0;
    iResult = _get_path_addr(ubSlot, &xAddr);
    if (iResult != ERR_Success) return iResult;

    RegValue disconnect;
    if (read_reg(xAddr, kRuntimeDisconnect, disconnect) != ERR_Success) return ERR_Error;
    const int btype = disconnect.valid() ? 2 : 1;
    if (btype == 1 && ubAction == 2) return ERR_InvalidParam;

    if (ubAction == 1) {
        RegValue caps;
        if (read_reg(xAddr, kRuntimeCaps, caps) != ERR_Success || !caps.valid()) return ERR_Error;
        if ((ubEffect & ~caps.value) != 0) return ERR_InvalidParam;
    }

    if (write_reg(xAddr, timer_reg(ubTimerNo, kTimerCount), static_cast<uint8_t>(timerCnt)))
        return ERR_Error;

    if (ubAction == 1) {
        if (btype == 2) {
            // Pairs that the timer will bypass leave the timer's disconnect mask; the other
            // ports keep their bits.
            RegValue current;
            const uint8_t xReg = timer_reg(ubTimerNo, kTimerDisconnect1);
            if (read_reg(xAddr, xReg, current) != ERR_Success || !current.valid()) return ERR_Error;
            const uint8_t btemp = static_cast<uint8_t>(current.value & ~ubEffect);
            if (write_reg(xAddr, xReg, btemp) != ERR_Success) return ERR_Error;
        }
        return write_reg(xAddr, timer_reg(ubTimerNo, kTimerBypassMask), ubEffect);
    }
    if (write_reg(xAddr, timer_reg(ubTimerNo, kTimerDisconnect1), ubEffect) != ERR_Success)
        return ERR_Error;
    return write_reg(xAddr, timer_reg(ubTimerNo, kTimerDisconnect2), ubEffect);
}

PVQ_API int _brdPVQ_LBP_TimerStart(uint8_t ubSlot, uint8_t ubTimerNo, uint16_t maxslots) {
    uint8_t xAddr = 0;
    int iResult = timer_prologue(ubSlot, ubTimerNo, 2, maxslots, xAddr);
    if (iResult != ERR_Success) return iResult;
    return write_reg(xAddr, timer_reg(ubTimerNo, kTimerStart), 0);
}

PVQ_API int _brdPVQ_LBP_TimerStop(uint8_t ubSlot, uint8_t ubTimerNo, uint16_t maxslots) {
    uint8_t xAddr = 0;
    int iResult = timer_prologue(ubSlot, ubTimerNo, 3, maxslots, xAddr);
    if (iResult != ERR_Success) return iResult;
    return write_reg(xAddr, timer_reg(ubTimerNo, kTimerStop), 0);
}

PVQ_API int _brdPVQ_LBP_TimerTick(uint8_t ubSlot, uint8_t ubTimerNo, uint16_t maxslots) {
    uint8_t xAddr = 0;
    int iResult = timer_prologue(ubSlot, ubTimerNo, 2, maxslots, xAddr);
    if (iResult != ERR_Success) return iResult;
    RegValue status;
    if (read_reg(xAddr, timer_reg(ubTimerNo, kTimerStatus), status) != ERR_Success)
        return ERR_Error;
    // Only a running timer (status 1) is restarted; an unknown status does not stop the tick.
    if (status.valid() && status.value != 1) return ERR_InvalidParam;
    return write_reg(xAddr, timer_reg(ubTimerNo, kTimerStart), 0);
}

PVQ_API int _brdPVQ_LBP_TimerStatus(uint8_t ubSlot, uint8_t ubTimerNo, uint8_t *pubStatus,
                                    uint16_t maxslots) {
    if (ubSlot > maxslots) return ERR_NotSupport;
    if (pubStatus == nullptr) return ERR_InvalidParam;
    uint8_t xAddr = 0;
    int iResult = timer_prologue(ubSlot, ubTimerNo, 3, maxslots, xAddr);
    if (iResult != ERR_Success) return iResult;
    return read_field(xAddr, timer_reg(ubTimerNo, kTimerStatus), *pubStatus);
}

} // extern "C"
