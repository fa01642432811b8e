#include "config.hpp"

#include "platform/include/regular_file.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <vector>

namespace zrqd {
namespace {

using Json = nlohmann::json;

// A key as it can be shown in one line: bytes other than printable ASCII as \xNN.
std::string printable(const std::string &key) {
    std::string out;
    for (const char c : key) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

// Reads one object's keys into their fields, each refused with its place ("/panel/keys/up").
class Reader {
  public:
    Reader(const std::string &path, std::string place) : path_(path), place_(std::move(place)) {}

    [[noreturn]] void fail(const std::string &where, const std::string &what) const {
        throw ConfigError(path_ + ": at " + (where.empty() ? std::string("the top") : where) +
                          ": " + what);
    }

    void object(const Json &j,
                const std::map<std::string, std::function<void(const Json &, const std::string &)>>
                    &fields) const {
        if (!j.is_object()) fail(place_, "must be an object, not " + shown(j));
        for (const auto &[key, value] : j.items()) {
            const auto it = fields.find(key);
            if (it == fields.end()) {
                std::string known;
                for (const auto &[k, f] : fields) known += (known.empty() ? "" : ", ") + k;
                fail(place_ + "/" + printable(key), "unknown key (known here: " + known + ")");
            }
            it->second(value, place_ + "/" + key);
        }
    }

    int whole(const Json &j, const std::string &where, int lo, int hi) const {
        if (!j.is_number_integer() || j.get<long long>() < lo || j.get<long long>() > hi)
            fail(where, "must be a whole number " + std::to_string(lo) + " to " +
                            std::to_string(hi) + ", not " + shown(j));
        return static_cast<int>(j.get<long long>());
    }

    bool boolean(const Json &j, const std::string &where) const {
        if (!j.is_boolean()) fail(where, "must be true or false, not " + shown(j));
        return j.get<bool>();
    }

    std::string text(const Json &j, const std::string &where, size_t max) const {
        if (!j.is_string()) fail(where, "must be a string, not " + shown(j));
        const std::string s = j.get<std::string>();
        if (s.size() > max) fail(where, "is longer than " + std::to_string(max) + " characters");
        for (const char c : s)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                fail(where, "holds a control character");
        return s;
    }

    // A value as a message shows it: objects and arrays by their kind, strings cut, so that
    // no message walks a whole value.
    static std::string shown(const Json &j) {
        if (j.is_object()) return "an object";
        if (j.is_array()) return "an array";
        const Json cut = j.is_string() && j.get_ref<const std::string &>().size() > 40
                             ? Json(j.get_ref<const std::string &>().substr(0, 40))
                             : j;
        std::string s = cut.dump(-1, ' ', true, Json::error_handler_t::replace);
        return s.size() > 40 ? s.substr(0, 37) + "..." : s;
    }

  private:
    const std::string &path_;
    std::string place_;
};

// "host:port", the port 0 to 65535; the host an IPv4 address or a name, "[v6]" for IPv6.
void listen_address(const Reader &r, const Json &j, const std::string &where, Config &c) {
    const std::string s = r.text(j, where, 300);
    const size_t colon = s.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == s.size())
        r.fail(where, "must be host:port (127.0.0.1:9470), not \"" + printable(s) + "\"");
    std::string host = s.substr(0, colon);
    const std::string port = s.substr(colon + 1);
    if (host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stol(port) > 65535)
        r.fail(where, "must be host:port with a port 0 to 65535, not \"" + printable(s) + "\"");
    c.listen_host = host;
    c.listen_port = static_cast<int>(std::stol(port));
}

void keys(const Reader &r, const Json &j, const std::string &where, KeyMap &map) {
    static const char *const kRoles[] = {"up", "down", "enter", "escape"};
    std::map<std::string, std::function<void(const Json &, const std::string &)>> fields;
    for (int i = 0; i < 4; ++i)
        fields[kRoles[i]] = [&r, &map, i](const Json &v, const std::string &w) {
            const std::string k = r.text(v, w, 1);
            if (k.size() != 1 || k[0] < 'A' || k[0] > 'D')
                r.fail(w,
                       "must be one of the module's keys \"A\" to \"D\", not " + Reader::shown(v));
            map[static_cast<size_t>(i)] = k[0];
        };
    r.object(j, fields);
    for (int i = 0; i < 4; ++i)
        for (int k = i + 1; k < 4; ++k)
            if (map[static_cast<size_t>(i)] == map[static_cast<size_t>(k)])
                r.fail(where, std::string("\"") + kRoles[i] + "\" and \"" + kRoles[k] +
                                  "\" are both key " + map[static_cast<size_t>(i)]);
}

} // namespace

// The text as JSON, or the place where it stops being JSON.
static Json parse_json(const std::string &path, const std::string &text) {
    // Nesting is bounded before parsing: a document of 100,000 levels would take the stack
    // with it. Nothing the configuration holds nests deeper than three.
    constexpr int kMaxDepth = 16;
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if ((c == '{' || c == '[') && ++depth > kMaxDepth) {
            throw ConfigError(path + ": nests deeper than " + std::to_string(kMaxDepth) +
                              " levels, which no configuration does");
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    // A key given twice in one object is refused, as the platform description refuses it,
    // rather than settled silently (the last wins).
    std::vector<std::set<std::string>> seen;
    std::string twice;
    const Json::parser_callback_t no_duplicates = [&](int, Json::parse_event_t event,
                                                      Json &parsed) {
        if (event == Json::parse_event_t::object_start) seen.emplace_back();
        if (event == Json::parse_event_t::object_end && !seen.empty()) seen.pop_back();
        if (event == Json::parse_event_t::key && !seen.empty() &&
            !seen.back().insert(parsed.get<std::string>()).second && twice.empty())
            twice = parsed.get<std::string>();
        return true;
    };
    Json doc;
    try {
        doc = Json::parse(text, no_duplicates);
        if (!twice.empty())
            throw ConfigError(path + ": the key \"" + printable(twice) +
                              "\" is given twice in one object");
    } catch (const Json::parse_error &e) {
        // The byte where parsing stopped, as a line and a column.
        size_t line = 1, column = 1;
        for (size_t i = 0; i + 1 < e.byte && i < text.size(); ++i) {
            if (text[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        throw ConfigError(path + ": line " + std::to_string(line) + ", column " +
                          std::to_string(column) + ": not valid JSON");
    } catch (const Json::exception &) {
        throw ConfigError(path + ": not valid JSON (a number out of range)");
    }
    return doc;
}

// The "panel" object.
static void panel_section(const std::string &path, const Json &j, const std::string &where,
                          Config::Panel &p) {
    const Reader r(path, where);

    r.object(
        j,
        {
            {"enabled", [&](const Json &v, const std::string &x) { p.enabled = r.boolean(v, x); }},
            {"port", [&](const Json &v, const std::string &x) { p.port = r.text(v, x, 4096); }},
            {"key_pause_ms",
             [&](const Json &v, const std::string &x) {
                 p.key_pause_ms = r.whole(v, x, 0, 10000);
             }},
            {"rotate_after_s",
             [&](const Json &v, const std::string &x) {
                 p.rotate_after_s = r.whole(v, x, 0, 86400);
             }},
            {"dim_after_s",
             [&](const Json &v, const std::string &x) { p.dim_after_s = r.whole(v, x, 0, 86400); }},
            {"brightness",
             [&](const Json &v, const std::string &x) { p.brightness = r.whole(v, x, 1, 8); }},
            {"dim_brightness",
             [&](const Json &v, const std::string &x) { p.dim_brightness = r.whole(v, x, 1, 8); }},
            {"keys",
             [&](const Json &v, const std::string &x) { keys(Reader(path, x), v, x, p.keys); }},
        });
}

Config parse_config(const std::string &path, const std::string &text) {
    const Json doc = parse_json(path, text);
    Config c;
    const Reader top(path, "");
    top.object(
        doc,
        {
            {"name", [&](const Json &j, const std::string &w) { c.name = top.text(j, w, 64); }},
            {"listen", [&](const Json &j, const std::string &w) { listen_address(top, j, w, c); }},
            {"plugins",
             [&](const Json &j, const std::string &w) { c.plugins = top.text(j, w, 4096); }},
            {"poll_interval_ms",
             [&](const Json &j, const std::string &w) {
                 c.poll_interval_ms = top.whole(j, w, 100, 3600 * 1000);
             }},
            {"sole_host",
             [&](const Json &j, const std::string &w) { c.sole_host = top.boolean(j, w); }},
            {"maxslots",
             [&](const Json &j, const std::string &w) { c.maxslots = top.whole(j, w, 0, 8); }},
            {"panel",
             [&](const Json &j, const std::string &w) { panel_section(path, j, w, c.panel); }},
        });
    if (c.panel.dim_after_s != 0 && c.panel.rotate_after_s != 0 &&
        c.panel.dim_after_s < c.panel.rotate_after_s)
        top.fail("/panel/dim_after_s", "must not be shorter than rotate_after_s (" +
                                           std::to_string(c.panel.rotate_after_s) + ")");
    return c;
}

// The file as the platform description is read: a regular file only (a FIFO would block the
// start or a reload, a device would never end), opened without waiting, at most 1 MiB.
std::string host_port(const std::string &host, int port) {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

Config load_config(const std::string &path) {
    std::string text;
    const std::string why =
        platform::read_regular_file(path, 1u << 20, "a configuration file", text);
    if (!why.empty()) throw ConfigError(path + ": " + why);
    return parse_config(path, text);
}

} // namespace zrqd
