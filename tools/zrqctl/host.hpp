// What zrqctl adds to the host library (plug-in loading, status names): failures with their
// likely cause, and results printed for people (aligned text) or machines (JSON).
#pragma once

#include "host/host.hpp"

#include <nlohmann/json.hpp>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace zrqctl {

using Json = nlohmann::ordered_json;

using zrqhost::errno_name;
using zrqhost::Origin;
using zrqhost::Plugin;
using zrqhost::plugin_dir;
using zrqhost::status_name;
using zrqhost::status_text;

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
    // A change with the value it set, under `key` in JSON ("brightness": 3).
    void done(const std::string &what, const std::string &key, const Json &value) {
        done(what);
        doc_[key] = value;
    }
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
