// zrqctl hwm: the motherboard hardware monitor.
#include "commands.hpp"
#include "iolib.h"
#include "pvqinc.h"

#include <cstdio>

#define EXPORT(plugin, name) (plugin).fn<decltype(name)>(#name)

namespace zrqctl {
namespace {

constexpr const char *kHwmPlugin = "zrq4470hwm.so";

void io_check(const std::string &call, int code) {
    check(call, code, Origin::IoLibrary);
}

// The unit of an item's raw reading, for the table.
const char *unit_of(int item) {
    if (item <= HWMID_TEMP_SYS2 || item == HWMID_PSU1_TEMP1 || item == HWMID_PSU1_TEMP2 ||
        item == HWMID_PSU2_TEMP || item == HWMID_PSU2_TEMP2)
        return "C";
    if (item <= HWMID_VOLT_DDRCH8 || item == HWMID_PSU1_VOLTIN || item == HWMID_PSU1_VOLTOUT ||
        item == HWMID_PSU2_VOLTIN || item == HWMID_PSU2_VOLTOUT)
        return "V";
    if (item == HWMID_PSU1_CURRENTIN || item == HWMID_PSU1_CURRENTOUT ||
        item == HWMID_PSU2_CURRENTIN || item == HWMID_PSU2_CURRENTOUT)
        return "A";
    if (item == HWMID_PSU1_POWERIN || item == HWMID_PSU2_POWERIN) return "W";
    if (item == HWMID_PSU1_STATUS || item == HWMID_PSU2_STATUS) return "";
    return "rpm";
}

void table(const Plugin &p, Report &r) {
    auto *report = EXPORT(p, _brdPVQ_HWM_GetSensorReport);
    auto *name = EXPORT(p, _brdPVQ_HWM_GetSensorName);
    r.columns({"item", "name", "reading", "raw"});
    for (int item = 0; item < HWMID_TOTAL; ++item) {
        char n[64] = {}, v[64] = {};
        const int rn = name(item, n);
        const int rv = report(item, v);
        Json row = {{"item", item}, {"name", rn == 0 ? Json(n) : Json(nullptr)}};
        std::string reading = "-";
        if (rv == 0) {
            const std::string unit = unit_of(item);
            const long long raw = std::atoll(v);
            row["raw"] = raw;
            reading = unit == "rpm" || unit.empty()
                          ? std::to_string(raw) + (unit.empty() ? "" : " rpm")
                          : fixed(raw / 1000.0, 3) + " " + unit;
        } else {
            row["raw"] = nullptr;
            row["code"] = rv;
        }
        r.row(row, {std::to_string(item), rn == 0 ? n : "?", reading,
                    rv == 0 ? v : "code " + std::to_string(rv)});
    }
    unsigned char open = 0;
    io_check("_brdPVQ_HWM_CaseOpenStatus", EXPORT(p, _brdPVQ_HWM_CaseOpenStatus)(&open));
    r.field("case_open", open != 0, open ? "yes" : "no");
}

} // namespace

void add_hwm(CLI::App &app, Context &ctx) {
    struct Args {
        int number = 1, seq = 1, item = 0;
        std::string which;
    };
    auto a = std::make_shared<Args>();
    CLI::App *cmd = app.add_subcommand("hwm", "Hardware monitor");
    cmd->require_subcommand(1);
    auto u8 = [](int v) { return static_cast<unsigned char>(v); };

    on_run(ctx, cmd->add_subcommand("table", "Every sensor item with its name and reading"),
           kHwmPlugin, table);

    auto *c = cmd->add_subcommand("temp", "CPU or system temperature");
    c->add_option("which", a->which, "cpu or sys")
        ->required()
        ->check(CLI::IsMember({"cpu", "sys"}));
    c->add_option("number", a->number, "1 or 2")->required()->check(CLI::Range(0, 255));
    on_run(ctx, c, kHwmPlugin, [a, u8](const Plugin &p, Report &r) {
        float t = 0;
        const bool cpu = a->which == "cpu";
        io_check(cpu ? "_brdPVQ_HWM_GetCpuTemp" : "_brdPVQ_HWM_GetSysTemp",
                 (cpu ? EXPORT(p, _brdPVQ_HWM_GetCpuTemp)
                      : EXPORT(p, _brdPVQ_HWM_GetSysTemp))(u8(a->number), &t));
        r.field("celsius", t, fixed(t, 3) + " C");
    });

    c = cmd->add_subcommand("vcore", "CPU core voltage");
    c->add_option("cpu", a->number, "1 or 2")->required()->check(CLI::Range(0, 255));
    on_run(ctx, c, kHwmPlugin, [a, u8](const Plugin &p, Report &r) {
        float v = 0;
        io_check("_brdPVQ_HWM_GetVcore", EXPORT(p, _brdPVQ_HWM_GetVcore)(u8(a->number), &v));
        r.field("volts", v, fixed(v, 3) + " V");
    });

    c = cmd->add_subcommand("rail", "A supply rail or the battery");
    c->add_option("rail", a->which, "12v, 5v, 3v3, 5vsb, 3v3sb or vbat")
        ->required()
        ->check(CLI::IsMember({"12v", "5v", "3v3", "5vsb", "3v3sb", "vbat"}));
    on_run(ctx, c, kHwmPlugin, [a](const Plugin &p, Report &r) {
        const std::map<std::string, const char *> symbols = {
            {"12v", "_brdPVQ_HWM_Get12V"},     {"5v", "_brdPVQ_HWM_Get5V"},
            {"3v3", "_brdPVQ_HWM_Get3V3"},     {"5vsb", "_brdPVQ_HWM_Get5Vsb"},
            {"3v3sb", "_brdPVQ_HWM_Get3V3sb"}, {"vbat", "_brdPVQ_HWM_GetVbat"}};
        const char *symbol = symbols.at(a->which);
        float v = 0;
        io_check(symbol, p.fn<decltype(_brdPVQ_HWM_Get12V)>(symbol)(&v));
        r.field("volts", v, fixed(v, 3) + " V");
    });

    c = cmd->add_subcommand("fan", "Fan speed: cpu N, sys N, or fan N (rotor 1 = A, 2 = B)");
    c->add_option("which", a->which, "cpu, sys or fan")
        ->required()
        ->check(CLI::IsMember({"cpu", "sys", "fan"}));
    c->add_option("number", a->number, "Fan number")->required()->check(CLI::Range(0, 255));
    c->add_option("rotor", a->seq, "Rotor of a numbered fan: 1 (A) or 2 (B)")
        ->check(CLI::Range(0, 255));
    on_run(ctx, c, kHwmPlugin, [a, u8](const Plugin &p, Report &r) {
        unsigned short rpm = 0;
        if (a->which == "cpu")
            io_check("_brdPVQ_HWM_GetCpuFan",
                     EXPORT(p, _brdPVQ_HWM_GetCpuFan)(u8(a->number), &rpm));
        else if (a->which == "sys")
            io_check("_brdPVQ_HWM_GetSysFan",
                     EXPORT(p, _brdPVQ_HWM_GetSysFan)(u8(a->number), &rpm));
        else
            io_check("_brdPVQ_HWM_GetFanSpeedEx",
                     EXPORT(p, _brdPVQ_HWM_GetFanSpeedEx)(u8(a->number), &rpm, u8(a->seq)));
        r.field("rpm", rpm, std::to_string(rpm) + " rpm");
    });

    c = cmd->add_subcommand("psu", "Input voltage of a power supply, whole volts");
    c->add_option("psu", a->number, "1 or 2")->required()->check(CLI::Range(0, 255));
    on_run(ctx, c, kHwmPlugin, [a, u8](const Plugin &p, Report &r) {
        unsigned short v = 0;
        io_check("_brdPVQ_HWM_GetPowerSupply",
                 EXPORT(p, _brdPVQ_HWM_GetPowerSupply)(u8(a->number), &v));
        r.field("volts", v, std::to_string(v) + " V");
    });

    on_run(ctx, cmd->add_subcommand("caseopen", "Whether the chassis has been opened"), kHwmPlugin,
           [](const Plugin &p, Report &r) {
               unsigned char open = 0;
               io_check("_brdPVQ_HWM_CaseOpenStatus", EXPORT(p, _brdPVQ_HWM_CaseOpenStatus)(&open));
               r.field("case_open", open != 0, open ? "yes" : "no");
           });
    on_run(ctx, cmd->add_subcommand("caseopen-clear", "Clear the chassis-intrusion flag"),
           kHwmPlugin, [](const Plugin &p, Report &r) {
               io_check("_brdPVQ_HWM_ClearCaseOpenStatus",
                        EXPORT(p, _brdPVQ_HWM_ClearCaseOpenStatus)());
               r.field("result", "ERR_Success");
           });

    c = cmd->add_subcommand("report", "Raw reading of one sensor item");
    c->add_option("item", a->item, "Item 0 to 61")->required();
    on_run(ctx, c, kHwmPlugin, [a](const Plugin &p, Report &r) {
        char text[64] = {};
        io_check("_brdPVQ_HWM_GetSensorReport",
                 EXPORT(p, _brdPVQ_HWM_GetSensorReport)(a->item, text));
        char name[64] = {};
        EXPORT(p, _brdPVQ_HWM_GetSensorName)(a->item, name);
        r.field("item", a->item);
        r.field("name", name);
        r.field("text", text);
    });
}

} // namespace zrqctl
