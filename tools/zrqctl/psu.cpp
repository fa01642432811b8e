// zrqctl psu: the PMBus power supplies.
#include "commands.hpp"
#include "pvqinc.h"

#include <cerrno>
#include <cstdio>
#include <dlfcn.h>

#define EXPORT(plugin, name) (plugin).fn<decltype(name)>(#name)

namespace zrqctl {
namespace {

constexpr const char *kPsuPlugin = "zrq4470psu.so";

using zrqhost::kStatusBits;
using zrqhost::vout_in_linear11;

std::string call(const char *name, int psu) {
    return std::string(name) + "(PSU " + std::to_string(psu) + ")";
}

// Why a call on supply `psu` likely failed.
std::string why_psu_failed(const Plugin &p, int psu) {
    uint16_t mask = 0;
    if (EXPORT(p, _brdPVQ_PSU_QueryDevices)(&mask) == ERR_Success &&
        (mask & (1u << (psu - 1))) == 0)
        return "PSU " + std::to_string(psu) +
               " does not answer (not plugged in, or no bus: " + "psu list shows which answer)";
    return "";
}

void psu_check(const Plugin &p, const char *name, int psu, int code) {
    check(call(name, psu), code, Origin::Plugin, [&](int) { return why_psu_failed(p, psu); });
}

// Whether the SMBus library reaches a bus at all: with no adapter every transfer gives
// -ENODEV, and an empty listing would mean nothing.
bool bus_missing() {
    void *lib = dlopen("libpvqsmb.so", RTLD_NOW | RTLD_NOLOAD);
    if (lib == nullptr) return false;
    using ReadByte = int(unsigned char, unsigned char, unsigned char *);
    auto *read_byte = reinterpret_cast<ReadByte *>(dlsym(lib, "_pvqsmb_i2c_read_byte"));
    unsigned char b = 0;
    const bool missing = read_byte && read_byte(0xB0, 0x19 /* CAPABILITY */, &b) == -ENODEV;
    dlclose(lib);
    return missing;
}

PSU_INFO psu_info(const Plugin &p, int psu) {
    PSU_INFO i{};
    i.ubPsuNo = static_cast<uint8_t>(psu);
    psu_check(p, "_brdPVQ_PSU_DeviceInfo", psu, EXPORT(p, _brdPVQ_PSU_DeviceInfo)(&i));
    return i;
}

std::string text_of(const uint8_t *s) {
    return reinterpret_cast<const char *>(s);
}

using PsuRef = std::shared_ptr<int>;

void psu_arg(CLI::App *c, const PsuRef &psu) {
    number_arg(c, "psu", *psu, 1, 2, "PSU 1 or 2");
}

// Which supplies answer, and what each is and reports.
void add_identity(CLI::App *cmd, Context &ctx, const PsuRef &psu) {
    on_run(ctx, cmd->add_subcommand("list", "Which supplies answer"), kPsuPlugin,
           [](const Plugin &p, Report &r) {
               uint16_t mask = 0;
               check("_brdPVQ_PSU_QueryDevices", EXPORT(p, _brdPVQ_PSU_QueryDevices)(&mask));
               if (mask == 0 && bus_missing())
                   throw NothingRead("no SMBus adapter: no supply could be asked (libpvqsmb said "
                                     "why above)");
               r.field("mask", mask, hex(mask, 4));
               r.columns({"psu", "state"});
               for (int n = 1; n <= 2; ++n) {
                   const bool present = mask & (1u << (n - 1));
                   r.row(Json{{"psu", n}, {"present", present}},
                         {std::to_string(n), present ? "present" : "-"});
               }
           });

    CLI::App *c = cmd->add_subcommand("info", "Maker, model, serial number and firmware revision");
    psu_arg(c, psu);
    on_run(ctx, c, kPsuPlugin, [psu](const Plugin &p, Report &r) {
        const PSU_INFO i = psu_info(p, *psu);
        r.field("psu", *psu);
        r.field("manufacturer", text_of(i.strubMfrId));
        r.field("model", text_of(i.strubMfrModel));
        r.field("serial", text_of(i.strubMfrSerial));
        r.field("revision", text_of(i.strubMfrRevision));
    });

    c = cmd->add_subcommand("status", "The PMBus status word, its bits named");
    psu_arg(c, psu);
    on_run(ctx, c, kPsuPlugin, [psu](const Plugin &p, Report &r) {
        uint16_t word = 0;
        psu_check(p, "_brdPVQ_PSU_Status", *psu,
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
}

// Readings: temperatures, fan, and the volts, amperes and watts of either side.
void add_readings(CLI::App *cmd, Context &ctx, const PsuRef &psu) {
    auto side = std::make_shared<std::string>("out");
    CLI::App *c = cmd->add_subcommand("sensors", "Temperatures and fan speed");
    psu_arg(c, psu);
    on_run(ctx, c, kPsuPlugin, [psu](const Plugin &p, Report &r) {
        PSU_SENSORS s{};
        s.ubPsuNo = static_cast<uint8_t>(*psu);
        psu_check(p, "_brdPVQ_PSU_SensorInfo", *psu, EXPORT(p, _brdPVQ_PSU_SensorInfo)(&s));
        r.field("psu", *psu);
        r.columns({"sensor", "reading"});
        r.row(Json{{"sensor", "temp1"}, {"celsius", rounded(s.fTemp_1, 2)}},
              {"temp1", fixed(s.fTemp_1, 2) + " C"});
        r.row(Json{{"sensor", "temp2"}, {"celsius", rounded(s.fTemp_2, 2)}},
              {"temp2", fixed(s.fTemp_2, 2) + " C"});
        r.row(Json{{"sensor", "fan"}, {"rpm", s.uwFanRpm}},
              {"fan", std::to_string(s.uwFanRpm) + " rpm"});
    });

    c = cmd->add_subcommand("watts", "Volts, amperes and watts of the input or output side");
    psu_arg(c, psu);
    c->add_option("side", *side, "in or out")->required()->check(one_of({"in", "out"}));
    on_run(ctx, c, kPsuPlugin, [psu, side](const Plugin &p, Report &r) {
        PSU_WATTS w{};
        w.ubPsuNo = static_cast<uint8_t>(*psu);
        w.ubInOut = *side == "out" ? 1 : 0;
        psu_check(p, "_brdPVQ_PSU_WattsInfo", *psu, EXPORT(p, _brdPVQ_PSU_WattsInfo)(&w));
        const std::string sensor =
            "psu" + std::to_string(*psu) + (*side == "out" ? " output" : " input");
        // The maker whose supplies report READ_VOUT in LINEAR11 (the plug-in reads LINEAR16):
        // their output volts, and the watts made of them, are no reading; a script must not
        // take them for one.
        const std::string maker = *side == "out" ? text_of(psu_info(p, *psu).strubMfrId) : "";
        const bool undecoded = *side == "out" && vout_in_linear11(maker);
        r.field("psu", *psu);
        r.field("side", *side == "out" ? "output" : "input");
        r.field("sensor", sensor);
        if (undecoded)
            r.field("volts", nullptr, "not decoded");
        else
            r.field("volts", rounded(w.fVolts, 3), fixed(w.fVolts, 3) + " V");
        r.field("amperes", rounded(w.fAmperes, 3), fixed(w.fAmperes, 3) + " A");
        if (undecoded)
            r.field("watts", nullptr, "not decoded");
        else
            r.field("watts", rounded(w.fWatts, 3), fixed(w.fWatts, 3) + " W");
        if (undecoded)
            r.field("note", maker + " supplies report their output voltage in LINEAR11, " +
                                "which the plug-in reads as LINEAR16: its output volts and " +
                                "watts are not decoded; psuprobe " + std::to_string(*psu) +
                                " -wo reads them right");
    });
}

} // namespace

void add_psu(CLI::App &app, Context &ctx) {
    auto psu = std::make_shared<int>(1);
    CLI::App *cmd = app.add_subcommand("psu", "PMBus power supplies");
    cmd->require_subcommand(1);
    add_identity(cmd, ctx, psu);
    add_readings(cmd, ctx, psu);
}

} // namespace zrqctl
