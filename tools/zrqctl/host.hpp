// What zrqctl needs to act as a management host: loading plug-ins by name at run time,
// naming status codes, and printing results for people (aligned text) or machines (JSON).
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace zrqctl {

using Json = nlohmann::ordered_json;

// A plug-in opened with dlopen, as the management host loads it; never linked.
class Plugin {
  public:
    Plugin(const std::string &dir, const std::string &name);
    ~Plugin();
    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;

    // The export `symbol`, cast to its C type; throws std::runtime_error when it is missing.
    template <typename F> F *fn(const char *symbol) const {
        return reinterpret_cast<F *>(lookup(symbol));
    }
    void *find(const char *symbol) const; // nullptr when missing

  private:
    void *lookup(const char *symbol) const;
    std::string path_;
    void *handle_ = nullptr;
};

// Where the plug-ins are: --plugins, else ZRQ_PLUGIN_DIR, else ../lib beside the program.
std::string plugin_dir(const std::string &option);

// Where a status code outside the plug-ins' own seven comes from: the SMBus library passes
// negative errno values up through the LAN bypass plug-in, the I/O library positive ones
// through the hardware monitor plug-in.
enum class Origin { Plugin, SmbusLibrary, IoLibrary };

// "ENODEV" for 19 (either sign), or "" for a number that is no errno.
std::string errno_name(int code);
// "ERR_InvalidParam (-4)", or "-19 ENODEV: No such device (libpvqsmb's code, passed up by the
// plug-in)".
std::string status_text(int code, Origin origin);
std::string status_name(int code); // "ERR_..." or "" for codes outside the seven

// A failed call: the exit status 1, the code named and, where the arguments or the state
// show it, the likely cause.
class CallFailed : public std::runtime_error {
  public:
    CallFailed(std::string call, int code, Origin origin, std::string hint = "");
    const std::string &call() const { return call_; }
    int code() const { return code_; }
    Origin origin() const { return origin_; }
    const std::string &hint() const { return hint_; }

  private:
    std::string call_;
    int code_;
    Origin origin_;
    std::string hint_;
};

// Throws CallFailed unless `code` is ERR_Success; `hint` is asked for only then.
void check(const std::string &call, int code, Origin origin = Origin::Plugin,
           const std::function<std::string(int)> &hint = nullptr);

// Arguments that no call should be made with (out of range, more than the module has); exit
// status 2, as for any other argument error.
class BadArgument : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Nothing could be read at all (no bus, no sensor): exit status 1.
class NothingRead : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The result of one command: named fields and, for listings, a table. In JSON every result
// is one object with "ok"; a reading carries its value under the key of its unit (celsius,
// volts, amperes, watts, rpm), rounded to what the sensor resolves.
class Report {
  public:
    explicit Report(bool json) : json_(json) {}
    // A field: its JSON value and the text a person reads.
    void field(const std::string &key, const Json &value, const std::string &text);
    void field(const std::string &key, const Json &value);
    // What a command that changes something did ("pair 1 of slot 0 put into bypass").
    void done(const std::string &what) { field("done", what); }
    void columns(std::vector<std::string> headers) { headers_ = std::move(headers); }
    void row(const Json &value, std::vector<std::string> cells);
    void print() const;
    static void print_failure(const CallFailed &failure, bool json);
    // A failure without a call (bad arguments, nothing read): the message as JSON too.
    static void print_error(const std::string &kind, const std::string &message, bool json);

  private:
    bool json_;
    Json doc_ = Json{{"ok", true}};
    std::vector<std::pair<std::string, std::string>> lines_;
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
    Json json_rows_ = Json::array();
};

// A reading rounded to `places` decimals, as JSON holds it (1.05, not 1.0499999523162842).
Json rounded(double value, int places);

std::string hex(unsigned value, int digits = 2);
std::string fixed(double value, int places);            // "%.*f"
std::string mask_text(unsigned mask, const char *what); // "0x05 (pairs 1, 3)"

} // namespace zrqctl
