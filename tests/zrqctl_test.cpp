// zrqctl, the reference host, run as a process: it loads the plug-ins with dlopen and drives
// them against virtual platforms and the LCD module emulator.
#include "lcm_emulator.hpp"
#include "process.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char *kPlatform = R"({
  "bypass": [{"slot": 0}, {"slot": 1, "version": [2, 0], "runtime_pairs": 3, "disconnect": false}],
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
        {{"lbp", "list"}, "mask: 0x0003", 0},
        {{"lbp", "info", "1"}, "version:          2.0", 0},
        {{"lbp", "bypass", "0", "2", "on"}, "result: ERR_Success", 0},
        {{"lbp", "status", "0"}, "runtime_bypass:     0x02 (pairs 2)", 0},
        {{"lbp", "pairs", "0", "system-off", "0x05"}, "ERR_Success", 0},
        {{"lbp", "status", "0"}, "system_off_bypass:  0x05 (pairs 1, 3)", 0},
        {{"lbp", "disconnect", "1", "3", "on"}, "ERR_NotSupport (-5)", 1},
        {{"lbp", "bypass", "1", "3", "on"}, "ERR_InvalidParam (-4)", 1},
        {{"lbp", "status", "5"}, "ERR_NotSupport (-5)", 1},
        {{"lbp", "status", "2"}, "ERR_Error (-1)", 1},
        {{"lbp", "timer", "config", "0", "1", "30", "bypass", "0x03"}, "ERR_Success", 0},
        {{"lbp", "timer", "start", "0", "1"}, "ERR_Success", 0},
        {{"lbp", "timer", "status", "0", "1"}, "status: 1 (running)", 0},
        {{"lbp", "timer", "start", "0", "3"}, "ERR_InvalidParam (-4)", 1},
        {{"lbp", "info", "300"}, "slot: Value 300 not in range 0 to 255", 2},
        {{"lbp", "bypass", "0", "1", "maybe"}, "maybe", 2},
        {{"lbp", "frobnicate"}, "unexpected argument: frobnicate", 2},
    };
    expect_cases(*this, cases, [this](auto a) { return run(a); });
}

TEST_F(Zrqctl, SlotSwitchCodesAreNamedAsTheSwitchs) {
    platform(R"({"op": "switch", "slot": 1, "code": -16})");
    const ProcessResult r = run({"lbp", "status", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("-16 (the slot switch's own code, passed up unchanged)"),
              std::string::npos)
        << r.out;
    const ProcessResult j = run({"--json", "lbp", "status", "1"});
    const auto doc = nlohmann::json::parse(j.out.substr(0, j.out.find("zrqctl:")));
    EXPECT_EQ(doc["code"], -16);
    EXPECT_EQ(doc["origin"], "slot switch");
    EXPECT_EQ(doc["ok"], false);
}

TEST_F(Zrqctl, PowerSupplies) {
    platform(R"({"op": "read_word", "addr": "0xB2", "cmd": "0x8D"})");
    const std::vector<Case> cases = {
        {{"psu", "list"}, "mask: 0x0003", 0},
        {{"psu", "info", "1"}, "manufacturer: DELTA", 0},
        {{"psu", "status", "2"}, "bits:        POWER_GOOD# OFF CML", 0},
        {{"psu", "watts", "1", "out"}, "watts:   126.000 W", 0},
        {{"psu", "sensors", "2"}, "_brdPVQ_PSU_SensorInfo(PSU 2): ERR_Error (-1)", 1},
        {{"psu", "info", "3"}, "ERR_InvalidParam (-4)", 1},
        {{"psu", "watts", "1", "sideways"}, "sideways", 2},
    };
    expect_cases(*this, cases, [this](auto a) { return run(a); });
    const ProcessResult r = run({"--json", "psu", "watts", "1", "out"});
    ASSERT_EQ(r.status, 0);
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["volts"], 12.0);
    EXPECT_EQ(doc["amperes"], 10.5);
}

TEST_F(Zrqctl, HardwareMonitor) {
    const std::vector<Case> cases = {
        {{"hwm", "table"}, "CPU1 Temp", 0},
        {{"hwm", "table"}, "case_open: yes", 0},
        {{"hwm", "temp", "cpu", "1"}, "celsius: 45.000 C", 0},
        {{"hwm", "fan", "sys", "1"}, "rpm: 3100 rpm", 0},
        {{"hwm", "fan", "cpu", "3"}, "ERR_InvalidParam (-4)", 1},
        {{"hwm", "psu", "1"}, "volts: 230 V", 0},
        {{"hwm", "temp", "sys", "2"}, "(the I/O library's own code, passed up unchanged)", 1},
        {{"hwm", "report", "62"}, "ERR_InvalidParam (-4)", 1},
        {{"hwm", "caseopen-clear"}, "ERR_Success", 0},
        {{"hwm", "caseopen"}, "case_open: no", 0},
    };
    expect_cases(*this, cases, [this](auto a) { return run(a); });
}

TEST_F(Zrqctl, LcdModuleOnThePseudoTerminal) {
    zrqsim::LcmEmulator emu(38400, 0x1470, 0x0102);
    const std::string pty = emu.slave_path();
    const std::vector<Case> cases = {
        {{"lcm", "--port", pty, "info"}, "model:    0x1470", 0},
        {{"lcm", "--port", pty, "info"}, "baudrate: 38400", 0},
        {{"lcm", "--port", pty, "write", "zrq4470", "hello"}, "ERR_Success", 0},
        {{"lcm", "--port", pty, "brightness", "9"},
         "_brdPVQ_LCM_Brightness: ERR_InvalidParam (-4)",
         1},
        {{"lcm", "--port", pty, "keys"}, "keys: 0x00 (none)", 0},
        {{"lcm", "--port", "/nonexistent/tty", "info"}, "ERR_OpenFail (-2)", 1},
        // Opened, but nothing answers: closed again before the plug-in is unloaded.
        {{"lcm", "--port", "/dev/null", "info"}, "ERR_OpenFail (-2)", 1},
    };
    expect_cases(*this, cases, [this](auto a) { return run(a); });
    // The write's text stays on the screen until the next open clears it.
    emu.clear_received();
    ASSERT_EQ(run({"lcm", "--port", pty, "write", "zrq4470", "hello"}).status, 0);
    ASSERT_TRUE(emu.fence());
    EXPECT_EQ(emu.screen()[0], "zrq4470             ");
    EXPECT_EQ(emu.screen()[1], "hello               ");
}

TEST_F(Zrqctl, MissingPluginsAreReported) {
    const ProcessResult r =
        run_program(ZRQCTL, {"--plugins", "/nonexistent", "lbp", "list"}, {}, true);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("cannot load plug-in /nonexistent/zrq4470lbp.so"), std::string::npos)
        << r.out;
}
