// What every management host of the zrq4470 plug-ins needs, shared by zrqctl and zrqd: loading
// a plug-in by name at run time (dlopen, never linked), naming its status codes, and the unit
// of each hardware-monitor item.
#pragma once

#include <stdexcept>
#include <string>

namespace zrqhost {

// A plug-in opened with dlopen, as the management host loads it.
class Plugin {
  public:
    // Throws std::runtime_error naming the file and dlerror's reason.
    Plugin(const std::string &dir, const std::string &name);
    ~Plugin();
    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;

    // The export `symbol`, cast to its C type; throws std::runtime_error when it is missing.
    template <typename F> F *fn(const char *symbol) const {
        return reinterpret_cast<F *>(lookup(symbol));
    }
    void *find(const char *symbol) const; // nullptr when missing
    const std::string &path() const { return path_; }

  private:
    void *lookup(const char *symbol) const;
    std::string path_;
    void *handle_ = nullptr;
};

// An export by its C name, typed by its declaration in pvqinc.h.
#define ZRQ_EXPORT(plugin, name) (plugin).fn<decltype(name)>(#name)

// Where the plug-ins are: `option` when given, else ZRQ_PLUGIN_DIR, else the installed plug-in
// folder in the packaged build, ../lib beside the running program in a development tree.
std::string plugin_dir(const std::string &option);

// Why `port` is no serial port to hand the LCD plug-in ("" when it is a terminal, or when it
// cannot be told here: a missing or busy port is left to the plug-in's open, whose failure the
// host explains). A regular file or another device would be written over by the plug-in's probe.
std::string not_a_terminal(const std::string &port);

// Where a status code outside the plug-ins' own seven comes from: the SMBus library passes
// negative errno values up through the LAN bypass plug-in, the I/O library positive ones
// through the hardware monitor plug-in.
enum class Origin { Plugin, SmbusLibrary, IoLibrary };

// "ENODEV" for 19 (either sign), or "" for a number that is no errno.
std::string errno_name(int code);
// "ERR_..." for the plug-ins' own seven codes, "" for any other.
std::string status_name(int code);
// "ERR_InvalidParam (-4)", or "-19 ENODEV: No such device (libpvqsmb's code, passed up by the
// plug-in)".
std::string status_text(int code, Origin origin);
// "ERR_Error", "ENODEV" or "code 1234": a short name for a log line or a metric label.
std::string status_short(int code);

// The quantity a hardware-monitor item reads (items 0 to HWMID_TOTAL-1 of iolib.h) and how its
// raw reading, a whole number as text, is scaled.
struct Unit {
    const char *key;    // "celsius", "volts", "amperes", "watts", "rpm", "status_word"
    const char *symbol; // after the number, for people: "C", "V", "A", "W", "rpm", ""
    int places;         // decimals the sensor resolves
    double scale;       // raw reading per unit
};
extern const Unit kCelsius, kVolts, kAmperes, kWatts, kRpm, kStatusWord;
const Unit &unit_of(int item);

// STATUS_WORD bits as the PMBus standard names them, bit 0 first.
extern const char *const kStatusBits[16];

// The chassis-intrusion flag as the I/O library gives it, asked directly: the hardware monitor
// plug-in reads a failure of the library as "closed", and a host must never repeat that. The
// library found through the hardware monitor plug-in, which has loaded it already.
struct CaseOpen {
    bool known = false; // the library wrote the flag and said it succeeded
    bool open = false;
    std::string why; // when not known
};
CaseOpen read_case_open();

// Makers whose supplies report READ_VOUT in LINEAR11, which the PSU plug-in decodes as
// LINEAR16: its output volts (and the watts made of them) mean nothing for their supplies.
bool vout_in_linear11(const std::string &manufacturer);

} // namespace zrqhost
