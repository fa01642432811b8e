// The PMBus number formats, as the power supplies report their readings.
//
// LINEAR11: a 16-bit word whose bits 15..11 are a 5-bit two's-complement exponent N (-16..15)
// and bits 10..0 an 11-bit two's-complement mantissa Y (-1024..1023); the reading is Y * 2^N.
//
// LINEAR16 (output voltage): the whole word is an unsigned mantissa V (0..65535); the exponent
// N is the low five bits of the VOUT_MODE byte, two's complement (the mode bits 7..5 are not
// looked at); the reading is V * 2^N.
//
// A word arrives low byte first, so `word` below is byte0 + 256 * byte1.
#pragma once

#include <cmath>
#include <cstdint>

namespace pmbus {

struct Linear11 {
    uint16_t wY; // mantissa magnitude
    uint16_t wN; // exponent magnitude
    bool negY;   // mantissa sign
    bool negN;   // exponent sign
};

constexpr Linear11 split_linear11(uint16_t word) {
    Linear11 f{static_cast<uint16_t>(word & 0x7FF), static_cast<uint16_t>(word >> 11), false,
               false};
    if (f.wY & 0x400) {
        f.wY = static_cast<uint16_t>((0 - f.wY) & 0x7FF);
        f.negY = true;
    }
    if (f.wN & 0x10) {
        f.wN = static_cast<uint16_t>((0 - f.wN) & 0x1F);
        f.negN = true;
    }
    return f;
}

// Y * 2^N in single precision; exact, since |Y| < 2^11 and 2^N is a power of two.
inline float linear11_to_float(uint16_t word) {
    const Linear11 f = split_linear11(word);
    const float scale = static_cast<float>(std::pow(2.0, f.wN));
    const float magnitude = f.negN ? f.wY / scale : f.wY * scale;
    return f.negY ? -magnitude : magnitude;
}

// A whole-number reading (fan speed): the fraction is dropped; a negative reading gives 0 and
// one above 65535 gives 65535, never a wrapped value.
constexpr uint16_t linear11_to_uint16(uint16_t word) {
    const Linear11 f = split_linear11(word);
    if (f.negY) return 0;
    if (f.negN) return static_cast<uint16_t>(f.wN >= 16 ? 0 : f.wY >> f.wN);
    const uint32_t value = static_cast<uint32_t>(f.wY) << f.wN;
    return value > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(value);
}

inline float linear16_to_float(uint16_t word, uint8_t vout_mode) {
    uint16_t wN = vout_mode & 0x1F;
    const bool negN = (wN & 0x10) != 0;
    if (negN) wN = static_cast<uint16_t>((0 - wN) & 0x1F);
    const float scale = static_cast<float>(std::pow(2.0, wN));
    return negN ? word / scale : word * scale;
}

} // namespace pmbus
