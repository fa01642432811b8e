// Linux i2c-dev backend of the SMBus access library.
//
// One owner per device: an address a kernel driver is bound to answers I2C_SLAVE with EBUSY,
// and the library then fails with -EBUSY (saying once on stderr which driver owns it) rather
// than fight the driver; PVQSMB_FORCE=1 reads such a device anyway (I2C_SLAVE_FORCE, reads
// only). When the kernel's i2c-mux-pca954x driver owns the slot switch, a slot is reached
// through the child adapter the mux core offers for its channel, which selects the channel
// under the parent bus lock for every transfer; without such a driver the library writes the
// switch's control byte itself.
//
// Callers take no lock, and several threads may work on different slots: each thread keeps its
// own route (the slot it last switched to). Under the library's lock, a transfer to the slot
// modules' address goes through that thread's channel adapter, or re-selects the physical
// switch first where another thread turned it since; every other address is on the main bus
// and goes through the main adapter.
#pragma once

#include "pvqsmb_backend.hpp"

#include <array>
#include <chrono>
#include <functional>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace pvqsmb {

// 7-bit address of the PCA954x-style slot switch (0xE6 in 8-bit form).
inline constexpr unsigned kMuxChannels = 8;

// Control byte that routes the switch to `slot` (channel slot - 1), or 0 when the switch has
// no channel for it. 0 is never written for a slot: it would disconnect every channel.
constexpr uint8_t mux_control(uint8_t slot) {
    return slot >= 1 && slot <= kMuxChannels ? static_cast<uint8_t>(1u << (slot - 1)) : 0;
}

// The library's code for a failure the kernel reported as `err` (positive errno): always a
// negative errno outside -1..-7, which hosts of the plug-ins read as the plug-ins' own status
// codes. ENOENT (no i2c-dev node) becomes -ENODEV, EIO and ENXIO (a NACK, a failed transfer)
// -EREMOTEIO, EPERM -EACCES.
PVQSMB_EXPORT int library_code(int err);

struct Adapter {
    int bus;          // N of i2c-N
    std::string name; // its sysfs name
};

// The i2c adapters under `sysfs_root` (/sys/bus/i2c/devices/i2c-N, or /sys/class/i2c-dev),
// by bus number.
PVQSMB_EXPORT std::vector<Adapter> list_adapters(const std::string &sysfs_root);

// Which adapter to use, as i2c-tools picks one: `setting` (PVQSMB_ADAPTER) as a bus number,
// a device path or an adapter's exact name; when empty, the one adapter whose name begins
// "SMBus". `device` is "" when none can be chosen, and `problem` then says why and what to
// do, in one line.
struct AdapterChoice {
    std::string device;
    std::string problem;
};
PVQSMB_EXPORT AdapterChoice choose_adapter(const std::string &sysfs_root,
                                           const std::string &setting);

class PVQSMB_EXPORT I2cDevBackend : public Backend {
  public:
    // `device` "" with `problem` set: every transfer fails with -ENODEV, and the problem is
    // said on stderr at the first. `sysfs_root` is where the kernel's view of the bus is read
    // (mux and driver ownership). `force` reads kernel-owned devices anyway.
    explicit I2cDevBackend(std::string device, std::string problem = "",
                           std::string sysfs_root = "/sys", bool force = false);
    // Where no adapter could be chosen yet, or the chosen one went away (its driver loaded
    // late, unbound, reloaded), `rechoose` is asked again, at most once a second.
    void look_again_with(std::function<AdapterChoice()> rechoose) {
        rechoose_ = std::move(rechoose);
    }
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
    virtual int sys_set_client(int fd, int client, bool force); // I2C_SLAVE(_FORCE), 7-bit
    virtual int sys_funcs(int fd, unsigned long *funcs);        // I2C_FUNCS
    virtual int sys_smbus(int fd, i2c_smbus_ioctl_data &args);  // I2C_SMBUS
    virtual void sys_close(int fd);
    // One line on stderr, prefixed "libpvqsmb: ".
    virtual void say(const std::string &line);
    // A monotonic clock, for the pace of looking for a missing adapter again.
    virtual std::chrono::steady_clock::time_point now() const;

  private:
    struct Port {
        std::string device;
        int fd = -1;
        int client = -1;     // 7-bit address the descriptor is bound to
        bool forced = false; // bound with I2C_SLAVE_FORCE
        unsigned long funcs = 0;
    };

    // One SMBus transaction with the 8-bit address; returns 0 or a library code. `on_port`
    // does it on one adapter, with the lock held.
    int transfer(uint8_t addr, char read_write, uint8_t cmd, int size, void *data);
    int on_port(Port &port, int client, char read_write, uint8_t cmd, int size, void *data);
    int open_port(Port &port);
    bool main_adapter_ready(); // the main adapter chosen (looking again if due), lock held
    int bind_client(Port &port, int client, bool read);
    void say_owner(int client);
    void say_busy(int client);
    int bus_number() const;             // N of the main adapter's /dev/i2c-N, or -1
    bool kernel_owns(int client) const; // a kernel driver is bound to the switch at `client`
    std::string client_dir(int client) const;
    std::string driver_of(int client) const; // "" when none is bound
    int &my_slot();                          // this thread's route: 0 main bus, else a slot

    std::string problem_;
    std::string sysfs_;
    bool force_;
    std::mutex mutex_;
    Port main_;
    std::array<Port, kMuxChannels> channels_; // a kernel mux's channel adapters, by slot - 1
    std::map<std::thread::id, int> routes_;   // each thread's slot
    int physical_slot_ = 0;                   // where the library last set the switch (0: unknown)
    uint8_t mux_addr_ = 0;
    enum class MuxOwner { Unknown, Library, Kernel } mux_owner_ = MuxOwner::Unknown;
    std::function<AdapterChoice()> rechoose_;
    std::chrono::steady_clock::time_point last_look_{};
    bool said_problem_ = false;
    bool said_busy_ = false;
    std::set<int> said_owner_; // addresses whose owner was named already
};

// The adapter named in a board description ("adapter"), or "" when it names none.
PVQSMB_EXPORT std::string board_adapter(const std::string &board_file);

// The backend for this machine: the adapter chosen from PVQSMB_ADAPTER, the board description
// (PVQIO_BOARD, else the shipped one) or sysfs (PVQSMB_SYSFS overrides /sys), PVQSMB_FORCE=1
// to read kernel-owned devices.
Backend *make_i2cdev_backend();

} // namespace pvqsmb
