// lcmemu: an LCD module emulator on a pseudo-terminal, for trying the LCD plug-in without the
// appliance. Prints the pseudo-terminal's path, then writes the module's 20 x 2 screen to
// FILE whenever it changes, until SIGINT or SIGTERM.
//
//   lcmemu [--baud RATE] [--screen FILE] [--keys FIFO] [--attach LINE]
#include "lcm_emulator.hpp"

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char *const kUsage =
    "usage: lcmemu [--baud RATE] [--screen FILE] [--keys FIFO] [--attach LINE]\n"
    "An LCD module (20 x 2, four keys) on a pseudo-terminal. Prints the pseudo-terminal's path,\n"
    "then runs until SIGINT or SIGTERM (Ctrl-C).\n"
    "  --baud RATE    the rate the module answers at: 115200 (default), 57600, 38400, 19200,\n"
    "                 9600, 4800 or 2400\n"
    "  --screen FILE  write the module's screen to FILE whenever it changes (-: print it)\n"
    "  --keys FIFO    make a named pipe FIFO; each letter A to D written to it is a key tap\n"
    "  --attach LINE  be the module on an existing terminal or Unix socket (a virtual\n"
    "                 machine's serial port, say) instead of a new pseudo-terminal; it then\n"
    "                 answers at any rate\n"
    "Point zrqctl at it: zrqctl lcm --port PTY info\n";

struct Options {
    unsigned long baud = 115200;
    std::string screen_file, keys_file, attach;
};

// The command line; the exit status when the program should end at once (help, a bad
// argument), else -1.
int parse(int argc, char **argv, Options &o) {
    unsigned long &baud = o.baud;
    std::string &screen_file = o.screen_file, &keys_file = o.keys_file;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--baud") == 0 && i + 1 < argc) {
            char *end = nullptr;
            baud = std::strtoul(argv[++i], &end, 10);
            // The rates the module and the plug-in know.
            bool known = false;
            for (unsigned long r : {115200ul, 57600ul, 38400ul, 19200ul, 9600ul, 4800ul, 2400ul})
                known = known || baud == r;
            if (*end != '\0' || !known)
                return std::fprintf(stderr,
                                    "lcmemu: --baud: must be one of 115200, 57600, 38400, 19200, "
                                    "9600, 4800, 2400, not %s\n",
                                    argv[i]),
                       2;
        } else if (std::strcmp(argv[i], "--screen") == 0 && i + 1 < argc) {
            screen_file = argv[++i];
        } else if (std::strcmp(argv[i], "--keys") == 0 && i + 1 < argc) {
            keys_file = argv[++i];
        } else if (std::strcmp(argv[i], "--attach") == 0 && i + 1 < argc) {
            o.attach = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("%s", kUsage);
            return 0;
        } else {
            std::fprintf(stderr, "lcmemu: unexpected argument %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    // The screen file must be writable from the start, not fail unseen at the first change.
    if (!screen_file.empty() && screen_file != "-") {
        std::ofstream probe(screen_file + ".tmp");
        if (!probe)
            return std::fprintf(stderr, "lcmemu: --screen: %s.tmp cannot be written: %s\n",
                                screen_file.c_str(), std::strerror(errno)),
                   2;
        probe.close();
        std::remove((screen_file + ".tmp").c_str());
    }
    return -1;
}

// The key pipe, made if need be and opened for reading and writing, so that it never reads as
// ended between two writers; -1 when it cannot be, said on stderr.
int open_keys(const std::string &path) {
    if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST)
        return std::fprintf(stderr, "lcmemu: %s: %s\n", path.c_str(), std::strerror(errno)), -1;
    const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) std::fprintf(stderr, "lcmemu: %s: %s\n", path.c_str(), std::strerror(errno));
    return fd;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (const int status = parse(argc, argv, o); status >= 0) return status;
    const unsigned long baud = o.baud;
    const std::string &screen_file = o.screen_file, &keys_file = o.keys_file;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr); // before the emulator's thread starts

    int keys = -1;
    if (!keys_file.empty() && (keys = open_keys(keys_file)) < 0) return 1;
    std::unique_ptr<zrqsim::LcmEmulator> made;
    try {
        made = o.attach.empty()
                   ? std::make_unique<zrqsim::LcmEmulator>(static_cast<uint32_t>(baud))
                   : std::make_unique<zrqsim::LcmEmulator>(zrqsim::LcmEmulator::Attach{o.attach},
                                                           static_cast<uint32_t>(baud));
    } catch (const std::exception &e) {
        return std::fprintf(stderr, "lcmemu: --attach: %s\n", e.what()), 2;
    }
    zrqsim::LcmEmulator &emu = *made;
    std::printf("%s\n", emu.slave_path().c_str());
    std::fflush(stdout);
    std::string shown;
    const timespec tick{0, 20 * 1000 * 1000};
    for (;;) {
        const int sig = sigtimedwait(&stop, nullptr, &tick);
        char typed[64];
        ssize_t n;
        while (keys >= 0 && (n = read(keys, typed, sizeof typed)) > 0)
            for (ssize_t k = 0; k < n; ++k)
                if (typed[k] >= 'A' && typed[k] <= 'D') emu.tap_key(typed[k]);
        const auto s = emu.screen();
        const std::string now =
            "+--------------------+\n|" + s[0] + "|\n|" + s[1] + "|\n+--------------------+\n";
        if (screen_file == "-" && now != shown) {
            std::fputs(now.c_str(), stdout);
            std::fflush(stdout);
            shown = now;
        } else if (!screen_file.empty() && now != shown) {
            std::ofstream(screen_file + ".tmp") << now;
            std::rename((screen_file + ".tmp").c_str(), screen_file.c_str());
            shown = now;
        }
        if (sig > 0) {
            if (keys >= 0) {
                close(keys);
                unlink(keys_file.c_str());
            }
            return 0;
        }
    }
}
