#include "i2cdev.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <vector>
#include <unistd.h>

namespace pvqsmb {

std::string find_adapter(const std::string &sysfs_root, std::string_view name_part) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<std::pair<int, std::string>> found;
    for (const auto &entry : fs::directory_iterator(sysfs_root + "/class/i2c-adapter", ec)) {
        const std::string dir = entry.path().filename().string();
        if (dir.rfind("i2c-", 0) != 0) continue;
        std::ifstream in(entry.path() / "name");
        std::string name;
        std::getline(in, name);
        if (name.find(name_part) == std::string::npos) continue;
        found.emplace_back(std::atoi(dir.c_str() + 4), dir);
    }
    if (found.empty()) return "";
    std::sort(found.begin(), found.end());
    return "/dev/" + found.front().second;
}

std::string default_adapter() {
    if (const char *forced = std::getenv("PVQSMB_ADAPTER"); forced && *forced) {
        if (forced[0] == '/') return forced;
        return std::string("/dev/i2c-") + forced;
    }
    const char *root = std::getenv("PVQSMB_SYSFS");
    // The host's SMBus controller (i801, PIIX4, ...) names itself "SMBus ... adapter".
    return find_adapter(root && *root ? root : "/sys", "SMBus");
}

I2cDevBackend::~I2cDevBackend() {
    if (fd_ >= 0) sys_close(fd_);
}

int I2cDevBackend::sys_open(const char *path) {
    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

int I2cDevBackend::sys_set_client(int fd, int client) {
    return ::ioctl(fd, I2C_SLAVE, client) < 0 ? -errno : 0;
}

int I2cDevBackend::sys_smbus(int fd, i2c_smbus_ioctl_data &args) {
    return ::ioctl(fd, I2C_SMBUS, &args) < 0 ? -errno : 0;
}

void I2cDevBackend::sys_close(int fd) {
    ::close(fd);
}

int I2cDevBackend::transfer(uint8_t addr, char read_write, uint8_t cmd, int size, void *data) {
    std::lock_guard lock(mutex_);
    if (fd_ < 0) {
        if (device_.empty()) return -ENODEV;
        const int fd = sys_open(device_.c_str());
        if (fd < 0) return fd;
        fd_ = fd;
    }
    const int client = addr >> 1; // the kernel takes the 7-bit address
    if (client != client_) {
        if (const int r = sys_set_client(fd_, client); r < 0) {
            client_ = -1;
            return r;
        }
        client_ = client;
    }
    i2c_smbus_ioctl_data args{};
    args.read_write = read_write;
    args.command = cmd;
    args.size = size;
    args.data = static_cast<i2c_smbus_data *>(data);
    return sys_smbus(fd_, args);
}

int I2cDevBackend::read_word(uint8_t addr, uint8_t cmd, uint16_t *value) {
    i2c_smbus_data data{};
    const int r = transfer(addr, I2C_SMBUS_READ, cmd, I2C_SMBUS_WORD_DATA, &data);
    if (r == 0) *value = data.word; // SMBus words are little-endian: first byte in the low half
    return r;
}

int I2cDevBackend::read_byte(uint8_t addr, uint8_t cmd, uint8_t *value) {
    i2c_smbus_data data{};
    const int r = transfer(addr, I2C_SMBUS_READ, cmd, I2C_SMBUS_BYTE_DATA, &data);
    if (r == 0) *value = data.byte;
    return r;
}

int I2cDevBackend::write_byte(uint8_t addr, uint8_t cmd, uint8_t value) {
    i2c_smbus_data data{};
    data.byte = value;
    return transfer(addr, I2C_SMBUS_WRITE, cmd, I2C_SMBUS_BYTE_DATA, &data);
}

int I2cDevBackend::read_block(uint8_t addr, uint8_t cmd, uint8_t *buf) {
    i2c_smbus_data data{};
    const int r = transfer(addr, I2C_SMBUS_READ, cmd, I2C_SMBUS_BLOCK_DATA, &data);
    if (r == 0) {
        // block[0] is the count the device sent; never store more than 32 bytes.
        const int n = std::min<int>(data.block[0], kBlockMax);
        std::memcpy(buf, &data.block[1], static_cast<size_t>(n));
    }
    return r;
}

int I2cDevBackend::switch_slot(uint8_t mux_addr, uint8_t slot) {
    const uint8_t control = mux_control(slot);
    if (control == 0) return -EINVAL;
    // A PCA954x takes its control register as a single-byte write (SMBus Send Byte).
    const int r = transfer(mux_addr, I2C_SMBUS_WRITE, control, I2C_SMBUS_BYTE, nullptr);
    // The LAN bypass plug-in hands a switch failure to its host unchanged: -EIO and -ENXIO
    // would read there as its own ERR_NotSupport and ERR_AlreadyOpened.
    return r == -EIO || r == -ENXIO ? -EREMOTEIO : r;
}

} // namespace pvqsmb
