// Model of a LAN bypass module on the SMBus.
//
// Bus face: Read Word of a register answers [status, value], status bit 7 being the valid
// flag; Write Byte stores into the writable registers and runs the command registers (factory
// reset, save, timer start and stop). Test face: any register's value and valid flag, the
// module's capabilities, and a clock for the timers.
#pragma once

#include "simbus.hpp"

#include <array>
#include <cstdint>

namespace zrqsim {

class LbpModule : public Device {
  public:
    struct Config {
        uint8_t version[2] = {1, 8};
        uint8_t modules = 1;
        uint8_t systemoff_pairs = 0x0F;        // register 0x04
        uint8_t juston_pairs = 0x0F;           // register 0x05
        uint8_t runtime_pairs = 0x0F;          // register 0x06
        uint8_t timer_max[3] = {255, 255, 60}; // registers 0x07..0x09 (timer 3 in 5 s units)
        unsigned timers = 3;                   // timers 1..timers have a register block
        bool disconnect = true;                // answers register 0x14 with the valid flag
    };

    // Timer status values in block + 0.
    static constexpr uint8_t kTimerIdle = 0, kTimerRunning = 1, kTimerExpired = 2;
    // Bits 0..6 of the status byte are the module's own; ours carry a fixed pattern so that a
    // reader that forgets to mask bit 7 is caught.
    static constexpr uint8_t kStatusNoise = 0x15;

    LbpModule() : LbpModule(Config{}) {}
    explicit LbpModule(const Config &config);

    // Test face.
    void set(uint8_t reg, uint8_t value) { reg_[reg] = value, valid_[reg] = true; }
    void set_valid(uint8_t reg, bool valid) { valid_[reg] = valid; }
    uint8_t value(uint8_t reg) const { return reg_[reg]; }
    bool valid(uint8_t reg) const { return valid_[reg]; }
    unsigned saves() const { return saves_; }
    unsigned factory_resets() const { return resets_; }
    unsigned remaining(unsigned timer) const { return remaining_[timer - 1]; }
    // Lets `seconds` pass for the running timers; an expired timer applies its action.
    void advance(unsigned seconds);
    const Config &config() const { return config_; }

    // Whole register state, for keeping a module across processes.
    struct State {
        std::array<uint8_t, 256> reg;
        std::array<bool, 256> valid;
        std::array<unsigned, 3> remaining;
    };
    State state() const { return {reg_, valid_, remaining_}; }
    void restore(const State &s) { reg_ = s.reg, valid_ = s.valid, remaining_ = s.remaining; }

    int read_word(uint8_t cmd, uint16_t *value) override;
    int write_byte(uint8_t cmd, uint8_t value) override;

  private:
    static constexpr uint8_t block(unsigned timer) {
        return static_cast<uint8_t>(0x10 * (timer + 1));
    }
    void reset_settings();
    bool timer_reg(uint8_t reg, unsigned &timer, unsigned &offset) const;

    Config config_;
    std::array<uint8_t, 256> reg_{};
    std::array<bool, 256> valid_{};
    std::array<unsigned, 3> remaining_{};
    unsigned saves_ = 0;
    unsigned resets_ = 0;
};

} // namespace zrqsim
