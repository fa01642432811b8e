// PMBus number formats, for the platform layer's readers of power supplies.
#pragma once

#include <cstdint>

namespace pmbus {

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
    READ_PIN = 0x97,
    MFR_ID = 0x99,
};

// LINEAR11: a 5-bit two's complement exponent N in bits 15..11 and an 11-bit two's complement
// mantissa Y; the value is Y * 2^N.
inline double linear11(uint16_t word) {
    int n = word >> 11;
    int y = word & 0x7FF;
    if (n & 0x10) n -= 32;
    if (y & 0x400) y -= 2048;
    return n >= 0 ? double(y) * double(1u << n) : double(y) / double(1u << -n);
}

// LINEAR16: an unsigned mantissa, with the exponent in the low five bits of VOUT_MODE.
inline double linear16(uint16_t word, uint8_t vout_mode) {
    int n = vout_mode & 0x1F;
    if (n & 0x10) n -= 32;
    return n >= 0 ? double(word) * double(1u << n) : double(word) / double(1u << -n);
}

} // namespace pmbus
