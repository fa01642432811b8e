#include "hwmon.hpp"

#include "pvqio_items.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

namespace pvqio {
namespace {

namespace fs = std::filesystem;

// Which hwmon device a reading comes from: the nth chip of that name, or the one bound to an
// i2c client at a 7-bit address (the power supplies, whose driver names them all "pmbus").
struct Chip {
    const char *name;
    int nth = 0;
    int i2c_addr = -1;
};

// How the reading is found on the chip: an attribute base ("temp1", read from temp1_input),
// or the attribute of a type whose label reads `label` ("in" labelled "vin"), or the PMBus
// status word that the pmbus core shows in debugfs.
struct Source {
    Chip chip;
    const char *base = nullptr;
    const char *label = nullptr;
    int divisor = 1;
    bool status_word = false;
};

constexpr Chip kCpu1{"coretemp", 0}, kCpu2{"coretemp", 1};
constexpr Chip kSuperIo{"nct6779"};
constexpr Chip kFanBoard{"max31790"};
constexpr Chip kPsu1{"pmbus", 0, 0x58}, kPsu2{"pmbus", 0, 0x59}; // 0xB0 and 0xB2 on the SMBus

constexpr Source attr(Chip c, const char *base) {
    return {c, base};
}
constexpr Source labelled(Chip c, const char *type, const char *label, int divisor = 1) {
    return {c, type, label, divisor};
}
constexpr Source status(Chip c) {
    return {c, nullptr, nullptr, 1, true};
}

// The board map, in sensor-item order. Items without a chip are not fitted on this board.
std::array<Source, 62> board_map() {
    std::array<Source, 62> m{};
    m[0] = attr(kCpu1, "temp1");
    m[1] = attr(kCpu2, "temp1");
    m[2] = attr(kSuperIo, "temp1");
    m[3] = attr(kSuperIo, "temp2");
    for (int i = 0; i < 8; ++i) { // Vcore 1 and 2, the rails and the battery: in0..in7
        static constexpr const char *kIn[] = {"in0", "in1", "in2", "in3",
                                              "in4", "in5", "in6", "in7"};
        m[static_cast<size_t>(4 + i)] = attr(kSuperIo, kIn[i]);
    }
    // Items 12..19, the DDR channel voltages, are not monitored on this board.
    static constexpr const char *kFan[] = {"fan1", "fan2", "fan3", "fan4",  "fan5",  "fan6",
                                           "fan7", "fan8", "fan9", "fan10", "fan11", "fan12"};
    for (int i = 0; i < 4; ++i) m[static_cast<size_t>(20 + i)] = attr(kSuperIo, kFan[i]);
    // Fans 1A..6B on the fan board's twelve tachometer inputs; fans 7..10 are not fitted.
    for (int i = 0; i < 12; ++i) m[static_cast<size_t>(24 + i)] = attr(kFanBoard, kFan[i]);
    const Chip psus[] = {kPsu1, kPsu2};
    for (int p = 0; p < 2; ++p) {
        const size_t b = static_cast<size_t>(44 + 9 * p);
        const Chip c = psus[p];
        m[b + 0] = status(c);
        m[b + 1] = labelled(c, "in", "vin");
        m[b + 2] = labelled(c, "in", "vout1");
        m[b + 3] = labelled(c, "curr", "iin");
        m[b + 4] = labelled(c, "curr", "iout1");
        m[b + 5] = labelled(c, "power", "pin", 1000); // microwatts to milliwatts
        m[b + 6] = attr(c, "fan1");
        m[b + 7] = attr(c, "temp1");
        m[b + 8] = attr(c, "temp2");
    }
    return m;
}

const std::array<Source, 62> kBoard = board_map();

std::optional<std::string> read_line(const fs::path &p) {
    std::ifstream in(p);
    if (!in) return std::nullopt;
    std::string s;
    std::getline(in, s);
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

int hwmon_index(const fs::path &dir) {
    return std::atoi(dir.filename().string().c_str() + 5); // "hwmonN"
}

// The hwmon folder of a chip, or "" when it is not there.
fs::path find_chip(const std::string &root, const Chip &chip) {
    std::error_code ec;
    std::vector<fs::path> dirs;
    for (const auto &e : fs::directory_iterator(fs::path(root) / "class/hwmon", ec))
        if (e.path().filename().string().rfind("hwmon", 0) == 0) dirs.push_back(e.path());
    std::sort(dirs.begin(), dirs.end(),
              [](const fs::path &a, const fs::path &b) { return hwmon_index(a) < hwmon_index(b); });
    int seen = 0;
    for (const fs::path &d : dirs) {
        if (read_line(d / "name") != chip.name) continue;
        if (chip.i2c_addr >= 0) {
            // The device link ends in the i2c client's name, "<bus>-<4-digit hex address>".
            const std::string client = fs::read_symlink(d / "device", ec).filename().string();
            char want[8];
            std::snprintf(want, sizeof want, "-%04x", chip.i2c_addr);
            if (client.size() > 5 && client.compare(client.size() - 5, 5, want) == 0) return d;
            continue;
        }
        if (seen++ == chip.nth) return d;
    }
    return {};
}

// The attribute base ("in2") of a type whose label matches.
std::optional<std::string> base_by_label(const fs::path &dir, const char *type, const char *label) {
    for (int n = 0; n <= 32; ++n) {
        const std::string base = type + std::to_string(n);
        if (read_line(dir / (base + "_label")) == label) return base;
    }
    return std::nullopt;
}

bool parse(const std::string &s, int base, long long &v) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    v = std::strtoll(s.c_str(), &end, base);
    return errno == 0 && *end == '\0';
}

int resolve(const std::string &root, int item, fs::path &dir, std::string &base) {
    if (item < 0 || item >= static_cast<int>(kBoard.size())) return EINVAL;
    const Source &src = kBoard[static_cast<size_t>(item)];
    if (src.chip.name == nullptr) return ENODATA; // not fitted on this board
    dir = find_chip(root, src.chip);
    if (dir.empty()) return ENODEV;
    if (src.status_word) return 0;
    if (src.label == nullptr) {
        base = src.base;
        return 0;
    }
    const auto found = base_by_label(dir, src.base, src.label);
    if (!found) return ENOENT;
    base = *found;
    return 0;
}

} // namespace

int HwmonBackend::sensor(int item, char *text) {
    fs::path dir;
    std::string base;
    if (const int r = resolve(root_, item, dir, base); r != 0) return r;
    const Source &src = kBoard[static_cast<size_t>(item)];
    long long v = 0;
    if (src.status_word) {
        // The pmbus core shows the status word in debugfs as "0x0842".
        const auto s =
            read_line(fs::path(root_) / "kernel/debug/pmbus" / dir.filename() / "status0");
        if (!s) return ENOENT;
        if (!parse(*s, 0, v)) return EIO;
    } else {
        const auto s = read_line(dir / (base + "_input"));
        if (!s) return ENOENT;
        if (!parse(*s, 10, v)) return EIO;
        v /= src.divisor;
    }
    std::snprintf(text, kTextSize, "%lld", v);
    return 0;
}

int HwmonBackend::name(int item, char *text) {
    if (item < 0 || item >= static_cast<int>(kBoard.size())) return EINVAL;
    std::string label(kItemNames[static_cast<size_t>(item)]);
    fs::path dir;
    std::string base;
    if (resolve(root_, item, dir, base) == 0 && !base.empty())
        if (auto l = read_line(dir / (base + "_label")); l && !l->empty()) label = *l;
    std::snprintf(text, kTextSize, "%s", label.c_str());
    return 0;
}

int HwmonBackend::get_caseopen(int *open) {
    const fs::path dir = find_chip(root_, kSuperIo);
    if (dir.empty()) return ENODEV;
    const auto s = read_line(dir / "intrusion0_alarm");
    long long v = 0;
    if (!s) return ENOENT;
    if (!parse(*s, 10, v)) return EIO;
    *open = v > 0x7FFFFFFF || v < -0x7FFFFFFF ? 1 : static_cast<int>(v);
    return 0;
}

int HwmonBackend::clear_caseopen() {
    const fs::path dir = find_chip(root_, kSuperIo);
    if (dir.empty()) return ENODEV;
    std::ofstream out(dir / "intrusion0_alarm");
    if (!out) return EACCES;
    out << "0\n";
    out.flush();
    return out ? 0 : EIO;
}

} // namespace pvqio
