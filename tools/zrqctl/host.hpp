// What zrqctl needs to act as a management host: loading plug-ins by name at run time,
// naming status codes, and printing results for people (aligned text) or machines (JSON).
#pragma once

#include <nlohmann/json.hpp>

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

// Where a status code outside the plug-ins' own seven comes from.
enum class Origin { Plugin, SlotSwitch, IoLibrary };

// "ERR_InvalidParam", or "-16 (the slot switch's own code, passed up unchanged)".
std::string status_text(int code, Origin origin);
std::string status_name(int code); // "ERR_..." or "" for codes outside the seven

// A failed call: the exit status 1 and the code named.
class CallFailed : public std::runtime_error {
  public:
    CallFailed(std::string call, int code, Origin origin);
    const std::string &call() const { return call_; }
    int code() const { return code_; }
    Origin origin() const { return origin_; }

  private:
    std::string call_;
    int code_;
    Origin origin_;
};

// Throws CallFailed unless `code` is ERR_Success.
void check(const std::string &call, int code, Origin origin = Origin::Plugin);

// The result of one command: named fields and, for listings, a table.
class Report {
  public:
    explicit Report(bool json) : json_(json) {}
    // A field: its JSON value and the text a person reads.
    void field(const std::string &key, const Json &value, const std::string &text);
    void field(const std::string &key, const Json &value);
    void columns(std::vector<std::string> headers) { headers_ = std::move(headers); }
    void row(const Json &value, std::vector<std::string> cells);
    void print() const;
    static void print_failure(const CallFailed &failure, bool json);

  private:
    bool json_;
    Json doc_ = Json::object();
    std::vector<std::pair<std::string, std::string>> lines_;
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
    Json json_rows_ = Json::array();
};

std::string hex(unsigned value, int digits = 2);
std::string fixed(double value, int places);            // "%.*f"
std::string mask_text(unsigned mask, const char *what); // "0x05 (pairs 1, 3)"

} // namespace zrqctl
