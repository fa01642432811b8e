#include "i2cdev.hpp"
#include "adapter_name.hpp"
#include "diagnostic.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pvqsmb {

namespace fs = std::filesystem;

namespace {

constexpr int kMuxClient = 0x73;
// The bypass modules behind the slot switch answer at 0x60 (8-bit); every other device the
// plug-ins reach (the slot-0 module, the supplies) is on the main bus.
constexpr int kSlotClient = 0x30;
constexpr int kEintrRetries = 100;

// Retries what a signal interrupted; i2c transfers themselves are not interruptible, but the
// wait for the adapter's lock may be.
template <typename F> int retrying(F call) {
    int r = call();
    for (int i = 0; r == -EINTR && i < kEintrRetries; ++i) r = call();
    return r;
}

std::string read_line(const fs::path &file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// "i2c-7" -> 7, else -1.
int bus_of(const std::string &name) {
    if (name.rfind("i2c-", 0) != 0 || name.size() == 4) return -1;
    int n = 0;
    for (size_t i = 4; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 100000) return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

std::string listing(const std::vector<Adapter> &adapters) {
    std::string s;
    for (const Adapter &a : adapters)
        s += (s.empty() ? "" : ", ") + ("i2c-" + std::to_string(a.bus)) + " \"" + a.name + "\"";
    return s.empty() ? "none" : s;
}

// The functionality bit each transfer needs of the adapter.
unsigned long needed_func(char read_write, int size) {
    const bool read = read_write == I2C_SMBUS_READ;
    switch (size) {
    case I2C_SMBUS_BYTE:
        return read ? I2C_FUNC_SMBUS_READ_BYTE : I2C_FUNC_SMBUS_WRITE_BYTE;
    case I2C_SMBUS_BYTE_DATA:
        return read ? I2C_FUNC_SMBUS_READ_BYTE_DATA : I2C_FUNC_SMBUS_WRITE_BYTE_DATA;
    case I2C_SMBUS_WORD_DATA:
        return read ? I2C_FUNC_SMBUS_READ_WORD_DATA : I2C_FUNC_SMBUS_WRITE_WORD_DATA;
    default:
        return read ? I2C_FUNC_SMBUS_READ_BLOCK_DATA : I2C_FUNC_SMBUS_WRITE_BLOCK_DATA;
    }
}

} // namespace

int library_code(int err) {
    switch (err) {
    case EPERM:
        return -EACCES;
    case ENOENT: // no /dev/i2c-N node: i2c-dev is not loaded
    case ESRCH:
        return -ENODEV;
    case EINTR:
        return -EAGAIN;
    case EIO:   // the transfer failed on the wire
    case ENXIO: // no device acknowledged (i801, most adapters)
        return -EREMOTEIO;
    case E2BIG:
        return -EMSGSIZE;
    default:
        return err > 7 ? -err : -EREMOTEIO;
    }
}

std::vector<Adapter> list_adapters(const std::string &sysfs_root) {
    std::vector<Adapter> found;
    std::error_code ec;
    for (const char *dir : {"/bus/i2c/devices", "/class/i2c-dev"}) {
        for (const auto &entry : fs::directory_iterator(sysfs_root + dir, ec)) {
            const int bus = bus_of(entry.path().filename().string());
            if (bus >= 0) found.push_back({bus, read_line(entry.path() / "name")});
        }
        if (!found.empty()) break;
    }
    std::sort(found.begin(), found.end(),
              [](const Adapter &a, const Adapter &b) { return a.bus < b.bus; });
    return found;
}

AdapterChoice choose_adapter(const std::string &sysfs_root, const std::string &setting) {
    const auto node = [](int bus) { return "/dev/i2c-" + std::to_string(bus); };
    if (!setting.empty() && setting[0] == '/') return {setting, ""};
    if (!setting.empty() && setting.find_first_not_of("0123456789") == std::string::npos) {
        if (setting.size() > 6) return {"", "PVQSMB_ADAPTER=" + setting + " is no bus number"};
        return {node(std::atoi(setting.c_str())), ""};
    }
    const std::vector<Adapter> all = list_adapters(sysfs_root);
    std::vector<Adapter> match;
    for (const Adapter &a : all)
        if (setting.empty() ? a.name.rfind("SMBus", 0) == 0 : a.name == setting) match.push_back(a);
    // No exact match: the same controller at another I/O base, where it is the only one (a
    // chipset with several of its kind, i801's own and its IDF functions, is refused).
    if (!setting.empty() && match.empty() && platform::without_io_base(setting) != setting) {
        std::vector<Adapter> alike;
        for (const Adapter &a : all)
            if (platform::without_io_base(a.name) == platform::without_io_base(setting))
                alike.push_back(a);
        if (alike.size() == 1) return {node(alike.front().bus), ""};
        if (alike.size() > 1)
            return {"",
                    "no i2c adapter is named \"" + setting +
                        "\", and several differ from it only in their I/O base: " + listing(alike) +
                        "; name one in PVQSMB_ADAPTER (a bus number, a /dev path or an adapter's "
                        "name)"};
    }
    if (match.size() == 1) return {node(match.front().bus), ""};
    const std::string hint = "; name one in PVQSMB_ADAPTER (a bus number, a /dev path or an "
                             "adapter's name)";
    if (!setting.empty() && match.empty())
        return {"", "no i2c adapter is named \"" + setting + "\" (adapters: " + listing(all) + ")" +
                        hint};
    if (!setting.empty())
        return {"", "several i2c adapters are named \"" + setting + "\": " + listing(match) + hint};
    if (match.empty())
        return {"", "no SMBus adapter in " + sysfs_root + "/bus/i2c/devices (adapters: " +
                        listing(all) + "): is the controller's driver loaded?" + hint};
    return {"", "several SMBus adapters: " + listing(match) + hint};
}

I2cDevBackend::I2cDevBackend(std::string device, std::string problem, std::string sysfs_root,
                             bool force)
    : problem_(std::move(problem)), sysfs_(std::move(sysfs_root)), force_(force) {
    main_.device = std::move(device);
}

I2cDevBackend::~I2cDevBackend() {
    if (main_.fd >= 0) sys_close(main_.fd);
    for (Port &p : channels_)
        if (p.fd >= 0) sys_close(p.fd);
}

int I2cDevBackend::sys_open(const char *path) {
    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

int I2cDevBackend::sys_set_client(int fd, int client, bool force) {
    return ::ioctl(fd, force ? I2C_SLAVE_FORCE : I2C_SLAVE, client) < 0 ? -errno : 0;
}

int I2cDevBackend::sys_funcs(int fd, unsigned long *funcs) {
    return ::ioctl(fd, I2C_FUNCS, funcs) < 0 ? -errno : 0;
}

int I2cDevBackend::sys_smbus(int fd, i2c_smbus_ioctl_data &args) {
    return ::ioctl(fd, I2C_SMBUS, &args) < 0 ? -errno : 0;
}

void I2cDevBackend::sys_close(int fd) {
    ::close(fd);
}

void I2cDevBackend::say(const std::string &line) {
    platform::say_line("libpvqsmb", line);
}

std::chrono::steady_clock::time_point I2cDevBackend::now() const {
    return std::chrono::steady_clock::now();
}

int &I2cDevBackend::my_slot() {
    return routes_[std::this_thread::get_id()];
}

bool I2cDevBackend::main_adapter_ready() {
    if (!rechoose_ || (!main_.device.empty() && main_.fd >= 0)) return !main_.device.empty();
    if (!main_.device.empty() && fs::exists(main_.device)) return true;
    // None chosen yet, or its node is gone: look again, at most once a second.
    const auto t = now();
    if (last_look_ != decltype(last_look_){} && t - last_look_ < std::chrono::seconds(1))
        return !main_.device.empty();
    last_look_ = t;
    const AdapterChoice choice = rechoose_();
    if (choice.device.empty() || choice.device == main_.device) return !main_.device.empty();
    if (main_.fd >= 0) sys_close(main_.fd);
    main_ = Port{};
    main_.device = choice.device;
    mux_owner_ = MuxOwner::Unknown; // the switch's owner is looked up again on the new bus
    physical_slot_ = 0;
    routes_.clear();
    for (Port &p : channels_) {
        if (p.fd >= 0) sys_close(p.fd);
        p = Port{};
    }
    if (said_problem_) say("found " + main_.device + "; the SMBus is reached through it now");
    said_problem_ = false;
    problem_.clear();
    return true;
}

int I2cDevBackend::bus_number() const {
    return bus_of(fs::path(main_.device).filename().string());
}

std::string I2cDevBackend::client_dir(int client) const {
    char name[32];
    std::snprintf(name, sizeof name, "%d-%04x", bus_number(), client);
    const std::string devices = sysfs_ + "/bus/i2c/devices/";
    std::error_code ec;
    if (fs::exists(devices + name, ec)) return devices + name;
    // A client that firmware describes is named by it ("i2c-PRP0001:00" for ACPI): found by
    // its adapter (the folder it sits in) and its address.
    const fs::path adapter = fs::canonical(devices + "i2c-" + std::to_string(bus_number()), ec);
    if (!ec) {
        for (const auto &e : fs::directory_iterator(devices, ec)) {
            if (bus_of(e.path().filename().string()) >= 0) continue; // an adapter
            std::error_code ec2;
            if (fs::canonical(e.path(), ec2).parent_path() != adapter || ec2) continue;
            const std::string addr = read_line(e.path() / "addr");
            char *end = nullptr;
            const long a = std::strtol(addr.c_str(), &end, 0);
            if (!addr.empty() && *end == '\0' && a == client) return e.path().string();
        }
    }
    return devices + name;
}

// The adapter the kernel's mux core made for channel `chan` of a mux on bus `bus`: linked from
// the mux client as channel-K, and named "i2c-N-mux (chan_id K)" whatever names the mux.
static std::string channel_adapter(const std::string &sysfs, const std::string &mux_dir, int bus,
                                   unsigned chan) {
    std::error_code ec;
    const fs::path link = fs::read_symlink(mux_dir + "/channel-" + std::to_string(chan), ec);
    if (!ec && bus_of(link.filename().string()) >= 0) return link.filename().string();
    const std::string want =
        "i2c-" + std::to_string(bus) + "-mux (chan_id " + std::to_string(chan) + ")";
    for (const auto &e : fs::directory_iterator(sysfs + "/bus/i2c/devices", ec))
        if (bus_of(e.path().filename().string()) >= 0 && read_line(e.path() / "name") == want)
            return e.path().filename().string();
    return "";
}

int I2cDevBackend::open_port(Port &port) {
    if (&port == &main_) main_adapter_ready();
    if (port.fd >= 0) return 0;
    if (port.device.empty()) {
        if (!said_problem_ && !problem_.empty()) say(problem_);
        said_problem_ = true;
        return -ENODEV;
    }
    const int fd = retrying([&] { return sys_open(port.device.c_str()); });
    if (fd < 0) {
        if (!said_problem_) {
            say(port.device + ": " + std::strerror(-fd) +
                (fd == -ENOENT ? ": load the i2c-dev module (modprobe i2c-dev)" : ""));
            said_problem_ = true;
        }
        return library_code(-fd);
    }
    // A node that knows no I2C ioctl at all (/dev/null, a regular file, a tty) is no adapter;
    // where the ioctl itself is unknown (a user-mode emulator such as qemu-user passes no I2C
    // request on), no adapter can be reached either.
    const int funcs = sys_funcs(fd, &port.funcs);
    if (funcs == -ENOTTY || funcs == -ENOSYS) {
        sys_close(fd);
        if (!said_problem_) {
            say(port.device + (funcs == -ENOTTY
                                   ? " is not an i2c-dev node (it answers no I2C request): name "
                                     "an adapter's /dev/i2c-N in PVQSMB_ADAPTER"
                                   : ": I2C requests are not implemented here (an emulator "
                                     "such as qemu-user does not pass them on)"));
            said_problem_ = true;
        }
        return -ENODEV;
    }
    port.fd = fd;
    port.client = -1;
    // Adapters that cannot say what they do are taken to do everything; the transfer then
    // fails on its own.
    if (funcs != 0) port.funcs = ~0ul;
    return 0;
}

std::string I2cDevBackend::driver_of(int client) const {
    std::error_code ec;
    return fs::read_symlink(client_dir(client) + "/driver", ec).filename().string();
}

void I2cDevBackend::say_owner(int client) {
    if (!said_owner_.insert(client).second) return;
    const std::string dir = client_dir(client);
    const std::string driver = driver_of(client);
    const std::string id = fs::path(dir).filename().string();
    char addr[8];
    std::snprintf(addr, sizeof addr, "0x%02x", client);
    if (driver.empty()) {
        say(std::string(addr) + " on " + main_.device +
            " is in use by a kernel driver; unbind it, or set PVQSMB_FORCE=1 to read it anyway");
        return;
    }
    if (driver == "dummy") {
        // An address another client's driver claimed beside its own, with no link back to it:
        // on this board, the DDR4 SPD driver's page select (0x36, 0x37).
        std::error_code ec;
        std::string spd;
        for (const auto &e : fs::directory_iterator(sysfs_ + "/bus/i2c/devices", ec)) {
            const std::string f = e.path().filename().string();
            if (f.rfind(std::to_string(bus_number()) + "-", 0) == 0 &&
                read_line(e.path() / "name") == "ee1004")
                spd = f;
        }
        if (!spd.empty()) {
            say(std::string(addr) + " on " + main_.device +
                " is the DDR4 SPD page select that the ee1004 driver claims for " + spd +
                ": keep that driver off the bus (blacklist ee1004 in /etc/modprobe.d, as the "
                "zrqd package does, then reboot or unbind " +
                spd + ")");
            return;
        }
        say(std::string(addr) + " on " + main_.device +
            " is claimed by another device's kernel driver (a \"dummy\" client); unbind that "
            "driver, or set PVQSMB_FORCE=1 to read it anyway");
        return;
    }
    say(std::string(addr) + " on " + main_.device + " is owned by the kernel driver \"" + driver +
        "\": unbind it (echo " + id + " > /sys/bus/i2c/drivers/" + driver +
        "/unbind), or set PVQSMB_FORCE=1 to read it anyway");
}

void I2cDevBackend::say_busy(int client) {
    // i801 answers every transfer with EBUSY while the firmware has reserved the controller
    // (ACPI acpi_reserved); an address that no driver holds tells it from a driver's device.
    if (said_busy_ || !driver_of(client).empty()) return;
    said_busy_ = true;
    say(main_.device + " answers EBUSY with no driver bound at the address: the firmware (ACPI) "
                       "has reserved the SMBus controller, or another master holds the bus");
}

int I2cDevBackend::bind_client(Port &port, int client, bool read) {
    if (port.client == client && (read || !port.forced)) return 0;
    port.client = -1;
    int r = retrying([&] { return sys_set_client(port.fd, client, false); });
    bool forced = false;
    if (r == -EBUSY && force_ && read) {
        // The driver keeps its own idea of the device (a PMBus page, latched faults):
        // reading behind its back is the user's call.
        r = retrying([&] { return sys_set_client(port.fd, client, true); });
        forced = true;
    }
    if (r == -EBUSY) {
        say_owner(client);
        return -EBUSY;
    }
    if (r < 0) return library_code(-r);
    port.client = client;
    port.forced = forced;
    return 0;
}

int I2cDevBackend::on_port(Port &port, int client, char read_write, uint8_t cmd, int size,
                           void *data) {
    if (const int r = open_port(port); r < 0) return r;
    if ((port.funcs & needed_func(read_write, size)) == 0) return -EOPNOTSUPP;
    if (const int r = bind_client(port, client, read_write == I2C_SMBUS_READ); r < 0) return r;
    i2c_smbus_ioctl_data args{};
    args.read_write = read_write;
    args.command = cmd;
    args.size = size;
    args.data = static_cast<i2c_smbus_data *>(data);
    const int r = retrying([&] { return sys_smbus(port.fd, args); });
    if (r == -EBUSY && &port == &main_) say_busy(client);
    if (r == -ENODEV && &port == &main_ && rechoose_) {
        // The adapter went away under the descriptor: look for it again.
        sys_close(port.fd);
        port.fd = -1;
    }
    return r < 0 ? library_code(-r) : 0;
}

int I2cDevBackend::transfer(uint8_t addr, char read_write, uint8_t cmd, int size, void *data) {
    // An 8-bit address has bit 0 clear; 0x00-0x07 and 0x78-0x7F are reserved 7-bit addresses.
    const int client = addr >> 1;
    if ((addr & 1) != 0 || client < 0x08 || client > 0x77) return -EINVAL;
    std::lock_guard lock(mutex_);
    const int slot = my_slot();
    // A route chosen on an adapter that has since been replaced is no route: the thread
    // switches again before it reaches a slot.
    if (slot == 0 || client != kSlotClient || mux_owner_ == MuxOwner::Unknown ||
        (mux_owner_ == MuxOwner::Library && mux_addr_ == 0))
        return on_port(main_, client, read_write, cmd, size, data);
    if (mux_owner_ == MuxOwner::Kernel)
        return on_port(channels_[static_cast<size_t>(slot - 1)], client, read_write, cmd, size,
                       data);
    if (physical_slot_ != slot) {
        // Another thread turned the switch since this one chose its slot: turn it back first,
        // in the same hold of the lock as the transfer.
        if (const int r = on_port(main_, mux_addr_ >> 1, I2C_SMBUS_WRITE,
                                  mux_control(static_cast<uint8_t>(slot)), I2C_SMBUS_BYTE, nullptr);
            r < 0)
            return r;
        physical_slot_ = slot;
    }
    return on_port(main_, client, read_write, cmd, size, data);
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

bool I2cDevBackend::kernel_owns(int client) const {
    std::error_code ec;
    return client == kMuxClient && bus_number() >= 0 &&
           (fs::exists(client_dir(client) + "/driver", ec) ||
            !channel_adapter(sysfs_, client_dir(client), bus_number(), 0).empty());
}

int I2cDevBackend::switch_slot(uint8_t mux_addr, uint8_t slot) {
    const uint8_t control = mux_control(slot);
    if (control == 0) return -EINVAL;
    const int mux = mux_addr >> 1;
    std::lock_guard lock(mutex_);
    // Who owns the switch is looked up once (and again on a new adapter), and again when the
    // switch turns the library away (a driver bound since).
    main_adapter_ready();
    if (mux_owner_ == MuxOwner::Unknown)
        mux_owner_ = kernel_owns(mux) ? MuxOwner::Kernel : MuxOwner::Library;
    if (mux_owner_ == MuxOwner::Library) {
        // A PCA954x takes its control register as a single-byte write (SMBus Send Byte).
        const int r = on_port(main_, mux, I2C_SMBUS_WRITE, control, I2C_SMBUS_BYTE, nullptr);
        if (r == 0) {
            physical_slot_ = slot;
            mux_addr_ = mux_addr;
            my_slot() = slot;
        } else {
            physical_slot_ = 0; // the switch's state is unknown after a failed write
        }
        if (r != -EBUSY || !kernel_owns(mux)) return r;
    }
    // A kernel mux driver owns the switch: go through its channel's adapter, on which the mux
    // core selects the channel for every transfer. A channel it fails to select shows as the
    // failure of the next transfer.
    const std::string channel =
        channel_adapter(sysfs_, client_dir(mux), bus_number(), static_cast<unsigned>(slot) - 1);
    if (channel.empty()) return -ENODEV;
    mux_owner_ = MuxOwner::Kernel;
    const std::string device = "/dev/" + channel;
    Port &port = channels_[static_cast<size_t>(slot - 1)];
    if (port.device != device) {
        if (port.fd >= 0) sys_close(port.fd);
        port = Port{};
        port.device = device;
    }
    my_slot() = slot;
    return 0;
}

std::string board_adapter(const std::string &board_file) {
    std::ifstream in(board_file);
    if (!in) return "";
    const nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
    return doc.is_object() && doc.contains("adapter") && doc["adapter"].is_string()
               ? doc["adapter"].get<std::string>()
               : "";
}

Backend *make_i2cdev_backend() {
    const char *root = std::getenv("PVQSMB_SYSFS");
    const std::string sysfs = root && *root ? root : "/sys";
    const char *force = std::getenv("PVQSMB_FORCE");
    // The adapter the user names, else the one the board description names, else the one
    // "SMBus" adapter there is.
    std::string setting;
    if (const char *s = std::getenv("PVQSMB_ADAPTER"); s && *s) {
        setting = s;
    } else {
        const char *board = std::getenv("PVQIO_BOARD");
        setting = board_adapter(board && *board ? board : ZRQ_BOARD);
    }
    AdapterChoice choice = choose_adapter(sysfs, setting);
#if ZRQ_SIMULATOR
    // This build also serves virtual platforms: a misspelt variable should not send the user
    // looking for i2c adapters.
    if (!choice.problem.empty())
        choice.problem += "; or, for the virtual platform, name its description in "
                          "PVQSMB_PLATFORM";
#endif
    auto *backend = new I2cDevBackend(choice.device, choice.problem, sysfs,
                                      force && std::strcmp(force, "1") == 0);
    // A named node (a /dev path, a bus number) is the user's choice and stays; a name or the
    // one SMBus adapter is looked for again while it is missing.
    if (setting.empty() ||
        (setting[0] != '/' && setting.find_first_not_of("0123456789") != std::string::npos))
        backend->look_again_with([sysfs, setting] { return choose_adapter(sysfs, setting); });
    return backend;
}

} // namespace pvqsmb
