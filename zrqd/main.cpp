// zrqd: the zrq4470's front-panel and metrics service. It loads the board-support plug-ins as
// the management host does, keeps the LCD module's panel (pages, keypad, alerts) and serves
// every sensor, power supply and bypass state to Prometheus at /metrics.
//
//   zrqd [--config FILE]     SIGTERM/SIGINT stop it, SIGHUP reloads FILE
#include "config.hpp"
#include "log.hpp"
#include "service.hpp"

#include "host/usage.hpp"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace {

constexpr const char *kDefaultConfig = "/etc/zrqd.json";

// The configuration: the file named, else /etc/zrqd.json when there is one, else the defaults.
zrqd::Config configuration(const std::string &path, bool named) {
    if (named || std::filesystem::exists(path)) return zrqd::load_config(path);
    return zrqd::Config{};
}

// Runs the service until SIGTERM or SIGINT, reloading on SIGHUP; the exit status.
int serve(const std::string &path, bool named) {
    // Signals are taken by this thread alone, by sigwait: blocked before any thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    for (const int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A scraper that hangs up must not end the service.
    std::signal(SIGPIPE, SIG_IGN);

    try {
        zrqd::Config config = configuration(path, named);
        zrqd::Service service(config);
        service.start();
        zrqd::log(zrqd::Level::Notice, "started (" +
                                           std::string(named || std::filesystem::exists(path)
                                                           ? "configuration " + path
                                                           : "no " + path + ": defaults") +
                                           ")");
        for (;;) {
            int sig = 0;
            if (sigwait(&signals, &sig) != 0) continue;
            if (sig == SIGHUP) {
                try {
                    config = configuration(path, true);
                    service.reload(config);
                } catch (const zrqd::ConfigError &e) {
                    zrqd::log(zrqd::Level::Error,
                              std::string(e.what()) + "; the configuration in use stays");
                }
                continue;
            }
            zrqd::log(zrqd::Level::Notice, std::string("stopping on ") + strsignal(sig));
            service.stop();
            zrqd::log(zrqd::Level::Notice, "stopped");
            return 0;
        }
    } catch (const zrqd::ListenError &e) {
        zrqd::log(zrqd::Level::Error, path + ": at /listen: " + e.what());
        return 2;
    } catch (const zrqd::ConfigError &e) {
        zrqd::log(zrqd::Level::Error, e.what());
        return 2;
    } catch (const std::exception &e) {
        zrqd::log(zrqd::Level::Error, e.what());
        return 1;
    }
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"zrqd: the zrq4470's front panel (LCD module and keypad) and its Prometheus "
                 "metrics, on the board-support plug-ins"};
    std::string path = kDefaultConfig;
    auto *opt =
        app.add_option("--config", path, "Configuration file (JSON)")->capture_default_str();
    app.set_version_flag("--version", "zrqd " ZRQ_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        // One line in our words, and the status of any unusable configuration.
        std::cerr << "zrqd: " << zrqhost::in_our_words(app, e) << " (run with --help for more)\n";
        return 2;
    }
    const bool named = opt->count() > 0;

    return serve(path, named);
}
