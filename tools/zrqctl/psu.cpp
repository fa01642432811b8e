// zrqctl psu: the PMBus power supplies.
#include "commands.hpp"
#include "pvqinc.h"

#include <cstdio>

#define EXPORT(plugin, name) (plugin).fn<decltype(name)>(#name)

namespace zrqctl {
namespace {

constexpr const char *kPsuPlugin = "zrq4470psu.so";

// STATUS_WORD bits as the PMBus standard names them.
constexpr const char *kStatusBits[16] = {"NONE_OF_THE_ABOVE",
                                         "CML",
                                         "TEMPERATURE",
                                         "VIN_UV",
                                         "IOUT_OC",
                                         "VOUT_OV",
                                         "OFF",
                                         "BUSY",
                                         "UNKNOWN",
                                         "OTHER",
                                         "FANS",
                                         "POWER_GOOD#",
                                         "MFR",
                                         "INPUT",
                                         "IOUT/POUT",
                                         "VOUT"};

std::string call(const char *name, int psu) {
    return std::string(name) + "(PSU " + std::to_string(psu) + ")";
}

} // namespace

void add_psu(CLI::App &app, Context &ctx) {
    auto psu = std::make_shared<int>(1);
    auto side = std::make_shared<std::string>("out");
    CLI::App *cmd = app.add_subcommand("psu", "PMBus power supplies");
    cmd->require_subcommand(1);

    on_run(ctx, cmd->add_subcommand("list", "Which supplies answer"), kPsuPlugin,
           [](const Plugin &p, Report &r) {
               uint16_t mask = 0;
               check("_brdPVQ_PSU_QueryDevices", EXPORT(p, _brdPVQ_PSU_QueryDevices)(&mask));
               r.field("mask", mask, hex(mask, 4));
               r.columns({"psu", "state"});
               for (int n = 1; n <= 2; ++n) {
                   const bool present = mask & (1u << (n - 1));
                   r.row(Json{{"psu", n}, {"present", present}},
                         {std::to_string(n), present ? "present" : "-"});
               }
           });

    auto *c = cmd->add_subcommand("info", "Maker, model, serial number and firmware revision");
    c->add_option("psu", *psu, "PSU number")->required()->check(CLI::Range(0, 255));
    on_run(ctx, c, kPsuPlugin, [psu](const Plugin &p, Report &r) {
        PSU_INFO i{};
        i.ubPsuNo = static_cast<uint8_t>(*psu);
        check(call("_brdPVQ_PSU_DeviceInfo", *psu), EXPORT(p, _brdPVQ_PSU_DeviceInfo)(&i));
        r.field("psu", *psu);
        r.field("manufacturer", reinterpret_cast<const char *>(i.strubMfrId));
        r.field("model", reinterpret_cast<const char *>(i.strubMfrModel));
        r.field("serial", reinterpret_cast<const char *>(i.strubMfrSerial));
        r.field("revision", reinterpret_cast<const char *>(i.strubMfrRevision));
    });

    c = cmd->add_subcommand("status", "The PMBus status word, its bits named");
    c->add_option("psu", *psu, "PSU number")->required()->check(CLI::Range(0, 255));
    on_run(ctx, c, kPsuPlugin, [psu](const Plugin &p, Report &r) {
        uint16_t word = 0;
        check(call("_brdPVQ_PSU_Status", *psu),
              EXPORT(p, _brdPVQ_PSU_Status)(static_cast<uint8_t>(*psu), &word));
        Json bits = Json::array();
        std::string text;
        for (int b = 15; b >= 0; --b)
            if (word & (1u << b)) {
                bits.push_back(kStatusBits[b]);
                text += (text.empty() ? "" : " ") + std::string(kStatusBits[b]);
            }
        r.field("psu", *psu);
        r.field("status_word", word, hex(word, 4));
        r.field("bits", bits, text.empty() ? "(none)" : text);
    });

    c = cmd->add_subcommand("sensors", "Temperatures and fan speed");
    c->add_option("psu", *psu, "PSU number")->required()->check(CLI::Range(0, 255));
    on_run(ctx, c, kPsuPlugin, [psu](const Plugin &p, Report &r) {
        PSU_SENSORS s{};
        s.ubPsuNo = static_cast<uint8_t>(*psu);
        check(call("_brdPVQ_PSU_SensorInfo", *psu), EXPORT(p, _brdPVQ_PSU_SensorInfo)(&s));
        r.field("psu", *psu);
        r.field("temp1_c", s.fTemp_1, fixed(s.fTemp_1, 2) + " C");
        r.field("temp2_c", s.fTemp_2, fixed(s.fTemp_2, 2) + " C");
        r.field("fan_rpm", s.uwFanRpm, std::to_string(s.uwFanRpm) + " rpm");
    });

    c = cmd->add_subcommand("watts", "Volts, amperes and watts of the input or output side");
    c->add_option("psu", *psu, "PSU number")->required()->check(CLI::Range(0, 255));
    c->add_option("side", *side, "in or out")->required()->check(CLI::IsMember({"in", "out"}));
    on_run(ctx, c, kPsuPlugin, [psu, side](const Plugin &p, Report &r) {
        PSU_WATTS w{};
        w.ubPsuNo = static_cast<uint8_t>(*psu);
        w.ubInOut = *side == "out" ? 1 : 0;
        check(call("_brdPVQ_PSU_WattsInfo", *psu), EXPORT(p, _brdPVQ_PSU_WattsInfo)(&w));
        r.field("psu", *psu);
        r.field("side", *side == "out" ? "output" : "input");
        r.field("volts", w.fVolts, fixed(w.fVolts, 3) + " V");
        r.field("amperes", w.fAmperes, fixed(w.fAmperes, 3) + " A");
        r.field("watts", w.fWatts, fixed(w.fWatts, 3) + " W");
    });
}

} // namespace zrqctl
