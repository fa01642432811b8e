// The bypass modules' registers as the state file keeps them between processes.
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

namespace {

std::string hex(const uint8_t *p, size_t n) {
    static const char *digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += digits[p[i] >> 4], s += digits[p[i] & 15];
    return s;
}

bool unhex(const std::string &s, uint8_t *p, size_t n) {
    if (s.size() != 2 * n) return false;
    for (size_t i = 0; i < n; ++i) {
        const int hi = std::stoi(s.substr(2 * i, 1), nullptr, 16);
        const int lo = std::stoi(s.substr(2 * i + 1, 1), nullptr, 16);
        p[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

} // namespace

// A damaged state (not JSON, not an object, nested past all reason) counts as none.
json parse_state(const std::string &text) {
    if (text.empty() || nesting(text, kMaxDepth) > kMaxDepth) return json::object();
    json j = json::parse(text, nullptr, false);
    if (!j.is_object()) return json::object();
    return j;
}

bool restore_bypass(VirtualPlatform &platform, const std::string &state_json, long long now) {
    const json doc = parse_state(state_json);
    if (!doc.contains("bypass")) return true;
    if (!doc["bypass"].is_object()) return false;
    bool whole_state = true;
    // A clock that is no whole number (a damaged file) leaves the timers where they were saved.
    const json *saved_clock = doc.contains("clock") ? &doc["clock"] : nullptr;
    const bool whole = saved_clock && (saved_clock->is_number_unsigned()
                                           ? saved_clock->get<unsigned long long>() <= LLONG_MAX
                                           : saved_clock->is_number_integer());
    const long long clock = whole ? saved_clock->get<long long>() : now;
    if (!whole) whole_state = false;
    for (auto &[slot, module] : platform.bypass()) {
        const std::string key = std::to_string(slot);
        if (!doc["bypass"].contains(key)) continue;
        const json &m = doc["bypass"][key];
        try {
            LbpModule::State s = module->state();
            std::array<uint8_t, 256> valid{};
            if (!unhex(m.at("reg").get<std::string>(), s.reg.data(), 256) ||
                !unhex(m.at("valid").get<std::string>(), valid.data(), 256)) {
                whole_state = false; // of the wrong size
                continue;
            }
            for (size_t i = 0; i < 256; ++i) s.valid[i] = valid[i] != 0;
            for (size_t i = 0; i < 3; ++i) s.remaining[i] = m.at("remaining").at(i).get<unsigned>();
            module->restore(s);
            // The timers ran while no process looked at them.
            if (now > clock) module->advance(static_cast<unsigned>(now - clock));
        } catch (const std::exception &) {
            // A damaged entry: the module keeps its described state.
            whole_state = false;
        }
    }
    return whole_state;
}

std::string save_bypass(VirtualPlatform &platform, const std::string &state_json, long long now) {
    json doc = parse_state(state_json);
    json bypass = json::object();
    for (auto &[slot, module] : platform.bypass()) {
        const LbpModule::State s = module->state();
        std::array<uint8_t, 256> valid{};
        for (size_t i = 0; i < 256; ++i) valid[i] = s.valid[i];
        bypass[std::to_string(slot)] = {{"reg", hex(s.reg.data(), 256)},
                                        {"valid", hex(valid.data(), 256)},
                                        {"remaining", s.remaining}};
    }
    doc["description"] = platform.fingerprint();
    doc["bypass"] = bypass;
    doc["clock"] = now;
    return doc.dump(1);
}

} // namespace zrqsim
