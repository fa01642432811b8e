// zrqctl, the reference host, run as a process: it loads the plug-ins with dlopen and drives
// them against virtual platforms and the LCD module emulator.
#include "hwmon_trees.hpp"
#include "lcm_emulator.hpp"
#include "process.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char *kPlatform = R"({
  "bypass": [{"slot": 0}, {"slot": 1, "version": [2, 0], "runtime_pairs": 3, "disconnect": false,
              "timers": 2, "timer_max": [120, 120, 0]},
             {"slot": 6}],
  "psu": [{"number": 1, "maker": "DELTA"}, {"number": 2, "maker": "3Y", "status_word": 2114}],
  "hwm": {"values": {"HWMID_TEMP_CPU1": 45000, "HWMID_RPM_FanCpu1": 2400,
                     "HWMID_RPM_FanSys1": 3100, "HWMID_PSU1_VOLTIN": 230500},
          "names": {"HWMID_TEMP_CPU1": "CPU1 Temp"}, "caseopen": 1},
  "faults": [FAULTS]
})";

class Zrqctl : public ::testing::Test {
  protected:
    void SetUp() override { platform(); }

    void platform(const std::string &faults = "") {
        std::string text = kPlatform;
        text.replace(text.find("FAULTS"), 6, faults);
        std::ofstream(dir / "platform.json") << text;
    }
    ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--plugins", PLUGIN_DIR});
        const std::string file = (dir / "platform.json").string();
        return run_program(ZRQCTL, args, {"PVQSMB_PLATFORM=" + file, "PVQIO_PLATFORM=" + file},
                           true);
    }
    TempDir dir{"zrqctl"};
};

struct Case {
    std::vector<std::string> args;
    std::string expected; // a line the output contains
    int status;
};

void expect_cases(Zrqctl &t, const std::vector<Case> &cases,
                  const std::function<ProcessResult(std::vector<std::string>)> &run) {
    (void)t;
    for (const Case &c : cases) {
        std::string cmd;
        for (const auto &a : c.args) cmd += a + " ";
        SCOPED_TRACE(cmd);
        const ProcessResult r = run(c.args);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
    }
}

} // namespace

TEST_F(Zrqctl, LanBypass) {
    const std::vector<Case> cases = {
        {{"lbp", "list"}, "mask: 0x0043", 0}, // slot 6 is in reach: --maxslots is 8
        {{"lbp", "list", "--maxslots", "4"}, "mask: 0x0003", 0},
        {{"lbp", "info", "1"}, "version:          2.0", 0},
        {{"lbp", "info", "1"}, "timer3_max_sec:   - (no such timer)", 0},
        {{"lbp", "info", "6"}, "slot:             6", 0},
        {{"lbp", "bypass", "0", "2", "on"}, "done: pair 2 of slot 0 put into bypass", 0},
        {{"lbp", "status", "0"}, "runtime_bypass:     0x02 (pairs 2)", 0},
        {{"lbp", "pairs", "0", "system-off", "0x05"}, "system-off bypass of slot 0 set to 0x05", 0},
        {{"lbp", "status", "0"}, "system_off_bypass:  0x05 (pairs 1, 3)", 0},
        {{"lbp", "bypass", "0", "010", "off"}, "must be 1 to 8, not 010", 2}, // never octal
        {{"lbp", "bypass", "0", "02", "on"}, "pair 2 of slot 0 put into bypass", 0},
        {{"lbp", "disconnect", "1", "3", "on"}, "ERR_NotSupport (-5)", 1},
        {{"lbp", "bypass", "1", "3", "on"},
         "slot 1's module has pairs 1, 2 at run time; 0x04 asks for pair 3 as well",
         2},
        {{"lbp", "pairs", "0", "runtime", "0x10"}, "0x10 asks for pair 5 as well", 2},
        {{"lbp", "status", "5", "--maxslots", "4"}, "slot 5 is above --maxslots 4", 2},
        {{"lbp", "status", "2"},
         "ERR_Error (-1): no module answers in slot 2 (lbp list shows the slots that hold one)",
         1},
        {{"lbp", "timer", "config", "0", "1", "256", "bypass", "1"},
         "timer 1 of slot 0 takes at most 255 s, not 256",
         2},
        {{"lbp", "timer", "config", "0", "3", "7", "bypass", "1"}, "multiple of 5, not 7", 2},
        {{"lbp", "timer", "status", "1", "3"}, "slot 1's module has no timer 3", 2},
        {{"lbp", "timer", "tick", "0", "1"}, "timer 1 is not running: start it first", 1},
        {{"lbp", "timer", "config", "0", "1", "30", "bypass", "0x03"},
         "done: timer 1 of slot 0 set to 30 s, then bypass 0x03 (pairs 1, 2)",
         0},
        {{"lbp", "timer", "start", "0", "1"}, "timer 1 of slot 0 started", 0},
        {{"lbp", "timer", "status", "0", "1"}, "status:  1 (running)", 0},
        {{"lbp", "timer", "start", "0", "3"}, "timer: must be 1 to 2, not 3", 2},
        {{"lbp", "info", "9"}, "slot: must be 0 to 8, not 9", 2},
        {{"lbp", "info", "0x1"}, "slot:             1", 0},
        {{"lbp", "info", "abc"},
         "must be a number (decimal, or hexadecimal with 0x), not \"abc\"",
         2},
        {{"--maxslots", "12", "lbp", "list"}, "--maxslots: must be 0 to 8, not 12", 2},
        {{"lbp", "bypass", "0", "1", "maybe"}, "maybe", 2},
        {{"lbp", "frobnicate"}, "lbp: no command \"frobnicate\" (commands: list, info", 2},
    };
    expect_cases(*this, cases, [this](auto a) { return run(a); });
}

TEST_F(Zrqctl, LibraryCodesAreNamedWithTheirOrigin) {
    platform(R"({"op": "switch", "slot": 1, "code": -16})");
    const ProcessResult r = run({"lbp", "status", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        r.out.find(
            "-16 EBUSY: Device or resource busy (libpvqsmb's code, passed up by the plug-in)"),
        std::string::npos)
        << r.out;
    const ProcessResult j = run({"lbp", "status", "1", "--json"});
    const auto doc = nlohmann::json::parse(j.out.substr(0, j.out.find("zrqctl:")));
    EXPECT_EQ(doc["code"], -16);
    EXPECT_EQ(doc["errno"], "EBUSY");
    EXPECT_EQ(doc["origin"], "libpvqsmb");
    EXPECT_EQ(doc["ok"], false);
}

TEST_F(Zrqctl, PowerSupplies) {
    platform(R"({"op": "read_word", "addr": "0xB2", "cmd": "0x8D"})");
    const std::vector<Case> cases = {
        {{"psu", "list"}, "mask: 0x0003", 0},
        {{"psu", "info", "1"}, "manufacturer: DELTA", 0},
        {{"psu", "status", "2"}, "bits:        POWER_GOOD# OFF CML", 0},
        {{"psu", "watts", "1", "out"}, "watts:   126.000 W", 0},
        {{"psu", "watts", "1", "out"}, "sensor:  psu1 output", 0},
        // The 3Y supply answers READ_VOUT in LINEAR11: its output volts and watts are no reading.
        {{"psu", "watts", "2", "out"},
         "note:    3Y POWER supplies report their output voltage in LINEAR11",
         0},
        {{"psu", "watts", "2", "out"}, "psuprobe 2 -wo reads them right", 0},
        {{"psu", "watts", "2", "out"}, "watts:   not decoded", 0},
        {{"psu", "watts", "2", "out", "--json"}, "\"watts\": null", 0},
        {{"psu", "watts", "2", "out", "--json"}, "\"amperes\": 10.5", 0},
        {{"psu", "sensors", "2"}, "_brdPVQ_PSU_SensorInfo(PSU 2): ERR_Error (-1)", 1},
        {{"psu", "sensors", "1"}, "temp1   35.50 C", 0},
        {{"psu", "info", "3"}, "psu: must be 1 to 2, not 3", 2},
        {{"psu", "watts", "1", "sideways"}, "sideways", 2},
    };
    expect_cases(*this, cases, [this](auto a) { return run(a); });
    const ProcessResult r = run({"--json", "psu", "watts", "1", "out"});
    ASSERT_EQ(r.status, 0);
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["ok"], true);
    EXPECT_EQ(doc["volts"], 12.0);
    EXPECT_EQ(doc["amperes"], 10.5);
    EXPECT_FALSE(doc.contains("note"));
    // Rounded to what the supply resolves, not the float's noise (1.0499999523162842).
    const auto s = nlohmann::json::parse(run({"psu", "sensors", "1", "--json"}).out);
    EXPECT_EQ(s["rows"][0], (nlohmann::json{{"sensor", "temp1"}, {"celsius", 35.5}}));
    EXPECT_EQ(s["rows"][2], (nlohmann::json{{"sensor", "fan"}, {"rpm", 5000}}));
}

TEST_F(Zrqctl, HardwareMonitor) {
    const std::vector<Case> cases = {
        {{"hwm", "table"}, "CPU1 Temp", 0},
        {{"hwm", "table"}, "case_open: yes", 0},
        {{"hwm", "temp", "cpu", "1"}, "celsius: 45.000 C", 0},
        {{"hwm", "temp", "cpu", "1"}, "sensor:  cpu1", 0},
        {{"hwm", "fan", "sys", "1"}, "rpm:    3100 rpm", 0},
        {{"hwm", "fan", "cpu", "3"}, "cpu fan must be 1 or 2, not 3", 2},
        {{"hwm", "psu", "1"}, "volts:  230 V", 0},
        {{"hwm", "temp", "sys", "2"}, "ENODATA: No data available (libpvqio's code, passed up", 1},
        {{"hwm", "report", "62"}, "item: must be 0 to 61, not 62", 2},
        {{"hwm", "report", "0"}, "celsius: 45.000 C", 0},
        {{"hwm", "caseopen-clear"}, "done: chassis-intrusion flag cleared", 0},
        {{"hwm", "caseopen"}, "case_open: no", 0},
        // Argument errors in our words, with the closest valid word.
        {{"hwm", "tmep", "cpu", "1"},
         "hwm: no command \"tmep\"; did you mean temp? (commands: table, temp, vcore",
         2},
        {{"hwm"}, "hwm: which command? (commands: table, temp", 2},
        {{"--jsno", "hwm", "table"}, "no option --jsno; did you mean --json?", 2},
        {{"hwm", "fan", "cpu", "1", "2"}, "rotor: only the numbered fans (fan N) have rotors", 2},
        {{"hwm", "temp", "gpu", "1"}, "which: must be one of cpu, sys, not \"gpu\"", 2},
        {{"hwm", "temp", "cpu", "1", "2"}, "unexpected argument \"2\"", 2},
    };
    expect_cases(*this, cases, [this](auto a) { return run(a); });
    const auto table = nlohmann::json::parse(run({"hwm", "table", "--json"}).out);
    EXPECT_EQ(
        table["rows"][0],
        (nlohmann::json{{"item", 0}, {"name", "CPU1 Temp"}, {"celsius", 45.0}, {"raw", "45000"}}));
    EXPECT_EQ(table["rows"][1]["errno"], "ENODATA");
}

TEST_F(Zrqctl, OnePlatformVariableServesBothLibraries) {
    const std::string file = (dir / "platform.json").string();
    const ProcessResult r =
        run_program(ZRQCTL, {"--plugins", PLUGIN_DIR, "hwm", "temp", "cpu", "1"},
                    {"PVQSMB_PLATFORM=" + file}, true);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("celsius: 45.000 C"), std::string::npos) << r.out;
}

TEST_F(Zrqctl, WithNoBusAndNoHwmonNothingIsPassedOffAsARead) {
    // No platform named, and an adapter that is not there: the libraries say why, zrqctl fails.
    const std::vector<std::string> env = {"PVQSMB_ADAPTER=/nonexistent/i2c-7",
                                          "PVQIO_SYSFS=" + (dir / "nosys").string()};
    const struct {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{"psu", "list"}, "no SMBus adapter: no supply could be asked"},
        {{"psu", "list"}, "libpvqsmb: /nonexistent/i2c-7"},
        {{"lbp", "list"},
         "ENODEV: No such device (libpvqsmb's code, passed up by the plug-in): no "
         "SMBus adapter could be had"},
        {{"hwm", "table"}, "no sensor could be read"},
        {{"hwm", "table"}, "libpvqio: no hwmon chip \"coretemp\""},
        // No hardware monitor is no closed case.
        {{"hwm", "caseopen"}, "the case-open flag is unknown: libpvqio cannot read it"},
        {{"hwm", "caseopen-clear"}, "the flag could not be read back after clearing"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        std::vector<std::string> args = {"--plugins", PLUGIN_DIR};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult r = run_program(ZRQCTL, args, env, true);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
    }
    // An adapter by a name no adapter has, in a build that serves virtual platforms too: the
    // platform variable is named, in case it was the one misspelt.
    const ProcessResult r = run_program(
        ZRQCTL, {"--plugins", PLUGIN_DIR, "psu", "list"},
        {"PVQSMB_ADAPTER=no such adapter", "PVQSMB_SYSFS=" + (dir / "nosys").string()}, true);
    EXPECT_NE(r.out.find("or, for the virtual platform, name its description in PVQSMB_PLATFORM"),
              std::string::npos)
        << r.out;
}

TEST_F(Zrqctl, JsonAnywhereAndForEveryOutcome) {
    const struct {
        std::vector<std::string> args;
        int status;
        bool ok;
    } cases[] = {
        {{"--json", "lbp", "list"}, 0, true},
        {{"lbp", "--json", "list"}, 0, true},
        {{"lbp", "list", "--json"}, 0, true},
        {{"lbp", "bypass", "0", "1", "on", "--json"}, 0, true},
        {{"lbp", "info", "9", "--json"}, 2, false},
        {{"lbp", "nope", "--json"}, 2, false},
        {{"lbp", "status", "2", "--json"}, 1, false},
    };
    for (const auto &c : cases) {
        std::string cmd;
        for (const auto &a : c.args) cmd += a + " ";
        SCOPED_TRACE(cmd);
        const ProcessResult r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        const auto doc = nlohmann::json::parse(r.out.substr(0, r.out.find("zrqctl:")));
        EXPECT_EQ(doc["ok"], c.ok);
    }
    const ProcessResult v = run_program(ZRQCTL, {"--version"}, {}, true);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("zrqctl ", 0), 0u) << v.out;
}

TEST_F(Zrqctl, LcdModuleOnThePseudoTerminal) {
    zrqsim::LcmEmulator emu(38400, 0x1470, 0x0102), silent;
    silent.set_mode(zrqsim::LcmEmulator::Mode::Silent);
    const std::string pty = emu.slave_path();
    const std::string file = test_temp_path("not-a-tty").string();
    std::ofstream(file) << "keep";
    const std::vector<Case> cases = {
        {{"lcm", "--port", pty, "info"}, "model:    0x1470", 0},
        {{"lcm", "--port", pty, "info"}, "baudrate: 38400", 0},
        {{"lcm", "--port", pty, "write", "zrq4470", "hello"}, "done: 2 lines written", 0},
        {{"lcm", "--port", pty, "brightness", "9"}, "level: must be 1 to 8, not 9", 2},
        // Settings say what they set.
        {{"lcm", "--port", pty, "brightness", "3"}, "done: brightness set to 3", 0},
        {{"lcm", "--port", pty, "light", "off"}, "done: light turned off", 0},
        {{"lcm", "--port", pty, "wrap", "on"}, "done: line wrap turned on", 0},
        {{"lcm", "--port", pty, "cursor", "0"}, "done: cursor turned off", 0},
        {{"lcm", "--port", pty, "clear"}, "done: display cleared", 0},
        {{"lcm", "--port", pty, "light", "maybe"},
         "state: must be on or off (or 1 or 0), not \"maybe\"",
         2},
        {{"lcm", "--port", pty, "write", "a", "b", "c"}, "text: takes at most 2, not 3", 2},
        {{"lcm", "--port", pty, "--json", "brightness", "3"}, "\"brightness\": 3", 0},
        {{"lcm", "--port", pty, "write", "caf\xC3\xA9"},
         "line 1: character 4 (byte 0xC3) is not printable ASCII",
         2},
        {{"lcm", "--port", pty, "write", std::string(21, 'x')},
         "line 1 has 21 characters; the module shows 20 there",
         2},
        {{"lcm", "--port", pty, "write-at", "15", "1", "1234567"}, "the module shows 6 there", 2},
        {{"lcm", "--port", pty, "startup", std::string(41, 'x')}, "the module shows 40 there", 2},
        {{"lcm", "--port", pty, "speed", "1200"}, "1200", 2},
        {{"lcm", "--port", pty, "keys"}, "keys: 0x00 (none)", 0},
        {{"lcm", "--port", "/nonexistent/tty", "info"},
         "ERR_OpenFail (-2): there is no /nonexistent/tty on this machine",
         1},
        // Opened, but nothing answers: closed again before the plug-in is unloaded.
        {{"lcm", "--port", silent.slave_path(), "info"},
         "ERR_OpenFail (-2): no LCD module answered on " + silent.slave_path(),
         1},
        // Anything but a terminal is refused before the plug-in's probe writes to it.
        {{"lcm", "--port", file, "info"},
         "--port: " + file + " is a regular file, not a serial port",
         2},
        {{"lcm", "--port", "/dev/null", "info"},
         "--port: /dev/null is a device that is no terminal, not a serial port",
         2},
        {{"lcm", "--port", "/", "info"}, "--port: / is a directory, not a serial port", 2},
    };
    expect_cases(*this, cases, [this](auto a) { return run(a); });
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep") << "written over";
    std::filesystem::remove(file);
    // A model that begins with a key's letter: that key's reading is flagged.
    zrqsim::LcmEmulator odd(38400, 0x4312, 0x0102);
    odd.press_key('C');
    const ProcessResult k = run({"lcm", "--port", odd.slave_path(), "keys"});
    EXPECT_NE(k.out.find("0x04 (C; ambiguous: the module's model 0x4312 begins with 'C'"),
              std::string::npos)
        << k.out;
    // The write's text stays on the screen until the next open clears it.
    emu.clear_received();
    ASSERT_EQ(run({"lcm", "--port", pty, "write", "zrq4470", "hello"}).status, 0);
    ASSERT_TRUE(emu.fence());
    EXPECT_EQ(emu.screen()[0], "zrq4470             ");
    EXPECT_EQ(emu.screen()[1], "hello               ");
}

// The emulator's own arguments: a rate no module has, or a screen file that cannot be written,
// is refused at start rather than run with unseen.
TEST(Lcmemu, ArgumentsItCannotUseAreRefused) {
    const std::string lcmemu = (std::filesystem::path(ZRQCTL).parent_path() / "lcmemu").string();
    const struct {
        std::vector<std::string> args;
        const char *said;
    } cases[] = {
        {{"--baud", "1234"},
         "--baud: must be one of 115200, 57600, 38400, 19200, 9600, 4800, "
         "2400, not 1234"},
        {{"--screen", "/nonexistent/screen"},
         "--screen: /nonexistent/screen.tmp cannot be written"},
        {{"--attach", "/nonexistent/line"}, "/nonexistent/line: No such file or directory"},
        {{"--attach", "/dev/null"}, "/dev/null: not a terminal"},
        {{"--attach", ZRQCTL}, ": neither a terminal nor a socket"},
    };
    for (const auto &c : cases) {
        const ProcessResult r = run_program(lcmemu, c.args, {}, true);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
    }
}

TEST_F(Zrqctl, MissingPluginsAreReported) {
    const ProcessResult r =
        run_program(ZRQCTL, {"--plugins", "/nonexistent", "lbp", "list"}, {}, true);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("cannot load plug-in /nonexistent/zrq4470lbp.so"), std::string::npos)
        << r.out;
    // The module's own port named outright takes the shipped plug-in, not the test build.
    std::filesystem::create_directories(dir / "shipped");
    std::filesystem::create_symlink(std::string(PLUGIN_DIR) + "/zrq4470lcm.so",
                                    dir / "shipped/zrq4470lcm.so");
    const ProcessResult s = run_program(
        ZRQCTL, {"--plugins", (dir / "shipped").string(), "lcm", "--port", "/dev/ttyS1", "info"},
        {}, true);
    EXPECT_NE(s.status, 3) << s.out;
    EXPECT_EQ(s.out.find("zrq4470lcm_test.so"), std::string::npos) << s.out;
    // Plug-ins of the other word size: said which host loads them.
    const bool is64 = sizeof(void *) == 8;
    std::filesystem::create_directories(dir / "other");
    std::filesystem::create_symlink(is64 ? "/usr/lib32/libm.so.6"
                                         : "/lib/x86_64-linux-gnu/libm.so.6",
                                    dir / "other/zrq4470lbp.so");
    const ProcessResult o =
        run_program(ZRQCTL, {"--plugins", (dir / "other").string(), "lbp", "list"}, {}, true);
    EXPECT_EQ(o.status, 3);
    EXPECT_NE(o.out.find(is64 ? "these are 32-bit plug-ins: a 32-bit host loads them"
                              : "these are 64-bit plug-ins: a 64-bit host loads them"),
              std::string::npos)
        << o.out;
}

// Labels are whatever a driver or a damaged sysfs holds, and the plug-in cuts them at 29
// bytes, maybe inside a character: the JSON stays valid, with U+FFFD for what is not UTF-8.
TEST_F(Zrqctl, LabelsThatAreNotUtf8StillGiveJson) {
    HwmonTrees tree(dir / "sys");
    tree.adapter(0, "SMBus I801 adapter at f000");
    const int superio = tree.nct6779({{"SYSTIN", 31000}}, {1050, 1062}, {2400}, 0);
    const struct {
        std::string label, name;
    } cases[] = {
        {"Vcore \xff\xfe", "Vcore \xEF\xBF\xBD\xEF\xBF\xBD"},
        {std::string(28, 'x') + "\xC3\xA9", std::string(28, 'x') + "\xEF\xBF\xBD"},
    };
    for (const auto &c : cases) {
        tree.set(superio, "in0_label", c.label);
        const ProcessResult r =
            run_program(ZRQCTL, {"--plugins", PLUGIN_DIR, "hwm", "report", "4", "--json"},
                        {"PVQIO_SYSFS=" + tree.root(), "PVQSMB_ADAPTER=/nonexistent"}, false);
        ASSERT_EQ(r.status, 0) << r.out;
        const auto doc = nlohmann::json::parse(r.out);
        EXPECT_EQ(doc["name"], c.name);
        EXPECT_EQ(doc["volts"], 1.05);
    }
}

// The boot-time setup on a sysfs tree whose adapter sits at another I/O base than the board
// file says: what the kernel cannot detect is written to new_device, once, and taken back.
TEST_F(Zrqctl, BoardSetupMakesTheChipsTheKernelCannotDetect) {
    HwmonTrees tree(dir / "sys");
    tree.adapter(4, "SMBus I801 adapter at efa0");
    const auto bus = std::filesystem::path(tree.root()) / "bus/i2c/devices";
    const std::string board = (dir / "board.json").string();
    std::ofstream(board) << R"({"adapter": "SMBus I801 adapter at f000", "items": {},
        "chips": {"fanboard": {"name": "max31790", "adapter": "SMBus I801 adapter at f000",
                               "address": "0x20"}},
        "switch": {"address": "0x73", "driver": "pca9548", "owner": "kernel"}})";
    auto control = [&](const char *name) {
        std::ifstream in(bus / "i2c-4" / name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const struct {
        const char *name;
        std::function<void()> before;
        std::vector<std::string> args;
        int status;
        const char *file, *written; // what the control file holds afterwards
    } cases[] = {
        {"setup writes both", [] {}, {"setup"}, 0, "new_device", "max31790 0x20\npca9548 0x73\n"},
        {"a chip already there is left alone",
         [&] { std::filesystem::create_directories(bus / "4-0020"); },
         {"setup"},
         0,
         "new_device",
         "pca9548 0x73\n"},
        {"teardown removes what is there", [] {}, {"teardown"}, 0, "delete_device", "0x20\n"},
        {"no such adapter",
         [&] { tree.adapter(4, "AST i2c bit bus"); },
         {"setup", "--wait", "0"},
         1,
         "new_device",
         ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (const char *f : {"new_device", "delete_device"}) std::ofstream(bus / "i2c-4" / f);
        c.before();
        std::vector<std::string> args = {"board", "--board", board};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult r = run_program(ZRQCTL, args, {"PVQSMB_SYSFS=" + tree.root()}, true);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_EQ(control(c.file), c.written) << r.out;
    }
}
