// zrqctl lcm: the front-panel LCD module and keypad. Every command opens the link (which
// probes the module's rate and clears the display), does its work and closes the link.
#include "commands.hpp"
#include "pvqinc.h"

#define EXPORT(plugin, name) (plugin).fn<decltype(name)>(#name)

namespace zrqctl {
namespace {

struct LcmArgs {
    std::string port; // a pseudo-terminal, through the test build of the plug-in
    std::vector<std::string> text;
    int a = 0, b = 0;
    unsigned rate = 0;
};

// The plug-in with the link open for the length of one command.
class Session {
  public:
    Session(Context &ctx, const LcmArgs &args)
        : plugin_(ctx.dir(), args.port.empty() ? "zrq4470lcm.so" : "zrq4470lcm_test.so") {
        if (!args.port.empty()) {
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
        check("_brdPVQ_LCM_DeviceOpen", r);
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

} // namespace

void add_lcm(CLI::App &app, Context &ctx) {
    auto a = std::make_shared<LcmArgs>();
    CLI::App *cmd = app.add_subcommand("lcm", "Front-panel LCD module and keypad");
    cmd->require_subcommand(1);
    cmd->add_option("--port", a->port,
                    "Talk to an LCD module on this pseudo-terminal (test build of the plug-in)");

    // A command with no result but its status.
    auto simple = [&ctx, a](CLI::App *c, const char *symbol,
                            const std::function<int(const Plugin &)> &call) {
        c->callback([&ctx, a, symbol, call] {
            ctx.action = [&ctx, a, symbol, call](Report &r) {
                Session s(ctx, *a);
                check(symbol, call(s.plugin()));
                r.field("result", "ERR_Success");
            };
        });
    };
    auto u8 = [](int v) { return static_cast<unsigned char>(v); };

    auto *c = cmd->add_subcommand("info", "Model number, version and link rate");
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

    c = cmd->add_subcommand("write", "Write a line at row 1, and a second one at row 2");
    c->add_option("text", a->text, "One or two lines")->required()->expected(1, 2);
    c->callback([&ctx, a] {
        ctx.action = [&ctx, a](Report &r) {
            Session s(ctx, *a);
            for (size_t row = 0; row < a->text.size(); ++row) {
                check("_brdPVQ_LCM_SetCursor", EXPORT(s.plugin(), _brdPVQ_LCM_SetCursor)(
                                                   1, static_cast<unsigned char>(row + 1)));
                std::string t = a->text[row];
                check("_brdPVQ_LCM_WriteString", EXPORT(s.plugin(), _brdPVQ_LCM_WriteString)(
                                                     reinterpret_cast<unsigned char *>(t.data())));
            }
            r.field("result", "ERR_Success");
        };
    });

    c = cmd->add_subcommand("write-at", "Write text from a column and row");
    c->add_option("column", a->a, "1 to 20")->required()->check(CLI::Range(0, 255));
    c->add_option("row", a->b, "1 or 2")->required()->check(CLI::Range(0, 255));
    c->add_option("text", a->text, "Text")->required()->expected(1);
    c->callback([&ctx, a, u8] {
        ctx.action = [&ctx, a, u8](Report &r) {
            Session s(ctx, *a);
            check("_brdPVQ_LCM_SetCursor",
                  EXPORT(s.plugin(), _brdPVQ_LCM_SetCursor)(u8(a->a), u8(a->b)));
            std::string t = a->text.front();
            check("_brdPVQ_LCM_WriteString", EXPORT(s.plugin(), _brdPVQ_LCM_WriteString)(
                                                 reinterpret_cast<unsigned char *>(t.data())));
            r.field("result", "ERR_Success");
        };
    });

    simple(cmd->add_subcommand("clear", "Clear the display"), "_brdPVQ_LCM_DisplayClear",
           [](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_DisplayClear)(); });
    simple(cmd->add_subcommand("reset", "Reset the module"), "_brdPVQ_LCM_Reset",
           [](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_Reset)(); });

    c = cmd->add_subcommand("light", "Display light on or off");
    add_switch(c, "state", a->a, "on or off");
    simple(c, "_brdPVQ_LCM_LightCtrl",
           [a, u8](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_LightCtrl)(u8(a->a)); });

    c = cmd->add_subcommand("wrap", "Line wrap on or off");
    add_switch(c, "state", a->a, "on or off");
    simple(c, "_brdPVQ_LCM_WrapCtrl",
           [a, u8](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_WrapCtrl)(u8(a->a)); });

    c = cmd->add_subcommand("brightness", "Brightness level 1 to 8");
    c->add_option("level", a->a, "1 to 8")->required()->check(CLI::Range(0, 255));
    simple(c, "_brdPVQ_LCM_Brightness",
           [a, u8](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_Brightness)(u8(a->a)); });

    c = cmd->add_subcommand("cursor", "Cursor off (0) or one of two styles (1, 2)");
    c->add_option("mode", a->a, "0, 1 or 2")->required()->check(CLI::Range(0, 255));
    simple(c, "_brdPVQ_LCM_CursorModeCtrl",
           [a, u8](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_CursorModeCtrl)(u8(a->a)); });

    c = cmd->add_subcommand("speed", "Tell the module to use another baud rate");
    c->add_option("rate", a->rate, "115200, 57600, 38400, 19200, 9600, 4800 or 2400")->required();
    simple(c, "_brdPVQ_LCM_SetSpeed",
           [a](const Plugin &p) { return EXPORT(p, _brdPVQ_LCM_SetSpeed)(a->rate); });

    c = cmd->add_subcommand("startup", "The module's start-up message, up to 40 characters");
    c->add_option("text", a->text, "Message")->required()->expected(1);
    simple(c, "_brdPVQ_LCM_StartupMsg", [a](const Plugin &p) {
        std::string t = a->text.front();
        const auto n = static_cast<unsigned char>(t.size() > 255 ? 255 : t.size());
        return EXPORT(p, _brdPVQ_LCM_StartupMsg)(reinterpret_cast<unsigned char *>(t.data()), n);
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
            r.field("keys", keys, hex(keys) + " (" + name + ")");
        };
    });
}

} // namespace zrqctl
