// zrqctl lbp: the LAN bypass modules.
#include "commands.hpp"

#include <cstring>
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

std::string list_of(unsigned mask, const char *what) {
    std::string list;
    int count = 0;
    for (unsigned n = 1; n <= 8; ++n)
        if (mask & (1u << (n - 1))) list += (count++ ? ", " : "") + std::to_string(n);
    // "pair 3", "pairs 1, 2"
    const std::string name = count == 1 ? std::string(what, std::strlen(what) - 1) : what;
    return count == 0 ? std::string("no ") + what : name + " " + list;
}

// Why a call on `slot` likely failed, from what the bus and the module show.
std::string why_slot_failed(const Plugin &p, int slot, uint16_t max, int code) {
    const int e = code < 0 ? -code : code;
    if (code < -7) {
        if (e == ENODEV) return "no SMBus adapter could be had (libpvqsmb said why above)";
        if (e == ENXIO) return "nothing answers at the module's address";
        if (e == ETIMEDOUT || e == EAGAIN) return "the bus did not complete the transfer";
        return "";
    }
    uint16_t present = 0;
    const int listed = EXPORT(p, _brdPVQ_LBP_QueryDevices)(&present, max);
    if (listed == ERR_Success && (present & (1u << slot)) == 0)
        return "no module answers in slot " + std::to_string(slot) +
               " (lbp list shows the slots that hold one)";
    if (listed == -ENODEV) return "no SMBus adapter could be had (libpvqsmb said why above)";
    return "";
}

// A call on `slot` that may pass up the SMBus library's own code.
void lbp_check(const Plugin &p, const char *name, int slot, uint16_t max, int code) {
    check(slot_call(name, slot), code, Origin::SmbusLibrary,
          [&](int c) { return why_slot_failed(p, slot, max, c); });
}

LBPDEV_INFO module_info(const Plugin &p, int slot, uint16_t max) {
    LBPDEV_INFO i{};
    lbp_check(p, "_brdPVQ_LBP_DeviceInfo", slot, max,
              EXPORT(p, _brdPVQ_LBP_DeviceInfo)(static_cast<uint8_t>(slot), &i, max));
    return i;
}

// The slot is one the switch has and --maxslots lets the plug-in reach.
void check_slot(int slot, int maxslots) {
    if (slot > maxslots)
        throw BadArgument("slot " + std::to_string(slot) + " is above --maxslots " +
                          std::to_string(maxslots));
}

// Refuses a mask with a bit the module lacks in `caps`.
void check_mask(unsigned mask, unsigned caps, int slot, const char *what, const char *phase) {
    if ((mask & ~caps) != 0)
        throw BadArgument("slot " + std::to_string(slot) + "'s module has " + list_of(caps, what) +
                          phase + "; " + hex(mask) + " asks for " + list_of(mask & ~caps, what) +
                          " as well");
}

uint16_t timer_max(const LBPDEV_INFO &i, int timer) {
    return timer == 1 ? i.uwTimer1_MaxSec : timer == 2 ? i.uwTimer2_MaxSec : i.uwTimer3_MaxSec;
}

void check_timer(const LBPDEV_INFO &i, int slot, int timer) {
    if (timer_max(i, timer) == 0)
        throw BadArgument("slot " + std::to_string(slot) + "'s module has no timer " +
                          std::to_string(timer));
}

CLI::App *slot_command(CLI::App *parent, const char *name, const char *help, LbpArgs &a) {
    CLI::App *c = parent->add_subcommand(name, help);
    number_arg(c, "slot", a.slot, 0, kSwitchChannels,
               "Slot: 0 is the main board, 1 to 8 behind the switch");
    return c;
}

using LbpRef = std::shared_ptr<LbpArgs>;
using SlotBody = std::function<void(const Plugin &, uint16_t, Report &)>;

// Every slot command: the slot checked against --maxslots, then `body`.
void on_slot(Context &ctx, const LbpRef &a, CLI::App *c, SlotBody body) {
    on_run(ctx, c, kLbpPlugin, [&ctx, a, body](const Plugin &p, Report &r) {
        check_slot(a->slot, ctx.maxslots);
        body(p, static_cast<uint16_t>(ctx.maxslots), r);
    });
}

uint8_t u8(int v) {
    return static_cast<uint8_t>(v);
}

// Which slots hold a module, and what each module is and shows.
void add_readings(CLI::App *lbp, Context &ctx, const LbpRef &a) {
    on_run(ctx, lbp->add_subcommand("list", "Which slots hold a module"), kLbpPlugin,
           [&ctx](const Plugin &p, Report &r) {
               uint16_t mask = 0;
               const auto max = static_cast<uint16_t>(ctx.maxslots);
               check("_brdPVQ_LBP_QueryDevices", EXPORT(p, _brdPVQ_LBP_QueryDevices)(&mask, max),
                     Origin::SmbusLibrary, [&](int c) { return why_slot_failed(p, 0, max, c); });
               r.field("mask", mask, hex(mask, 4));
               r.columns({"slot", "module"});
               for (int s = 0; s <= ctx.maxslots; ++s) {
                   const bool present = mask & (1u << s);
                   r.row(Json{{"slot", s}, {"present", present}},
                         {std::to_string(s), present ? "present" : "-"});
               }
           });

    on_slot(ctx, a, slot_command(lbp, "info", "Version, capabilities and timer maxima", *a),
            [a](const Plugin &p, uint16_t max, Report &r) {
                const LBPDEV_INFO i = module_info(p, a->slot, max);
                r.field("slot", i.ubSlotIndex);
                r.field("version",
                        std::to_string(i.ubVersion[0]) + "." + std::to_string(i.ubVersion[1]));
                r.field("type", i.ubType);
                r.field("modules", i.ubModules);
                r.field("system_off_pairs", i.ubSystemOff_Pairs,
                        mask_text(i.ubSystemOff_Pairs, "pairs"));
                r.field("just_on_pairs", i.ubJustOn_Pairs, mask_text(i.ubJustOn_Pairs, "pairs"));
                r.field("runtime_pairs", i.ubRuntime_Pairs, mask_text(i.ubRuntime_Pairs, "pairs"));
                for (int t = 1; t <= 3; ++t) {
                    const uint16_t m = timer_max(i, t);
                    r.field("timer" + std::to_string(t) + "_max_sec", m,
                            m == 0
                                ? "- (no such timer)"
                                : std::to_string(m) + " s" + (t == 3 ? " (5-second steps)" : ""));
                }
            });

    on_slot(ctx, a, slot_command(lbp, "status", "Bypass and disconnect masks", *a),
            [a](const Plugin &p, uint16_t max, Report &r) {
                PAIRS_STATUS s{};
                lbp_check(p, "_brdPVQ_LBP_GetPairsStatus", a->slot, max,
                          EXPORT(p, _brdPVQ_LBP_GetPairsStatus)(a->u8slot(), &s, max));
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
}

// Pairs into bypass: one at a time at run time, or the whole mask of a phase.
void add_bypass(CLI::App *lbp, Context &ctx, const LbpRef &a) {
    CLI::App *c;
    c = slot_command(lbp, "bypass", "Put one pair into bypass at run time, or take it out", *a);
    number_arg(c, "pair", a->number, 1, 8, "Pair number, from 1");
    add_switch(c, "state", a->on, "on or off");
    on_slot(ctx, a, c, [a](const Plugin &p, uint16_t max, Report &r) {
        check_mask(1u << (a->number - 1), module_info(p, a->slot, max).ubRuntime_Pairs, a->slot,
                   "pairs", " at run time");
        lbp_check(p, "_brdPVQ_LBP_SetPairBypass", a->slot, max,
                  EXPORT(p, _brdPVQ_LBP_SetPairBypass)(a->u8slot(), u8(a->number), u8(a->on), max));
        r.done("pair " + std::to_string(a->number) + " of slot " + std::to_string(a->slot) +
               (a->on ? " put into bypass" : " taken out of bypass"));
    });

    c = slot_command(lbp, "pairs", "Set the whole bypass mask of one phase", *a);
    c->add_option("phase", a->phase, "system-off, just-on or runtime")
        ->required()
        ->check(one_of({"system-off", "just-on", "runtime"}));
    number_arg(c, "mask", a->mask, 0, 255, "Pair mask (pair n is bit n-1), e.g. 0x03");
    on_slot(ctx, a, c, [a](const Plugin &p, uint16_t max, Report &r) {
        const LBPDEV_INFO i = module_info(p, a->slot, max);
        const bool off = a->phase == "system-off", just = a->phase == "just-on";
        check_mask(static_cast<unsigned>(a->mask),
                   off    ? i.ubSystemOff_Pairs
                   : just ? i.ubJustOn_Pairs
                          : i.ubRuntime_Pairs,
                   a->slot, "pairs",
                   off    ? " for system-off"
                   : just ? " for just-on"
                          : " at run time");
        const char *name = off    ? "_brdPVQ_LBP_SetSystemOffPairs"
                           : just ? "_brdPVQ_LBP_SetJustOnPairs"
                                  : "_brdPVQ_LBP_SetAllPairs";
        lbp_check(p, name, a->slot, max,
                  p.fn<decltype(_brdPVQ_LBP_SetAllPairs)>(name)(a->u8slot(), u8(a->mask), max));
        r.done(a->phase + " bypass of slot " + std::to_string(a->slot) + " set to " +
               mask_text(static_cast<unsigned>(a->mask), "pairs"));
    });
}

// Ports disconnected, one or all; and what the module keeps (save, factory settings).
void add_disconnect(CLI::App *lbp, Context &ctx, const LbpRef &a) {
    CLI::App *c;
    c = slot_command(lbp, "disconnect", "Disconnect one port at run time, or reconnect it", *a);
    number_arg(c, "port", a->number, 1, 8, "Port number, from 1");
    add_switch(c, "state", a->on, "on (disconnected) or off");
    on_slot(ctx, a, c, [a](const Plugin &p, uint16_t max, Report &r) {
        lbp_check(
            p, "_brdPVQ_LBP_SetPortDisconnect", a->slot, max,
            EXPORT(p, _brdPVQ_LBP_SetPortDisconnect)(a->u8slot(), u8(a->number), u8(a->on), max));
        r.done("port " + std::to_string(a->number) + " of slot " + std::to_string(a->slot) +
               (a->on ? " disconnected" : " reconnected"));
    });

    c = slot_command(lbp, "disconnect-all", "Set the whole run-time disconnect mask", *a);
    number_arg(c, "mask", a->mask, 0, 255, "Port mask (port n is bit n-1)");
    on_slot(ctx, a, c, [a](const Plugin &p, uint16_t max, Report &r) {
        lbp_check(p, "_brdPVQ_LBP_SetAllPortsDisconnect", a->slot, max,
                  EXPORT(p, _brdPVQ_LBP_SetAllPortsDisconnect)(a->u8slot(), u8(a->mask), max));
        r.done("run-time disconnect of slot " + std::to_string(a->slot) + " set to " +
               mask_text(static_cast<unsigned>(a->mask), "ports"));
    });

    struct SlotOp {
        const char *name, *help, *symbol, *done;
    };
    static constexpr SlotOp kSlotOps[] = {
        {"save", "Make the module keep its configuration", "_brdPVQ_LBP_SaveConfig",
         "configuration saved in the module"},
        {"factory-reset", "Restore the module's factory settings", "_brdPVQ_LBP_FactoryReset",
         "factory settings restored"}};
    for (const SlotOp &op : kSlotOps)
        on_slot(ctx, a, slot_command(lbp, op.name, op.help, *a),
                [a, op](const Plugin &p, uint16_t max, Report &r) {
                    lbp_check(p, op.symbol, a->slot, max,
                              p.fn<decltype(_brdPVQ_LBP_SaveConfig)>(op.symbol)(a->u8slot(), max));
                    r.done(std::string(op.done) + " (slot " + std::to_string(a->slot) + ")");
                });
}

// How a timer counts and what it does when it runs out.
void add_timer_config(CLI::App *timer, Context &ctx, const LbpRef &a) {
    CLI::App *c;
    c = slot_command(timer, "config", "Count and action of a timer", *a);
    number_arg(c, "timer", a->number, 1, 3, "Timer 1 to 3");
    number_arg(c, "seconds", a->seconds, 0, 65535,
               "Time in seconds, up to the timer's maximum (lbp info); timer 3 in 5-second steps");
    c->add_option("action", a->action, "bypass or disconnect")
        ->required()
        ->transform(CLI::Validator(
            [](std::string &text) -> std::string {
                if (text == "bypass") return text = "1", "";
                if (text == "disconnect") return text = "2", "";
                return "must be bypass or disconnect, not \"" + text + "\"";
            },
            "bypass|disconnect"));
    number_arg(c, "mask", a->mask, 0, 255, "Pairs to bypass, or ports to disconnect");
    on_slot(ctx, a, c, [a](const Plugin &p, uint16_t max, Report &r) {
        const LBPDEV_INFO i = module_info(p, a->slot, max);
        check_timer(i, a->slot, a->number);
        const std::string name =
            "timer " + std::to_string(a->number) + " of slot " + std::to_string(a->slot);
        if (a->seconds > timer_max(i, a->number))
            throw BadArgument(name + " takes at most " + std::to_string(timer_max(i, a->number)) +
                              " s, not " + std::to_string(a->seconds));
        if (a->number == 3 && a->seconds % 5 != 0)
            throw BadArgument("timer 3 counts in 5-second steps: give a multiple of 5, not " +
                              std::to_string(a->seconds));
        if (a->action == 1)
            check_mask(static_cast<unsigned>(a->mask), i.ubRuntime_Pairs, a->slot, "pairs",
                       " at run time");
        LBP_TIMERCFG cfg{};
        cfg.ubTimerNo = u8(a->number);
        cfg.uwTimeSec = static_cast<uint16_t>(a->seconds);
        cfg.ubAction = u8(a->action);
        cfg.ubEffect = u8(a->mask);
        lbp_check(p, "_brdPVQ_LBP_TimerConfig", a->slot, max,
                  EXPORT(p, _brdPVQ_LBP_TimerConfig)(a->u8slot(), cfg, max));
        r.done(name + " set to " + std::to_string(a->seconds) + " s, then " +
               (a->action == 1
                    ? "bypass " + mask_text(static_cast<unsigned>(a->mask), "pairs")
                    : "disconnect " + mask_text(static_cast<unsigned>(a->mask), "ports")));
    });
}

// Starting, stopping and reading a timer.
void add_timer_runs(CLI::App *timer, Context &ctx, const LbpRef &a) {
    CLI::App *c;
    struct TimerOp {
        const char *name, *help, *symbol, *done;
        int last; // the highest timer the call takes
    };
    static constexpr TimerOp kTimerOps[] = {
        {"start", "Start a timer (1 or 2)", "_brdPVQ_LBP_TimerStart", "started", 2},
        {"stop", "Stop a timer (1 to 3)", "_brdPVQ_LBP_TimerStop", "stopped", 3},
        {"tick", "Restart a running timer (1 or 2)", "_brdPVQ_LBP_TimerTick", "restarted", 2}};
    for (const TimerOp &op : kTimerOps) {
        c = slot_command(timer, op.name, op.help, *a);
        number_arg(c, "timer", a->number, 1, op.last,
                   op.last == 2 ? "Timer 1 or 2" : "Timer 1 to 3");
        on_slot(ctx, a, c, [a, op](const Plugin &p, uint16_t max, Report &r) {
            check_timer(module_info(p, a->slot, max), a->slot, a->number);
            auto *fn = p.fn<decltype(_brdPVQ_LBP_TimerStart)>(op.symbol);
            check(slot_call(op.symbol, a->slot), fn(a->u8slot(), u8(a->number), max),
                  Origin::SmbusLibrary, [&](int code) {
                      uint8_t st = 0;
                      if (code == ERR_InvalidParam && std::string(op.name) == "tick" &&
                          EXPORT(p, _brdPVQ_LBP_TimerStatus)(a->u8slot(), u8(a->number), &st,
                                                             max) == ERR_Success &&
                          st != 1)
                          return "timer " + std::to_string(a->number) +
                                 " is not running: start it first (lbp timer start)";
                      return why_slot_failed(p, a->slot, max, code);
                  });
            r.done("timer " + std::to_string(a->number) + " of slot " + std::to_string(a->slot) +
                   " " + op.done);
        });
    }

    c = slot_command(timer, "status", "Status byte of a timer", *a);
    number_arg(c, "timer", a->number, 1, 3, "Timer 1 to 3");
    on_slot(ctx, a, c, [a](const Plugin &p, uint16_t max, Report &r) {
        check_timer(module_info(p, a->slot, max), a->slot, a->number);
        uint8_t st = 0;
        lbp_check(p, "_brdPVQ_LBP_TimerStatus", a->slot, max,
                  EXPORT(p, _brdPVQ_LBP_TimerStatus)(a->u8slot(), u8(a->number), &st, max));
        r.field("slot", a->slot);
        r.field("timer", a->number);
        r.field("status", st,
                std::to_string(st) + (st == 1   ? " (running)"
                                      : st == 0 ? " (stopped)"
                                                : ""));
        r.field("running", st == 1);
    });
}

} // namespace

void add_lbp(CLI::App &app, Context &ctx) {
    auto a = std::make_shared<LbpArgs>();
    CLI::App *lbp = app.add_subcommand("lbp", "LAN bypass modules");
    lbp->require_subcommand(1);
    add_readings(lbp, ctx, a);
    add_bypass(lbp, ctx, a);
    add_disconnect(lbp, ctx, a);
    CLI::App *timer = lbp->add_subcommand("timer", "The module's countdown timers");
    timer->require_subcommand(1);
    add_timer_config(timer, ctx, a);
    add_timer_runs(timer, ctx, a);
}

} // namespace zrqctl
