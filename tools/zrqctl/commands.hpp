// The subcommands of zrqctl, one area (plug-in) a file.
#pragma once

#include "host.hpp"

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <string>

namespace zrqctl {

struct Context {
    bool json = false;
    std::string plugins; // --plugins
    int maxslots = 4;
    std::function<void(Report &)> action; // set by the chosen subcommand

    std::string dir() const { return plugin_dir(plugins); }
};

// "on"/"off" (or 1/0) to 1/0.
inline CLI::Option *add_switch(CLI::App *cmd, const char *name, int &value, const char *help) {
    return cmd->add_option(name, value, help)
        ->required()
        ->transform(CLI::CheckedTransformer(std::map<std::string, int>{{"on", 1}, {"off", 0}}))
        ->check(CLI::Range(0, 1));
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

} // namespace zrqctl
