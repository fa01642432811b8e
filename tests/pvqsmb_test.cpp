// The SMBus library stand-in: forwarding to the installed backend, and the pieces of the
// i2c-dev backend that do not need an adapter.
#include "i2cdev.hpp"
#include "lbp_module.hpp"
#include "pvqsmb.h"
#include "simbus.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <utility>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(PvqSmb, CallsReachTheInstalledBackend) {
    zrqsim::SimBus bus;
    zrqsim::LbpModule m;
    m.set(0x06, 0x3C);
    bus.attach(0, 0x6E, &m);
    pvqsmb::set_backend(&bus);
    unsigned short w = 0;
    EXPECT_EQ(_pvqsmb_i2c_read_word(0x6E, 0x06, &w), 0);
    EXPECT_EQ(w, 0x3C00 | 0x80 | zrqsim::LbpModule::kStatusNoise);
    EXPECT_EQ(_pvqsmb_i2c_write_byte(0x6E, 0x12, 1), 0);
    EXPECT_EQ(_pvqsmb_switch_slot(0xE6, 1), 0);
    EXPECT_EQ(_pvqsmb_i2c_read_word(0x6E, 0x06, nullptr), -EINVAL);
    EXPECT_EQ(bus.trace().size(), 3u) << "a null buffer is refused before the bus";
    pvqsmb::set_backend(nullptr);
}

TEST(I2cDev, SlotToSwitchChannel) {
    struct Case {
        uint8_t slot, control;
    } cases[] = {{1, 0x01}, {2, 0x02}, {3, 0x04}, {8, 0x80}, {0, 0}, {9, 0}, {255, 0}};
    for (const Case &c : cases) EXPECT_EQ(pvqsmb::mux_control(c.slot), c.control) << int(c.slot);
}

TEST(I2cDev, SlotBeyondTheSwitchTouchesNothing) {
    // No adapter behind it: a slot the switch lacks must be refused before any open or ioctl.
    pvqsmb::I2cDevBackend b("/nonexistent/i2c-99");
    EXPECT_EQ(b.switch_slot(0xE6, 9), -EINVAL);
    EXPECT_EQ(b.switch_slot(0xE6, 1), -ENOENT);
    pvqsmb::I2cDevBackend none("");
    EXPECT_EQ(none.switch_slot(0xE6, 1), -ENODEV);
}

TEST(I2cDev, FindsTheSmbusControllerBySysfsName) {
    const fs::path root = fs::temp_directory_path() / ("pvqsmb-sysfs-" + std::to_string(getpid()));
    const std::pair<const char *, const char *> adapters[] = {
        {"i2c-0", "i915 gmbus dpc"},
        {"i2c-7", "SMBus I801 adapter at f000"},
        {"i2c-12", "SMBus PIIX4 adapter port 0"},
        {"i2c-3", "AST i2c bit bus"}};
    for (auto [dir, name] : adapters) {
        fs::create_directories(root / "class/i2c-adapter" / dir);
        std::ofstream(root / "class/i2c-adapter" / dir / "name") << name << "\n";
    }
    EXPECT_EQ(pvqsmb::find_adapter(root.string(), "SMBus"), "/dev/i2c-7");
    EXPECT_EQ(pvqsmb::find_adapter(root.string(), "PIIX4"), "/dev/i2c-12");
    EXPECT_EQ(pvqsmb::find_adapter(root.string(), "nothing"), "");
    EXPECT_EQ(pvqsmb::find_adapter((root / "missing").string(), "SMBus"), "");
    fs::remove_all(root);
}

namespace {

// An i2c adapter behind the backend's kernel calls: records what reaches the kernel and
// answers like a bus with a few devices.
class FakeAdapter : public pvqsmb::I2cDevBackend {
  public:
    FakeAdapter() : I2cDevBackend("/dev/i2c-fake") {}
    struct Call {
        int client;
        char read_write;
        uint8_t command;
        int size;
        bool operator==(const Call &) const = default;
    };
    std::vector<Call> calls;
    int opens = 0, client_changes = 0, closes = 0;
    int client = -1;
    int fail_errno = 0; // the next SMBus call fails with it
    std::vector<uint8_t> block = {'D', 'E', 'L', 'T', 'A'};

  protected:
    int sys_open(const char *) override { return ++opens, 42; }
    int sys_set_client(int, int c) override {
        ++client_changes;
        client = c;
        return 0;
    }
    int sys_smbus(int, i2c_smbus_ioctl_data &a) override {
        calls.push_back(
            {client, static_cast<char>(a.read_write), a.command, static_cast<int>(a.size)});
        if (fail_errno) return -std::exchange(fail_errno, 0);
        if (a.read_write == I2C_SMBUS_READ && a.size == I2C_SMBUS_WORD_DATA) a.data->word = 0x0842;
        if (a.read_write == I2C_SMBUS_READ && a.size == I2C_SMBUS_BYTE_DATA) a.data->byte = 0x17;
        if (a.read_write == I2C_SMBUS_READ && a.size == I2C_SMBUS_BLOCK_DATA) {
            a.data->block[0] = static_cast<uint8_t>(block.size());
            std::copy(block.begin(), block.begin() + std::min<size_t>(block.size(), 32),
                      a.data->block + 1);
        }
        return 0;
    }
    void sys_close(int) override { ++closes; }
};

} // namespace

TEST(I2cDev, TransfersReachTheKernelWithSevenBitAddresses) {
    FakeAdapter bus;
    uint16_t w = 0;
    uint8_t b = 0;
    uint8_t buf[33] = {};
    EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), 0);
    EXPECT_EQ(w, 0x0842);
    EXPECT_EQ(bus.read_byte(0xB0, 0x20, &b), 0);
    EXPECT_EQ(b, 0x17);
    EXPECT_EQ(bus.write_byte(0x60, 0x12, 0x05), 0);
    EXPECT_EQ(bus.read_block(0xB2, 0x99, buf), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(buf), "DELTA");
    EXPECT_EQ(bus.switch_slot(0xE6, 3), 0);
    const std::vector<FakeAdapter::Call> expected = {
        {0x58, I2C_SMBUS_READ, 0x79, I2C_SMBUS_WORD_DATA},
        {0x58, I2C_SMBUS_READ, 0x20, I2C_SMBUS_BYTE_DATA},
        {0x30, I2C_SMBUS_WRITE, 0x12, I2C_SMBUS_BYTE_DATA},
        {0x59, I2C_SMBUS_READ, 0x99, I2C_SMBUS_BLOCK_DATA},
        {0x73, I2C_SMBUS_WRITE, 0x04, I2C_SMBUS_BYTE}, // channel 2 of the switch
    };
    EXPECT_EQ(bus.calls, expected);
    EXPECT_EQ(bus.opens, 1) << "the adapter is opened once";
    EXPECT_EQ(bus.client_changes, 4) << "the client address is set only when it changes";
}

TEST(I2cDev, BlockReadsStopAt32BytesAndErrorsComeBackNegative) {
    FakeAdapter bus;
    bus.block.assign(40, 'x'); // a device claiming more than SMBus carries
    uint8_t buf[40] = {};
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(bus.read_block(0xB0, 0x9E, buf), 0);
    EXPECT_EQ(buf[31], 'x');
    EXPECT_EQ(buf[32], 0);

    struct Case {
        int err, expected;
    } cases[] = {{EIO, -EIO}, {ETIMEDOUT, -ETIMEDOUT}, {ENXIO, -ENXIO}};
    for (const Case &c : cases) {
        bus.fail_errno = c.err;
        uint16_t w = 0;
        EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), c.expected);
    }
    // A failed switch never comes back as one of the plug-ins' own status codes.
    for (int err : {EIO, ENXIO}) {
        bus.fail_errno = err;
        EXPECT_EQ(bus.switch_slot(0xE6, 1), -EREMOTEIO);
    }
    bus.fail_errno = EBUSY;
    EXPECT_EQ(bus.switch_slot(0xE6, 1), -EBUSY);
}
