// The SMBus library stand-in: forwarding to the installed backend, and the pieces of the
// i2c-dev backend that do not need an adapter.
#include "diagnostic.hpp"
#include "i2cdev.hpp"
#include "lbp_module.hpp"
#include "iolib.h"
#include "pvqio_backend.hpp"
#include "pvqsmb.h"
#include "simbus.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <future>
#include <chrono>
#include <functional>
#include <mutex>
#include <map>
#include <thread>

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>
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

// A backend that fails by throwing (a simulator's bug, a damaged file): the C caller gets a
// failure code, never an exception through its own frames.
TEST(PlatformLibraries, NoExceptionLeavesThroughTheCInterface) {
    struct Throwing : pvqsmb::Backend, pvqio::Backend {
        int read_word(uint8_t, uint8_t, uint16_t *) override { throw std::runtime_error("x"); }
        int read_byte(uint8_t, uint8_t, uint8_t *) override { throw std::bad_alloc(); }
        int write_byte(uint8_t, uint8_t, uint8_t) override { throw 1; }
        int read_block(uint8_t, uint8_t, uint8_t *) override { throw std::runtime_error("x"); }
        int switch_slot(uint8_t, uint8_t) override { throw std::runtime_error("x"); }
        int sensor(int, char *) override { throw std::runtime_error("x"); }
        int name(int, char *) override { throw std::runtime_error("x"); }
        int get_caseopen(int *) override { throw std::runtime_error("x"); }
        int clear_caseopen() override { throw std::runtime_error("x"); }
    } throwing;
    pvqsmb::set_backend(&throwing);
    pvqio::set_backend(&throwing);
    unsigned short w = 0;
    unsigned char b = 0, block[32];
    char text[pvqio::kTextSize];
    int open = 0;
    EXPECT_EQ(_pvqsmb_i2c_read_word(0x60, 1, &w), -EREMOTEIO);
    EXPECT_EQ(_pvqsmb_i2c_read_byte(0x60, 1, &b), -EREMOTEIO);
    EXPECT_EQ(_pvqsmb_i2c_write_byte(0x60, 1, 0), -EREMOTEIO);
    EXPECT_EQ(_pvqsmb_i2c_read_block(0x60, 1, block), -EREMOTEIO);
    EXPECT_EQ(_pvqsmb_switch_slot(0xE6, 1), -EREMOTEIO);
    EXPECT_EQ(_pvqio_hwm_sensor(0, text), EIO);
    EXPECT_EQ(_pvqio_hwm_name(0, text), EIO);
    EXPECT_EQ(_pvqio_get_caseopen(&open), EIO);
    EXPECT_EQ(_pvqio_clear_caseopen(), EIO);
    pvqsmb::set_backend(nullptr);
    pvqio::set_backend(nullptr);
}

TEST(I2cDev, SlotToSwitchChannel) {
    struct Case {
        uint8_t slot, control;
    } cases[] = {{1, 0x01}, {2, 0x02}, {3, 0x04}, {8, 0x80}, {0, 0}, {9, 0}, {255, 0}};
    for (const Case &c : cases) EXPECT_EQ(pvqsmb::mux_control(c.slot), c.control) << int(c.slot);
}

// A sysfs tree of the kernel's layout, in a folder of its own.
class FakeSysfs {
  public:
    FakeSysfs()
        : root_(fs::temp_directory_path() /
                ("pvqsmb-sysfs-" + std::to_string(getpid()) + "-" + std::to_string(++count_))) {
        fs::remove_all(root_);
    }
    ~FakeSysfs() { fs::remove_all(root_); }
    std::string root() const { return root_.string(); }
    void adapter(int bus, const std::string &name, const char *dir = "bus/i2c/devices") {
        const fs::path d = root_ / dir / ("i2c-" + std::to_string(bus));
        fs::create_directories(d);
        std::ofstream(d / "name") << name << "\n";
    }
    // A client such as "0-0058", bound to `driver` when given.
    void client(const std::string &id, const std::string &driver, const std::string &name = "") {
        const fs::path d = root_ / "bus/i2c/devices" / id;
        fs::create_directories(d);
        if (!name.empty()) std::ofstream(d / "name") << name << "\n";
        if (!driver.empty()) {
            fs::create_directories(root_ / "bus/i2c/drivers" / driver);
            fs::create_symlink("../../../../bus/i2c/drivers/" + driver, d / "driver");
        }
    }
    void mux_channel(const std::string &mux, int channel, int child_bus) {
        fs::create_symlink("../i2c-" + std::to_string(child_bus),
                           root_ / "bus/i2c/devices" / mux /
                               ("channel-" + std::to_string(channel)));
    }

  private:
    static inline int count_ = 0;
    fs::path root_;
};

TEST(I2cDev, AdapterChosenAsI2cToolsDoes) {
    FakeSysfs one, two, none, old;
    for (FakeSysfs *t : {&one, &two}) {
        t->adapter(0, "i915 gmbus dpc");
        t->adapter(7, "SMBus I801 adapter at f000");
        t->adapter(3, "AST i2c bit bus");
    }
    two.adapter(12, "SMBus PIIX4 adapter port 0");
    none.adapter(1, "AST i2c bit bus");
    old.adapter(5, "SMBus I801 adapter at 3000", "class/i2c-dev");
    // The same controller at another I/O base; a chipset with two of its kind.
    FakeSysfs moved, twins;
    moved.adapter(4, "SMBus I801 adapter at efa0");
    twins.adapter(4, "SMBus I801 adapter at efa0");
    twins.adapter(5, "SMBus I801 adapter at efc0");
    struct Case {
        const FakeSysfs &tree;
        const char *setting;
        const char *device;
        const char *problem; // part of the one-line reason, when no adapter is chosen
    } cases[] = {
        {one, "", "/dev/i2c-7", ""},
        {one, "3", "/dev/i2c-3", ""},
        {one, "/dev/i2c-9", "/dev/i2c-9", ""},
        {one, "AST i2c bit bus", "/dev/i2c-3", ""},
        {two, "SMBus PIIX4 adapter port 0", "/dev/i2c-12", ""},
        {two, "", "", "several SMBus adapters: i2c-7 \"SMBus I801 adapter at f000\", i2c-12 "},
        {one, "abc", "", "no i2c adapter is named \"abc\" (adapters: i2c-0 \"i915 gmbus dpc\""},
        {one, "SMBus", "", "no i2c adapter is named \"SMBus\""},
        {one, "12345678", "", "is no bus number"},
        {none, "", "", "no SMBus adapter in"},
        {old, "", "/dev/i2c-5", ""},
        {moved, "SMBus I801 adapter at f000", "/dev/i2c-4", ""},
        {twins, "SMBus I801 adapter at f000", "",
         "several differ from it only in their I/O base: i2c-4 \"SMBus I801 adapter at efa0\", "
         "i2c-5"},
        {twins, "SMBus I801 adapter at efc0", "/dev/i2c-5", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setting);
        const pvqsmb::AdapterChoice got = pvqsmb::choose_adapter(c.tree.root(), c.setting);
        EXPECT_EQ(got.device, c.device);
        EXPECT_NE(got.problem.find(c.problem), std::string::npos) << got.problem;
        if (got.device.empty()) {
            EXPECT_NE(got.problem.find("PVQSMB_ADAPTER"), std::string::npos) << "says what to do";
        }
    }
}

TEST(I2cDev, TheBoardDescriptionNamesTheAdapter) {
    const fs::path dir = fs::temp_directory_path() / ("pvqsmb-board-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::pair<const char *, const char *> cases[] = {
        {R"({"adapter": "SMBus I801 adapter at f000", "items": {}})", "SMBus I801 adapter at f000"},
        {R"({"items": {}})", ""},
        {R"({"adapter": 7})", ""},
        {"not JSON", ""},
    };
    for (auto [text, adapter] : cases) {
        std::ofstream(dir / "board.json") << text;
        EXPECT_EQ(pvqsmb::board_adapter((dir / "board.json").string()), adapter) << text;
    }
    EXPECT_EQ(pvqsmb::board_adapter((dir / "none.json").string()), "");
    fs::remove_all(dir);
}

TEST(I2cDev, SlotBeyondTheSwitchTouchesNothing) {
    // No adapter behind it: a slot the switch lacks must be refused before any open or ioctl.
    pvqsmb::I2cDevBackend b("/nonexistent/i2c-99");
    EXPECT_EQ(b.switch_slot(0xE6, 9), -EINVAL);
    EXPECT_EQ(b.switch_slot(0xE6, 1), -ENODEV) << "no i2c-dev node";
    pvqsmb::I2cDevBackend none("");
    EXPECT_EQ(none.switch_slot(0xE6, 1), -ENODEV);
}

namespace {

// An i2c adapter behind the backend's kernel calls: records what reaches the kernel and
// answers like a bus with a few devices.
class FakeAdapter : public pvqsmb::I2cDevBackend {
  public:
    explicit FakeAdapter(const std::string &sysfs = "/nonexistent", bool force = false)
        : I2cDevBackend("/dev/i2c-0", "", sysfs, force) {}
    struct Call {
        int client;
        char read_write;
        uint8_t command;
        int size;
        bool operator==(const Call &) const = default;
    };
    std::vector<Call> calls;
    std::vector<std::string> opened, said;
    int opens = 0, client_changes = 0, closes = 0, funcs_reads = 0;
    int client = -1;
    int fail_errno = 0;                 // the next SMBus call fails with it
    std::vector<int> set_client_errnos; // the next I2C_SLAVE calls fail with these
    std::set<int> bound_by_driver;      // addresses that answer I2C_SLAVE with EBUSY
    unsigned long funcs = ~0ul;
    std::vector<uint8_t> block = {'D', 'E', 'L', 'T', 'A'};
    // Per transfer: the descriptor it went through, the thread, and the switch's control byte
    // at that moment (what the library last wrote to 0x73).
    struct Seen {
        int fd;
        std::thread::id thread;
        uint8_t control;
    };
    std::vector<Seen> seen;
    uint8_t control = 0;
    std::function<void()> before_each; // runs inside every SMBus call

  protected:
    int sys_open(const char *path) override {
        opened.push_back(path);
        return 42 + opens++;
    }
    int sys_set_client(int fd, int c, bool force) override {
        ++client_changes;
        if (!set_client_errnos.empty()) {
            const int e = set_client_errnos.front();
            set_client_errnos.erase(set_client_errnos.begin());
            return -e;
        }
        if (!force && bound_by_driver.count(c)) return -EBUSY;
        client = client_of[fd] = c;
        return 0;
    }
    std::map<int, int> client_of; // each descriptor's client address
    int sys_funcs(int, unsigned long *f) override {
        ++funcs_reads;
        *f = funcs;
        return 0;
    }
    void say(const std::string &line) override { said.push_back(line); }
    int sys_smbus(int fd, i2c_smbus_ioctl_data &a) override {
        calls.push_back({client_of.count(fd) ? client_of[fd] : client,
                         static_cast<char>(a.read_write), a.command, static_cast<int>(a.size)});
        seen.push_back({fd, std::this_thread::get_id(), control});
        if (calls.back().client == 0x73 && a.size == I2C_SMBUS_BYTE) control = a.command;
        if (before_each) before_each();
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

    // No failure comes back as one of the plug-ins' own status codes (-1..-7).
    struct Case {
        int err, expected;
    } cases[] = {{EIO, -EREMOTEIO},      {ENXIO, -EREMOTEIO}, {ETIMEDOUT, -ETIMEDOUT},
                 {EPERM, -EACCES},       {ENOENT, -ENODEV},   {ESRCH, -ENODEV},
                 {E2BIG, -EMSGSIZE},     {EAGAIN, -EAGAIN},   {EOPNOTSUPP, -EOPNOTSUPP},
                 {EREMOTEIO, -EREMOTEIO}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        bus.fail_errno = c.err;
        uint16_t w = 0;
        EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), c.expected);
        bus.fail_errno = c.err;
        EXPECT_EQ(bus.switch_slot(0xE6, 1), c.expected);
    }
    for (int err = 1; err < 200; ++err) EXPECT_LT(pvqsmb::library_code(err), -7) << err;
}

TEST(I2cDev, SignalsAreRetried) {
    FakeAdapter bus;
    bus.fail_errno = EINTR;
    uint16_t w = 0;
    EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), 0);
    EXPECT_EQ(bus.calls.size(), 2u);
    bus.set_client_errnos = {EINTR, EINTR};
    EXPECT_EQ(bus.read_word(0xB2, 0x79, &w), 0);
    EXPECT_EQ(bus.client, 0x59);
}

TEST(I2cDev, AddressesTheBusCannotCarryTouchNothing) {
    struct Case {
        uint8_t addr;
        int result;
    } cases[] = {{0x61, -EINVAL}, {0x01, -EINVAL}, {0x00, -EINVAL}, {0x0E, -EINVAL},
                 {0xF0, -EINVAL}, {0xFE, -EINVAL}, {0x10, 0},       {0xEE, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.addr));
        FakeAdapter bus;
        uint8_t b = 0;
        EXPECT_EQ(bus.read_byte(c.addr, 0x00, &b), c.result);
        EXPECT_EQ(bus.opens, c.result == 0 ? 1 : 0);
        EXPECT_EQ(bus.calls.size(), c.result == 0 ? 1u : 0u);
    }
}

TEST(I2cDev, TransfersTheAdapterCannotDoAreRefused) {
    FakeAdapter bus;
    bus.funcs = I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_WORD_DATA; // no block, no send byte
    uint8_t buf[32];
    uint16_t w = 0;
    EXPECT_EQ(bus.read_block(0xB0, 0x9A, buf), -EOPNOTSUPP);
    EXPECT_EQ(bus.switch_slot(0xE6, 1), -EOPNOTSUPP);
    EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), 0);
    EXPECT_EQ(bus.calls.size(), 1u);
    EXPECT_EQ(bus.funcs_reads, 1) << "asked once per adapter";
}

TEST(I2cDev, DevicesOwnedByAKernelDriver) {
    FakeSysfs sysfs;
    sysfs.client("0-0058", "pmbus");
    sysfs.client("0-0059", "");
    for (const bool force : {false, true}) {
        SCOPED_TRACE(force ? "PVQSMB_FORCE=1" : "not forced");
        FakeAdapter bus(sysfs.root(), force);
        bus.bound_by_driver = {0x58, 0x59};
        uint16_t w = 0;
        EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), force ? 0 : -EBUSY);
        EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), force ? 0 : -EBUSY);
        EXPECT_EQ(bus.write_byte(0xB0, 0x03, 0), -EBUSY) << "never writes behind a driver";
        EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), force ? 0 : -EBUSY);
        EXPECT_EQ(bus.read_word(0xB2, 0x79, &w), force ? 0 : -EBUSY);
        EXPECT_EQ(bus.read_word(0xB4, 0x79, &w), 0) << "an unbound device is reached as ever";
        const std::vector<std::string> said = {
            "0x58 on /dev/i2c-0 is owned by the kernel driver \"pmbus\": unbind it (echo "
            "0-0058 > /sys/bus/i2c/drivers/pmbus/unbind), or set PVQSMB_FORCE=1 to read it "
            "anyway",
            "0x59 on /dev/i2c-0 is in use by a kernel driver; unbind it, or set "
            "PVQSMB_FORCE=1 to read it anyway"};
        EXPECT_EQ(bus.said, force ? std::vector<std::string>{said[0]} : said) << "once per address";
        EXPECT_EQ(bus.calls.size(), force ? 5u : 1u);
    }
}

TEST(I2cDev, SlotsBehindAKernelMuxGoThroughItsChannelAdapters) {
    FakeSysfs sysfs;
    sysfs.client("0-0073", "pca954x");
    sysfs.mux_channel("0-0073", 0, 5);
    sysfs.mux_channel("0-0073", 2, 7);
    FakeAdapter bus(sysfs.root());
    uint16_t w = 0;
    EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), 0) << "main bus";
    EXPECT_EQ(bus.switch_slot(0xE6, 1), 0);
    EXPECT_EQ(bus.read_word(0x60, 0x06, &w), 0);
    EXPECT_EQ(bus.switch_slot(0xE6, 3), 0);
    EXPECT_EQ(bus.read_word(0x60, 0x06, &w), 0);
    EXPECT_EQ(bus.switch_slot(0xE6, 2), -ENODEV) << "no channel-1 link";
    EXPECT_EQ(bus.switch_slot(0xE6, 9), -EINVAL);
    EXPECT_EQ(bus.opened, (std::vector<std::string>{"/dev/i2c-0", "/dev/i2c-5", "/dev/i2c-7"}));
    EXPECT_EQ(bus.calls.size(), 3u) << "no control byte written behind the driver";
    EXPECT_EQ(bus.closes, 0) << "each channel's adapter stays open";

    // Without a driver bound to the switch, the library writes its control byte.
    FakeSysfs unbound;
    unbound.client("0-0073", "");
    FakeAdapter direct(unbound.root());
    EXPECT_EQ(direct.switch_slot(0xE6, 2), 0);
    EXPECT_EQ(direct.calls,
              (std::vector<FakeAdapter::Call>{{0x73, I2C_SMBUS_WRITE, 0x02, I2C_SMBUS_BYTE}}));
}

// An adapter path that names no i2c-dev node: every transfer fails, with one line that says
// why; nothing is written to the file it names.
TEST(I2cDev, AnAdapterPathThatIsNoAdapterFailsEveryTransfer) {
    const fs::path dir = fs::temp_directory_path() / ("pvqsmb-odd-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "file") << "keep";
    const struct {
        std::string path;
        int code;
    } cases[] = {
        {"/dev/null", -ENODEV},
        {(dir / "file").string(), -ENODEV},
        {dir.string(), -EISDIR},
        {(dir / "missing").string(), -ENODEV}, // ENOENT would read as a plug-in status code
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        pvqsmb::I2cDevBackend b(c.path);
        uint16_t w = 0;
        uint8_t block[32];
        testing::internal::CaptureStderr();
        EXPECT_EQ(b.read_word(0xB0, 0x79, &w), c.code);
        EXPECT_EQ(b.write_byte(0x6E, 0x12, 1), c.code);
        EXPECT_EQ(b.read_block(0xB0, 0x99, block), c.code);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find(c.path), std::string::npos) << said;
    }
    std::ifstream in(dir / "file");
    std::string kept;
    in >> kept;
    EXPECT_EQ(kept, "keep");
    fs::remove_all(dir);
}

// Two host threads on two slots: each thread's transfers to the slot modules reach its own
// slot, whatever the other did in between; the supplies and slot 0 stay on the main bus.
TEST(I2cDev, ThreadsOnDifferentSlotsNeverReadEachOthersModules) {
    FakeSysfs unbound, kernel;
    unbound.client("0-0073", "");
    kernel.client("0-0073", "pca954x");
    kernel.mux_channel("0-0073", 0, 5);
    kernel.mux_channel("0-0073", 2, 7);
    for (FakeSysfs *tree : {&unbound, &kernel}) {
        const bool by_kernel = tree == &kernel;
        SCOPED_TRACE(by_kernel ? "the kernel's mux driver" : "the library drives the switch");
        FakeAdapter bus(tree->root());
        std::map<std::thread::id, uint8_t> slot_of;
        std::mutex m;
        // The second thread switches between the first one's switch and its first read; then
        // both run freely.
        std::promise<void> first_switched, second_switched;
        std::shared_future<void> second_done = second_switched.get_future().share();
        auto work = [&](uint8_t slot, std::future<void> before, std::promise<void> &after) {
            {
                std::lock_guard l(m);
                slot_of[std::this_thread::get_id()] = slot;
            }
            if (before.valid()) before.wait();
            EXPECT_EQ(bus.switch_slot(0xE6, slot), 0);
            after.set_value();
            uint16_t w = 0;
            if (slot == 1) second_done.wait();
            for (int i = 0; i < 200; ++i) {
                EXPECT_EQ(bus.read_word(0x60, 0x06, &w), 0);
                EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), 0);
            }
        };
        std::thread a(work, 1, std::future<void>(), std::ref(first_switched));
        std::thread b(work, 3, first_switched.get_future(), std::ref(second_switched));
        a.join();
        b.join();
        for (size_t i = 0; i < bus.calls.size(); ++i) {
            const auto &seen = bus.seen[i];
            const uint8_t slot = slot_of[seen.thread];
            if (bus.calls[i].client == 0x58) {
                EXPECT_EQ(bus.opened[size_t(seen.fd - 42)], "/dev/i2c-0")
                    << "a supply through a channel adapter, call " << i;
            } else if (bus.calls[i].client == 0x30 && !by_kernel) {
                EXPECT_EQ(seen.control, pvqsmb::mux_control(slot)) << "call " << i;
            } else if (bus.calls[i].client == 0x30) {
                EXPECT_EQ(bus.opened[size_t(seen.fd - 42)], slot == 1 ? "/dev/i2c-5" : "/dev/i2c-7")
                    << "call " << i;
            }
        }
    }
}

// An adapter whose driver registers after the library started: looked for again, at most once
// a second, and used once it is there.
class LateAdapter : public pvqsmb::I2cDevBackend {
  public:
    explicit LateAdapter(const std::string &sysfs)
        : I2cDevBackend("", "no SMBus adapter yet", sysfs) {}
    std::chrono::steady_clock::time_point clock{};
    std::vector<std::string> opened, said;

  protected:
    int sys_open(const char *path) override { return opened.push_back(path), 7; }
    int sys_set_client(int, int, bool) override { return 0; }
    int sys_funcs(int, unsigned long *f) override { return *f = ~0ul, 0; }
    int sys_smbus(int, i2c_smbus_ioctl_data &) override { return 0; }
    void sys_close(int) override {}
    void say(const std::string &line) override { said.push_back(line); }
    std::chrono::steady_clock::time_point now() const override { return clock; }
};

TEST(I2cDev, AnAdapterThatAppearsLaterIsFoundAgain) {
    FakeSysfs tree;
    tree.adapter(0, "AST i2c bit bus");
    LateAdapter bus(tree.root());
    int looks = 0;
    bus.look_again_with([&] {
        ++looks;
        return pvqsmb::choose_adapter(tree.root(), "SMBus I801 adapter at f000");
    });
    bus.clock += std::chrono::seconds(10);
    uint16_t w = 0;
    EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), -ENODEV);
    EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), -ENODEV);
    EXPECT_EQ(looks, 1) << "at most once a second";
    tree.adapter(4, "SMBus I801 adapter at f000"); // the controller's driver registers it
    EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), -ENODEV) << "not looked for within the second";
    bus.clock += std::chrono::seconds(1);
    EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), 0);
    EXPECT_EQ(looks, 2);
    EXPECT_EQ(bus.opened, std::vector<std::string>{"/dev/i2c-4"});
    ASSERT_EQ(bus.said.size(), 2u);
    EXPECT_EQ(bus.said[1], "found /dev/i2c-4; the SMBus is reached through it now");
}

// EBUSY told apart: a driver's own address, the DDR4 SPD driver's page select, or a controller
// the firmware reserved (every transfer busy, no driver at the address).
TEST(I2cDev, BusyAddressesAreNamedForWhatHoldsThem) {
    FakeSysfs tree;
    tree.client("0-0050", "ee1004", "ee1004");
    tree.client("0-0037", "dummy", "dummy");
    tree.client("0-0036", "dummy", "dummy");
    FakeAdapter bus(tree.root());
    bus.bound_by_driver = {0x37};
    uint16_t w = 0;
    EXPECT_EQ(bus.read_word(0x6E, 0x01, &w), -EBUSY);
    bus.fail_errno = EBUSY; // i801 with acpi_reserved
    EXPECT_EQ(bus.read_word(0xB0, 0x79, &w), -EBUSY);
    ASSERT_EQ(bus.said.size(), 2u);
    EXPECT_NE(bus.said[0].find("0x37 on /dev/i2c-0 is the DDR4 SPD page select that the ee1004 "
                               "driver claims for 0-0050"),
              std::string::npos)
        << bus.said[0];
    EXPECT_NE(bus.said[1].find("the firmware (ACPI) has reserved the SMBus controller"),
              std::string::npos)
        << bus.said[1];
}

// A switch that firmware describes (ACPI names its client i2c-PRP0001:00): found by its adapter
// and address, and its channels by the names the mux core gives their adapters.
TEST(I2cDev, AFirmwareNamedSwitchIsFoundByItsAddressAndChannelNames) {
    FakeSysfs tree;
    tree.adapter(0, "SMBus I801 adapter at f000");
    tree.adapter(5, "i2c-0-mux (chan_id 0)");
    tree.adapter(7, "i2c-0-mux (chan_id 2)");
    const fs::path devices = fs::path(tree.root()) / "bus/i2c/devices";
    const fs::path acpi = devices / "i2c-0" / "i2c-PRP0001:00";
    fs::create_directories(acpi);
    std::ofstream(acpi / "addr") << "0x73\n";
    fs::create_directory_symlink("i2c-0/i2c-PRP0001:00", devices / "i2c-PRP0001:00");
    FakeAdapter bus(tree.root());
    uint16_t w = 0;
    EXPECT_EQ(bus.switch_slot(0xE6, 3), 0);
    EXPECT_EQ(bus.read_word(0x60, 0x06, &w), 0);
    EXPECT_EQ(bus.switch_slot(0xE6, 2), -ENODEV) << "no adapter for channel 1";
    EXPECT_EQ(bus.opened, std::vector<std::string>{"/dev/i2c-7"});
    EXPECT_EQ(bus.calls.size(), 1u) << "no control byte written behind the driver";
}

// The platform libraries' lines carry a syslog level where stderr is the journal: systemd names
// the stream it gave the service in JOURNAL_STREAM ("device:inode").
TEST(PlatformLibraries, LinesCarryALevelWhereStderrIsTheJournal) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int saved = dup(2);
    dup2(fds[1], 2);
    struct stat st {};
    fstat(2, &st);
    const std::string same = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    const std::string other = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1);
    const std::pair<const char *, bool> cases[] = {
        {nullptr, false}, {same.c_str(), true}, {other.c_str(), false}, {"garbage", false}};
    for (const auto &[stream, journal] : cases) {
        if (stream)
            setenv("JOURNAL_STREAM", stream, 1);
        else
            unsetenv("JOURNAL_STREAM");
        EXPECT_EQ(platform::stderr_is_journal(), journal) << (stream ? stream : "unset");
    }
    unsetenv("JOURNAL_STREAM");
    dup2(saved, 2);
    close(saved);
    close(fds[0]);
    close(fds[1]);
}
