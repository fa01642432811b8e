// Model of a PMBus power supply.
//
// Bus face: word reads of the readings, STATUS_WORD and PMBUS_REVISION, the VOUT_MODE byte,
// block reads of the MFR_ texts. Test face: readings in physical units (encoded the way a
// supply encodes them: LINEAR11, or LINEAR16 with the VOUT_MODE exponent) or as raw words,
// texts, and whether the supply answers at all.
//
// The "3Y" maker keeps its serial number and firmware revision as byte-addressed data at a
// second address (0xA0 for the supply at 0xB0); Y3Data models that.
#pragma once

#include "simbus.hpp"

#include <array>
#include <map>
#include <string_view>
#include <vector>

namespace zrqsim {

namespace pmbus_cmd {
inline constexpr uint8_t VOUT_MODE = 0x20, STATUS_WORD = 0x79, READ_VIN = 0x88, READ_IIN = 0x89,
                         READ_VOUT = 0x8B, READ_IOUT = 0x8C, READ_TEMPERATURE_1 = 0x8D,
                         READ_TEMPERATURE_2 = 0x8E, READ_FAN_SPEED_1 = 0x90,
                         READ_FAN_SPEED_2 = 0x91, PMBUS_REVISION = 0x98, MFR_ID = 0x99,
                         MFR_MODEL = 0x9A, MFR_REVISION = 0x9B, MFR_SERIAL = 0x9E;
}

// Encodes a value as LINEAR11 with the finest exponent whose mantissa still fits.
uint16_t encode_linear11(double value);
// Encodes a value as a LINEAR16 mantissa for the exponent in `vout_mode` (clamped to 0..65535).
uint16_t encode_linear16(double value, uint8_t vout_mode);

class PmbusPsu : public Device {
  public:
    enum class Maker { Delta, Y3 };
    explicit PmbusPsu(Maker maker = Maker::Delta);

    void set_present(bool present) { present_ = present; }
    bool present() const { return present_; }
    void set_text(uint8_t cmd, std::string_view text);
    void set_block(uint8_t cmd, std::vector<uint8_t> bytes) { blocks_[cmd] = std::move(bytes); }
    void set_word(uint8_t cmd, uint16_t raw) { words_[cmd] = raw; }
    void set_linear11(uint8_t cmd, double value) { words_[cmd] = encode_linear11(value); }
    void set_vout_mode(uint8_t mode) { vout_mode_ = mode; }
    // DELTA supplies report READ_VOUT as LINEAR16 with the VOUT_MODE exponent, 3Y supplies as
    // LINEAR11.
    void set_vout(double volts) {
        words_[pmbus_cmd::READ_VOUT] =
            maker_ == Maker::Y3 ? encode_linear11(volts) : encode_linear16(volts, vout_mode_);
    }
    uint16_t word(uint8_t cmd) const;
    uint8_t vout_mode() const { return vout_mode_; }

    int read_word(uint8_t cmd, uint16_t *value) override;
    int read_byte(uint8_t cmd, uint8_t *value) override;
    int read_block(uint8_t cmd, std::span<uint8_t, pvqsmb::kBlockMax> out) override;

  private:
    Maker maker_;
    bool present_ = true;
    uint8_t vout_mode_ = 0x17; // exponent -9
    std::map<uint8_t, uint16_t> words_;
    std::map<uint8_t, std::vector<uint8_t>> blocks_;
};

// Byte-addressed data of a 3Y supply: a byte read with the offset as the command.
class Y3Data : public Device {
  public:
    static constexpr uint8_t kSerialWs = 0x35, kSerialPlain = 0x2E, kFirmware = 0x4F;
    Y3Data();
    void set_bytes(uint8_t offset, std::string_view bytes);
    void set_present(bool present) { present_ = present; }
    uint8_t at(uint8_t offset) const { return data_[offset]; }
    int read_byte(uint8_t cmd, uint8_t *value) override;

  private:
    bool present_ = true;
    std::array<uint8_t, 256> data_{};
};

} // namespace zrqsim
