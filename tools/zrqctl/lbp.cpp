// zrqctl lbp: the LAN bypass modules.
#include "commands.hpp"
#include "pvqinc.h"

#define EXPORT(plugin, name) (plugin).fn<decltype(name)>(#name)

namespace zrqctl {
namespace {

struct LbpArgs {
    int slot = 0, pair = 1, port = 1, on = 0, mask = 0, timer = 1, seconds = 0, action = 1;
    std::string phase;
};

// A call that may pass up the slot switch's own code.
void lbp_check(const std::string &call, int code) {
    check(call, code, Origin::SlotSwitch);
}

std::string slot_call(const char *name, int slot) {
    return std::string(name) + "(slot " + std::to_string(slot) + ")";
}

void list(Context &ctx, Report &r) {
    Plugin p(ctx.dir(), "zrq4470lbp.so");
    uint16_t mask = 0;
    lbp_check("_brdPVQ_LBP_QueryDevices",
              EXPORT(p, _brdPVQ_LBP_QueryDevices)(&mask, static_cast<uint16_t>(ctx.maxslots)));
    r.field("mask", mask, hex(mask, 4));
    r.columns({"slot", "module"});
    for (int s = 0; s <= ctx.maxslots && s < 16; ++s) {
        const bool present = mask & (1u << s);
        r.row(Json{{"slot", s}, {"present", present}},
              {std::to_string(s), present ? "present" : "-"});
    }
}

void info(Context &ctx, Report &r, int slot) {
    Plugin p(ctx.dir(), "zrq4470lbp.so");
    LBPDEV_INFO i{};
    lbp_check(slot_call("_brdPVQ_LBP_DeviceInfo", slot),
              EXPORT(p, _brdPVQ_LBP_DeviceInfo)(static_cast<uint8_t>(slot), &i,
                                                static_cast<uint16_t>(ctx.maxslots)));
    r.field("slot", i.ubSlotIndex);
    r.field("version", std::to_string(i.ubVersion[0]) + "." + std::to_string(i.ubVersion[1]));
    r.field("type", i.ubType);
    r.field("modules", i.ubModules);
    r.field("system_off_pairs", i.ubSystemOff_Pairs, mask_text(i.ubSystemOff_Pairs, "pairs"));
    r.field("just_on_pairs", i.ubJustOn_Pairs, mask_text(i.ubJustOn_Pairs, "pairs"));
    r.field("runtime_pairs", i.ubRuntime_Pairs, mask_text(i.ubRuntime_Pairs, "pairs"));
    r.field("timer1_max_sec", i.uwTimer1_MaxSec);
    r.field("timer2_max_sec", i.uwTimer2_MaxSec);
    r.field("timer3_max_sec", i.uwTimer3_MaxSec);
}

void status(Context &ctx, Report &r, int slot) {
    Plugin p(ctx.dir(), "zrq4470lbp.so");
    PAIRS_STATUS s{};
    lbp_check(slot_call("_brdPVQ_LBP_GetPairsStatus", slot),
              EXPORT(p, _brdPVQ_LBP_GetPairsStatus)(static_cast<uint8_t>(slot), &s,
                                                    static_cast<uint16_t>(ctx.maxslots)));
    r.field("slot", s.ubSlotIndex);
    r.field("system_off_bypass", s.ubSystemOff_PairsBypass,
            mask_text(s.ubSystemOff_PairsBypass, "pairs"));
    r.field("just_on_bypass", s.ubJustOn_PairsBypass, mask_text(s.ubJustOn_PairsBypass, "pairs"));
    r.field("runtime_bypass", s.ubRuntime_PairsBypass, mask_text(s.ubRuntime_PairsBypass, "pairs"));
    r.field("just_on_disconnect", s.ubJustOn_PortsDisconnect,
            mask_text(s.ubJustOn_PortsDisconnect, "ports"));
    r.field("runtime_disconnect", s.ubRuntime_PortsDisconnect,
            mask_text(s.ubRuntime_PortsDisconnect, "ports"));
}

// Runs one command export that takes (slot, ..., maxslots) and reports success.
template <typename F> void command(Report &r, const std::string &call, F &&invoke) {
    lbp_check(call, invoke());
    r.field("result", "ERR_Success");
}

CLI::Option *slot_arg(CLI::App *cmd, LbpArgs &a) {
    return cmd->add_option("slot", a.slot, "Slot (0 is the main board)")
        ->required()
        ->check(CLI::Range(0, 255));
}

} // namespace

void add_lbp(CLI::App &app, Context &ctx) {
    auto a = std::make_shared<LbpArgs>();
    CLI::App *lbp = app.add_subcommand("lbp", "LAN bypass modules");
    lbp->require_subcommand(1);
    auto u8 = [](int v) { return static_cast<uint8_t>(v); };
    auto max = [&ctx] { return static_cast<uint16_t>(ctx.maxslots); };

    lbp->add_subcommand("list", "Which slots hold a module")->callback([&ctx] {
        ctx.action = [&ctx](Report &r) { list(ctx, r); };
    });
    auto *c = lbp->add_subcommand("info", "Version, capabilities and timer maxima of a module");
    slot_arg(c, *a);
    c->callback([&ctx, a] { ctx.action = [&ctx, a](Report &r) { info(ctx, r, a->slot); }; });

    c = lbp->add_subcommand("status", "Bypass and disconnect masks of a module");
    slot_arg(c, *a);
    c->callback([&ctx, a] { ctx.action = [&ctx, a](Report &r) { status(ctx, r, a->slot); }; });

    c = lbp->add_subcommand("bypass", "Put one pair into bypass at run time, or take it out");
    slot_arg(c, *a);
    c->add_option("pair", a->pair, "Pair number, from 1")->required()->check(CLI::Range(0, 255));
    add_switch(c, "state", a->on, "on or off");
    c->callback([&ctx, a, u8, max] {
        ctx.action = [&ctx, a, u8, max](Report &r) {
            Plugin p(ctx.dir(), "zrq4470lbp.so");
            command(r, slot_call("_brdPVQ_LBP_SetPairBypass", a->slot), [&] {
                return EXPORT(p, _brdPVQ_LBP_SetPairBypass)(u8(a->slot), u8(a->pair), u8(a->on),
                                                            max());
            });
        };
    });

    c = lbp->add_subcommand("pairs", "Set a whole bypass mask of one phase");
    slot_arg(c, *a);
    c->add_option("phase", a->phase, "system-off, just-on or runtime")
        ->required()
        ->check(CLI::IsMember({"system-off", "just-on", "runtime"}));
    c->add_option("mask", a->mask, "Pair mask (pair n is bit n-1), e.g. 0x03")
        ->required()
        ->check(CLI::Range(0, 255));
    c->callback([&ctx, a, u8, max] {
        ctx.action = [&ctx, a, u8, max](Report &r) {
            Plugin p(ctx.dir(), "zrq4470lbp.so");
            auto *fn = a->phase == "system-off" ? EXPORT(p, _brdPVQ_LBP_SetSystemOffPairs)
                       : a->phase == "just-on"  ? EXPORT(p, _brdPVQ_LBP_SetJustOnPairs)
                                                : EXPORT(p, _brdPVQ_LBP_SetAllPairs);
            command(r,
                    slot_call(a->phase == "system-off" ? "_brdPVQ_LBP_SetSystemOffPairs"
                              : a->phase == "just-on"  ? "_brdPVQ_LBP_SetJustOnPairs"
                                                       : "_brdPVQ_LBP_SetAllPairs",
                              a->slot),
                    [&] { return fn(u8(a->slot), u8(a->mask), max()); });
        };
    });

    c = lbp->add_subcommand("disconnect", "Disconnect one port at run time, or reconnect it");
    slot_arg(c, *a);
    c->add_option("port", a->port, "Port number, from 1")->required()->check(CLI::Range(0, 255));
    add_switch(c, "state", a->on, "on (disconnected) or off");
    c->callback([&ctx, a, u8, max] {
        ctx.action = [&ctx, a, u8, max](Report &r) {
            Plugin p(ctx.dir(), "zrq4470lbp.so");
            command(r, slot_call("_brdPVQ_LBP_SetPortDisconnect", a->slot), [&] {
                return EXPORT(p, _brdPVQ_LBP_SetPortDisconnect)(u8(a->slot), u8(a->port), u8(a->on),
                                                                max());
            });
        };
    });

    c = lbp->add_subcommand("disconnect-all", "Set the whole run-time disconnect mask");
    slot_arg(c, *a);
    c->add_option("mask", a->mask, "Port mask (port n is bit n-1)")
        ->required()
        ->check(CLI::Range(0, 255));
    c->callback([&ctx, a, u8, max] {
        ctx.action = [&ctx, a, u8, max](Report &r) {
            Plugin p(ctx.dir(), "zrq4470lbp.so");
            command(r, slot_call("_brdPVQ_LBP_SetAllPortsDisconnect", a->slot), [&] {
                return EXPORT(p, _brdPVQ_LBP_SetAllPortsDisconnect)(u8(a->slot), u8(a->mask),
                                                                    max());
            });
        };
    });

    c = lbp->add_subcommand("save", "Make the module keep its configuration");
    slot_arg(c, *a);
    c->callback([&ctx, a, u8, max] {
        ctx.action = [&ctx, a, u8, max](Report &r) {
            Plugin p(ctx.dir(), "zrq4470lbp.so");
            command(r, slot_call("_brdPVQ_LBP_SaveConfig", a->slot),
                    [&] { return EXPORT(p, _brdPVQ_LBP_SaveConfig)(u8(a->slot), max()); });
        };
    });

    c = lbp->add_subcommand("factory-reset", "Restore the module's factory settings");
    slot_arg(c, *a);
    c->callback([&ctx, a, u8, max] {
        ctx.action = [&ctx, a, u8, max](Report &r) {
            Plugin p(ctx.dir(), "zrq4470lbp.so");
            command(r, slot_call("_brdPVQ_LBP_FactoryReset", a->slot),
                    [&] { return EXPORT(p, _brdPVQ_LBP_FactoryReset)(u8(a->slot), max()); });
        };
    });

    CLI::App *timer = lbp->add_subcommand("timer", "The module's countdown timers");
    timer->require_subcommand(1);
    c = timer->add_subcommand("config", "Count and action of a timer");
    slot_arg(c, *a);
    c->add_option("timer", a->timer, "Timer 1 to 3")->required()->check(CLI::Range(0, 255));
    c->add_option("seconds", a->seconds, "Time in seconds")
        ->required()
        ->check(CLI::Range(0, 65535));
    c->add_option("action", a->action, "bypass (1) or disconnect (2)")
        ->required()
        ->transform(
            CLI::CheckedTransformer(std::map<std::string, int>{{"bypass", 1}, {"disconnect", 2}}))
        ->check(CLI::Range(0, 255));
    c->add_option("mask", a->mask, "Pairs to bypass, or ports to disconnect")
        ->required()
        ->check(CLI::Range(0, 255));
    c->callback([&ctx, a, u8, max] {
        ctx.action = [&ctx, a, u8, max](Report &r) {
            Plugin p(ctx.dir(), "zrq4470lbp.so");
            LBP_TIMERCFG cfg{};
            cfg.ubTimerNo = u8(a->timer);
            cfg.uwTimeSec = static_cast<uint16_t>(a->seconds);
            cfg.ubAction = u8(a->action);
            cfg.ubEffect = u8(a->mask);
            command(r, slot_call("_brdPVQ_LBP_TimerConfig", a->slot),
                    [&] { return EXPORT(p, _brdPVQ_LBP_TimerConfig)(u8(a->slot), cfg, max()); });
        };
    });
    struct TimerOp {
        const char *name, *help, *symbol;
    };
    static constexpr TimerOp kOps[] = {
        {"start", "Start a timer (1 or 2)", "_brdPVQ_LBP_TimerStart"},
        {"stop", "Stop a timer", "_brdPVQ_LBP_TimerStop"},
        {"tick", "Restart a running timer (1 or 2)", "_brdPVQ_LBP_TimerTick"}};
    for (const TimerOp &op : kOps) {
        c = timer->add_subcommand(op.name, op.help);
        slot_arg(c, *a);
        c->add_option("timer", a->timer, "Timer number")->required()->check(CLI::Range(0, 255));
        c->callback([&ctx, a, u8, max, op] {
            ctx.action = [&ctx, a, u8, max, op](Report &r) {
                Plugin p(ctx.dir(), "zrq4470lbp.so");
                auto *fn = p.fn<decltype(_brdPVQ_LBP_TimerStart)>(op.symbol);
                command(r, slot_call(op.symbol, a->slot),
                        [&] { return fn(u8(a->slot), u8(a->timer), max()); });
            };
        });
    }
    c = timer->add_subcommand("status", "Status byte of a timer");
    slot_arg(c, *a);
    c->add_option("timer", a->timer, "Timer 1 to 3")->required()->check(CLI::Range(0, 255));
    c->callback([&ctx, a, u8, max] {
        ctx.action = [&ctx, a, u8, max](Report &r) {
            Plugin p(ctx.dir(), "zrq4470lbp.so");
            uint8_t st = 0;
            lbp_check(slot_call("_brdPVQ_LBP_TimerStatus", a->slot),
                      EXPORT(p, _brdPVQ_LBP_TimerStatus)(u8(a->slot), u8(a->timer), &st, max()));
            r.field("timer", a->timer);
            r.field("status", st, std::to_string(st) + (st == 1 ? " (running)" : ""));
        };
    });
}

} // namespace zrqctl
