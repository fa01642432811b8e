// zrqd: the panel's renderer and pages, its configuration, its metrics text, and the service
// as a whole in this process, against the virtual platform and the LCD module emulator.
#include "config.hpp"
#include "lcm_emulator.hpp"
#include "log.hpp"
#include "metrics.hpp"
#include "panel.hpp"
#include "platform.hpp"
#include "pvqio_backend.hpp"
#include "pvqsmb_backend.hpp"
#include "render.hpp"
#include "service.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <dirent.h>
#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

namespace {

using zrqd::Key;
using zrqd::Screen;

// ---- The renderer ----------------------------------------------------------------------

TEST(ZrqdRender, RowsAreTwentyColumnsWithTheRightPartKeptWhole) {
    struct Case {
        const char *left, *right, *want;
    } cases[] = {
        {"PSU1", "OK", "PSU1              OK"},
        {"", "", "                    "},
        {"left only", "", "left only           "},
        {"", "right only", "          right only"},
        // The left part gives way, and keeps a space before the right one; its last word,
        // which tells items apart, stays whole and the words before it are shortened.
        {"A name far too long to fit", "118W", "too lon to fit  118W"},
        {"System Fan 1", "3100 rpm", "Sys Fan 1   3100 rpm"},
        {"System Fan 2", "3100 rpm", "Sys Fan 2   3100 rpm"},
        {"Fan 1 Rotor A", "2400 rpm", "Fan 1 Rot A 2400 rpm"},
        {"Fan 1 Rotor B", "2400 rpm", "Fan 1 Rot B 2400 rpm"},
        {"exactly twenty chars", "", "exactly twenty chars"},
        {"x", "a right part over twenty", "a right part over tw"},
        {"tab\there", "\xC3\xA9", "tab?here          ??"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(zrqd::fit_row(c.left, c.right), c.want) << c.left;
    }
}

TEST(ZrqdRender, FieldsFillTheTemplates) {
    struct Case {
        const char *text;
        zrqd::Fields fields;
        const char *want;
    } cases[] = {
        {"PSU{n} {state}", {{"n", "2"}, {"state", "OK"}}, "PSU2 OK"},
        {"{missing}", {}, "?"},
        {"no fields", {{"n", "1"}}, "no fields"},
        {"{a}{a}", {{"a", "x"}}, "xx"},
        {"open {brace", {}, "open {brace"},
    };
    for (const Case &c : cases) EXPECT_EQ(zrqd::fill(c.text, c.fields), c.want) << c.text;
    const zrqd::Layout layout = {{{"Slot {slot} bypass", "{count}"}, {"Pairs {pairs}", "ENT:set"}}};
    const Screen s = zrqd::render(layout, {{"slot", "0"}, {"count", "1/4"}, {"pairs", "B---"}});
    EXPECT_EQ(s[0], "Slot 0 bypass    1/4");
    EXPECT_EQ(s[1], "Pairs B---   ENT:set");
}

// ---- The configuration ------------------------------------------------------------------

TEST(ZrqdConfig, EveryKeyHasADefaultAndIsRead) {
    EXPECT_EQ(zrqd::parse_config("c.json", "{}"), zrqd::Config{});
    const zrqd::Config c = zrqd::parse_config("c.json", R"({
        "name": "edge-7", "listen": "0.0.0.0:9100", "plugins": "/opt/zrq/lib",
        "poll_interval_ms": 250, "sole_host": true, "maxslots": 2,
        "panel": {"enabled": true, "port": "/dev/pts/9", "key_pause_ms": 0,
                  "rotate_after_s": 0, "dim_after_s": 60, "brightness": 6, "dim_brightness": 2,
                  "keys": {"up": "D", "down": "C", "enter": "B", "escape": "A"}}})");
    EXPECT_EQ(c.name, "edge-7");
    EXPECT_EQ(c.listen_host, "0.0.0.0");
    EXPECT_EQ(c.listen_port, 9100);
    EXPECT_EQ(c.plugins, "/opt/zrq/lib");
    EXPECT_EQ(c.poll_interval_ms, 250);
    EXPECT_TRUE(c.sole_host);
    EXPECT_EQ(c.maxslots, 2);
    EXPECT_EQ(c.panel.port, "/dev/pts/9");
    EXPECT_EQ(c.panel.dim_after_s, 60);
    EXPECT_EQ(c.panel.brightness, 6);
    EXPECT_EQ(c.panel.keys, (zrqd::KeyMap{'D', 'C', 'B', 'A'}));
    EXPECT_EQ(zrqd::parse_config("c.json", R"({"listen": "[::1]:0"})").listen_host, "::1");
    // The example that ships beside the unit file says what the defaults are.
    zrqd::Config shipped = zrqd::load_config(ZRQD_EXAMPLE_CONFIG);
    EXPECT_EQ(shipped.plugins, "/usr/lib/zrq4470");
    shipped.plugins.clear();
    shipped.name.clear();
    EXPECT_EQ(shipped, zrqd::Config{});
}

TEST(ZrqdConfig, AFileThatCannotBeUsedIsRefusedInOneLineNamingThePlace) {
    struct Case {
        const char *text, *want;
    } cases[] = {
        {"{\n  \"listen\": 9470\n}", "c.json: at /listen: must be a string, not 9470"},
        {"{\n  \"name\": \"x\",\n  oops\n}", "c.json: line 3, column 3: not valid JSON"},
        {"", "c.json: line 1, column 1: not valid JSON"},
        {"[]", "c.json: at the top: must be an object, not an array"},
        {R"({"name": "a", "panel": {}, "name": "b"})",
         "c.json: the key \"name\" is given twice in one object"},
        {R"({"panel": [[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]})",
         "c.json: nests deeper than 16 levels, which no configuration does"},
        {R"({"listen": "localhost"})",
         "c.json: at /listen: must be host:port (127.0.0.1:9470), not \"localhost\""},
        {R"({"listen": "127.0.0.1:65536"})",
         "c.json: at /listen: must be host:port with a port 0 to 65535, not \"127.0.0.1:65536\""},
        {"{\"listen\": \"::\xCF\x8A?8\"}",
         "c.json: at /listen: must be host:port with a port 0 to 65535, not \"::\\xCF\\x8A?8\""},
        {R"({"listen": "127.0.0.1:-1"})",
         "c.json: at /listen: must be host:port with a port 0 to 65535, not \"127.0.0.1:-1\""},
        {R"({"poll_interval_ms": 10})",
         "c.json: at /poll_interval_ms: must be a whole number 100 to 3600000, not 10"},
        {R"({"poll_interval_ms": 1.5})",
         "c.json: at /poll_interval_ms: must be a whole number 100 to 3600000, not 1.5"},
        {R"({"maxslots": 9})", "c.json: at /maxslots: must be a whole number 0 to 8, not 9"},
        {R"({"sole_host": "yes"})", "c.json: at /sole_host: must be true or false, not \"yes\""},
        {R"({"sole-host": true})",
         "c.json: at /sole-host: unknown key (known here: listen, maxslots, name, panel, plugins, "
         "poll_interval_ms, sole_host)"},
        {"{\"tab\\u0009here\\u00e9\": 1}",
         "c.json: at /tab\\x09here\\xC3\\xA9: unknown key (known here: listen, maxslots, name, "
         "panel, plugins, poll_interval_ms, sole_host)"},
        {R"({"panel": {"brightness": 0}})",
         "c.json: at /panel/brightness: must be a whole number 1 to 8, not 0"},
        {R"({"panel": {"keys": {"up": "E"}}})",
         "c.json: at /panel/keys/up: must be one of the module's keys \"A\" to \"D\", not \"E\""},
        {R"({"panel": {"keys": {"up": "B"}}})",
         "c.json: at /panel/keys: \"up\" and \"down\" are both key B"},
        {R"({"panel": {"rotate_after_s": 60, "dim_after_s": 30}})",
         "c.json: at /panel/dim_after_s: must not be shorter than rotate_after_s (60)"},
        {R"({"name": "bell\u0007"})", "c.json: at /name: holds a control character"},
        {R"({"poll_interval_ms": 1e999})", "c.json: not valid JSON (a number out of range)"},
    };
    for (const Case &c : cases) {
        try {
            zrqd::parse_config("c.json", c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const zrqd::ConfigError &e) {
            EXPECT_EQ(std::string(e.what()), c.want) << c.text;
        }
    }
    // Files that are no configuration: said what they are, a FIFO without waiting for a writer.
    const std::string fifo = test_temp_path("zrqd-fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> files[] = {
        {"/nonexistent/zrqd.json", ": cannot be read: No such file or directory"},
        {"/", ": is a directory, not a configuration file"},
        {fifo, ": is a FIFO, not a configuration file"},
        {"/dev/zero", ": is a device or socket, not a configuration file"},
    };
    for (const auto &[file, why] : files) {
        try {
            zrqd::load_config(file);
            ADD_FAILURE() << file << " was accepted";
        } catch (const zrqd::ConfigError &e) {
            EXPECT_EQ(std::string(e.what()), file + why);
        }
    }
    std::filesystem::remove(fifo);
}

// ---- The panel's pages and keys, on a clock of the test's own ---------------------------

// A snapshot of an appliance with two supplies, a bypass module of four pairs in slot 0 and
// two temperatures.
std::shared_ptr<zrqd::Snapshot> appliance(uint16_t psu1_status = 0, bool case_open = false) {
    auto s = std::make_shared<zrqd::Snapshot>();
    s->cycle = 1;
    s->loaded = {true, true, true, true};
    s->psu_query_ok = true;
    for (int n = 0; n < 2; ++n) {
        auto &p = s->psu[n];
        p.present = p.status_ok = p.in_ok = p.out_ok = p.info_ok = true;
        p.in.fWatts = n == 0 ? 143.75f : 114.75f;
        p.out.fWatts = 105;
        p.mfr_id = n == 0 ? "DELTA" : "3Y POWER";
        p.vout_unreadable = n == 1;
    }
    s->psu[0].status = psu1_status;
    s->case_ok = true;
    s->case_open = case_open;
    s->hwm[HWMID_TEMP_CPU1] = {true, 0, 45000, "CPU1 Temp"};
    s->hwm[HWMID_TEMP_SYS1] = {true, 0, 31500, "System Temp 1"};
    s->hwm[HWMID_RPM_FanCpu1] = {true, 0, 2400, "CPU1 Fan"};
    s->lbp_query_ok = true;
    s->slots[0].present = s->slots[0].info_ok = s->slots[0].pairs_ok = true;
    s->slots[0].info.ubRuntime_Pairs = 0x0F;
    s->slots[0].pairs.ubRuntime_PairsBypass = 0x02;
    return s;
}

TEST(ZrqdPanel, KeysWalkThePagesAndTheBypassActionAsksBeforeItActs) {
    zrqd::Panel panel({"edge-7", 0, 0});
    panel.update(appliance());
    panel.tick(0, 3 * 86400 + 4 * 3600 + 5 * 60);
    struct Step {
        Key key;
        const char *page, *row0, *row1;
    } steps[] = {
        {Key::None, "home", "edge-7              ", "up 3d 04:05         "},
        {Key::Down, "psu 1", "PSU1              OK", "in 144W     out 105W"},
        // The 3Y supply's output watts are made of volts the plug-in misreads: not shown.
        {Key::Down, "psu 2", "PSU2              OK", "in 115W             "},
        {Key::Down, "temperatures 0", "CPU1 Temp     45.0 C", "System Temp 1 31.5 C"},
        {Key::Down, "fans 20", "CPU1 Fan    2400 rpm", "                    "},
        {Key::Down, "bypass 0", "Slot 0 bypass    1/4", "Pairs -B--   ENT:set"},
        {Key::Enter, "choose pair", "Slot 0 pair 1 normal", "UP/DN:pair   ENT:set"},
        {Key::Down, "choose pair", "Slot 0 pair 2 bypass", "UP/DN:pair   ENT:set"},
        {Key::Enter, "confirm", "Pair 2 normal?      ", "ENT:yes       ESC:no"},
        {Key::Escape, "choose pair", "Slot 0 pair 2 bypass", "UP/DN:pair   ENT:set"},
        {Key::Up, "choose pair", "Slot 0 pair 1 normal", "UP/DN:pair   ENT:set"},
        {Key::Up, "choose pair", "Slot 0 pair 4 normal", "UP/DN:pair   ENT:set"},
        {Key::Escape, "bypass 0", "Slot 0 bypass    1/4", "Pairs -B--   ENT:set"},
        {Key::Down, "home", "edge-7              ", "up 3d 04:05         "},
        {Key::Up, "bypass 0", "Slot 0 bypass    1/4", "Pairs -B--   ENT:set"},
        {Key::Escape, "home", "edge-7              ", "up 3d 04:05         "},
    };
    double now = 1;
    for (const Step &s : steps) {
        EXPECT_FALSE(panel.key(s.key, now++).has_value());
        EXPECT_EQ(panel.page_name(), s.page);
        const Screen screen = panel.screen();
        EXPECT_EQ(screen[0], s.row0) << s.page;
        EXPECT_EQ(screen[1], s.row1) << s.page;
    }
    // Through to the change itself.
    for (const Key k : {Key::Up, Key::Enter, Key::Down, Key::Down})
        EXPECT_FALSE(panel.key(k, now++).has_value());
    ASSERT_EQ(panel.page_name(), "choose pair");
    EXPECT_FALSE(panel.key(Key::Enter, now++).has_value());
    const auto request = panel.key(Key::Enter, now++);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->slot, 0);
    EXPECT_EQ(request->pair, 3);
    EXPECT_TRUE(request->enable);
    EXPECT_EQ(panel.page_name(), "working");
    panel.done(*request, -1);
    EXPECT_EQ(panel.screen()[1], "failed: ERR_Error   ");
    panel.key(Key::Enter, now++);
    EXPECT_EQ(panel.page_name(), "choose pair");
}

// A module whose model begins with a key's letter: that key is left out, and what it did is
// reached through the other three.
TEST(ZrqdPanel, AKeyLeftOutHasItsFunctionsReachedThroughTheOthers) {
    for (const Key lost : {Key::Enter, Key::Escape}) {
        SCOPED_TRACE(lost == Key::Enter ? "without enter" : "without escape");
        zrqd::Panel panel({"edge-7", 0, 0});
        panel.update(appliance());
        panel.leave_out(lost);
        const Key enter = lost == Key::Enter ? Key::Escape : Key::Enter;
        const std::pair<Key, const char *> steps[] = {
            {Key::Up, "bypass 0"},      {enter, "choose pair"}, {enter, "confirm"},
            {Key::Down, "choose pair"}, {Key::Up, "bypass 0"},
        };
        double now = 1;
        for (const auto &[key, page] : steps) {
            panel.key(key, now++);
            EXPECT_EQ(panel.page_name(), page);
        }
    }
}

TEST(ZrqdPanel, AlertsHoldTheScreenUntilAKeyAcknowledgesEach) {
    zrqd::Panel panel({"edge-7", 10, 0});
    panel.update(appliance());
    panel.tick(0, 0);
    EXPECT_EQ(panel.page_name(), "home");
    // A new fault and an opened case, at once: two alerts, one after the other.
    panel.update(appliance(0x8840, true));
    EXPECT_EQ(panel.page_name(), "alert");
    EXPECT_EQ(panel.screen()[0], "! PSU1 fault        ");
    EXPECT_EQ(panel.screen()[1], "VOUT OFF PG#      +1");
    // No rotation while an alert waits.
    panel.tick(100, 0);
    EXPECT_EQ(panel.page_name(), "alert");
    panel.key(Key::Down, 101);
    EXPECT_EQ(panel.screen()[0], "! Case opened       ");
    panel.key(Key::Enter, 102);
    EXPECT_EQ(panel.page_name(), "home");
    // The same fault again is no new alert; a supply that goes away is.
    panel.update(appliance(0x8840, true));
    EXPECT_EQ(panel.page_name(), "home");
    auto gone = appliance(0x8840, true);
    gone->psu[1].present = false;
    panel.update(gone);
    EXPECT_EQ(panel.screen()[0], "! PSU2 gone         ");
    panel.key(Key::Enter, 103);
    // The bits latch until cleared: a second, different fault alerts too.
    panel.update(appliance(0x8840 | 0x0004, true)); // VIN_UV besides
    EXPECT_EQ(panel.page_name(), "alert");
    EXPECT_EQ(panel.screen()[0], "! PSU1 fault        ");
}

TEST(ZrqdPanel, IdlePagesRotateAndTheLightDimsUntilAKey) {
    zrqd::Panel panel({"edge-7", 10, 60});
    panel.update(appliance());
    struct Step {
        double now;
        Key key;
        const char *page;
        bool lit;
    } steps[] = {
        {0, Key::None, "home", true},
        {9, Key::None, "home", true},
        {10, Key::None, "psu 1", true},
        {15, Key::None, "psu 1", true},
        {20, Key::None, "psu 2", true},
        {59, Key::None, "temperatures 0", true},
        {60, Key::None, "temperatures 0", false},
        // The key that wakes the light does nothing else.
        {61, Key::Down, "temperatures 0", true},
        {62, Key::Down, "fans 20", true},
        {71, Key::None, "fans 20", true},
        {72, Key::None, "bypass 0", true},
    };
    for (const Step &s : steps) {
        panel.key(s.key, s.now);
        panel.tick(s.now, 0);
        EXPECT_EQ(panel.page_name(), s.page) << "at " << s.now;
        EXPECT_EQ(panel.lit(), s.lit) << "at " << s.now;
    }
}

// ---- The metrics text -------------------------------------------------------------------

TEST(ZrqdMetrics, EveryFamilyHasHelpAndTypeAndUnreadOutputVoltsAreSaidWhy) {
    const std::string text = zrqd::render_metrics(*appliance(0x0040));
    std::istringstream in(text);
    std::string line, family;
    std::set<std::string> typed;
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_EQ(line.substr(7, family.size()), family);
            typed.insert(family);
            continue;
        }
        const std::string name = line.substr(0, line.find_first_of("{ "));
        EXPECT_TRUE(typed.count(name)) << "no HELP/TYPE before " << line;
    }
    for (const char *want : {
             "zrq_psu_input_watts{psu=\"1\"} 143.75\n",
             "zrq_psu_output_watts{psu=\"1\"} 105\n",
             "zrq_psu_status_bit{psu=\"1\",bit=\"6\",name=\"OFF\"} 1\n",
             "zrq_psu_status_bit{psu=\"1\",bit=\"15\",name=\"VOUT\"} 0\n",
             "zrq_psu_output_unread_info{psu=\"2\",mfr_id=\"3Y POWER\",reason=",
             "zrq_lbp_pair_bypass{slot=\"0\",pair=\"2\",phase=\"runtime\"} 1\n",
             "zrq_hwm_temperature_celsius{item=\"HWMID_TEMP_SYS1\"} 31.5\n",
             "zrq_hwm_fan_speed_rpm{item=\"HWMID_RPM_FanCpu1\"} 2400\n",
             "zrq_hwm_sensor_info{item=\"HWMID_RPM_FanCpu1\",sensor=\"CPU1 Fan\"} 1\n",
             "zrq_hwm_case_open 0\n",
             "# TYPE zrq_read_failures_total counter\n",
         })
        EXPECT_NE(text.find(want), std::string::npos) << want;
    for (const char *absent :
         {"zrq_psu_output_volts{psu=\"2\"}", "zrq_psu_output_watts{psu=\"2\"}"})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    // A label value with the characters the format escapes.
    // Label values are whatever bytes a driver or a supply gave: the exposition stays valid.
    const struct {
        std::string raw, label;
    } labels[] = {
        {"a\"b\\c\nd", "a\\\"b\\\\c\\nd"},
        {"CPU\xff\xfe Temp", "CPU\\\\xFF\\\\xFE Temp"},                  // not UTF-8
        {"caf\xC3\xA9 \xE2\x82", "caf\xC3\xA9 \\\\xE2\\\\x82"},          // cut inside a character
        {"\xC0\xAF\xED\xA0\x80", "\\\\xC0\\\\xAF\\\\xED\\\\xA0\\\\x80"}, // overlong, surrogate
        {"tab\there\x7F", "tab\\\\x09here\\\\x7F"},
        {"DELTA   \0\0", "DELTA"}, // padding
    };
    for (const auto &[raw, label] : labels) {
        auto odd = appliance();
        odd->hwm[HWMID_TEMP_CPU1].name = raw;
        EXPECT_NE(zrqd::render_metrics(*odd).find("sensor=\"" + label + "\"} 1\n"),
                  std::string::npos)
            << label;
    }
}

// ---- The service, in this process -------------------------------------------------------

// The virtual platform's SMBus with a lock of the test's own around every transfer, so that
// the test can change a device between the service's transfers.
class LockedBus : public pvqsmb::Backend {
  public:
    explicit LockedBus(std::unique_ptr<zrqsim::PlatformBackend> inner) : inner_(std::move(inner)) {}
    int read_word(uint8_t a, uint8_t c, uint16_t *v) override {
        std::lock_guard l(m_);
        return inner_->read_word(a, c, v);
    }
    int read_byte(uint8_t a, uint8_t c, uint8_t *v) override {
        std::lock_guard l(m_);
        return inner_->read_byte(a, c, v);
    }
    int write_byte(uint8_t a, uint8_t c, uint8_t v) override {
        std::lock_guard l(m_);
        return inner_->write_byte(a, c, v);
    }
    int read_block(uint8_t a, uint8_t c, uint8_t *b) override {
        std::lock_guard l(m_);
        return inner_->read_block(a, c, b);
    }
    int switch_slot(uint8_t m, uint8_t s) override {
        std::lock_guard l(m_);
        return inner_->switch_slot(m, s);
    }
    template <typename Fn> void change(Fn &&fn) {
        std::lock_guard l(m_);
        fn(inner_->platform());
    }

  private:
    std::mutex m_;
    std::unique_ptr<zrqsim::PlatformBackend> inner_;
};

size_t entries(const char *dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

class ZrqdService : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::copy_file(ZRQ_DEFAULT_PLATFORM, platform_);
        char error[256] = {};
        auto *backend = zrqsim_platform_backend(platform_.c_str(), error, sizeof error);
        ASSERT_NE(backend, nullptr) << error;
        bus_ = std::make_unique<LockedBus>(std::unique_ptr<zrqsim::PlatformBackend>(
            static_cast<zrqsim::PlatformBackend *>(backend)));
        io_.reset(zrqsim_platform_io_backend(platform_.c_str(), error, sizeof error));
        ASSERT_NE(io_, nullptr) << error;
        pvqsmb::set_backend(bus_.get());
        pvqio::set_backend(io_.get());
        zrqd::set_log_sink([this](zrqd::Level, const std::string &line) {
            std::lock_guard l(log_mutex_);
            log_ += line + "\n";
        });
        config_.name = "edge-7";
        config_.listen_port = 0;
        config_.plugins = ZRQ_PLUGIN_DIR;
        config_.poll_interval_ms = 100;
        config_.panel.port = emu_.slave_path();
        config_.panel.key_pause_ms = 0;
        config_.panel.rotate_after_s = 0;
        config_.panel.dim_after_s = 0;
    }
    void TearDown() override {
        zrqd::set_log_sink(nullptr);
        pvqsmb::set_backend(nullptr);
        pvqio::set_backend(nullptr);
    }

    // Waits until the emulated module's screen shows `row0` and `row1` (a row of "" matches any),
    // as frames arrive; false after the emulator's patience.
    bool screen_shows(const std::string &row0, const std::string &row1 = "") {
        return screen_is([&](const std::array<std::string, 2> &s) {
            return (row0.empty() || s[0] == row0) && (row1.empty() || s[1] == row1);
        });
    }
    template <typename Pred> bool screen_is(Pred &&pred) {
        for (int round = 0; round < 1000; ++round) {
            if (pred(emu_.screen())) return true;
            if (!emu_.wait_frames(emu_.frames().size() + 1, zrqsim::LcmEmulator::kPatienceMs))
                return false;
        }
        return false;
    }
    std::string shown() {
        const auto s = emu_.screen();
        return "[" + s[0] + "]\n[" + s[1] + "]";
    }
    void tap(char key) {
        emu_.tap_key(key);
        ASSERT_TRUE(emu_.wait_taps_taken(zrqsim::LcmEmulator::kPatienceMs));
    }

    TempDir dir_{"zrqd"};
    std::string platform_ = (dir_ / "platform.json").string();
    zrqsim::LcmEmulator emu_;
    std::unique_ptr<LockedBus> bus_;
    std::unique_ptr<pvqio::Backend> io_;
    zrqd::Config config_;
    std::mutex log_mutex_;
    std::string log_;
};

TEST_F(ZrqdService, ThePanelShowsPagesAndItsKeysPutAPairIntoBypassOnThePlatform) {
    zrqd::Service service(config_);
    service.start();
    // The shipped platform's case is open: the alert comes first, and a key acknowledges it.
    ASSERT_TRUE(screen_shows("! Case opened       ")) << shown();
    tap('A');
    ASSERT_TRUE(screen_shows("edge-7              ")) << shown();
    EXPECT_TRUE(service.lcd_held());
    // Down (B) to the first supply, up (A) back, up again to the last page: slot 1's module
    // is behind the switch, which zrqd leaves alone unless it is the sole host.
    tap('B');
    ASSERT_TRUE(screen_shows("PSU1              OK", "in 144W     out 126W")) << shown();
    tap('A');
    tap('A');
    ASSERT_TRUE(screen_shows("Slot 0 bypass    0/4", "Pairs ----   ENT:set")) << shown();
    // Enter (C): pair 1; down to pair 2; enter, and enter again to confirm.
    tap('C');
    ASSERT_TRUE(screen_shows("Slot 0 pair 1 normal")) << shown();
    tap('B');
    ASSERT_TRUE(screen_shows("Slot 0 pair 2 normal")) << shown();
    tap('C');
    ASSERT_TRUE(screen_shows("Pair 2 bypass?      ", "ENT:yes       ESC:no")) << shown();
    tap('C');
    ASSERT_TRUE(screen_shows("", "bypass on: done     ")) << shown();

    // Read back through the plug-in, as any other host would.
    zrqhost::Plugin lbp(ZRQ_PLUGIN_DIR, "zrq4470lbp.so");
    PAIRS_STATUS st{};
    ASSERT_EQ(ZRQ_EXPORT(lbp, _brdPVQ_LBP_GetPairsStatus)(0, &st, 0), ERR_Success);
    EXPECT_EQ(st.ubRuntime_PairsBypass, 0x02);
    // Escape (D) back to the bypass page, which shows it too.
    tap('D');
    ASSERT_TRUE(screen_shows("Slot 0 bypass    1/4", "Pairs -B--   ENT:set")) << shown();
    service.stop();
    // The module shows that the service is gone, and the port is free for another host.
    EXPECT_EQ(emu_.screen()[1], "zrqd stopped        ");
    EXPECT_FALSE(service.lcd_held());
    std::lock_guard l(log_mutex_);
    EXPECT_NE(log_.find("panel: pair 2 of slot 0 into bypass: done"), std::string::npos) << log_;
}

TEST_F(ZrqdService, APsuFaultBringsTheAlertPageAndTheMetricsSayIt) {
    zrqd::Service service(config_);
    service.start();
    ASSERT_TRUE(screen_shows("! Case opened       ")) << shown();
    tap('D');
    ASSERT_TRUE(screen_shows("edge-7              ")) << shown();
    // PSU 2 turns off with an output overvoltage.
    bus_->change([](zrqsim::VirtualPlatform &p) { p.psu(2)->set_word(0x79, 0x8860); });
    ASSERT_TRUE(screen_shows("! PSU2 fault        ", "VOUT VOUT_OV OFF PG#")) << shown();
    ASSERT_TRUE(service.poller().wait_cycle(service.poller().latest()->cycle, 10000));
    const std::string text = *service.poller().metrics();
    EXPECT_NE(text.find("zrq_psu_status_word{psu=\"2\"} 34912\n"), std::string::npos) << text;
    EXPECT_NE(text.find("zrq_psu_status_bit{psu=\"2\",bit=\"5\",name=\"VOUT_OV\"} 1\n"),
              std::string::npos);
    tap('C');
    ASSERT_TRUE(screen_shows("edge-7              ")) << shown();
}

TEST_F(ZrqdService, StoppingDuringPageUpdatesLeavesNoThreadOrDescriptorBehind) {
    // Counted after a first round: a user-mode emulator (the 32-bit tree under qemu-i386)
    // starts a thread of its own with the first thread its guest makes.
    size_t threads = 0, fds = 0;
    for (int round = 0; round < 4; ++round) {
        if (round == 1) threads = entries("/proc/self/task"), fds = entries("/proc/self/fd");
        zrqd::Service service(config_);
        service.start();
        // Keys keep the panel rewriting its rows while the stop comes.
        ASSERT_TRUE(screen_is([](const std::array<std::string, 2> &s) {
            return s[1] != "zrqd stopped        " && s[0] != std::string(20, ' ');
        })) << shown();
        for (const char k : {'A', 'B', 'B'}) emu_.tap_key(k);
        service.stop();
        EXPECT_EQ(emu_.screen()[1], "zrqd stopped        ");
    }
    // A joined thread may still be listed for a moment while it is torn down (under qemu-i386
    // its host thread outlives the guest's join), at either count: wait for the count, bounded,
    // and take a thread a round (three rounds after the first count) for a leak.
    for (int i = 0; i < 1000 && entries("/proc/self/task") > threads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LE(entries("/proc/self/task"), threads);
    EXPECT_EQ(entries("/proc/self/fd"), fds);
}

TEST_F(ZrqdService, AReloadWhileThePanelRunsTakesTheNewNameAndKeys) {
    zrqd::Service service(config_);
    service.start();
    ASSERT_TRUE(screen_shows("! Case opened       ")) << shown();
    tap('A');
    ASSERT_TRUE(screen_shows("edge-7              ")) << shown();
    zrqd::Config next = config_;
    next.name = "edge-8";
    next.panel.keys = {'B', 'A', 'C', 'D'}; // up and down swapped
    next.poll_interval_ms = 200;
    service.reload(next);
    ASSERT_TRUE(screen_shows("edge-8              ")) << shown();
    tap('A'); // down now
    ASSERT_TRUE(screen_shows("PSU1              OK")) << shown();
    service.stop();
    std::lock_guard l(log_mutex_);
    EXPECT_NE(log_.find("configuration reloaded"), std::string::npos) << log_;
}

TEST_F(ZrqdService, AMissingPluginOrADeadPanelLeavesTheRestRunning) {
    // No LCD module answers (the emulator is silent), and no hardware-monitor plug-in.
    emu_.set_mode(zrqsim::LcmEmulator::Mode::Silent);
    const auto only = dir_ / "plugins";
    std::filesystem::create_directories(only);
    for (const char *p : {"zrq4470lbp.so", "zrq4470psu.so", "zrq4470lcm_test.so"})
        std::filesystem::create_symlink(std::string(ZRQ_PLUGIN_DIR) + "/" + p, only / p);
    config_.plugins = only.string();
    zrqd::Service service(config_);
    service.start();
    ASSERT_TRUE(service.poller().wait_cycle(0, 10000));
    ASSERT_TRUE(service.poller().wait_cycle(service.poller().latest()->cycle, 10000));
    const std::string text = *service.poller().metrics();
    for (const char *want : {"zrq_plugin_loaded{subsystem=\"hwm\",plugin=\"zrq4470hwm.so\"} 0\n",
                             "zrq_plugin_loaded{subsystem=\"lcm\",plugin=\"zrq4470lcm.so\"} 0\n",
                             "zrq_psu_present{psu=\"1\"} 1\n", "zrq_lbp_present{slot=\"0\"} 1\n"})
        EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
    service.stop();
    std::lock_guard l(log_mutex_);
    EXPECT_NE(log_.find("cannot load plug-in " + only.string() + "/zrq4470hwm.so"),
              std::string::npos)
        << log_;
    EXPECT_NE(log_.find("no LCD module answers on " + emu_.slave_path()), std::string::npos)
        << log_;
}

TEST_F(ZrqdService, AModelThatBeginsWithAKeyLetterLeavesThatKeyOut) {
    emu_.set_identity(0x4212, 0x0102);
    zrqd::Service service(config_);
    service.start();
    ASSERT_TRUE(screen_shows("! Case opened       ")) << shown();
    tap('A');
    ASSERT_TRUE(screen_shows("edge-7              ")) << shown();
    // B (down) is ignored, whatever answer it came from: up from the first page goes round to
    // the last one, not back to the first.
    tap('B');
    tap('A');
    ASSERT_TRUE(screen_shows("Slot 0 bypass    0/4")) << shown();
    service.stop();
    std::lock_guard l(log_mutex_);
    EXPECT_NE(log_.find("the LCD module's model 0x4212 begins with 'B'"), std::string::npos)
        << log_;
    EXPECT_NE(log_.find("key B (down) is left out"), std::string::npos) << log_;
}

// A dead bus is not an empty chassis: nothing answers, so the supplies and modules are not
// reported absent, the collectors say they are down, and health says why.
TEST_F(ZrqdService, ADeadBusIsNoEmptyChassis) {
    struct DeadBus : pvqsmb::Backend {
        int read_word(uint8_t, uint8_t, uint16_t *) override { return -ENODEV; }
        int read_byte(uint8_t, uint8_t, uint8_t *) override { return -ENODEV; }
        int write_byte(uint8_t, uint8_t, uint8_t) override { return -ENODEV; }
        int read_block(uint8_t, uint8_t, uint8_t *) override { return -ENODEV; }
        int switch_slot(uint8_t, uint8_t) override { return -ENODEV; }
    } dead;
    pvqsmb::set_backend(&dead);
    config_.panel.enabled = false;
    zrqd::Service service(config_);
    service.start();
    ASSERT_TRUE(service.poller().wait_cycle(4, 10000));
    const std::string text = *service.poller().metrics();
    for (const char *want :
         {"zrq_collector_up{subsystem=\"psu\"} 0\n", "zrq_collector_up{subsystem=\"lbp\"} 0\n",
          "zrq_collector_up{subsystem=\"hwm\"} 1\n"})
        EXPECT_NE(text.find(want), std::string::npos) << want << text;
    for (const char *absent : {"zrq_psu_present{", "zrq_lbp_present{"})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    EXPECT_EQ(service.poller().health().rfind("psu: no device has answered for ", 0), 0u)
        << service.poller().health();
    service.stop();
    pvqsmb::set_backend(bus_.get());
}

// A second service on an address in use is refused, naming it, instead of sharing the port.
TEST_F(ZrqdService, ASecondServiceOnTheSameAddressIsRefused) {
    config_.panel.enabled = false;
    zrqd::Service first(config_);
    first.start();
    zrqd::Config again = config_;
    again.listen_port = first.port();
    zrqd::Service second(again);
    try {
        second.start();
        ADD_FAILURE() << "a second service listens on port " << first.port();
    } catch (const zrqd::ListenError &e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot listen on 127.0.0.1:" + std::to_string(first.port()) +
                      ": Address already in use");
    }
    second.stop();
    first.stop();
}

TEST_F(ZrqdService, APanelPortThatIsNoTerminalIsRefusedAndNeverWritten) {
    const std::string file = (dir_ / "not-a-tty").string();
    std::ofstream(file) << "keep";
    config_.panel.port = file;
    zrqd::Service service(config_);
    service.start();
    ASSERT_TRUE(service.poller().wait_cycle(0, 10000));
    service.stop();
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
    std::lock_guard l(log_mutex_);
    EXPECT_NE(log_.find("panel.port: " + file + " is a regular file, not a serial port"),
              std::string::npos)
        << log_;
}

} // namespace
