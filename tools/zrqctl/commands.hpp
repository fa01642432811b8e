// The subcommands of zrqctl, one area (plug-in) a file.
#pragma once

#include "host.hpp"

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <string>

namespace zrqctl {

// The slot switch has 8 channels: slots 1 to 8 behind it, 0 on the main board.
constexpr int kSwitchChannels = 8;

struct Context {
    bool json = false;
    std::string plugins; // --plugins
    int maxslots = kSwitchChannels;
    std::function<void(Report &)> action; // set by the chosen subcommand

    std::string dir() const { return plugin_dir(plugins); }
};

// A whole number as people type it: decimal ("08" is eight: nothing is read as octal), or
// hexadecimal with 0x; turned into plain decimal for the option it checks, or refused with
// the range in the message.
inline CLI::Validator number(long lo, long hi) {
    return CLI::Validator(
        [lo, hi](std::string &text) -> std::string {
            const bool hex =
                text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
            const std::string digits = hex ? text.substr(2) : text;
            const char *allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
            if (digits.empty() || digits.size() > 9 ||
                digits.find_first_not_of(allowed) != std::string::npos)
                return "must be a number (decimal, or hexadecimal with 0x), not \"" + text + "\"";
            const long v = std::stol(digits, nullptr, hex ? 16 : 10);
            if (v < lo || v > hi)
                return "must be " + std::to_string(lo) + " to " + std::to_string(hi) + ", not " +
                       text;
            text = std::to_string(v);
            return "";
        },
        std::to_string(lo) + ".." + std::to_string(hi));
}

// A required whole-number argument in lo..hi.
inline CLI::Option *number_arg(CLI::App *cmd, const char *name, int &value, long lo, long hi,
                               const char *help) {
    return cmd->add_option(name, value, help)->required()->transform(number(lo, hi));
}

// "on"/"off" (or 1/0) to 1/0.
inline CLI::Option *add_switch(CLI::App *cmd, const char *name, int &value, const char *help) {
    return cmd->add_option(name, value, help)
        ->required()
        ->transform(CLI::Validator(
            [](std::string &text) -> std::string {
                if (text == "on" || text == "1") return text = "1", "";
                if (text == "off" || text == "0") return text = "0", "";
                return "must be on or off (or 1 or 0), not \"" + text + "\"";
            },
            "on|off"));
}

// One of a fixed set of words.
inline CLI::Validator one_of(std::vector<std::string> words) {
    return CLI::Validator(
        [words](std::string &text) -> std::string {
            for (const std::string &w : words)
                if (text == w) return "";
            std::string list;
            for (const std::string &w : words) list += (list.empty() ? "" : ", ") + w;
            return "must be one of " + list + ", not \"" + text + "\"";
        },
        "WORD");
}

// When subcommand `cmd` is chosen, `body` runs with plug-in `plugin` loaded.
using Body = std::function<void(const Plugin &, Report &)>;
inline void on_run(Context &ctx, CLI::App *cmd, const char *plugin, Body body) {
    cmd->callback([&ctx, plugin, body] {
        ctx.action = [&ctx, plugin, body](Report &r) {
            const Plugin p(ctx.dir(), plugin);
            body(p, r);
        };
    });
}

void add_lbp(CLI::App &app, Context &ctx);
void add_lcm(CLI::App &app, Context &ctx);
void add_psu(CLI::App &app, Context &ctx);
void add_hwm(CLI::App &app, Context &ctx);
void add_board(CLI::App &app, Context &ctx);

} // namespace zrqctl
