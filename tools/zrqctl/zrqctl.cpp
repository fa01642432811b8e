// zrqctl: a management host for the zrq4470 plug-ins. It loads them with dlopen and calls
// their exports as the appliance's management software does, one subcommand per export.
//
// Exit status: 0 done; 1 a call failed (its status code is named); 2 bad arguments; 3 a
// plug-in could not be loaded.
#include "commands.hpp"
#include "host/usage.hpp"

#include <iostream>

namespace {

// The command line: the global options, then each area's commands.
void describe(CLI::App &app, zrqctl::Context &ctx) {
    app.require_subcommand(1);
    // The global options are taken after the area and the command too (zrqctl lbp list --json).
    app.fallthrough();
    app.set_version_flag("--version", "zrqctl " ZRQ_VERSION);
    app.add_flag("--json", ctx.json, "Print results (and failures) as one JSON object with \"ok\"");
    app.add_option("--plugins", ctx.plugins,
                   "Folder of the plug-ins (default: $ZRQ_PLUGIN_DIR, else ../lib beside zrqctl)");
    app.add_option("--maxslots", ctx.maxslots,
                   "Highest LAN bypass slot the plug-in may reach: 0 (main board only) to 8, "
                   "the slot switch's channels")
        ->capture_default_str()
        ->transform(zrqctl::number(0, zrqctl::kSwitchChannels));
    zrqctl::add_lbp(app, ctx);
    zrqctl::add_lcm(app, ctx);
    zrqctl::add_psu(app, ctx);
    zrqctl::add_hwm(app, ctx);
    zrqctl::add_board(app, ctx);
}

int run(int argc, char **argv) {
    zrqctl::Context ctx;
    // Known before parsing, so that an argument error comes as JSON too.
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--json") ctx.json = true;
    CLI::App app{"zrqctl: reach the zrq4470's LAN bypass modules, LCD module, power supplies "
                 "and hardware monitor through their plug-ins"};
    describe(app, ctx);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        zrqctl::Report::print_error(
            "usage", zrqhost::in_our_words(app, e) + " (run with --help for more)", ctx.json);
        return 2;
    }
    if (!ctx.action) {
        zrqctl::Report::print_error("usage", "no command given", ctx.json);
        return 2;
    }
    zrqctl::Report report(ctx.json);
    try {
        ctx.action(report);
    } catch (const zrqctl::CallFailed &f) {
        zrqctl::Report::print_failure(f, ctx.json);
        return 1;
    } catch (const zrqctl::BadArgument &e) {
        zrqctl::Report::print_error("usage", e.what(), ctx.json);
        return 2;
    } catch (const zrqctl::NothingRead &e) {
        zrqctl::Report::print_error("nothing read", e.what(), ctx.json);
        return 1;
    } catch (const std::exception &e) {
        zrqctl::Report::print_error("plug-in", e.what(), ctx.json);
        return 3;
    }
    report.print();
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::cerr << "zrqctl: " << e.what() << "\n";
        return 3;
    }
}
