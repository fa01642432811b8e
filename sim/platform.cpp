// The virtual platform description: reading it, with every bound a file from a user needs.
#include "platform.hpp"
#include "platform_shared.hpp"

#include "hwm_sim.hpp"

#include "pvqio_items.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zrqsim {

using json = nlohmann::json;
namespace fs = std::filesystem;

// Text from the file as a message may show it: on one line, with no control character that
// a terminal would act on (newline, ESC, NUL) and no byte that is not ASCII; those are written
// as \xNN.
std::string printable(const std::string &text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return out;
}

// How deeply arrays and objects nest in JSON text, strings skipped; the count stops past
// `limit`. Checked before parsing: a parsed document of 100,000 levels takes the stack with
// it when it is copied or destroyed.
int nesting(const std::string &text, int limit) {
    int depth = 0, deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size() && deepest <= limit; ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

// FNV-1a, 64 bits: the same in the 32-bit and the 64-bit build, which share one state file.
std::string content_fingerprint(const std::string &text) {
    uint64_t h = 14695981039346656037ull;
    for (const unsigned char c : text) h = (h ^ c) * 1099511628211ull;
    char out[24];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

namespace {

// Where in the description a value sits, for error messages: "psu[1].readings.vin".
struct Where {
    const std::string &file;
    std::string at;
    [[noreturn]] void fail(const std::string &what) const {
        throw PlatformError(file + ": " + (at.empty() ? "" : at + ": ") + what);
    }
    Where operator[](const std::string &key) const {
        return {file, at.empty() ? printable(key) : at + "." + printable(key)};
    }
    Where operator[](size_t i) const { return {file, at + "[" + std::to_string(i) + "]"}; }
};

// A whole number given as a JSON number or as text ("0x12", "18").
long long integer(const json &j, const Where &w, long long lo, long long hi) {
    long long v = 0;
    if (j.is_number_unsigned() && j.get<unsigned long long>() > LLONG_MAX) {
        w.fail(std::to_string(j.get<unsigned long long>()) + " is outside " + std::to_string(lo) +
               ".." + std::to_string(hi));
    } else if (j.is_number_integer()) {
        v = j.get<long long>();
    } else if (j.is_string()) {
        const std::string s = j.get<std::string>();
        char *end = nullptr;
        errno = 0;
        v = std::strtoll(s.c_str(), &end, 0);
        if (s.empty() || *end != '\0' || errno != 0)
            w.fail("\"" + printable(s) + "\" is not a whole number");
    } else {
        w.fail("expected a whole number");
    }
    if (v < lo || v > hi)
        w.fail(std::to_string(v) + " is outside " + std::to_string(lo) + ".." + std::to_string(hi));
    return v;
}

uint8_t byte(const json &j, const Where &w) {
    return static_cast<uint8_t>(integer(j, w, 0, 255));
}

double number(const json &j, const Where &w) {
    if (!j.is_number()) w.fail("expected a number");
    return j.get<double>();
}

bool flag(const json &j, const Where &w) {
    if (!j.is_boolean()) w.fail("expected true or false");
    return j.get<bool>();
}

std::string text(const json &j, const Where &w) {
    if (!j.is_string()) w.fail("expected a text");
    return j.get<std::string>();
}

const json &object(const json &j, const Where &w) {
    if (!j.is_object()) w.fail("expected an object");
    return j;
}

const json &array(const json &j, const Where &w) {
    if (!j.is_array()) w.fail("expected a list");
    return j;
}

// Refuses keys the reader does not know, so that a misspelt key is not silently ignored.
void known_keys(const json &j, const Where &w, std::initializer_list<const char *> keys) {
    for (auto it = j.begin(); it != j.end(); ++it) {
        bool ok = false;
        for (const char *k : keys) ok = ok || it.key() == k;
        if (!ok) w[it.key()].fail("unknown key");
    }
}

constexpr unsigned kSwitchChannels = 8;

void load_bypass(const json &j, const Where &w, SimBus &bus,
                 std::map<unsigned, std::unique_ptr<LbpModule>> &out) {
    object(j, w);
    known_keys(j, w,
               {"slot", "version", "modules", "system_off_pairs", "just_on_pairs", "runtime_pairs",
                "timer_max", "timers", "disconnect", "registers", "invalid"});
    if (!j.contains("slot")) w.fail("missing \"slot\"");
    // Slot 0 is the main board; the slot switch has 8 channels, for slots 1 to 8.
    const unsigned slot = static_cast<unsigned>(integer(j["slot"], w["slot"], 0, kSwitchChannels));
    if (out.count(slot)) w["slot"].fail("slot " + std::to_string(slot) + " is described twice");
    LbpModule::Config c;
    if (j.contains("version")) {
        const json &v = array(j["version"], w["version"]);
        if (v.size() != 2) w["version"].fail("expected two bytes");
        c.version[0] = byte(v[0], w["version"][0]);
        c.version[1] = byte(v[1], w["version"][1]);
    }
    if (j.contains("modules")) c.modules = byte(j["modules"], w["modules"]);
    if (j.contains("system_off_pairs"))
        c.systemoff_pairs = byte(j["system_off_pairs"], w["system_off_pairs"]);
    if (j.contains("just_on_pairs")) c.juston_pairs = byte(j["just_on_pairs"], w["just_on_pairs"]);
    if (j.contains("runtime_pairs")) c.runtime_pairs = byte(j["runtime_pairs"], w["runtime_pairs"]);
    if (j.contains("timer_max")) {
        const json &t = array(j["timer_max"], w["timer_max"]);
        if (t.size() != 3) w["timer_max"].fail("expected three bytes");
        for (size_t i = 0; i < 3; ++i) c.timer_max[i] = byte(t[i], w["timer_max"][i]);
    }
    if (j.contains("timers"))
        c.timers = static_cast<unsigned>(integer(j["timers"], w["timers"], 0, 3));
    if (j.contains("disconnect")) c.disconnect = flag(j["disconnect"], w["disconnect"]);
    auto m = std::make_unique<LbpModule>(c);
    if (j.contains("registers")) {
        const Where wr = w["registers"];
        for (auto it = object(j["registers"], wr).begin(); it != j["registers"].end(); ++it)
            m->set(byte(json(it.key()), wr[it.key()]), byte(it.value(), wr[it.key()]));
    }
    if (j.contains("invalid")) {
        const json &inv = array(j["invalid"], w["invalid"]);
        for (size_t i = 0; i < inv.size(); ++i) m->set_valid(byte(inv[i], w["invalid"][i]), false);
    }
    bus.attach(slot, slot == 0 ? 0x6E : 0x60, m.get());
    out[slot] = std::move(m);
}

struct Reading {
    const char *key;
    uint8_t cmd;
};
constexpr Reading kReadings[] = {{"vin", pmbus_cmd::READ_VIN},
                                 {"iin", pmbus_cmd::READ_IIN},
                                 {"iout", pmbus_cmd::READ_IOUT},
                                 {"temp1", pmbus_cmd::READ_TEMPERATURE_1},
                                 {"temp2", pmbus_cmd::READ_TEMPERATURE_2},
                                 {"fan1", pmbus_cmd::READ_FAN_SPEED_1},
                                 {"fan2", pmbus_cmd::READ_FAN_SPEED_2}};

void load_psu(const json &j, const Where &w, SimBus &bus,
              std::array<std::unique_ptr<PmbusPsu>, 3> &psus,
              std::array<std::unique_ptr<Y3Data>, 3> &y3) {
    object(j, w);
    known_keys(j, w,
               {"number", "maker", "present", "mfr_id", "mfr_model", "mfr_serial", "mfr_revision",
                "status_word", "vout_mode", "readings", "raw_words", "y3_serial", "y3_firmware",
                "y3_bytes"});
    if (!j.contains("number")) w.fail("missing \"number\"");
    const unsigned n = static_cast<unsigned>(integer(j["number"], w["number"], 1, 3));
    if (psus[n - 1]) w["number"].fail("PSU " + std::to_string(n) + " is described twice");
    PmbusPsu::Maker maker = PmbusPsu::Maker::Delta;
    if (j.contains("maker")) {
        const std::string m = text(j["maker"], w["maker"]);
        if (m == "3Y")
            maker = PmbusPsu::Maker::Y3;
        else if (m != "DELTA")
            w["maker"].fail("expected \"DELTA\" or \"3Y\"");
    }
    auto psu = std::make_unique<PmbusPsu>(maker);
    if (j.contains("present")) psu->set_present(flag(j["present"], w["present"]));
    const std::pair<const char *, uint8_t> texts[] = {{"mfr_id", pmbus_cmd::MFR_ID},
                                                      {"mfr_model", pmbus_cmd::MFR_MODEL},
                                                      {"mfr_serial", pmbus_cmd::MFR_SERIAL}};
    for (auto [key, cmd] : texts)
        if (j.contains(key)) psu->set_text(cmd, text(j[key], w[key]));
    if (j.contains("mfr_revision")) {
        const json &r = array(j["mfr_revision"], w["mfr_revision"]);
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < r.size(); ++i) bytes.push_back(byte(r[i], w["mfr_revision"][i]));
        psu->set_block(pmbus_cmd::MFR_REVISION, bytes);
    }
    if (j.contains("status_word"))
        psu->set_word(pmbus_cmd::STATUS_WORD, static_cast<uint16_t>(integer(
                                                  j["status_word"], w["status_word"], 0, 0xFFFF)));
    if (j.contains("vout_mode")) psu->set_vout_mode(byte(j["vout_mode"], w["vout_mode"]));
    if (j.contains("readings")) {
        const Where wr = w["readings"];
        const json &r = object(j["readings"], wr);
        for (auto it = r.begin(); it != r.end(); ++it) {
            if (it.key() == "vout") {
                psu->set_vout(number(it.value(), wr["vout"]));
                continue;
            }
            bool found = false;
            for (const Reading &rd : kReadings) {
                if (it.key() != rd.key) continue;
                psu->set_linear11(rd.cmd, number(it.value(), wr[it.key()]));
                found = true;
            }
            if (!found)
                wr[it.key()].fail(
                    "unknown reading (vin, iin, vout, iout, temp1, temp2, fan1, fan2)");
        }
    }
    if (j.contains("raw_words")) {
        const Where wr = w["raw_words"];
        for (auto it = object(j["raw_words"], wr).begin(); it != j["raw_words"].end(); ++it)
            psu->set_word(byte(json(it.key()), wr[it.key()]),
                          static_cast<uint16_t>(integer(it.value(), wr[it.key()], 0, 0xFFFF)));
    }
    const uint8_t addr = static_cast<uint8_t>(0xB0 + 2 * (n - 1));
    bus.attach(0, addr, psu.get());
    if (maker == PmbusPsu::Maker::Y3 || j.contains("y3_serial") || j.contains("y3_firmware") ||
        j.contains("y3_bytes")) {
        auto data = std::make_unique<Y3Data>();
        data->set_present(psu->present());
        if (j.contains("y3_serial")) {
            const std::string s = text(j["y3_serial"], w["y3_serial"]);
            // A serial number that begins with W S sits at 0x35, any other at 0x2E.
            const bool ws = s.size() >= 2 && s[0] == 'W' && s[1] == 'S';
            if (s.size() > (ws ? 19u : 18u)) w["y3_serial"].fail("too long");
            data->set_bytes(ws ? Y3Data::kSerialWs : Y3Data::kSerialPlain, s);
        }
        if (j.contains("y3_firmware"))
            data->set_bytes(Y3Data::kFirmware, text(j["y3_firmware"], w["y3_firmware"]));
        if (j.contains("y3_bytes")) {
            const Where wb = w["y3_bytes"];
            for (auto it = object(j["y3_bytes"], wb).begin(); it != j["y3_bytes"].end(); ++it)
                data->set_bytes(byte(json(it.key()), wb[it.key()]), text(it.value(), wb[it.key()]));
        }
        bus.attach(0, static_cast<uint8_t>(0xA0 + 2 * (n - 1)), data.get());
        y3[n - 1] = std::move(data);
    }
    psus[n - 1] = std::move(psu);
}

// An item by its name (HWMID_TEMP_CPU1) or its number (0 to 61).
int item_key(const std::string &key, const Where &w) {
    const int byname = pvqio::item_by_name(key);
    if (byname >= 0) return byname;
    if (key.empty() || key.find_first_not_of("0123456789") != std::string::npos)
        w.fail("unknown item (an item's name, HWMID_TEMP_CPU1 to HWMID_PSU2_TEMP2, or its "
               "number, 0 to 61)");
    return static_cast<int>(integer(json(key), w, 0, 61));
}

void load_hwm(const json &j, const Where &w, HwmSection &hwm) {
    object(j, w);
    known_keys(j, w, {"values", "names", "caseopen"});
    if (j.contains("values")) {
        const Where wv = w["values"];
        for (auto it = object(j["values"], wv).begin(); it != j["values"].end(); ++it)
            hwm.values[static_cast<size_t>(item_key(it.key(), wv[it.key()]))] =
                integer(it.value(), wv[it.key()], -999999999999LL, 999999999999LL);
    }
    if (j.contains("names")) {
        const Where wn = w["names"];
        for (auto it = object(j["names"], wn).begin(); it != j["names"].end(); ++it) {
            std::string name = text(it.value(), wn[it.key()]);
            if (name.size() > 29) wn[it.key()].fail("a name has at most 29 characters");
            hwm.names[static_cast<size_t>(item_key(it.key(), wn[it.key()]))] = std::move(name);
        }
    }
    if (j.contains("caseopen"))
        hwm.caseopen = static_cast<int>(integer(j["caseopen"], w["caseopen"], 0, 255));
}

void load_faults(const json &j, const Where &w, SimBus &bus) {
    array(j, w);
    static const std::pair<const char *, Op> kOps[] = {{"read_word", Op::ReadWord},
                                                       {"read_byte", Op::ReadByte},
                                                       {"write_byte", Op::WriteByte},
                                                       {"read_block", Op::ReadBlock},
                                                       {"switch", Op::SwitchSlot}};
    for (size_t i = 0; i < j.size(); ++i) {
        const Where wf = w[i];
        const json &f = object(j[i], wf);
        known_keys(f, wf, {"op", "addr", "cmd", "slot", "times", "code", "after"});
        if (!f.contains("op")) wf.fail("missing \"op\"");
        const std::string name = text(f["op"], wf["op"]);
        std::optional<Op> op;
        for (auto [n, o] : kOps)
            if (name == n) op = o;
        if (!op)
            wf["op"].fail("unknown operation \"" + printable(name) +
                          "\" (read_word, read_byte, write_byte, read_block or switch)");
        const int times = f.contains("times")
                              ? static_cast<int>(integer(f["times"], wf["times"], -1, 1000000))
                              : -1;
        const int code =
            f.contains("code") ? static_cast<int>(integer(f["code"], wf["code"], -4095, -1)) : -EIO;
        const int after = f.contains("after")
                              ? static_cast<int>(integer(f["after"], wf["after"], 0, 1000000))
                              : 0;
        if (*op == Op::SwitchSlot) {
            if (!f.contains("slot")) wf.fail("missing \"slot\"");
            bus.fail_switch(byte(f["slot"], wf["slot"]), times, code, after);
            continue;
        }
        if (!f.contains("addr") || !f.contains("cmd")) wf.fail("missing \"addr\" or \"cmd\"");
        bus.fail(*op, byte(f["addr"], wf["addr"]), byte(f["cmd"], wf["cmd"]), times, code, after);
    }
}

} // namespace

namespace {

constexpr size_t kMaxDocument = 4u << 20; // nor takes more than 4 MiB

// The whole of a regular file of at most kMaxDocument bytes; "" with the reason in `why`
// otherwise. Opened without blocking, so that a FIFO in its place cannot stall the caller.
bool read_document(const std::string &path, std::string &text, std::string &why) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok)
        why = std::string("cannot be read: ") + std::strerror(errno);
    else if (S_ISDIR(st.st_mode))
        ok = false, why = "is a directory, not a file";
    else if (!S_ISREG(st.st_mode))
        ok = false, why = "is not a regular file";
    else if (static_cast<unsigned long long>(st.st_size) > kMaxDocument)
        ok = false, why = "is larger than 4 MiB";
    char buf[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || text.size() + static_cast<size_t>(n) > kMaxDocument) {
            ok = false;
            why = n < 0 ? std::string("cannot be read: ") + std::strerror(errno)
                        : "is larger than 4 MiB";
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return ok;
}

// A parser callback that refuses a key given twice in one object, which JSON parsers
// otherwise settle silently (the last wins).
json::parser_callback_t no_duplicate_keys(const std::string &path) {
    auto open = std::make_shared<std::vector<std::set<std::string>>>();
    return [open, path](int, json::parse_event_t event, json &parsed) {
        if (event == json::parse_event_t::object_start) {
            open->emplace_back();
        } else if (event == json::parse_event_t::object_end) {
            if (!open->empty()) open->pop_back();
        } else if (event == json::parse_event_t::key && !open->empty()) {
            const std::string key = parsed.get<std::string>();
            if (!open->back().insert(key).second)
                throw PlatformError(path + ": the key \"" + printable(key) +
                                    "\" is given twice in one object");
        }
        return true;
    };
}

} // namespace

std::unique_ptr<VirtualPlatform> VirtualPlatform::load(const std::string &path) {
    std::string text, why;
    if (!read_document(path, text, why)) throw PlatformError(path + ": " + why);
    return parse(path, text);
}

std::unique_ptr<VirtualPlatform> VirtualPlatform::parse(const std::string &path,
                                                        const std::string &text) {
    if (nesting(text, kMaxDepth) > kMaxDepth)
        throw PlatformError(path + ": nests deeper than " + std::to_string(kMaxDepth) + " levels");
    json doc;
    try {
        doc = json::parse(text, no_duplicate_keys(path));
    } catch (const json::exception &e) {
        // A syntax error, or a number past what a double holds (1E400): both are no JSON
        // this platform can read.
        throw PlatformError(path + ": not valid JSON: " + printable(e.what()));
    }
    const Where w{path, ""};
    object(doc, w);
    known_keys(doc, w, {"description", "bypass", "psu", "hwm", "faults"});
    auto p = std::unique_ptr<VirtualPlatform>(new VirtualPlatform);
    p->path_ = path;
    p->fingerprint_ = content_fingerprint(text);
    if (doc.contains("bypass")) {
        const json &list = array(doc["bypass"], w["bypass"]);
        for (size_t i = 0; i < list.size(); ++i)
            load_bypass(list[i], w["bypass"][i], p->bus_, p->bypass_);
    }
    if (doc.contains("psu")) {
        const json &list = array(doc["psu"], w["psu"]);
        for (size_t i = 0; i < list.size(); ++i)
            load_psu(list[i], w["psu"][i], p->bus_, p->psus_, p->y3_);
    }
    if (doc.contains("hwm")) load_hwm(doc["hwm"], w["hwm"], p->hwm_);
    if (doc.contains("faults")) load_faults(doc["faults"], w["faults"], p->bus_);
    p->bus_.set_tracing(false);
    return p;
}

} // namespace zrqsim
