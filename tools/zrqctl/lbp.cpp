// zrqctl lbp: the LAN bypass modules.
#include "commands.hpp"
#include "pvqinc.h"

#define EXPORT(plugin, name) (plugin).fn<decltype(name)>(#name)

namespace zrqctl {
namespace {

constexpr const char *kLbpPlugin = "zrq4470lbp.so";

struct LbpArgs {
    int slot = 0, number = 1, on = 0, mask = 0, seconds = 0, action = 1;
    std::string phase;
    uint8_t u8slot() const { return static_cast<uint8_t>(slot); }
};

std::string slot_call(const char *name, int slot) {
    return std::string(name) + "(slot " + std::to_string(slot) + ")";
}

// A call that may pass up the slot switch's own code.
void lbp_check(const char *name, int slot, int code) {
    check(slot_call(name, slot), code, Origin::SlotSwitch);
}

void done(Report &r) {
    r.field("result", "ERR_Success");
}

CLI::App *slot_command(CLI::App *parent, const char *name, const char *help, LbpArgs &a) {
    CLI::App *c = parent->add_subcommand(name, help);
    c->add_option("slot", a.slot, "Slot (0 is the main board)")
        ->required()
        ->check(CLI::Range(0, 255));
    return c;
}

CLI::Option *byte_arg(CLI::App *c, const char *name, int &value, const char *help) {
    return c->add_option(name, value, help)->required()->check(CLI::Range(0, 255));
}

} // namespace

void add_lbp(CLI::App &app, Context &ctx) {
    auto a = std::make_shared<LbpArgs>();
    CLI::App *lbp = app.add_subcommand("lbp", "LAN bypass modules");
    lbp->require_subcommand(1);
    auto max = [&ctx] { return static_cast<uint16_t>(ctx.maxslots); };
    auto u8 = [](int v) { return static_cast<uint8_t>(v); };

    on_run(ctx, lbp->add_subcommand("list", "Which slots hold a module"), kLbpPlugin,
           [&ctx, max](const Plugin &p, Report &r) {
               uint16_t mask = 0;
               check("_brdPVQ_LBP_QueryDevices", EXPORT(p, _brdPVQ_LBP_QueryDevices)(&mask, max()),
                     Origin::SlotSwitch);
               r.field("mask", mask, hex(mask, 4));
               r.columns({"slot", "module"});
               for (int s = 0; s <= ctx.maxslots && s < 16; ++s) {
                   const bool present = mask & (1u << s);
                   r.row(Json{{"slot", s}, {"present", present}},
                         {std::to_string(s), present ? "present" : "-"});
               }
           });

    on_run(ctx, slot_command(lbp, "info", "Version, capabilities and timer maxima", *a), kLbpPlugin,
           [a, max](const Plugin &p, Report &r) {
               LBPDEV_INFO i{};
               lbp_check("_brdPVQ_LBP_DeviceInfo", a->slot,
                         EXPORT(p, _brdPVQ_LBP_DeviceInfo)(a->u8slot(), &i, max()));
               r.field("slot", i.ubSlotIndex);
               r.field("version",
                       std::to_string(i.ubVersion[0]) + "." + std::to_string(i.ubVersion[1]));
               r.field("type", i.ubType);
               r.field("modules", i.ubModules);
               r.field("system_off_pairs", i.ubSystemOff_Pairs,
                       mask_text(i.ubSystemOff_Pairs, "pairs"));
               r.field("just_on_pairs", i.ubJustOn_Pairs, mask_text(i.ubJustOn_Pairs, "pairs"));
               r.field("runtime_pairs", i.ubRuntime_Pairs, mask_text(i.ubRuntime_Pairs, "pairs"));
               r.field("timer1_max_sec", i.uwTimer1_MaxSec);
               r.field("timer2_max_sec", i.uwTimer2_MaxSec);
               r.field("timer3_max_sec", i.uwTimer3_MaxSec);
           });

    on_run(ctx, slot_command(lbp, "status", "Bypass and disconnect masks", *a), kLbpPlugin,
           [a, max](const Plugin &p, Report &r) {
               PAIRS_STATUS s{};
               lbp_check("_brdPVQ_LBP_GetPairsStatus", a->slot,
                         EXPORT(p, _brdPVQ_LBP_GetPairsStatus)(a->u8slot(), &s, max()));
               r.field("slot", s.ubSlotIndex);
               r.field("system_off_bypass", s.ubSystemOff_PairsBypass,
                       mask_text(s.ubSystemOff_PairsBypass, "pairs"));
               r.field("just_on_bypass", s.ubJustOn_PairsBypass,
                       mask_text(s.ubJustOn_PairsBypass, "pairs"));
               r.field("runtime_bypass", s.ubRuntime_PairsBypass,
                       mask_text(s.ubRuntime_PairsBypass, "pairs"));
               r.field("just_on_disconnect", s.ubJustOn_PortsDisconnect,
                       mask_text(s.ubJustOn_PortsDisconnect, "ports"));
               r.field("runtime_disconnect", s.ubRuntime_PortsDisconnect,
                       mask_text(s.ubRuntime_PortsDisconnect, "ports"));
           });

    CLI::App *c =
        slot_command(lbp, "bypass", "Put one pair into bypass at run time, or take it out", *a);
    byte_arg(c, "pair", a->number, "Pair number, from 1");
    add_switch(c, "state", a->on, "on or off");
    on_run(ctx, c, kLbpPlugin, [a, max, u8](const Plugin &p, Report &r) {
        lbp_check(
            "_brdPVQ_LBP_SetPairBypass", a->slot,
            EXPORT(p, _brdPVQ_LBP_SetPairBypass)(a->u8slot(), u8(a->number), u8(a->on), max()));
        done(r);
    });

    c = slot_command(lbp, "pairs", "Set the whole bypass mask of one phase", *a);
    c->add_option("phase", a->phase, "system-off, just-on or runtime")
        ->required()
        ->check(CLI::IsMember({"system-off", "just-on", "runtime"}));
    byte_arg(c, "mask", a->mask, "Pair mask (pair n is bit n-1), e.g. 0x03");
    on_run(ctx, c, kLbpPlugin, [a, max, u8](const Plugin &p, Report &r) {
        const char *name = a->phase == "system-off" ? "_brdPVQ_LBP_SetSystemOffPairs"
                           : a->phase == "just-on"  ? "_brdPVQ_LBP_SetJustOnPairs"
                                                    : "_brdPVQ_LBP_SetAllPairs";
        lbp_check(name, a->slot,
                  p.fn<decltype(_brdPVQ_LBP_SetAllPairs)>(name)(a->u8slot(), u8(a->mask), max()));
        done(r);
    });

    c = slot_command(lbp, "disconnect", "Disconnect one port at run time, or reconnect it", *a);
    byte_arg(c, "port", a->number, "Port number, from 1");
    add_switch(c, "state", a->on, "on (disconnected) or off");
    on_run(ctx, c, kLbpPlugin, [a, max, u8](const Plugin &p, Report &r) {
        lbp_check(
            "_brdPVQ_LBP_SetPortDisconnect", a->slot,
            EXPORT(p, _brdPVQ_LBP_SetPortDisconnect)(a->u8slot(), u8(a->number), u8(a->on), max()));
        done(r);
    });

    c = slot_command(lbp, "disconnect-all", "Set the whole run-time disconnect mask", *a);
    byte_arg(c, "mask", a->mask, "Port mask (port n is bit n-1)");
    on_run(ctx, c, kLbpPlugin, [a, max, u8](const Plugin &p, Report &r) {
        lbp_check("_brdPVQ_LBP_SetAllPortsDisconnect", a->slot,
                  EXPORT(p, _brdPVQ_LBP_SetAllPortsDisconnect)(a->u8slot(), u8(a->mask), max()));
        done(r);
    });

    struct SlotOp {
        const char *name, *help, *symbol;
    };
    static constexpr SlotOp kSlotOps[] = {
        {"save", "Make the module keep its configuration", "_brdPVQ_LBP_SaveConfig"},
        {"factory-reset", "Restore the module's factory settings", "_brdPVQ_LBP_FactoryReset"}};
    for (const SlotOp &op : kSlotOps)
        on_run(ctx, slot_command(lbp, op.name, op.help, *a), kLbpPlugin,
               [a, max, op](const Plugin &p, Report &r) {
                   lbp_check(op.symbol, a->slot,
                             p.fn<decltype(_brdPVQ_LBP_SaveConfig)>(op.symbol)(a->u8slot(), max()));
                   done(r);
               });

    CLI::App *timer = lbp->add_subcommand("timer", "The module's countdown timers");
    timer->require_subcommand(1);
    c = slot_command(timer, "config", "Count and action of a timer", *a);
    byte_arg(c, "timer", a->number, "Timer 1 to 3");
    c->add_option("seconds", a->seconds, "Time in seconds")
        ->required()
        ->check(CLI::Range(0, 65535));
    c->add_option("action", a->action, "bypass (1) or disconnect (2)")
        ->required()
        ->transform(
            CLI::CheckedTransformer(std::map<std::string, int>{{"bypass", 1}, {"disconnect", 2}}))
        ->check(CLI::Range(0, 255));
    byte_arg(c, "mask", a->mask, "Pairs to bypass, or ports to disconnect");
    on_run(ctx, c, kLbpPlugin, [a, max, u8](const Plugin &p, Report &r) {
        LBP_TIMERCFG cfg{};
        cfg.ubTimerNo = u8(a->number);
        cfg.uwTimeSec = static_cast<uint16_t>(a->seconds);
        cfg.ubAction = u8(a->action);
        cfg.ubEffect = u8(a->mask);
        lbp_check("_brdPVQ_LBP_TimerConfig", a->slot,
                  EXPORT(p, _brdPVQ_LBP_TimerConfig)(a->u8slot(), cfg, max()));
        done(r);
    });

    static constexpr SlotOp kTimerOps[] = {
        {"start", "Start a timer (1 or 2)", "_brdPVQ_LBP_TimerStart"},
        {"stop", "Stop a timer", "_brdPVQ_LBP_TimerStop"},
        {"tick", "Restart a running timer (1 or 2)", "_brdPVQ_LBP_TimerTick"}};
    for (const SlotOp &op : kTimerOps) {
        c = slot_command(timer, op.name, op.help, *a);
        byte_arg(c, "timer", a->number, "Timer number");
        on_run(ctx, c, kLbpPlugin, [a, max, u8, op](const Plugin &p, Report &r) {
            auto *fn = p.fn<decltype(_brdPVQ_LBP_TimerStart)>(op.symbol);
            lbp_check(op.symbol, a->slot, fn(a->u8slot(), u8(a->number), max()));
            done(r);
        });
    }
    c = slot_command(timer, "status", "Status byte of a timer", *a);
    byte_arg(c, "timer", a->number, "Timer 1 to 3");
    on_run(ctx, c, kLbpPlugin, [a, max, u8](const Plugin &p, Report &r) {
        uint8_t st = 0;
        lbp_check("_brdPVQ_LBP_TimerStatus", a->slot,
                  EXPORT(p, _brdPVQ_LBP_TimerStatus)(a->u8slot(), u8(a->number), &st, max()));
        r.field("timer", a->number);
        r.field("status", st, std::to_string(st) + (st == 1 ? " (running)" : ""));
    });
}

} // namespace zrqctl
