// zrqctl hwm: the motherboard hardware monitor.
#include "commands.hpp"
#include "iolib.h"
#include "pvqinc.h"

#include <cerrno>
#include <cstdio>

#define EXPORT(plugin, name) (plugin).fn<decltype(name)>(#name)

namespace zrqctl {
namespace {

constexpr const char *kHwmPlugin = "zrq4470hwm.so";

std::string why_io_failed(int code) {
    switch (code < 0 ? -code : code) {
    case ENODEV:
        return "no hardware monitor could be had (libpvqio said why above)";
    case ENOENT:
        return "the board has no such sensor, or its driver is not loaded";
    default:
        return "";
    }
}

void io_check(const std::string &call, int code) {
    check(call, code, Origin::IoLibrary, why_io_failed);
}

using zrqhost::kCelsius;
using zrqhost::kRpm;
using zrqhost::kStatusWord;
using zrqhost::kVolts;
using zrqhost::Unit;
using zrqhost::unit_of;

// A reading's value in its unit and as people read it; the raw text as the library gave it.
void reading(int item, const char *raw, Json &row, std::string &text) {
    const Unit &u = unit_of(item);
    const long long value = std::atoll(raw);
    if (&u == &kStatusWord) {
        row[u.key] = value;
        text = hex(static_cast<unsigned>(value), 4);
    } else if (&u == &kRpm) {
        row[u.key] = value;
        text = std::to_string(value) + " rpm";
    } else {
        row[u.key] = rounded(static_cast<double>(value) / u.scale, u.places);
        text = fixed(static_cast<double>(value) / u.scale, u.places) + " " + u.symbol;
    }
    row["raw"] = raw;
}

void table(const Plugin &p, Report &r) {
    auto *report = EXPORT(p, _brdPVQ_HWM_GetSensorReport);
    auto *name = EXPORT(p, _brdPVQ_HWM_GetSensorName);
    r.columns({"item", "name", "reading", "raw"});
    int read = 0;
    for (int item = 0; item < HWMID_TOTAL; ++item) {
        char n[64] = {}, v[64] = {};
        const int rn = name(item, n);
        const int rv = report(item, v);
        Json row = {{"item", item}, {"name", rn == 0 ? Json(n) : Json(nullptr)}};
        std::string text = "-", raw;
        if (rv == 0) {
            reading(item, v, row, text);
            raw = v;
            ++read;
        } else {
            row["code"] = rv;
            const std::string err = errno_name(rv);
            row["errno"] = err.empty() ? Json(nullptr) : Json(err);
            raw = err.empty() ? "code " + std::to_string(rv) : err;
        }
        r.row(row, {std::to_string(item), rn == 0 ? n : "?", text, raw});
    }
    if (read == 0)
        throw NothingRead("no sensor could be read (libpvqio said why above, where it knows)");
    unsigned char open = 0;
    io_check("_brdPVQ_HWM_CaseOpenStatus", EXPORT(p, _brdPVQ_HWM_CaseOpenStatus)(&open));
    r.field("case_open", open != 0, open ? "yes" : "no");
}

// A single reading named by its sensor.
void single(Report &r, const std::string &sensor, const Unit &u, double value) {
    r.field("sensor", sensor);
    if (&u == &kRpm)
        r.field(u.key, static_cast<long long>(value), fixed(value, 0) + " rpm");
    else
        r.field(u.key, rounded(value, u.places), fixed(value, u.places) + " " + u.symbol);
}

struct HwmArgs {
    int number = 1, seq = 1, item = 0;
    std::string which;
};
using HwmRef = std::shared_ptr<HwmArgs>;

unsigned char hwm_u8(int v) {
    return static_cast<unsigned char>(v);
}

// The whole table, temperatures and core voltages.
void add_temperatures(CLI::App *cmd, Context &ctx, const HwmRef &a) {
    on_run(ctx, cmd->add_subcommand("table", "Every sensor item with its name and reading"),
           kHwmPlugin, table);

    CLI::App *c = cmd->add_subcommand("temp", "CPU or system temperature");
    c->add_option("which", a->which, "cpu or sys")->required()->check(one_of({"cpu", "sys"}));
    number_arg(c, "number", a->number, 1, 2, "1 or 2");
    on_run(ctx, c, kHwmPlugin, [a](const Plugin &p, Report &r) {
        float t = 0;
        const bool cpu = a->which == "cpu";
        io_check(cpu ? "_brdPVQ_HWM_GetCpuTemp" : "_brdPVQ_HWM_GetSysTemp",
                 (cpu ? EXPORT(p, _brdPVQ_HWM_GetCpuTemp)
                      : EXPORT(p, _brdPVQ_HWM_GetSysTemp))(hwm_u8(a->number), &t));
        single(r, a->which + std::to_string(a->number), kCelsius, t);
    });

    c = cmd->add_subcommand("vcore", "CPU core voltage");
    number_arg(c, "cpu", a->number, 1, 2, "1 or 2");
    on_run(ctx, c, kHwmPlugin, [a](const Plugin &p, Report &r) {
        float v = 0;
        io_check("_brdPVQ_HWM_GetVcore", EXPORT(p, _brdPVQ_HWM_GetVcore)(hwm_u8(a->number), &v));
        single(r, "vcore" + std::to_string(a->number), kVolts, v);
    });
}

// Supply rails and fans.
void add_rails_and_fans(CLI::App *cmd, Context &ctx, const HwmRef &a) {
    CLI::App *c = cmd->add_subcommand("rail", "A supply rail or the battery");
    c->add_option("rail", a->which, "12v, 5v, 3v3, 5vsb, 3v3sb or vbat")
        ->required()
        ->check(one_of({"12v", "5v", "3v3", "5vsb", "3v3sb", "vbat"}));
    on_run(ctx, c, kHwmPlugin, [a](const Plugin &p, Report &r) {
        const std::map<std::string, const char *> symbols = {
            {"12v", "_brdPVQ_HWM_Get12V"},     {"5v", "_brdPVQ_HWM_Get5V"},
            {"3v3", "_brdPVQ_HWM_Get3V3"},     {"5vsb", "_brdPVQ_HWM_Get5Vsb"},
            {"3v3sb", "_brdPVQ_HWM_Get3V3sb"}, {"vbat", "_brdPVQ_HWM_GetVbat"}};
        const char *symbol = symbols.at(a->which);
        float v = 0;
        io_check(symbol, p.fn<decltype(_brdPVQ_HWM_Get12V)>(symbol)(&v));
        single(r, a->which, kVolts, v);
    });

    c = cmd->add_subcommand("fan", "Fan speed: cpu N, sys N, or fan N (rotor 1 = A, 2 = B)");
    c->add_option("which", a->which, "cpu, sys or fan")
        ->required()
        ->check(one_of({"cpu", "sys", "fan"}));
    c->add_option("number", a->number, "Fan number: cpu and sys 1 or 2, fan 1 to 10")
        ->required()
        ->transform(number(1, 10));
    const CLI::Option *rotor =
        c->add_option("rotor", a->seq, "Rotor of a numbered fan: 1 (A) or 2 (B)")
            ->transform(number(1, 2));
    on_run(ctx, c, kHwmPlugin, [a, rotor](const Plugin &p, Report &r) {
        unsigned short rpm = 0;
        std::string sensor = a->which + " fan " + std::to_string(a->number);
        if (a->which != "fan" && a->number > 2)
            throw BadArgument(a->which + " fan must be 1 or 2, not " + std::to_string(a->number));
        if (a->which != "fan" && rotor->count() > 0)
            throw BadArgument("rotor: only the numbered fans (fan N) have rotors A and B; " +
                              a->which + " fans have one");
        if (a->which == "cpu")
            io_check("_brdPVQ_HWM_GetCpuFan",
                     EXPORT(p, _brdPVQ_HWM_GetCpuFan)(hwm_u8(a->number), &rpm));
        else if (a->which == "sys")
            io_check("_brdPVQ_HWM_GetSysFan",
                     EXPORT(p, _brdPVQ_HWM_GetSysFan)(hwm_u8(a->number), &rpm));
        else {
            sensor = "fan " + std::to_string(a->number) + (a->seq == 1 ? "A" : "B");
            io_check("_brdPVQ_HWM_GetFanSpeedEx",
                     EXPORT(p, _brdPVQ_HWM_GetFanSpeedEx)(hwm_u8(a->number), &rpm, hwm_u8(a->seq)));
        }
        single(r, sensor, kRpm, rpm);
    });
}

// The supplies' input, the case-open flag, and any item by number.
void add_psus_and_case(CLI::App *cmd, Context &ctx, const HwmRef &a) {
    CLI::App *c = cmd->add_subcommand("psu", "Input voltage of a power supply, whole volts");
    number_arg(c, "psu", a->number, 1, 2, "1 or 2");
    on_run(ctx, c, kHwmPlugin, [a](const Plugin &p, Report &r) {
        unsigned short v = 0;
        io_check("_brdPVQ_HWM_GetPowerSupply",
                 EXPORT(p, _brdPVQ_HWM_GetPowerSupply)(hwm_u8(a->number), &v));
        r.field("sensor", "psu" + std::to_string(a->number) + " input");
        r.field("volts", v, std::to_string(v) + " V");
    });

    // With no chassis-intrusion input the plug-in answers "not opened": that is its contract.
    on_run(ctx, cmd->add_subcommand("caseopen", "Whether the chassis has been opened"), kHwmPlugin,
           [](const Plugin &p, Report &r) {
               unsigned char open = 0;
               io_check("_brdPVQ_HWM_CaseOpenStatus", EXPORT(p, _brdPVQ_HWM_CaseOpenStatus)(&open));
               // The plug-in reads a library failure as closed: unknown is never "no".
               const zrqhost::CaseOpen flag = zrqhost::read_case_open();
               if (!flag.known) throw NothingRead("the case-open flag is unknown: " + flag.why);
               r.field("case_open", flag.open, flag.open ? "yes" : "no");
           });
    on_run(ctx, cmd->add_subcommand("caseopen-clear", "Clear the chassis-intrusion flag"),
           kHwmPlugin, [](const Plugin &p, Report &r) {
               io_check("_brdPVQ_HWM_ClearCaseOpenStatus",
                        EXPORT(p, _brdPVQ_HWM_ClearCaseOpenStatus)());
               // Done only when the flag reads clear afterwards.
               const zrqhost::CaseOpen flag = zrqhost::read_case_open();
               if (!flag.known)
                   throw NothingRead("the flag could not be read back after clearing: " + flag.why);
               if (flag.open)
                   throw NothingRead("the chassis-intrusion flag is still open after clearing");
               r.done("chassis-intrusion flag cleared");
           });

    c = cmd->add_subcommand("report", "Reading of one sensor item, with its raw text");
    number_arg(c, "item", a->item, 0, HWMID_TOTAL - 1, "Item 0 to 61");
    on_run(ctx, c, kHwmPlugin, [a](const Plugin &p, Report &r) {
        char text[64] = {};
        io_check("_brdPVQ_HWM_GetSensorReport",
                 EXPORT(p, _brdPVQ_HWM_GetSensorReport)(a->item, text));
        char name[64] = {};
        const int rn = EXPORT(p, _brdPVQ_HWM_GetSensorName)(a->item, name);
        Json row;
        std::string shown;
        reading(a->item, text, row, shown);
        r.field("item", a->item);
        r.field("name", rn == 0 ? Json(name) : Json(nullptr), rn == 0 ? name : "?");
        const Unit &u = unit_of(a->item);
        r.field(u.key, row[u.key], shown);
        r.field("raw", text);
    });
}

} // namespace

void add_hwm(CLI::App &app, Context &ctx) {
    auto a = std::make_shared<HwmArgs>();
    CLI::App *cmd = app.add_subcommand("hwm", "Hardware monitor");
    cmd->require_subcommand(1);
    add_temperatures(cmd, ctx, a);
    add_rails_and_fans(cmd, ctx, a);
    add_psus_and_case(cmd, ctx, a);
}

} // namespace zrqctl
