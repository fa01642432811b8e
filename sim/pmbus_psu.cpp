#include "pmbus_psu.hpp"

#include <algorithm>
#include <cmath>

namespace zrqsim {

uint16_t encode_linear11(double value) {
    for (int n = -16; n <= 15; ++n) {
        const double y = std::nearbyint(std::ldexp(value, -n));
        if (y >= -1024 && y <= 1023) {
            const auto mantissa = static_cast<uint16_t>(static_cast<int>(y) & 0x7FF);
            const auto exponent = static_cast<uint16_t>((n & 0x1F) << 11);
            return static_cast<uint16_t>(exponent | mantissa);
        }
    }
    return value < 0 ? 0x7C00 : 0x7BFF; // the largest magnitudes LINEAR11 holds
}

uint16_t encode_linear16(double value, uint8_t vout_mode) {
    int n = vout_mode & 0x1F;
    if (n & 0x10) n -= 32;
    const double v = std::nearbyint(std::ldexp(value, -n));
    return static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
}

PmbusPsu::PmbusPsu(Maker maker) : maker_(maker) {
    using namespace pmbus_cmd;
    if (maker == Maker::Delta) {
        set_text(MFR_ID, "DELTA");
        set_text(MFR_MODEL, "DPS-550AB-42 A");
        set_text(MFR_SERIAL, "DXRT1843001234");
    } else {
        set_text(MFR_ID, "3Y POWER");
        set_text(MFR_MODEL, "YM-2551B");
        set_text(MFR_SERIAL, "SA551B0123456789");
    }
    set_block(MFR_REVISION, {0x00, 0x01, 0x02, 0x00, 0x00, 0x07});
    set_word(PMBUS_REVISION, 0x22);
    set_word(STATUS_WORD, 0x0000);
    set_linear11(READ_VIN, 230.0);
    set_linear11(READ_IIN, 0.625);
    set_vout(12.0);
    set_linear11(READ_IOUT, 10.5);
    set_linear11(READ_TEMPERATURE_1, 35.5);
    set_linear11(READ_TEMPERATURE_2, 41.0);
    set_linear11(READ_FAN_SPEED_1, 5000);
    set_linear11(READ_FAN_SPEED_2, 4800);
}

void PmbusPsu::set_text(uint8_t cmd, std::string_view text) {
    blocks_[cmd].assign(text.begin(), text.end());
}

uint16_t PmbusPsu::word(uint8_t cmd) const {
    auto it = words_.find(cmd);
    return it == words_.end() ? 0 : it->second;
}

int PmbusPsu::read_word(uint8_t cmd, uint16_t *value) {
    if (!present_) return -ENXIO;
    auto it = words_.find(cmd);
    if (it == words_.end()) return -EIO;
    *value = it->second;
    return 0;
}

int PmbusPsu::read_byte(uint8_t cmd, uint8_t *value) {
    if (!present_) return -ENXIO;
    if (cmd != pmbus_cmd::VOUT_MODE) return -EIO;
    *value = vout_mode_;
    return 0;
}

int PmbusPsu::read_block(uint8_t cmd, std::span<uint8_t, pvqsmb::kBlockMax> out) {
    if (!present_) return -ENXIO;
    auto it = blocks_.find(cmd);
    if (it == blocks_.end()) return -EIO;
    const size_t n = std::min(it->second.size(), out.size());
    std::copy_n(it->second.begin(), n, out.begin());
    return static_cast<int>(it->second.size());
}

Y3Data::Y3Data() {
    set_bytes(kSerialPlain, "Y3A2312000456789AB");
    set_bytes(kFirmware, "105");
}

void Y3Data::set_bytes(uint8_t offset, std::string_view bytes) {
    for (size_t i = 0; i < bytes.size() && offset + i < data_.size(); ++i)
        data_[offset + i] = static_cast<uint8_t>(bytes[i]);
}

int Y3Data::read_byte(uint8_t cmd, uint8_t *value) {
    if (!present_) return -ENXIO;
    *value = data_[cmd];
    return 0;
}

} // namespace zrqsim
