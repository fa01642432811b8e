#include "board.hpp"

#include "pmbus_format.hpp"
#include "pvqio_items.hpp"
#include "regular_file.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <initializer_list>
#include <sstream>

namespace pvqio {
namespace {

using json = nlohmann::json;

constexpr size_t kMaxBoardFile = 1u << 20;

struct PmbusName {
    const char *name;
    uint8_t code;
};
constexpr PmbusName kCommands[] = {
    {"STATUS_WORD", pmbus::STATUS_WORD},
    {"READ_VIN", pmbus::READ_VIN},
    {"READ_IIN", pmbus::READ_IIN},
    {"READ_VOUT", pmbus::READ_VOUT},
    {"READ_IOUT", pmbus::READ_IOUT},
    {"READ_PIN", pmbus::READ_PIN},
    {"READ_TEMPERATURE_1", pmbus::READ_TEMPERATURE_1},
    {"READ_TEMPERATURE_2", pmbus::READ_TEMPERATURE_2},
    {"READ_FAN_SPEED_1", pmbus::READ_FAN_SPEED_1},
};

// A place in the file, for messages.
struct Where {
    const std::string &file;
    std::string at;
    Where operator[](const std::string &key) const {
        return {file, at.empty() ? key : at + "." + key};
    }
    [[noreturn]] void fail(const std::string &what) const {
        throw BoardError(file + ": " + (at.empty() ? "" : at + ": ") + what);
    }
};

void known_keys(const json &j, const Where &w, std::initializer_list<const char *> keys) {
    for (const auto &[key, value] : j.items()) {
        bool known = false;
        for (const char *k : keys) known = known || key == k;
        if (!known) w[key].fail("unknown key");
    }
}

const json &object(const json &j, const Where &w) {
    if (!j.is_object()) w.fail("is not an object");
    return j;
}

std::string text(const json &j, const Where &w) {
    if (!j.is_string()) w.fail("is not a string");
    return j.get<std::string>();
}

double number(const json &j, const Where &w) {
    if (!j.is_number()) w.fail("is not a number");
    return j.get<double>();
}

// A file the board names is a plain name inside its chip's hwmon folder: never a path that
// leads out of it (the case-open flag is written as well as read).
std::string attribute_name(const json &j, const Where &w) {
    std::string name = text(j, w);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        w.fail("is not an attribute name");
    return name;
}

// "0x20" or 32, within 0..max.
int address(const json &j, const Where &w, int max) {
    long v = -1;
    if (j.is_number_integer()) {
        v = j.get<long>();
    } else if (j.is_string()) {
        const std::string s = j.get<std::string>();
        char *end = nullptr;
        v = std::strtol(s.c_str(), &end, 0);
        if (s.empty() || *end != '\0') v = -1;
    }
    if (v < 0 || v > max) w.fail("is not an address from 0 to " + std::to_string(max));
    return static_cast<int>(v);
}

ItemSpec item(const json &j, const Where &w, const std::vector<ChipSpec> &chips) {
    ItemSpec it;
    if (j.is_string() && j.get<std::string>() == "absent") return it;
    object(j, w);
    known_keys(j, w,
               {"chip", "attribute", "label", "status", "smbus", "command", "multiplier", "offset",
                "note"});
    if (j.contains("multiplier")) it.multiplier = number(j["multiplier"], w["multiplier"]);
    if (j.contains("offset")) it.offset = number(j["offset"], w["offset"]);
    if (j.contains("smbus")) {
        const int a = address(j["smbus"], w["smbus"], 0xFE);
        if (a & 1) w["smbus"].fail("is not an 8-bit address (bit 0 set)");
        it.kind = ItemSpec::Kind::Smbus;
        it.smbus_addr = static_cast<uint8_t>(a);
        if (!j.contains("command")) w.fail("\"smbus\" needs a \"command\"");
        const std::string c = text(j["command"], w["command"]);
        bool found = false;
        for (const PmbusName &p : kCommands)
            if (c == p.name) it.command = p.code, found = true;
        if (!found) w["command"].fail("unknown PMBus command \"" + c + "\"");
        return it;
    }
    if (!j.contains("chip")) w.fail("needs \"chip\" or \"smbus\", or is \"absent\"");
    const std::string id = text(j["chip"], w["chip"]);
    for (size_t i = 0; i < chips.size(); ++i)
        if (chips[i].id == id) it.chip = static_cast<int>(i);
    if (it.chip < 0) w["chip"].fail("no chip \"" + id + "\" under \"chips\"");
    const int ways =
        int(j.contains("attribute")) + int(j.contains("label")) + int(j.contains("status"));
    if (ways != 1) w.fail("needs one of \"attribute\", \"label\" or \"status\"");
    if (j.contains("attribute")) {
        it.kind = ItemSpec::Kind::Attribute;
        it.attribute = attribute_name(j["attribute"], w["attribute"]);
    } else if (j.contains("label")) {
        it.kind = ItemSpec::Kind::Label;
        it.attribute = text(j["label"], w["label"]);
    } else {
        if (text(j["status"], w["status"]) != "debugfs") w["status"].fail("is not \"debugfs\"");
        it.kind = ItemSpec::Kind::DebugfsStatus;
    }
    return it;
}

std::string read_file(const std::string &path) {
    std::string text;
    const std::string why =
        platform::read_regular_file(path, kMaxBoardFile, "a board description", text);
    if (!why.empty()) throw BoardError(path + ": " + why);
    return text;
}

// The slot switch, for the board's setup: who drives it, the library or a kernel driver.
void check_switch(const json &doc, const Where &top) {
    const Where w = top["switch"];
    const json &sw = object(doc["switch"], w);
    known_keys(sw, w, {"address", "driver", "owner", "note"});
    if (!sw.contains("address") || !sw.contains("driver") || !sw.contains("owner"))
        w.fail("needs \"address\", \"driver\" and \"owner\"");
    address(sw["address"], w["address"], 0x7F);
    text(sw["driver"], w["driver"]);
    const std::string owner = text(sw["owner"], w["owner"]);
    if (owner != "library" && owner != "kernel")
        w["owner"].fail("is not \"library\" or \"kernel\"");
}

void read_chips(const json &doc, const Where &top, Board &b) {
    for (const auto &[id, c] : object(doc["chips"], top["chips"]).items()) {
        const Where w = top["chips"][id];
        object(c, w);
        known_keys(c, w, {"name", "temp1_label", "adapter", "address", "driver", "note"});
        if (c.contains("driver")) text(c["driver"], w["driver"]); // the board setup's
        ChipSpec chip;
        chip.id = id;
        if (!c.contains("name")) w.fail("needs the hwmon \"name\"");
        chip.name = text(c["name"], w["name"]);
        if (c.contains("temp1_label")) chip.temp1_label = text(c["temp1_label"], w["temp1_label"]);
        if (c.contains("adapter")) chip.adapter = text(c["adapter"], w["adapter"]);
        if (c.contains("address")) chip.address = address(c["address"], w["address"], 0x7F);
        if (chip.adapter.empty() != (chip.address < 0))
            w.fail("an i2c chip needs both \"adapter\" and \"address\"");
        b.chips.push_back(chip);
    }
}

void read_caseopen(const json &doc, const Where &top, Board &b) {
    const Where w = top["caseopen"];
    const json &c = object(doc["caseopen"], w);
    known_keys(c, w, {"chip", "attribute"});
    if (!c.contains("chip") || !c.contains("attribute")) w.fail("needs \"chip\" and \"attribute\"");
    const std::string id = text(c["chip"], w["chip"]);
    for (size_t i = 0; i < b.chips.size(); ++i)
        if (b.chips[i].id == id) b.caseopen_chip = static_cast<int>(i);
    if (b.caseopen_chip < 0) w["chip"].fail("no chip \"" + id + "\" under \"chips\"");
    b.caseopen_attribute = attribute_name(c["attribute"], w["attribute"]);
}

} // namespace

Board load_board(const std::string &path) {
    json doc;
    try {
        doc = json::parse(read_file(path));
    } catch (const json::parse_error &e) {
        throw BoardError(path + ": not valid JSON: " + e.what());
    }
    const Where top{path, ""};
    object(doc, top);
    known_keys(doc, top, {"board", "note", "adapter", "chips", "caseopen", "items", "switch"});
    if (doc.contains("adapter")) text(doc["adapter"], top["adapter"]); // libpvqsmb's
    if (doc.contains("switch")) check_switch(doc, top);
    Board b;
    if (doc.contains("chips")) read_chips(doc, top, b);
    if (!doc.contains("items")) top.fail("needs \"items\"");
    const json &items = object(doc["items"], top["items"]);
    for (const auto &[name, value] : items.items())
        if (item_by_name(name) < 0) top["items"][name].fail("is no sensor item");
    // Every item the file lacks, at once, not one per run.
    std::string lacking;
    for (const std::string_view name : kItemNames)
        if (!items.contains(std::string(name)))
            lacking += (lacking.empty() ? "" : ", ") + std::string(name);
    if (!lacking.empty())
        top["items"].fail(lacking + (lacking.find(',') == std::string::npos ? " is" : " are") +
                          " neither mapped nor \"absent\"");
    for (size_t i = 0; i < kItemNames.size(); ++i) {
        const std::string name(kItemNames[i]);
        b.items[i] = item(items[name], top["items"][name], b.chips);
    }
    if (doc.contains("caseopen")) read_caseopen(doc, top, b);
    return b;
}

} // namespace pvqio
