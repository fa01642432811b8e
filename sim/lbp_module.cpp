#include "lbp_module.hpp"

namespace zrqsim {

LbpModule::LbpModule(const Config &config) : config_(config) {
    const uint8_t info[] = {config.version[0],      config.version[1],   config.modules,
                            config.systemoff_pairs, config.juston_pairs, config.runtime_pairs,
                            config.timer_max[0],    config.timer_max[1], config.timer_max[2]};
    for (uint8_t i = 0; i < sizeof info; ++i) set(static_cast<uint8_t>(0x01 + i), info[i]);
    reset_settings();
}

void LbpModule::reset_settings() {
    for (uint8_t reg = 0x10; reg <= 0x14; ++reg) set(reg, 0);
    valid_[0x14] = config_.disconnect;
    for (unsigned t = 1; t <= 3; ++t) {
        const bool present = t <= config_.timers;
        for (unsigned k = 0; k < 8; ++k) reg_[block(t) + k] = 0;
        valid_[block(t) + 0] = present;
        valid_[block(t) + 6] = present;
        remaining_[t - 1] = 0;
    }
}

bool LbpModule::timer_reg(uint8_t reg, unsigned &timer, unsigned &offset) const {
    timer = reg / 0x10 - 1;
    offset = reg % 0x10;
    return reg >= 0x20 && timer <= config_.timers && offset < 8;
}

int LbpModule::read_word(uint8_t cmd, uint16_t *value) {
    const uint8_t status = static_cast<uint8_t>((valid_[cmd] ? 0x80 : 0x00) | kStatusNoise);
    // A module puts its register in byte 1 even when it clears the valid flag; readers must
    // not trust it then.
    *value = static_cast<uint16_t>(status | reg_[cmd] << 8);
    return 0;
}

int LbpModule::write_byte(uint8_t cmd, uint8_t value) {
    switch (cmd) {
    case 0x0A:
        if (value == 1) reset_settings(), ++resets_;
        return 0;
    case 0x0B:
        if (value == 1) ++saves_;
        return 0;
    case 0x10:
    case 0x11:
    case 0x12:
        reg_[cmd] = value;
        return 0;
    case 0x14:
        if (!config_.disconnect) return -EIO;
        reg_[cmd] = value;
        return 0;
    default:
        break;
    }
    unsigned timer = 0, offset = 0;
    if (!timer_reg(cmd, timer, offset)) return -EIO;
    switch (offset) {
    case 1:
    case 2:
    case 6:
    case 7:
        reg_[cmd] = value;
        return 0;
    case 4: { // start, or restart while running
        const unsigned unit = timer == 3 ? 5 : 1;
        remaining_[timer - 1] = reg_[block(timer) + 2] * unit;
        reg_[block(timer)] = kTimerRunning;
        return 0;
    }
    case 5:
        remaining_[timer - 1] = 0;
        reg_[block(timer)] = kTimerIdle;
        return 0;
    default:
        return -EIO;
    }
}

void LbpModule::advance(unsigned seconds) {
    for (unsigned t = 1; t <= config_.timers; ++t) {
        if (reg_[block(t)] != kTimerRunning) continue;
        unsigned &left = remaining_[t - 1];
        left = left > seconds ? left - seconds : 0;
        if (left != 0) continue;
        reg_[block(t)] = kTimerExpired;
        reg_[0x12] = static_cast<uint8_t>(reg_[0x12] | reg_[block(t) + 1]);
        if (config_.disconnect) reg_[0x14] = static_cast<uint8_t>(reg_[0x14] | reg_[block(t) + 6]);
    }
}

} // namespace zrqsim
