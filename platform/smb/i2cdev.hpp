// Linux i2c-dev backend of the SMBus access library.
#pragma once

#include "pvqsmb_backend.hpp"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mutex>
#include <string>
#include <string_view>

namespace pvqsmb {

// 7-bit address of the PCA954x-style slot switch (0xE6 in 8-bit form).
inline constexpr unsigned kMuxChannels = 8;

// Control byte that routes the switch to `slot` (channel slot - 1), or 0 when the switch has
// no channel for it. 0 is never written for a slot: it would disconnect every channel.
constexpr uint8_t mux_control(uint8_t slot) {
    return slot >= 1 && slot <= kMuxChannels ? static_cast<uint8_t>(1u << (slot - 1)) : 0;
}

// Finds the i2c-dev node of the first adapter whose sysfs name contains `name_part`, looking
// under `sysfs_root`/class/i2c-adapter; "" when there is none.
PVQSMB_EXPORT std::string find_adapter(const std::string &sysfs_root, std::string_view name_part);

// The device node to use: PVQSMB_ADAPTER (a bus number or a /dev path) when set, else the
// host's SMBus controller found in sysfs (PVQSMB_SYSFS overrides /sys).
std::string default_adapter();

class PVQSMB_EXPORT I2cDevBackend : public Backend {
  public:
    explicit I2cDevBackend(std::string device) : device_(std::move(device)) {}
    ~I2cDevBackend() override;
    I2cDevBackend(const I2cDevBackend &) = delete;
    I2cDevBackend &operator=(const I2cDevBackend &) = delete;

    int read_word(uint8_t addr, uint8_t cmd, uint16_t *value) override;
    int read_byte(uint8_t addr, uint8_t cmd, uint8_t *value) override;
    int write_byte(uint8_t addr, uint8_t cmd, uint8_t value) override;
    int read_block(uint8_t addr, uint8_t cmd, uint8_t *buf) override;
    int switch_slot(uint8_t mux_addr, uint8_t slot) override;

  protected:
    // The kernel calls, each 0 (or a descriptor) or -errno; a test puts an adapter of its own
    // behind them.
    virtual int sys_open(const char *path);
    virtual int sys_set_client(int fd, int client);            // I2C_SLAVE, 7-bit address
    virtual int sys_smbus(int fd, i2c_smbus_ioctl_data &args); // I2C_SMBUS
    virtual void sys_close(int fd);

  private:
    // One SMBus transaction with the 8-bit address; returns 0 or -errno.
    int transfer(uint8_t addr, char read_write, uint8_t cmd, int size, void *data);

    std::string device_;
    std::mutex mutex_;
    int fd_ = -1;
    int client_ = -1; // 7-bit address the descriptor is bound to
};

} // namespace pvqsmb
