#include "host.hpp"

#include "iolib.h"

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace zrqhost {

Plugin::Plugin(const std::string &dir, const std::string &name) : path_(dir + "/" + name) {
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const std::string why = dlerror();
        // A process loads plug-ins of its own word size only.
        const std::string hint =
            why.find("wrong ELF class: ELFCLASS32") != std::string::npos
                ? " (these are 32-bit plug-ins: a 32-bit host loads them, such as the 32-bit "
                  "tree's zrqctl or the installed /usr/bin/zrqctl)"
            : why.find("wrong ELF class: ELFCLASS64") != std::string::npos
                ? " (these are 64-bit plug-ins: a 64-bit host loads them)"
                : "";
        throw std::runtime_error("cannot load plug-in " + path_ + ": " + why + hint);
    }
}

Plugin::~Plugin() {
    if (handle_) dlclose(handle_);
}

void *Plugin::find(const char *symbol) const {
    return dlsym(handle_, symbol);
}

void *Plugin::lookup(const char *symbol) const {
    void *p = find(symbol);
    if (p == nullptr) throw std::runtime_error(path_ + " does not export " + symbol);
    return p;
}

std::string plugin_dir(const std::string &option) {
    if (!option.empty()) return option;
    if (const char *env = std::getenv("ZRQ_PLUGIN_DIR"); env && *env) return env;
#ifdef ZRQ_INSTALLED_PLUGIN_DIR
    // Installed from the packages: the plug-ins' own folder.
    return ZRQ_INSTALLED_PLUGIN_DIR;
#else
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (self.parent_path().parent_path() / "lib").string();
#endif
}

std::string not_a_terminal(const std::string &port) {
    struct stat st {};
    if (::stat(port.c_str(), &st) != 0) return "";
    const char *kind = S_ISREG(st.st_mode)    ? "a regular file"
                       : S_ISDIR(st.st_mode)  ? "a directory"
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISCHR(st.st_mode)  ? nullptr
                                              : "not a device";
    if (kind) return port + " is " + kind + ", not a serial port";
    // A character device: only a terminal takes line settings. Opened without waiting for a
    // carrier and without becoming our controlling terminal.
    const int fd = ::open(port.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return "";
    termios t{};
    const bool tty = ::tcgetattr(fd, &t) == 0;
    ::close(fd);
    return tty ? "" : port + " is a device that is no terminal, not a serial port";
}

CaseOpen read_case_open() {
    CaseOpen c;
    void *io = dlopen("libpvqio.so", RTLD_NOW | RTLD_NOLOAD);
    if (io == nullptr) {
        c.why = "the I/O library libpvqio.so is not loaded";
        return c;
    }
    using Get = int (*)(int *);
    const auto get = reinterpret_cast<Get>(dlsym(io, "_pvqio_get_caseopen"));
    // A value no library writes: an unwritten flag is known as such.
    constexpr int kUnwritten = 0x5A5A5A5A;
    int flag = kUnwritten;
    const int r = get ? get(&flag) : ENOSYS;
    dlclose(io);
    if (r != 0) {
        c.why = "libpvqio cannot read it: " +
                (errno_name(r).empty() ? "code " + std::to_string(r) : errno_name(r)) + " " +
                std::strerror(r < 0 ? -r : r);
    } else if (flag == kUnwritten) {
        c.why = "libpvqio reported success but gave no flag";
    } else {
        c.known = true;
        c.open = flag != 0;
    }
    return c;
}

std::string status_name(int code) {
    static const char *const kNames[] = {"ERR_Success",      "ERR_Error",        "ERR_OpenFail",
                                         "ERR_NotOpened",    "ERR_InvalidParam", "ERR_NotSupport",
                                         "ERR_AlreadyOpened"};
    return code <= 0 && code >= -6 ? kNames[-code] : "";
}

std::string errno_name(int code) {
    const int e = code < 0 ? -code : code;
    const char *name = e > 0 ? strerrorname_np(e) : nullptr;
    return name ? name : "";
}

namespace {
const char *origin_text(Origin origin) {
    switch (origin) {
    case Origin::SmbusLibrary:
        return "libpvqsmb's code, passed up by the plug-in";
    case Origin::IoLibrary:
        return "libpvqio's code, passed up by the plug-in";
    default:
        return "not a status code of the plug-in";
    }
}
} // namespace

std::string status_text(int code, Origin origin) {
    const std::string name = status_name(code);
    if (!name.empty()) return name + " (" + std::to_string(code) + ")";
    const std::string err = errno_name(code);
    const int e = code < 0 ? -code : code;
    if (err.empty() || origin == Origin::Plugin)
        return std::to_string(code) + " (" + origin_text(origin) + ")";
    return std::to_string(code) + " " + err + ": " + std::strerror(e) + " (" + origin_text(origin) +
           ")";
}

std::string status_short(int code) {
    std::string name = status_name(code);
    if (name.empty()) name = errno_name(code);
    return name.empty() ? "code " + std::to_string(code) : name;
}

const Unit kCelsius{"celsius", "C", 3, 1000}, kVolts{"volts", "V", 3, 1000},
    kAmperes{"amperes", "A", 3, 1000}, kWatts{"watts", "W", 3, 1000}, kRpm{"rpm", "rpm", 0, 1},
    kStatusWord{"status_word", "", 0, 1};

const Unit &unit_of(int item) {
    if (item <= HWMID_TEMP_SYS2 || item == HWMID_PSU1_TEMP1 || item == HWMID_PSU1_TEMP2 ||
        item == HWMID_PSU2_TEMP || item == HWMID_PSU2_TEMP2)
        return kCelsius;
    if (item <= HWMID_VOLT_DDRCH8 || item == HWMID_PSU1_VOLTIN || item == HWMID_PSU1_VOLTOUT ||
        item == HWMID_PSU2_VOLTIN || item == HWMID_PSU2_VOLTOUT)
        return kVolts;
    if (item == HWMID_PSU1_CURRENTIN || item == HWMID_PSU1_CURRENTOUT ||
        item == HWMID_PSU2_CURRENTIN || item == HWMID_PSU2_CURRENTOUT)
        return kAmperes;
    if (item == HWMID_PSU1_POWERIN || item == HWMID_PSU2_POWERIN) return kWatts;
    if (item == HWMID_PSU1_STATUS || item == HWMID_PSU2_STATUS) return kStatusWord;
    return kRpm;
}

const char *const kStatusBits[16] = {"NONE_OF_THE_ABOVE",
                                     "CML",
                                     "TEMPERATURE",
                                     "VIN_UV",
                                     "IOUT_OC",
                                     "VOUT_OV",
                                     "OFF",
                                     "BUSY",
                                     "UNKNOWN",
                                     "OTHER",
                                     "FANS",
                                     "POWER_GOOD#",
                                     "MFR",
                                     "INPUT",
                                     "IOUT/POUT",
                                     "VOUT"};

bool vout_in_linear11(const std::string &manufacturer) {
    return manufacturer.rfind("3Y", 0) == 0;
}

} // namespace zrqhost
