// The SMBus library stand-in: forwarding to the installed backend, and the pieces of the
// i2c-dev backend that do not need an adapter.
#include "i2cdev.hpp"
#include "lbp_module.hpp"
#include "pvqsmb.h"
#include "simbus.hpp"

#include <gtest/gtest.h>

#include <filesystem>
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
