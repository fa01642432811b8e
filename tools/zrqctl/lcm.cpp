// zrqctl lcm: the front-panel LCD module and keypad. Every command opens the link (which
// probes the module's rate and, as the module's open does, clears the display), does its
// work and closes the link.
#include "commands.hpp"
#include "pvqinc.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#define EXPORT(plugin, name) (plugin).fn<decltype(name)>(#name)

namespace zrqctl {
namespace {

struct LcmArgs {
    std::string port; // a pseudo-terminal, through the test build of the plug-in
    std::vector<std::string> text;
    int a = 0, b = 0;
    unsigned rate = 0;
};

// Who holds `port` the way the LCD plug-in does, with an advisory lock (the kernel lists it in
// /proc/locks by device and inode): "the front panel is held by the service zrqd (pid 812)...",
// or "" when nobody does.
std::string port_holder(const std::string &port) {
    struct stat st {};
    if (::stat(port.c_str(), &st) != 0) return "";
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 812 00:1a:3 0 EOF"
        std::istringstream in(line);
        std::string n, kind, mode, access, pid, where;
        if (!(in >> n >> kind >> mode >> access >> pid >> where) || kind != "FLOCK") continue;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu", &major, &minor, &inode) != 3) continue;
        if (inode != st.st_ino || major != ::major(st.st_dev) || minor != ::minor(st.st_dev))
            continue;
        std::string comm;
        std::ifstream("/proc/" + pid + "/comm") >> comm;
        if (comm == "zrqd")
            return "the front panel is held by the service zrqd (pid " + pid +
                   "), which owns the LCD while it runs; stop it first (systemctl stop zrqd)";
        return port + " is held by " + (comm.empty() ? "another program" : comm) + " (pid " + pid +
               ")";
    }
    return "";
}

// The module's own port, named outright or not, is the shipped plug-in's.
bool shipped(const LcmArgs &args) {
    return args.port.empty() || args.port == "/dev/ttyS1";
}

// The plug-in with the link open for the length of one command.
class Session {
  public:
    Session(Context &ctx, const LcmArgs &args)
        : plugin_(ctx.dir(), shipped(args) ? "zrq4470lcm.so" : "zrq4470lcm_test.so") {
        // Refused before the plug-in's probe would write over it.
        if (const std::string why =
                zrqhost::not_a_terminal(args.port.empty() ? "/dev/ttyS1" : args.port);
            !why.empty())
            throw BadArgument("--port: " + why);
        if (!shipped(args)) {
            // Only the test build can be pointed at another port than /dev/ttyS1.
            auto *set_port =
                reinterpret_cast<void (*)(const char *)>(plugin_.find("lcm_test_set_port"));
            if (set_port == nullptr)
                throw std::runtime_error("this LCD plug-in has no --port setting");
            set_port(args.port.c_str());
        }
        const int r = EXPORT(plugin_, _brdPVQ_LCM_DeviceOpen)();
        // No rate answered: the port is still open with its receive thread, and this
        // constructor throws, so no destructor would close it before the plug-in is unloaded.
        if (r == ERR_OpenFail) EXPORT(plugin_, _brdPVQ_LCM_DeviceClose)();
        const std::string port = args.port.empty() ? "/dev/ttyS1" : args.port;
        check("_brdPVQ_LCM_DeviceOpen", r, Origin::Plugin, [&port](int) -> std::string {
            if (const std::string holder = port_holder(port); !holder.empty()) return holder;
            if (::access(port.c_str(), F_OK) != 0)
                return "there is no " + port + " on this machine";
            if (::access(port.c_str(), R_OK | W_OK) != 0)
                return port + " cannot be opened for reading and writing by this user";
            return "no LCD module answered on " + port +
                   " at any rate, or another program holds the port";
        });
        opened_ = true;
    }
    ~Session() {
        if (opened_) EXPORT(plugin_, _brdPVQ_LCM_DeviceClose)();
    }
    const Plugin &plugin() const { return plugin_; }

  private:
    Plugin plugin_;
    bool opened_ = false;
};

// Text as the module shows it: printable ASCII only (its character set has no other letters
// at these codes), at most `room` characters.
std::string screen_text(const std::string &text, size_t room, const std::string &what) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c > 0x7E) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", c);
            throw BadArgument(what + ": character " + std::to_string(i + 1) + " (byte " + code +
                              ") is not printable ASCII, which is all the module shows");
        }
    }
    if (text.size() > room)
        throw BadArgument(what + " has " + std::to_string(text.size()) +
                          " characters; the module shows " + std::to_string(room) + " there");
    return text;
}

using LcmRef = std::shared_ptr<LcmArgs>;
// What a command that changes a setting says it did (and in JSON the value set).
using Said = std::function<void(Report &)>;
using Call = std::function<int(const Plugin &)>;

// A command with no result but its status.
void simple(Context &ctx, const LcmRef &a, CLI::App *c, const char *symbol, Call call, Said said) {
    c->callback([&ctx, a, symbol, call, said] {
        ctx.action = [&ctx, a, symbol, call, said](Report &r) {
            Session s(ctx, *a);
            check(symbol, call(s.plugin()));
            said(r);
        };
    });
}

unsigned char uc(int v) {
    return static_cast<unsigned char>(v);
}

std::string on_off(int v) {
    return v ? "on" : "off";
}

// What the module is.
void add_info(CLI::App *cmd, Context &ctx, const LcmRef &a) {
    CLI::App *c = cmd->add_subcommand("info", "Model number, version and link rate");
    c->callback([&ctx, a] {
        ctx.action = [&ctx, a](Report &r) {
            Session s(ctx, *a);
            LCM_INFO i{};
            check("_brdPVQ_LCM_DeviceInfo", EXPORT(s.plugin(), _brdPVQ_LCM_DeviceInfo)(&i));
            r.field("model", i.uwModeNo, hex(i.uwModeNo, 4));
            r.field("version", i.uwVersion, hex(i.uwVersion, 4));
            r.field("baudrate", i.udwBaudrate);
        };
    });
}

// Text on the screen.
void add_writes(CLI::App *cmd, Context &ctx, const LcmRef &a) {
    CLI::App *c =
        cmd->add_subcommand("write", "Write a line at row 1, and a second one at row 2 (20 "
                                     "printable ASCII characters each)");
    c->add_option("text", a->text, "One or two lines")->required()->expected(1, 2);
    c->callback([&ctx, a] {
        ctx.action = [&ctx, a](Report &r) {
            for (size_t row = 0; row < a->text.size(); ++row)
                screen_text(a->text[row], 20, "line " + std::to_string(row + 1));
            Session s(ctx, *a);
            for (size_t row = 0; row < a->text.size(); ++row) {
                check("_brdPVQ_LCM_SetCursor", EXPORT(s.plugin(), _brdPVQ_LCM_SetCursor)(
                                                   1, static_cast<unsigned char>(row + 1)));
                std::string t = a->text[row];
                check("_brdPVQ_LCM_WriteString", EXPORT(s.plugin(), _brdPVQ_LCM_WriteString)(
                                                     reinterpret_cast<unsigned char *>(t.data())));
            }
            r.done(std::to_string(a->text.size()) + (a->text.size() == 1 ? " line" : " lines") +
                   " written");
        };
    });

    c = cmd->add_subcommand("write-at", "Write text from a column and row");
    number_arg(c, "column", a->a, 1, 20, "1 to 20");
    number_arg(c, "row", a->b, 1, 2, "1 or 2");
    c->add_option("text", a->text, "Text, up to the end of the row")->required()->expected(1);
    c->callback([&ctx, a] {
        ctx.action = [&ctx, a](Report &r) {
            screen_text(a->text.front(), static_cast<size_t>(21 - a->a), "the text");
            Session s(ctx, *a);
            check("_brdPVQ_LCM_SetCursor",
                  EXPORT(s.plugin(), _brdPVQ_LCM_SetCursor)(uc(a->a), uc(a->b)));
            std::string t = a->text.front();
            check("_brdPVQ_LCM_WriteString", EXPORT(s.plugin(), _brdPVQ_LCM_WriteString)(
                                                 reinterpret_cast<unsigned char *>(t.data())));
            r.done("written at column " + std::to_string(a->a) + ", row " + std::to_string(a->b));
        };
    });
}

// Clearing, resetting, and the light and line wrap.
void add_switches(CLI::App *cmd, Context &ctx, const LcmRef &a) {
    CLI::App *c = nullptr;
    simple(
        ctx, a, cmd->add_subcommand("clear", "Clear the display"), "_brdPVQ_LCM_DisplayClear",
        [](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_DisplayClear)(); },
        [](Report &r) { r.done("display cleared"); });
    simple(
        ctx, a, cmd->add_subcommand("reset", "Reset the module"), "_brdPVQ_LCM_Reset",
        [](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_Reset)(); },
        [](Report &r) { r.done("module reset"); });

    c = cmd->add_subcommand("light", "Display light on or off");
    add_switch(c, "state", a->a, "on or off");
    simple(
        ctx, a, c, "_brdPVQ_LCM_LightCtrl",
        [a](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_LightCtrl)(uc(a->a)); },
        [a](Report &r) { r.done("light turned " + on_off(a->a), "light", a->a != 0); });

    c = cmd->add_subcommand("wrap", "Line wrap on or off");
    add_switch(c, "state", a->a, "on or off");
    simple(
        ctx, a, c, "_brdPVQ_LCM_WrapCtrl",
        [a](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_WrapCtrl)(uc(a->a)); },
        [a](Report &r) { r.done("line wrap turned " + on_off(a->a), "wrap", a->a != 0); });
}

// Brightness, cursor and link rate.
void add_levels(CLI::App *cmd, Context &ctx, const LcmRef &a) {
    CLI::App *c = cmd->add_subcommand("brightness", "Brightness level 1 to 8");
    number_arg(c, "level", a->a, 1, 8, "1 to 8");
    simple(
        ctx, a, c, "_brdPVQ_LCM_Brightness",
        [a](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_Brightness)(uc(a->a)); },
        [a](Report &r) {
            r.done("brightness set to " + std::to_string(a->a), "brightness", a->a);
        });

    c = cmd->add_subcommand("cursor", "Cursor off (0) or one of two styles (1, 2)");
    number_arg(c, "mode", a->a, 0, 2, "0, 1 or 2");
    simple(
        ctx, a, c, "_brdPVQ_LCM_CursorModeCtrl",
        [a](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_CursorModeCtrl)(uc(a->a)); },
        [a](Report &r) {
            r.done(a->a == 0 ? "cursor turned off" : "cursor set to style " + std::to_string(a->a),
                   "cursor", a->a);
        });

    c = cmd->add_subcommand("speed", "Tell the module to use another baud rate");
    c->add_option("rate", a->rate, "115200, 57600, 38400, 19200, 9600, 4800 or 2400")
        ->required()
        ->check(one_of({"115200", "57600", "38400", "19200", "9600", "4800", "2400"}));
    simple(
        ctx, a, c, "_brdPVQ_LCM_SetSpeed",
        [a](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_SetSpeed)(a->rate); },
        [a](Report &r) {
            r.done("link rate set to " + std::to_string(a->rate) + " baud", "baudrate", a->rate);
        });
}

// The start-up message, and the keypad.
void add_startup_and_keys(CLI::App *cmd, Context &ctx, const LcmRef &a) {
    CLI::App *c = cmd->add_subcommand(
        "startup", "The module's start-up message, up to 40 printable ASCII characters");
    c->add_option("text", a->text, "Message")
        ->required()
        ->expected(1)
        ->check(CLI::Validator(
            [](std::string &text) -> std::string {
                try {
                    screen_text(text, 40, "the message");
                    return "";
                } catch (const BadArgument &e) {
                    return e.what();
                }
            },
            "TEXT"));
    simple(
        ctx, a, c, "_brdPVQ_LCM_StartupMsg",
        [a](const Plugin &p) {
            std::string t = a->text.front();
            const auto n = static_cast<unsigned char>(t.size());
            return EXPORT(p, _brdPVQ_LCM_StartupMsg)(reinterpret_cast<unsigned char *>(t.data()),
                                                     n);
        },
        [a](Report &r) {
            r.done("start-up message set to \"" + a->text.front() + "\"", "startup",
                   a->text.front());
        });

    c = cmd->add_subcommand("keys", "Which front-panel key is pressed");
    c->callback([&ctx, a] {
        ctx.action = [&ctx, a](Report &r) {
            Session s(ctx, *a);
            unsigned char keys = 0;
            check("_brdPVQ_LCM_KeysStatus", EXPORT(s.plugin(), _brdPVQ_LCM_KeysStatus)(&keys));
            const char *name = keys == LCMKEY_A   ? "A"
                               : keys == LCMKEY_B ? "B"
                               : keys == LCMKEY_C ? "C"
                               : keys == LCMKEY_D ? "D"
                                                  : "none";
            // The plug-in reads the first byte of whatever answer comes: a module whose model
            // begins with 'A' to 'D' makes a late model answer read as that key.
            LCM_INFO info{};
            const bool model_known =
                EXPORT(s.plugin(), _brdPVQ_LCM_DeviceInfo)(&info) == ERR_Success;
            const int first = model_known ? info.uwModeNo >> 8 : 0;
            const bool ambiguous =
                keys != 0 && first >= 'A' && first <= 'D' && keys == (1u << (first - 'A'));
            r.field("keys", keys,
                    hex(keys) + " (" + name +
                        (ambiguous
                             ? "; ambiguous: the module's model " + hex(info.uwModeNo, 4) +
                                   " begins with '" + std::string(1, static_cast<char>(first)) +
                                   "', which a model answer read here would give"
                             : "") +
                        ")");
            if (ambiguous) r.field("ambiguous", true);
        };
    });
}

} // namespace

void add_lcm(CLI::App &app, Context &ctx) {
    auto a = std::make_shared<LcmArgs>();
    CLI::App *cmd = app.add_subcommand(
        "lcm", "Front-panel LCD module and keypad (every command opens the module's link, and "
               "the module's open clears its screen)");
    cmd->require_subcommand(1);
    cmd->add_option("--port", a->port,
                    "Talk to an LCD module on this pseudo-terminal (test build of the plug-in)");
    add_info(cmd, ctx, a);
    add_writes(cmd, ctx, a);
    add_switches(cmd, ctx, a);
    add_levels(cmd, ctx, a);
    add_startup_and_keys(cmd, ctx, a);
}

} // namespace zrqctl
