// zrqd's configuration: a JSON file (default /etc/zrqd.json) in which every key has a default.
// A file that cannot be used is refused with one line naming the file and the place in it.
#pragma once

#include <array>
#include <stdexcept>
#include <string>

namespace zrqd {

// The keys of the keypad, in the order up, down, enter, escape; each one of the module's key
// characters 'A' to 'D'.
using KeyMap = std::array<char, 4>;

struct Config {
    std::string name; // shown on the panel; "" for the host name
    std::string listen_host = "127.0.0.1";
    int listen_port = 9470; // 0: any free port (the log says which)
    std::string plugins;    // folder of the plug-ins; "" for the default
    int poll_interval_ms = 5000;
    bool sole_host = false; // no other host switches the SMBus slot switch
    int maxslots = 8;
    struct Panel {
        bool enabled = true;
        std::string port; // "" for /dev/ttyS1 through the shipped plug-in
        int key_pause_ms = 100;
        int rotate_after_s = 30; // 0: never
        int dim_after_s = 300;   // 0: never
        int brightness = 8;
        int dim_brightness = 1;
        KeyMap keys{'A', 'B', 'C', 'D'};

        bool operator==(const Panel &) const = default;
    } panel;

    bool operator==(const Config &) const = default;
};

class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The `listen` value cannot be served (a host the resolver refuses, an address in use): a
// configuration that cannot be used, found at start.
class ListenError : public ConfigError {
  public:
    using ConfigError::ConfigError;
};

// "host:port" as a URL has it: an IPv6 address in brackets.
std::string host_port(const std::string &host, int port);

// The configuration in `text`; `path` names the file in messages. Throws ConfigError.
Config parse_config(const std::string &path, const std::string &text);
// The configuration in the file at `path`; throws ConfigError when it cannot be read.
Config load_config(const std::string &path);

} // namespace zrqd
