#include "hwmon.hpp"
#include "diagnostic.hpp"

#include "pmbus_format.hpp"
#include "pvqio_items.hpp"
#include "pvqsmb.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <unistd.h>

namespace pvqio {
namespace {

// A sysfs attribute is one short line. Read without blocking and at most this much, so that a
// FIFO or a character device in its place cannot stall or flood the reader.
constexpr size_t kAttrMax = 64;

// 0 and the first line of a file (relative to `dir`), or an errno value.
int read_line_at(int dir, const std::string &path, std::string &line) {
    const int fd = ::openat(dir, path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    char buf[kAttrMax];
    ssize_t n;
    do n = ::read(fd, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    const int err = n < 0 ? errno : 0;
    ::close(fd);
    if (err != 0) return err == EAGAIN ? EIO : err;
    line.assign(buf, static_cast<size_t>(n));
    const size_t end = line.find('\n');
    if (end != std::string::npos) line.resize(end);
    return 0;
}

int read_line(const std::string &path, std::string &line) {
    return read_line_at(AT_FDCWD, path, line);
}

bool line_is(const std::string &path, const std::string &want) {
    std::string s;
    return read_line(path, s) == 0 && s == want;
}

// A whole decimal number, as hwmon writes them; anything else (empty, a NUL, text, a number
// past 64 bits) is no reading.
int parse_number(const std::string &s, long long &v) {
    if (s.empty() || s.find('\0') != std::string::npos) return EIO;
    char *end = nullptr;
    errno = 0;
    v = std::strtoll(s.c_str(), &end, 10);
    if (errno == ERANGE) return ERANGE;
    return *end == '\0' && end != s.c_str() ? 0 : EIO;
}

// "7-0058" -> bus 7, address 0x58.
bool i2c_client(const std::string &name, int &bus, int &addr) {
    unsigned b = 0, a = 0;
    char tail = 0;
    if (std::sscanf(name.c_str(), "%u-%4x%c", &b, &a, &tail) != 2) return false;
    bus = static_cast<int>(b), addr = static_cast<int>(a);
    return true;
}

std::string basename_of(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// READ_VOUT in volts: LINEAR16 with VOUT_MODE's exponent, as PMBus has it, but LINEAR11 from
// the makers known to send it that way (3Y POWER), or when VOUT_MODE is not linear.
double vout(uint8_t addr, uint16_t word) {
    static constexpr const char *kLinear11Makers[] = {"3Y"};
    uint8_t id[32 + 1] = {};
    if (_pvqsmb_i2c_read_block(addr, pmbus::MFR_ID, id) == 0)
        for (const char *maker : kLinear11Makers)
            if (std::strstr(reinterpret_cast<const char *>(id), maker))
                return pmbus::linear11(word);
    uint8_t mode = 0;
    if (_pvqsmb_i2c_read_byte(addr, pmbus::VOUT_MODE, &mode) == 0 && (mode >> 5) == 0)
        return pmbus::linear16(word, mode);
    return pmbus::linear11(word);
}

int to_text(double value, char *text) {
    if (!std::isfinite(value) || std::fabs(value) > 9e18) return ERANGE;
    std::snprintf(text, kTextSize, "%lld", std::llround(value));
    return 0;
}

} // namespace

HwmonBackend::HwmonBackend(std::string sysfs_root, Board board)
    : root_(std::move(sysfs_root)), board_(std::move(board)), said_(board_.chips.size()),
      found_(board_.chips.size()), label_base_(board_.items.size()) {}

bool HwmonBackend::matches(const ChipSpec &want, const std::string &entry,
                           std::string &attrs) const {
    // Attributes sit beside `name`; before Linux 3.x many drivers kept both under device/.
    // The old layout only where the class folder has no name of its own: an i2c client's
    // device/name is the client's (its type), which may differ from the hwmon name.
    if (line_is(entry + "/name", want.name))
        attrs = entry;
    else if (::access((entry + "/name").c_str(), F_OK) != 0 &&
             line_is(entry + "/device/name", want.name))
        attrs = entry + "/device";
    else
        return false;
    if (!want.temp1_label.empty() && !line_is(attrs + "/temp1_label", want.temp1_label))
        return false;
    if (want.address >= 0) {
        int bus = -1, addr = -1;
        char device[PATH_MAX];
        if (::realpath((entry + "/device").c_str(), device) == nullptr ||
            !i2c_client(basename_of(device), bus, addr))
            return false;
        if (addr != want.address) return false;
        // Bus numbers follow probe order: the adapter is known by its name.
        if (!line_is(root_ + "/bus/i2c/devices/i2c-" + std::to_string(bus) + "/name", want.adapter))
            return false;
    }
    return true;
}

HwmonBackend::~HwmonBackend() {
    for (Found &f : found_)
        if (f.dir >= 0) ::close(f.dir);
}

void HwmonBackend::forget(int chip) {
    Found &f = found_[static_cast<size_t>(chip)];
    if (f.dir >= 0) ::close(f.dir);
    f = Found{};
    for (size_t i = 0; i < board_.items.size(); ++i)
        if (board_.items[i].chip == chip) label_base_[i].clear();
}

int HwmonBackend::chip_dir(int chip, int &dir) {
    Found &f = found_[static_cast<size_t>(chip)];
    if (f.dir >= 0) {
        dir = f.dir;
        return 0;
    }
    const ChipSpec &want = board_.chips[static_cast<size_t>(chip)];
    // (std::filesystem reads directories with 64-bit inode numbers in the 32-bit build too.)
    std::error_code ec;
    int hits = 0;
    std::string entry, attrs;
    for (const auto &e : std::filesystem::directory_iterator(root_ + "/class/hwmon", ec)) {
        const std::string path = e.path().string();
        if (e.path().filename().string().rfind("hwmon", 0) != 0) continue;
        std::string a;
        if (!matches(want, path, a)) continue;
        if (++hits == 1) entry = path, attrs = a;
    }
    if (hits == 0 && !said_[static_cast<size_t>(chip)]) {
        // Once per chip: the reason every reading of it fails, where the user sees it.
        said_[static_cast<size_t>(chip)] = 1;
        platform::say_line("libpvqio", "no hwmon chip \"" + want.name + "\" under " + root_ +
                                           "/class/hwmon: load its driver, or name a virtual "
                                           "platform in PVQSMB_PLATFORM");
    }
    if (ec && hits == 0) return ENODEV;
    // None, or two that the description cannot tell apart (two coretemp chips without their
    // package labels): never guess.
    if (hits != 1) return hits == 0 ? ENODEV : ENOTUNIQ;
    f.dir = ::open(attrs.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (f.dir < 0) return errno;
    f.entry = entry;
    dir = f.dir;
    return 0;
}

int HwmonBackend::resolve(int item, int &dir, std::string &base) {
    const ItemSpec &it = board_.items[static_cast<size_t>(item)];
    if (const int r = chip_dir(it.chip, dir); r != 0) return r;
    if (it.kind != ItemSpec::Kind::Label) {
        base = it.attribute;
        return 0;
    }
    std::string &cached = label_base_[static_cast<size_t>(item)];
    if (!cached.empty()) {
        base = cached;
        return 0;
    }
    // The driver names what a configurable input measures: nct6775's temp*_label "SYSTIN",
    // "PECI Agent 0"; pmbus's in*_label "vin".
    for (const char *type : {"temp", "in", "curr", "power", "fan"}) {
        for (int n = 0; n <= 32; ++n) {
            const std::string b = type + std::to_string(n);
            std::string l;
            if (read_line_at(dir, b + "_label", l) == 0 && l == it.attribute) {
                cached = base = b;
                return 0;
            }
        }
    }
    return ENOENT;
}

int HwmonBackend::read_attr(int item, const std::string &suffix, std::string &line) {
    const int chip = board_.items[static_cast<size_t>(item)].chip;
    for (int attempt = 0;; ++attempt) {
        int dir = -1;
        std::string base;
        if (const int r = resolve(item, dir, base); r != 0) return r;
        const int r = read_line_at(dir, base + suffix, line);
        // A missing attribute of a chip that is still there is just missing; a chip whose
        // folder is gone is looked up again, once.
        if (r != ENOENT || attempt > 0 || ::faccessat(dir, "name", F_OK, 0) == 0) return r;
        forget(chip);
    }
}

int HwmonBackend::reading(int item, long long &value) {
    const ItemSpec &it = board_.items[static_cast<size_t>(item)];
    std::string s;
    if (it.kind == ItemSpec::Kind::DebugfsStatus) {
        // The pmbus core shows the status word in debugfs ("0x0842"); debugfs is optional
        // and root's alone.
        int dir = -1;
        if (const int r = chip_dir(it.chip, dir); r != 0) return r;
        const std::string path = root_ + "/kernel/debug/pmbus/" +
                                 basename_of(found_[size_t(it.chip)].entry) + "/status0";
        if (const int r = read_line(path, s); r != 0) return r;
        char *end = nullptr;
        errno = 0;
        value = std::strtoll(s.c_str(), &end, 16);
        return !s.empty() && *end == '\0' && errno == 0 ? 0 : EIO;
    }
    if (const int r = read_attr(item, "_input", s); r != 0) return r;
    return parse_number(s, value);
}

int HwmonBackend::sensor(int item, char *text) {
    if (item < 0 || item >= static_cast<int>(board_.items.size())) return EINVAL;
    const ItemSpec &it = board_.items[static_cast<size_t>(item)];
    if (it.kind == ItemSpec::Kind::Absent) return ENODATA; // not on this board
    if (it.kind == ItemSpec::Kind::Smbus) {
        uint16_t word = 0;
        const int r = _pvqsmb_i2c_read_word(it.smbus_addr, it.command, &word);
        if (r != 0) return r < 0 ? -r : EIO; // the SMBus library's errno, made positive
        double v = 0;
        switch (it.command) {
        case pmbus::STATUS_WORD:
            v = word;
            break;
        case pmbus::READ_FAN_SPEED_1:
            v = pmbus::linear11(word);
            break;
        case pmbus::READ_VOUT:
            v = 1000 * vout(it.smbus_addr, word);
            break;
        default:
            v = 1000 * pmbus::linear11(word);
            break;
        }
        return to_text(v * it.multiplier + it.offset, text);
    }
    long long raw = 0;
    std::lock_guard lock(mutex_);
    if (const int r = reading(item, raw); r != 0) return r;
    return to_text(double(raw) * it.multiplier + it.offset, text);
}

int HwmonBackend::name(int item, char *text) {
    if (item < 0 || item >= static_cast<int>(board_.items.size())) return EINVAL;
    std::string label(kItemNames[static_cast<size_t>(item)]);
    const ItemSpec &it = board_.items[static_cast<size_t>(item)];
    if (it.kind == ItemSpec::Kind::Attribute || it.kind == ItemSpec::Kind::Label) {
        std::lock_guard lock(mutex_);
        std::string l;
        if (read_attr(item, "_label", l) == 0 && !l.empty() && l.find('\0') == std::string::npos)
            label = l;
    }
    std::snprintf(text, kTextSize, "%s", label.c_str());
    return 0;
}

int HwmonBackend::get_caseopen(int *open) {
    if (board_.caseopen_chip < 0) return ENODATA;
    std::lock_guard lock(mutex_);
    int dir = -1;
    std::string s;
    if (const int r = chip_dir(board_.caseopen_chip, dir); r != 0) return r;
    if (const int r = read_line_at(dir, board_.caseopen_attribute, s); r != 0) return r;
    long long v = 0;
    if (const int r = parse_number(s, v); r != 0) return r;
    *open = v > 0x7FFFFFFF || v < -0x7FFFFFFF ? 1 : static_cast<int>(v);
    return 0;
}

int HwmonBackend::clear_caseopen() {
    if (board_.caseopen_chip < 0) return ENODATA;
    std::lock_guard lock(mutex_);
    int dir = -1;
    if (const int r = chip_dir(board_.caseopen_chip, dir); r != 0) return r;
    const int fd =
        ::openat(dir, board_.caseopen_attribute.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    const ssize_t n = ::write(fd, "0\n", 2);
    const int err = n == 2 ? 0 : n < 0 ? errno : EIO;
    ::close(fd);
    return err;
}

} // namespace pvqio
