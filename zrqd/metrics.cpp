#include "metrics.hpp"

#include "host/host.hpp"
#include "platform/include/pvqio_items.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace zrqd {
namespace {

// The length of the valid UTF-8 sequence at v[i], or 0 (overlong forms and surrogates refused).
size_t utf8_length(const std::string &v, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(v[k]); };
    const unsigned char c = b(i);
    const size_t n = c >= 0xC2 && c <= 0xDF   ? 2
                     : c >= 0xE0 && c <= 0xEF ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
    if (n == 0 || i + n > v.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    const unsigned char second = b(i + 1);
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
        (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F))
        return 0;
    return n;
}

// A label value as the exposition takes it, whatever bytes a driver or a supply gave: valid
// UTF-8 kept, any other byte and control characters as the text \xNN, trailing padding
// (spaces, NULs) dropped, and the three characters the format escapes escaped.
std::string escaped(const std::string &raw) {
    std::string v = raw;
    while (!v.empty() && (v.back() == ' ' || v.back() == '\0')) v.pop_back();
    std::string out;
    for (size_t i = 0; i < v.size();) {
        const auto c = static_cast<unsigned char>(v[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (const size_t n = c >= 0x80 ? utf8_length(v, i) : 0; n > 0) {
            out.append(v, i, n);
            i += n;
            continue;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\\\x%02X", c);
            out += hex;
        }
        ++i;
    }
    return out;
}

std::string number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char buf[40];
    // Whole numbers in full (2400, not 2.4e+03); others in the shortest text that reads back
    // as the same value (12.5, not 12.500000000000000).
    if (v == std::trunc(v) && std::fabs(v) < 1e15) {
        std::snprintf(buf, sizeof buf, "%.0f", v);
        return buf;
    }
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    return buf;
}

class Writer {
  public:
    // A family: its HELP and TYPE lines, written before its first sample.
    void family(const char *name, const char *type, const char *help) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
        name_ = name;
    }
    using Labels = std::vector<std::pair<const char *, std::string>>;
    void sample(const Labels &labels, double value) {
        out_ += name_;
        if (!labels.empty()) {
            out_ += '{';
            for (size_t i = 0; i < labels.size(); ++i) {
                if (i) out_ += ',';
                out_ += labels[i].first;
                out_ += "=\"";
                out_ += escaped(labels[i].second);
                out_ += '"';
            }
            out_ += '}';
        }
        out_ += ' ';
        out_ += number(value);
        out_ += '\n';
    }
    std::string take() { return std::move(out_); }

  private:
    std::string out_;
    const char *name_ = "";
};

std::string str(int n) {
    return std::to_string(n);
}

// The hardware monitor's items by quantity: one family a unit.
struct ItemFamily {
    const zrqhost::Unit *unit;
    const char *name;
    const char *help;
};
const ItemFamily kItemFamilies[] = {
    {&zrqhost::kCelsius, "zrq_hwm_temperature_celsius",
     "Temperature read by the hardware monitor, by item."},
    {&zrqhost::kVolts, "zrq_hwm_voltage_volts", "Voltage read by the hardware monitor, by item."},
    {&zrqhost::kAmperes, "zrq_hwm_current_amperes",
     "Current read by the hardware monitor, by item."},
    {&zrqhost::kWatts, "zrq_hwm_power_watts", "Power read by the hardware monitor, by item."},
    {&zrqhost::kRpm, "zrq_hwm_fan_speed_rpm", "Fan speed read by the hardware monitor, by item."},
    {&zrqhost::kStatusWord, "zrq_hwm_psu_status_word",
     "A power supply's PMBus STATUS_WORD as the hardware monitor reads it, by item."},
};

void hwm(Writer &w, const Snapshot &s) {
    // The item's enumeration name is a series' identity: the name the chip's driver gives
    // depends on which chip answered when it was read, and goes into an info metric of its own.
    const auto item_name = [](int item) {
        return std::string(pvqio::kItemNames[static_cast<size_t>(item)]);
    };
    for (const ItemFamily &f : kItemFamilies) {
        w.family(f.name, "gauge", f.help);
        for (int item = 0; item < HWMID_TOTAL; ++item) {
            const HwmItem &it = s.hwm[item];
            if (!it.ok || &zrqhost::unit_of(item) != f.unit) continue;
            w.sample({{"item", item_name(item)}}, static_cast<double>(it.raw) / f.unit->scale);
        }
    }
    w.family("zrq_hwm_sensor_info", "gauge",
             "The name the hardware monitor gives the item's sensor, as a label.");
    for (int item = 0; item < HWMID_TOTAL; ++item)
        if (s.hwm[item].ok && !s.hwm[item].name.empty())
            w.sample({{"item", item_name(item)}, {"sensor", s.hwm[item].name}}, 1);
    w.family("zrq_hwm_case_open", "gauge",
             "1 when the chassis intrusion input says the case was opened.");
    if (s.case_ok) w.sample({}, s.case_open ? 1 : 0);
}

// `pick` for each supply, with its number as a label value.
template <typename Pick> void each_psu(const Snapshot &s, Pick &&pick) {
    for (int n = 1; n <= kPsus; ++n) pick(s.psu[n - 1], str(n));
}

// What each supply is and says of itself: presence, identity, status word.
void psu_identity(Writer &w, const Snapshot &s) {
    auto each = [&](auto &&pick) { each_psu(s, pick); };
    w.family("zrq_psu_present", "gauge", "1 when the power supply answers on the SMBus.");
    // Only from a cycle in which some supply answered: an unreachable supply is not an absent
    // one (a dead bus answers nothing, and the plug-in calls that an empty mask).
    if (s.psu_query_ok && s.up[kPsu])
        each([&](const PsuData &p, const std::string &n) {
            w.sample({{"psu", n}}, p.present ? 1 : 0);
        });
    w.family("zrq_psu_info", "gauge", "The power supply's maker, model, serial and revision.");
    each([&](const PsuData &p, const std::string &n) {
        if (p.present && p.info_ok)
            w.sample({{"psu", n},
                      {"mfr_id", p.mfr_id},
                      {"model", p.model},
                      {"serial", p.serial},
                      {"revision", p.revision}},
                     1);
    });
    w.family("zrq_psu_status_word", "gauge", "The power supply's PMBus STATUS_WORD.");
    each([&](const PsuData &p, const std::string &n) {
        if (p.present && p.status_ok) w.sample({{"psu", n}}, p.status);
    });
    w.family("zrq_psu_status_bit", "gauge",
             "1 when the bit of the power supply's STATUS_WORD is set, by bit and PMBus name.");
    each([&](const PsuData &p, const std::string &n) {
        if (!p.present || !p.status_ok) return;
        for (int b = 0; b < 16; ++b)
            w.sample({{"psu", n}, {"bit", str(b)}, {"name", zrqhost::kStatusBits[b]}},
                     (p.status >> b) & 1);
    });
}

// Each supply's readings: both sides, temperatures, fan.
void psu_readings(Writer &w, const Snapshot &s) {
    auto each = [&](auto &&pick) { each_psu(s, pick); };
    struct Side {
        const char *name, *help;
        bool out;
        float PSU_WATTS::*field;
    };
    const Side kSides[] = {
        {"zrq_psu_input_volts", "Input voltage of the power supply.", false, &PSU_WATTS::fVolts},
        {"zrq_psu_input_amperes", "Input current of the power supply.", false,
         &PSU_WATTS::fAmperes},
        {"zrq_psu_input_watts", "Input power of the power supply.", false, &PSU_WATTS::fWatts},
        {"zrq_psu_output_volts",
         "Output voltage of the power supply (not for makers whose READ_VOUT the plug-in does not "
         "decode: see zrq_psu_output_unread_info).",
         true, &PSU_WATTS::fVolts},
        {"zrq_psu_output_amperes", "Output current of the power supply.", true,
         &PSU_WATTS::fAmperes},
        {"zrq_psu_output_watts",
         "Output power of the power supply, output volts times amperes (not for makers whose "
         "READ_VOUT the plug-in does not decode).",
         true, &PSU_WATTS::fWatts},
    };
    for (const Side &side : kSides) {
        w.family(side.name, "gauge", side.help);
        const bool volts_made = side.field != &PSU_WATTS::fAmperes;
        each([&](const PsuData &p, const std::string &n) {
            if (!p.present || !(side.out ? p.out_ok : p.in_ok)) return;
            if (side.out && volts_made && p.vout_unreadable) return;
            w.sample({{"psu", n}}, (side.out ? p.out : p.in).*side.field);
        });
    }
    w.family("zrq_psu_output_unread_info", "gauge",
             "A power supply whose output volts and watts are left out, and why.");
    each([&](const PsuData &p, const std::string &n) {
        if (p.present && p.vout_unreadable)
            w.sample({{"psu", n},
                      {"mfr_id", p.mfr_id},
                      {"reason", "the maker reports READ_VOUT in LINEAR11, which the PSU plug-in "
                                 "decodes as LINEAR16"}},
                     1);
    });
    w.family("zrq_psu_temperature_celsius", "gauge", "Temperature sensors of the power supply.");
    each([&](const PsuData &p, const std::string &n) {
        if (!p.present || !p.sensors_ok) return;
        w.sample({{"psu", n}, {"sensor", "1"}}, p.sensors.fTemp_1);
        w.sample({{"psu", n}, {"sensor", "2"}}, p.sensors.fTemp_2);
    });
    w.family("zrq_psu_fan_speed_rpm", "gauge", "Fan speed of the power supply.");
    each([&](const PsuData &p, const std::string &n) {
        if (p.present && p.sensors_ok) w.sample({{"psu", n}}, p.sensors.uwFanRpm);
    });
}

void slots(Writer &w, const Snapshot &s) {
    w.family("zrq_lbp_slots_polled", "gauge",
             "The highest slot polled: 0 unless zrqd is the sole host of the slot switch or the "
             "kernel owns it.");
    if (s.loaded[kLbp]) w.sample({}, s.slots_polled);
    w.family("zrq_lbp_present", "gauge", "1 when a LAN bypass module answers in the slot.");
    // Only while the slot-0 module on the main board answers: otherwise the bus is dead.
    if (s.lbp_query_ok && s.up[kLbp])
        for (int slot = 0; slot <= s.slots_polled; ++slot)
            w.sample({{"slot", str(slot)}}, s.slots[slot].present ? 1 : 0);
    struct Phase {
        const char *phase;
        uint8_t PAIRS_STATUS::*field;
        uint8_t LBPDEV_INFO::*capable;
    };
    const Phase kBypass[] = {
        {"runtime", &PAIRS_STATUS::ubRuntime_PairsBypass, &LBPDEV_INFO::ubRuntime_Pairs},
        {"just_on", &PAIRS_STATUS::ubJustOn_PairsBypass, &LBPDEV_INFO::ubJustOn_Pairs},
        {"system_off", &PAIRS_STATUS::ubSystemOff_PairsBypass, &LBPDEV_INFO::ubSystemOff_Pairs},
    };
    w.family("zrq_lbp_pair_bypass", "gauge",
             "1 when the pair is set to bypass in the phase (runtime: now), for the pairs the "
             "module can bypass in it.");
    for (int slot = 0; slot <= s.slots_polled; ++slot) {
        const SlotData &d = s.slots[slot];
        if (!d.present || !d.pairs_ok || !d.info_ok) continue;
        for (const Phase &ph : kBypass)
            for (int pair = 1; pair <= 8; ++pair)
                if ((d.info.*ph.capable >> (pair - 1)) & 1)
                    w.sample({{"slot", str(slot)}, {"pair", str(pair)}, {"phase", ph.phase}},
                             ((d.pairs.*ph.field) >> (pair - 1)) & 1);
    }
    w.family("zrq_lbp_port_disconnect", "gauge",
             "1 when the port is set to be disconnected in the phase (runtime: now).");
    for (int slot = 0; slot <= s.slots_polled; ++slot) {
        const SlotData &d = s.slots[slot];
        if (!d.present || !d.pairs_ok) continue;
        for (int port = 1; port <= 8; ++port) {
            w.sample({{"slot", str(slot)}, {"port", str(port)}, {"phase", "runtime"}},
                     (d.pairs.ubRuntime_PortsDisconnect >> (port - 1)) & 1);
            w.sample({{"slot", str(slot)}, {"port", str(port)}, {"phase", "just_on"}},
                     (d.pairs.ubJustOn_PortsDisconnect >> (port - 1)) & 1);
        }
    }
    w.family("zrq_lbp_timer_status", "gauge",
             "The status byte of the module's timer as it reads it (1: running), for the timers "
             "the module has.");
    for (int slot = 0; slot <= s.slots_polled; ++slot)
        for (int t = 0; t < 3; ++t)
            if (s.slots[slot].present && s.slots[slot].timer[t] >= 0)
                w.sample({{"slot", str(slot)}, {"timer", str(t + 1)}}, s.slots[slot].timer[t]);
}

} // namespace

std::string render_metrics(const Snapshot &s) {
    Writer w;
    w.family("zrq_plugin_loaded", "gauge",
             "1 when the subsystem's plug-in is loaded (for the LCD: open and held by zrqd).");
    for (int sub = 0; sub < kSubsystems; ++sub)
        w.sample({{"subsystem", kSubsystemNames[sub]}, {"plugin", kPluginFiles[sub]}},
                 s.loaded[sub] ? 1 : 0);
    w.family("zrq_read_failures_total", "counter",
             "Plug-in calls that failed since zrqd started, by subsystem.");
    for (int sub = 0; sub < kSubsystems; ++sub)
        w.sample({{"subsystem", kSubsystemNames[sub]}}, static_cast<double>(s.failures[sub]));
    w.family("zrq_collector_up", "gauge",
             "1 when some device of the subsystem answered in the last cycle (a sensor, a "
             "supply, the slot-0 bypass module, the LCD), else 0.");
    for (int sub = 0; sub < kSubsystems; ++sub)
        w.sample({{"subsystem", kSubsystemNames[sub]}}, s.up[sub] ? 1 : 0);
    w.family("zrq_collector_last_success_timestamp_seconds", "gauge",
             "When a device of the subsystem last answered, in seconds since the epoch.");
    for (int sub = 0; sub < kSubsystems; ++sub)
        if (s.last_up_unix_s[sub] > 0)
            w.sample({{"subsystem", kSubsystemNames[sub]}}, s.last_up_unix_s[sub]);
    w.family("zrq_poll_cycles_total", "counter", "Poll cycles completed since zrqd started.");
    w.sample({}, static_cast<double>(s.cycle));
    w.family("zrq_poll_duration_seconds", "gauge", "How long the last poll cycle took.");
    if (s.cycle) w.sample({}, s.duration_s);
    w.family("zrq_poll_last_success_timestamp_seconds", "gauge",
             "When the last poll cycle ended, in seconds since the epoch.");
    if (s.cycle) w.sample({}, s.finished_unix_s);
    hwm(w, s);
    psu_identity(w, s);
    psu_readings(w, s);
    slots(w, s);
    return w.take();
}

} // namespace zrqd
