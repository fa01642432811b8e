// zrqctl: a management host for the zrq4470 plug-ins. It loads them with dlopen and calls
// their exports as the appliance's management software does, one subcommand per export.
//
// Exit status: 0 done; 1 a call failed (its status code is named); 2 bad arguments; 3 a
// plug-in could not be loaded.
#include "commands.hpp"

#include <iostream>

namespace {

int run(int argc, char **argv) {
    zrqctl::Context ctx;
    CLI::App app{"zrqctl: reach the zrq4470's LAN bypass modules, LCD module, power supplies "
                 "and hardware monitor through their plug-ins"};
    app.require_subcommand(1);
    app.add_flag("--json", ctx.json, "Print results as JSON");
    app.add_option("--plugins", ctx.plugins,
                   "Folder of the plug-ins (default: $ZRQ_PLUGIN_DIR, else ../lib beside zrqctl)");
    app.add_option("--maxslots", ctx.maxslots, "Highest LAN bypass slot of the platform")
        ->check(CLI::Range(0, 65535));
    zrqctl::add_lbp(app, ctx);
    zrqctl::add_lcm(app, ctx);
    zrqctl::add_psu(app, ctx);
    zrqctl::add_hwm(app, ctx);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::cerr << "zrqctl: " << e.what() << "\n";
        // Name the words that matched nothing, the likeliest mistake.
        for (const std::string &word : app.remaining(true))
            std::cerr << "zrqctl: unexpected argument: " << word << "\n";
        std::cerr << "Run with --help for more information.\n";
        return 2;
    }
    if (!ctx.action) {
        std::cerr << "zrqctl: no command given\n";
        return 2;
    }
    zrqctl::Report report(ctx.json);
    try {
        ctx.action(report);
    } catch (const zrqctl::CallFailed &f) {
        zrqctl::Report::print_failure(f, ctx.json);
        return 1;
    } catch (const std::exception &e) {
        std::cerr << "zrqctl: " << e.what() << "\n";
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
