// Hardware monitor plug-in over the simulated monitor and over the hwmon backend on fake
// sysfs trees.
#include "hwm_sim.hpp"
#include "hwmon_trees.hpp"
#include "hwmon.hpp"
#include "iolib.h"
#include "pmbus_psu.hpp"
#include "pvqio_items.hpp"
#include "pvqsmb_backend.hpp"
#include "simbus.hpp"
#include "pvqinc.h"
#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <unistd.h>

using zrqsim::HwmSim;

namespace {

class Hwm : public ::testing::Test {
  protected:
    void SetUp() override {
        // Every item reads a value that names it: item i gives (i + 1) * 1000 + i.
        for (int i = 0; i < 62; ++i) sim.set(i, (i + 1) * 1000 + i);
        pvqio::set_backend(&sim);
    }
    void TearDown() override { pvqio::set_backend(nullptr); }
    static float scaled(int item) {
        return static_cast<float>(((item + 1) * 1000 + item) / 1000.0);
    }
    static unsigned short rpm(int item) {
        return static_cast<unsigned short>((item + 1) * 1000 + item);
    }
    HwmSim sim;
};

} // namespace

TEST_F(Hwm, ItemMapping) {
    struct Case {
        const char *name;
        std::function<int(float *)> call;
        int item;
    } floats[] = {
        {"CPU 1 temp", [](float *f) { return _brdPVQ_HWM_GetCpuTemp(1, f); }, 0},
        {"CPU 2 temp", [](float *f) { return _brdPVQ_HWM_GetCpuTemp(2, f); }, 1},
        {"sys 1 temp", [](float *f) { return _brdPVQ_HWM_GetSysTemp(1, f); }, 2},
        {"sys 2 temp", [](float *f) { return _brdPVQ_HWM_GetSysTemp(2, f); }, 3},
        {"vcore 1", [](float *f) { return _brdPVQ_HWM_GetVcore(1, f); }, 4},
        {"vcore 2", [](float *f) { return _brdPVQ_HWM_GetVcore(2, f); }, 5},
        {"12V", _brdPVQ_HWM_Get12V, 6},
        {"5V", _brdPVQ_HWM_Get5V, 7},
        {"3V3", _brdPVQ_HWM_Get3V3, 8},
        {"5Vsb", _brdPVQ_HWM_Get5Vsb, 9},
        {"3V3sb", _brdPVQ_HWM_Get3V3sb, 10},
        {"Vbat", _brdPVQ_HWM_GetVbat, 11},
    };
    for (const auto &c : floats) {
        SCOPED_TRACE(c.name);
        float f = -1;
        EXPECT_EQ(c.call(&f), ERR_Success);
        EXPECT_EQ(f, scaled(c.item));
    }
    struct RpmCase {
        const char *name;
        std::function<int(unsigned short *)> call;
        int item;
    } rpms[] = {
        {"CPU fan 1", [](unsigned short *r) { return _brdPVQ_HWM_GetCpuFan(1, r); }, 20},
        {"CPU fan 2", [](unsigned short *r) { return _brdPVQ_HWM_GetCpuFan(2, r); }, 21},
        {"system fan 1", [](unsigned short *r) { return _brdPVQ_HWM_GetSysFan(1, r); }, 22},
        {"system fan 2", [](unsigned short *r) { return _brdPVQ_HWM_GetSysFan(2, r); }, 23},
        {"fan 1", [](unsigned short *r) { return _brdPVQ_HWM_GetFanSpeed(1, r); }, 24},
        {"fan 10", [](unsigned short *r) { return _brdPVQ_HWM_GetFanSpeed(10, r); }, 42},
        {"fan 4 rotor B", [](unsigned short *r) { return _brdPVQ_HWM_GetFanSpeedEx(4, r, 2); }, 31},
        {"fan 4 rotor A", [](unsigned short *r) { return _brdPVQ_HWM_GetFanSpeedEx(4, r, 1); }, 30},
        {"fan 10 rotor B", [](unsigned short *r) { return _brdPVQ_HWM_GetFanSpeedEx(10, r, 2); },
         43},
    };
    for (const auto &c : rpms) {
        SCOPED_TRACE(c.name);
        unsigned short r = 0;
        EXPECT_EQ(c.call(&r), ERR_Success);
        EXPECT_EQ(r, rpm(c.item));
    }
    unsigned short volts = 0;
    sim.set(HWMID_PSU2_VOLTIN, 11999);
    EXPECT_EQ(_brdPVQ_HWM_GetPowerSupply(2, &volts), ERR_Success);
    EXPECT_EQ(volts, 11);
    sim.set(HWMID_PSU1_VOLTIN, 230500);
    EXPECT_EQ(_brdPVQ_HWM_GetPowerSupply(1, &volts), ERR_Success);
    EXPECT_EQ(volts, 230);
}

TEST_F(Hwm, RangeChecksCallNothingAndWriteNothing) {
    struct Case {
        const char *name;
        std::function<int()> call;
    } cases[] = {
        {"CPU temp 0",
         [] {
             float f = 7;
             return _brdPVQ_HWM_GetCpuTemp(0, &f) + (f != 7);
         }},
        {"CPU temp 3",
         [] {
             float f = 7;
             return _brdPVQ_HWM_GetCpuTemp(3, &f) + (f != 7);
         }},
        {"sys temp 0",
         [] {
             float f = 7;
             return _brdPVQ_HWM_GetSysTemp(0, &f) + (f != 7);
         }},
        {"vcore 0",
         [] {
             float f = 7;
             return _brdPVQ_HWM_GetVcore(0, &f) + (f != 7);
         }},
        {"vcore 255",
         [] {
             float f = 7;
             return _brdPVQ_HWM_GetVcore(255, &f) + (f != 7);
         }},
        {"CPU fan 0",
         [] {
             unsigned short r = 7;
             return _brdPVQ_HWM_GetCpuFan(0, &r) + (r != 7);
         }},
        {"CPU fan 3",
         [] {
             unsigned short r = 7;
             return _brdPVQ_HWM_GetCpuFan(3, &r) + (r != 7);
         }},
        {"system fan 0",
         [] {
             unsigned short r = 7;
             return _brdPVQ_HWM_GetSysFan(0, &r) + (r != 7);
         }},
        {"system fan 3",
         [] {
             unsigned short r = 7;
             return _brdPVQ_HWM_GetSysFan(3, &r) + (r != 7);
         }},
        {"fan 0",
         [] {
             unsigned short r = 7;
             return _brdPVQ_HWM_GetFanSpeed(0, &r) + (r != 7);
         }},
        {"fan 11",
         [] {
             unsigned short r = 7;
             return _brdPVQ_HWM_GetFanSpeed(11, &r) + (r != 7);
         }},
        {"fan ex seq 0",
         [] {
             unsigned short r = 7;
             return _brdPVQ_HWM_GetFanSpeedEx(4, &r, 0) + (r != 7);
         }},
        {"fan ex seq 3",
         [] {
             unsigned short r = 7;
             return _brdPVQ_HWM_GetFanSpeedEx(4, &r, 3) + (r != 7);
         }},
        {"fan ex fan 11",
         [] {
             unsigned short r = 7;
             return _brdPVQ_HWM_GetFanSpeedEx(11, &r, 1) + (r != 7);
         }},
        {"power supply 0",
         [] {
             unsigned short r = 7;
             return _brdPVQ_HWM_GetPowerSupply(0, &r) + (r != 7);
         }},
        {"power supply 3",
         [] {
             unsigned short r = 7;
             return _brdPVQ_HWM_GetPowerSupply(3, &r) + (r != 7);
         }},
        {"report 62",
         [] {
             char b[30];
             return _brdPVQ_HWM_GetSensorReport(62, b);
         }},
        {"report -1",
         [] {
             char b[30];
             return _brdPVQ_HWM_GetSensorReport(-1, b);
         }},
        {"report INT_MIN",
         [] {
             char b[30];
             return _brdPVQ_HWM_GetSensorReport(INT_MIN, b);
         }},
        {"name 62",
         [] {
             char b[30];
             return _brdPVQ_HWM_GetSensorName(62, b);
         }},
        {"name -1",
         [] {
             char b[30];
             return _brdPVQ_HWM_GetSensorName(-1, b);
         }},
        {"null temp", [] { return _brdPVQ_HWM_GetCpuTemp(1, nullptr); }},
        {"null 12V", [] { return _brdPVQ_HWM_Get12V(nullptr); }},
        {"null fan", [] { return _brdPVQ_HWM_GetFanSpeed(1, nullptr); }},
        {"null fan ex", [] { return _brdPVQ_HWM_GetFanSpeedEx(1, nullptr, 1); }},
        {"null sys fan", [] { return _brdPVQ_HWM_GetSysFan(1, nullptr); }},
        {"null power", [] { return _brdPVQ_HWM_GetPowerSupply(1, nullptr); }},
        {"null case open", [] { return _brdPVQ_HWM_CaseOpenStatus(nullptr); }},
        {"null report", [] { return _brdPVQ_HWM_GetSensorReport(1, nullptr); }},
        {"null name", [] { return _brdPVQ_HWM_GetSensorName(1, nullptr); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), ERR_InvalidParam);
    }
    EXPECT_EQ(sim.calls(), 0u);
}

TEST_F(Hwm, SensorReportAndNameAcceptTheLastItem) {
    char buf[30];
    EXPECT_EQ(_brdPVQ_HWM_GetSensorReport(61, buf), ERR_Success);
    EXPECT_STREQ(buf, "62061");
    EXPECT_EQ(_brdPVQ_HWM_GetSensorName(61, buf), ERR_Success);
    EXPECT_STREQ(buf, "HWMID_PSU2_TEMP2");
    sim.fail(61, -5);
    EXPECT_EQ(_brdPVQ_HWM_GetSensorName(61, buf), -5);
}

TEST_F(Hwm, TextConversions) {
    struct Case {
        const char *text;
        float value;
        unsigned short rpm;
    } cases[] = {
        {"45000", 45.0f, 45000},
        {"-1250", -1.25f, 64286},
        {"12168", 12.168f, 12168},
        {"70000", 70.0f, 4464},
        {"abc", 0.0f, 0},
        {"  42xyz", 0.042f, 42},
        {"+7", 0.007f, 7},
        {"", 0.0f, 0},
        {"99999999999", 2147483.647f, 65535},
        {"-99999999999", -2147483.648f, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        sim.set_text(HWMID_TEMP_CPU1, c.text);
        sim.set_text(HWMID_RPM_Fan1A, c.text);
        float f = -1;
        unsigned short r = 1;
        EXPECT_EQ(_brdPVQ_HWM_GetCpuTemp(1, &f), ERR_Success);
        EXPECT_EQ(f, c.value);
        EXPECT_EQ(_brdPVQ_HWM_GetFanSpeed(1, &r), ERR_Success);
        EXPECT_EQ(r, c.rpm);
    }
}

TEST_F(Hwm, LibraryFailureIsPassedUpAndTheOutputKept) {
    sim.fail(HWMID_VOLT_P12V, 3);
    sim.fail(HWMID_RPM_FanCpu1, -19);
    float f = 1.5f;
    EXPECT_EQ(_brdPVQ_HWM_Get12V(&f), 3);
    EXPECT_EQ(f, 1.5f);
    unsigned short r = 77;
    EXPECT_EQ(_brdPVQ_HWM_GetCpuFan(1, &r), -19);
    EXPECT_EQ(r, 77);
}

TEST_F(Hwm, CaseOpen) {
    struct Case {
        int flag;
        unsigned char status;
    } cases[] = {{0, 0}, {1, 1}, {2, 1}, {-1, 1}};
    for (const Case &c : cases) {
        sim.set_caseopen(c.flag);
        unsigned char st = 9;
        EXPECT_EQ(_brdPVQ_HWM_CaseOpenStatus(&st), ERR_Success);
        EXPECT_EQ(st, c.status);
    }
    EXPECT_EQ(_brdPVQ_HWM_ClearCaseOpenStatus(), ERR_Success);
    EXPECT_EQ(sim.caseopen(), 0);
}

TEST(HwmTerminator, ALibraryFillingAllThirtyCharactersIsCutAtTwentyNine) {
    struct Overfull : HwmSim {
        int sensor(int, char *text) override {
            std::memset(text, '9', 30); // no terminator at all
            return 0;
        }
    } lib;
    pvqio::set_backend(&lib);
    float f = 0;
    EXPECT_EQ(_brdPVQ_HWM_GetCpuTemp(1, &f), ERR_Success);
    EXPECT_EQ(f, static_cast<float>(INT_MAX / 1000.0)) << "29 nines saturate";
    pvqio::set_backend(nullptr);
}

// ---- hwmon backend on trees of the kernel drivers' own attributes ---------------------------

namespace {

constexpr const char *kSmbus = "SMBus I801 adapter at f000";

// The zrq4470 as its drivers present it, in an order that does not follow the board's: the
// second package's coretemp first, SYSTIN not at temp1, a max31790 of the same address on
// another adapter. The supplies answer on the (simulated) SMBus.
class HwmonTree : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        tree.adapter(0, kSmbus);
        tree.adapter(3, "i915 gmbus dpc");
        tree.coretemp(1, 4, 47500);
        tree.max31790(3, 0x20, {1, 2, 3, 4, 5, 6}, {}); // not the fan board
        tree.coretemp(0, 4, 45000);
        superio = tree.nct6779(
            {{"PECI Agent 0", 52000}, {"SYSTIN", 31000}, {"CPUTIN", 40000}, {"AUXTIN0", -1250}},
            // CPUVC IN1 AVSB 3VCC IN0 IN8 IN4 3VSB VBAT VTT IN5..IN7
            {1050, 1062, 3328, 3312, 1014, 1008, 1003, 3296, 3120, 1000, 0, 0, 0, 0, 0},
            {2400, 70000, 3100, 3150, 0}, 2);
        tree.max31790(0, 0x20, {8001, 8002, 8003, 8004, 8005, 8006}, {1, 2});
        bus.attach(0, 0xB0, &psu1);
        bus.attach(0, 0xB2, &psu2);
        psu1.set_word(0x79, 0x0000);
        psu2.set_word(0x79, 0x0842);
        psu1.set_linear11(0x97, 143.75);
        psu2.set_linear11(0x97, 114.75);
        pvqsmb::set_backend(&bus);
        pvqio::set_backend(&hwmon);
    }
    void TearDown() override {
        pvqio::set_backend(nullptr);
        pvqsmb::set_backend(nullptr);
    }
    static std::string report(int item) {
        char buf[30] = {};
        const int r = _brdPVQ_HWM_GetSensorReport(item, buf);
        return r == ERR_Success ? std::string(buf) : "code " + std::to_string(r);
    }

    HwmonTrees tree{test_temp_path("hwmon"), GetParam()};
    int superio = -1;
    zrqsim::SimBus bus;
    zrqsim::PmbusPsu psu1{zrqsim::PmbusPsu::Maker::Delta}, psu2{zrqsim::PmbusPsu::Maker::Y3};
    pvqio::HwmonBackend hwmon{tree.root(), pvqio::load_board(BOARD_FILE)};
};

} // namespace

// A board description of `chips` and the `mapped` items, every other item "absent".
static std::string board_file(const std::string &name, const nlohmann::json &chips,
                              const nlohmann::json &mapped) {
    nlohmann::json items = nlohmann::json::object();
    for (std::string_view item : pvqio::kItemNames) items[std::string(item)] = "absent";
    items.update(mapped);
    const std::string path = test_temp_path(name);
    std::ofstream(path) << nlohmann::json{{"chips", chips}, {"items", items}}.dump();
    return path;
}

INSTANTIATE_TEST_SUITE_P(Layouts, HwmonTree, ::testing::Values(false, true),
                         [](const auto &p) { return p.param ? "UnderDevice" : "Current"; });

TEST_P(HwmonTree, ReadingsThroughThePlugin) {
    float f = 0;
    EXPECT_EQ(_brdPVQ_HWM_GetCpuTemp(1, &f), ERR_Success);
    EXPECT_EQ(f, 45.0f) << "the chip of \"Package id 0\", found second";
    EXPECT_EQ(_brdPVQ_HWM_GetCpuTemp(2, &f), ERR_Success);
    EXPECT_EQ(f, 47.5f);
    EXPECT_EQ(_brdPVQ_HWM_GetSysTemp(1, &f), ERR_Success);
    EXPECT_EQ(f, 31.0f) << "SYSTIN by its label, wherever the driver put it";
    EXPECT_EQ(_brdPVQ_HWM_GetSysTemp(2, &f), ERR_Success);
    EXPECT_EQ(f, -1.25f) << "negative values";
    EXPECT_EQ(_brdPVQ_HWM_Get12V(&f), ERR_Success);
    EXPECT_EQ(f, 12.168f) << "IN0 through the board's divider, not AVSB";
    EXPECT_EQ(_brdPVQ_HWM_GetVbat(&f), ERR_Success);
    EXPECT_EQ(f, 3.12f) << "VBAT, not 3VSB";
    unsigned short r = 0;
    EXPECT_EQ(_brdPVQ_HWM_GetCpuFan(2, &r), ERR_Success);
    EXPECT_EQ(r, 4464) << "70000 rpm keeps its low 16 bits";
    EXPECT_EQ(_brdPVQ_HWM_GetFanSpeedEx(1, &r, 2), ERR_Success);
    EXPECT_EQ(r, 8008) << "fan 1B: channel 1's second tach input, on the board's adapter";
    EXPECT_NE(_brdPVQ_HWM_GetFanSpeedEx(6, &r, 2), ERR_Success)
        << "channel 6 has no second tach input";
    EXPECT_EQ(_brdPVQ_HWM_GetPowerSupply(1, &r), ERR_Success);
    EXPECT_EQ(r, 230) << "PSU at 0xB0, over the SMBus";
    unsigned char st = 0;
    EXPECT_EQ(_brdPVQ_HWM_CaseOpenStatus(&st), ERR_Success);
    EXPECT_EQ(st, 1) << "alarm value 2";
    EXPECT_EQ(_brdPVQ_HWM_ClearCaseOpenStatus(), ERR_Success);
    EXPECT_EQ(tree.get(superio, "intrusion0_alarm"), "0");
    EXPECT_EQ(_brdPVQ_HWM_CaseOpenStatus(&st), ERR_Success);
    EXPECT_EQ(st, 0);
}

TEST_P(HwmonTree, ReportsInTheLibrarysUnits) {
    const std::pair<int, const char *> cases[] = {
        {HWMID_PSU1_STATUS, "0"},      {HWMID_PSU2_STATUS, "2114"},
        {HWMID_PSU1_VOLTIN, "230000"}, {HWMID_PSU1_POWERIN, "143750"},
        {HWMID_PSU1_CURRENTIN, "625"}, {HWMID_PSU1_CURRENTOUT, "10500"},
        {HWMID_PSU1_VOLTOUT, "12000"}, {HWMID_PSU2_VOLTOUT, "12000"}, // LINEAR16, LINEAR11
        {HWMID_PSU2_FAN, "5000"},      {HWMID_PSU2_TEMP, "35500"},
        {HWMID_VCORE_CPU1, "1050"},    {HWMID_VCORE_CPU2, "1062"},
        {HWMID_VOLT_P3V3, "3312"},     {HWMID_VOLT_P5V, "5015"},
        {HWMID_VOLT_P5VSB, "5040"},    {HWMID_VOLT_P3V3SB, "3296"},
        {HWMID_RPM_FanSys1, "3100"},   {HWMID_RPM_Fan1A, "8001"},
        {HWMID_RPM_Fan6A, "8006"},     {HWMID_RPM_Fan2B, "8009"},
    };
    for (auto [item, text] : cases) EXPECT_EQ(report(item), text) << item;
}

TEST_P(HwmonTree, NamesFromTheDriversLabelsOrTheItemName) {
    const std::pair<int, const char *> cases[] = {{HWMID_TEMP_CPU1, "Package id 0"},
                                                  {HWMID_TEMP_SYS1, "SYSTIN"},
                                                  {HWMID_VOLT_P12V, "HWMID_VOLT_P12V"},
                                                  {HWMID_PSU1_VOLTIN, "HWMID_PSU1_VOLTIN"},
                                                  {HWMID_VOLT_DDRCH3, "HWMID_VOLT_DDRCH3"}};
    for (auto [item, name] : cases) {
        char buf[30] = {};
        EXPECT_EQ(_brdPVQ_HWM_GetSensorName(item, buf), ERR_Success);
        EXPECT_STREQ(buf, name);
    }
}

TEST_P(HwmonTree, MissingOrBrokenReadingsAreFailuresNotValues) {
    struct Case {
        const char *name;
        std::function<void()> damage;
        int item;
    } cases[] = {
        {"missing file", [&] { tree.remove(superio, "in6_input"); }, HWMID_VOLT_P5V},
        {"not a number", [&] { tree.set(superio, "in3_input", "n/a"); }, HWMID_VOLT_P3V3},
        {"empty", [&] { tree.set(superio, "in7_input", ""); }, HWMID_VOLT_P3V3SB},
        {"a NUL byte first", [&] { tree.set(superio, "in8_input", std::string(1, '\0') + "5"); },
         HWMID_VOLT_VBAT},
        {"beyond 64 bits", [&] { tree.set(superio, "in0_input", "99999999999999999999"); },
         HWMID_VCORE_CPU1},
        {"binary", [&] { tree.set(superio, "in1_input", std::string("\x01\xff\x7f\x80", 4)); },
         HWMID_VCORE_CPU2},
        {"larger than a page", [&] { tree.set(superio, "in4_input", std::string(5000, '7')); },
         HWMID_VOLT_P12V},
        {"label gone", [&] { tree.remove(superio, "temp4_label"); }, HWMID_TEMP_SYS2},
        {"supply silent", [&] { psu2.set_present(false); }, HWMID_PSU2_VOLTIN},
        {"item the board lacks", [] {}, HWMID_VOLT_DDRCH1},
        {"fan the board lacks", [] {}, HWMID_RPM_Fan7A},
        {"second tach not configured", [] {}, HWMID_RPM_Fan6B},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        c.damage();
        char buf[30] = "untouched";
        const int r = _brdPVQ_HWM_GetSensorReport(c.item, buf);
        EXPECT_GT(r, 0) << "the library's own positive code, unlike the plug-ins' status codes";
    }
}

TEST_P(HwmonTree, ARenumberedDeviceIsFoundAgainAndNeverSwapped) {
    EXPECT_EQ(report(HWMID_TEMP_CPU1), "45000");
    EXPECT_EQ(report(HWMID_TEMP_CPU2), "47500");
    // The two coretemp chips (hwmon0 and hwmon2) trade numbers, as after a rebind.
    tree.renumber(0, 9);
    tree.renumber(2, 0);
    tree.renumber(9, 2);
    EXPECT_EQ(report(HWMID_TEMP_CPU1), "45000");
    EXPECT_EQ(report(HWMID_TEMP_CPU2), "47500");
    tree.renumber(2, 17);
    EXPECT_EQ(report(HWMID_TEMP_CPU1), "45000") << "found at its new number";
}

TEST(HwmonBoard, AKernelBoundSupplyIsReadFromItsHwmonDevice) {
    HwmonTrees tree{test_temp_path("hwmon-bound")};
    tree.adapter(0, kSmbus);
    tree.pmbus(0, 0x58, "dps-460", 230500, 114750000, "0x0842");
    tree.pmbus(0, 0x59, "pmbus", 120000, 1000000, nullptr); // no debugfs
    const std::string board = board_file(
        "board.json",
        {{"psu1", {{"name", "dps_460"}, {"adapter", kSmbus}, {"address", "0x58"}}},
         {"psu2", {{"name", "pmbus"}, {"adapter", kSmbus}, {"address", "0x59"}}}},
        {{"HWMID_PSU1_STATUS", {{"chip", "psu1"}, {"status", "debugfs"}}},
         {"HWMID_PSU1_VOLTIN", {{"chip", "psu1"}, {"label", "vin"}}},
         {"HWMID_PSU1_POWERIN", {{"chip", "psu1"}, {"label", "pin"}, {"multiplier", 0.001}}},
         {"HWMID_PSU2_STATUS", {{"chip", "psu2"}, {"status", "debugfs"}}}});
    pvqio::HwmonBackend hwmon(tree.root(), pvqio::load_board(board));
    char text[30] = {};
    EXPECT_EQ(hwmon.sensor(HWMID_PSU1_STATUS, text), 0);
    EXPECT_STREQ(text, "2114");
    EXPECT_EQ(hwmon.sensor(HWMID_PSU1_VOLTIN, text), 0);
    EXPECT_STREQ(text, "230500");
    EXPECT_EQ(hwmon.sensor(HWMID_PSU1_POWERIN, text), 0);
    EXPECT_STREQ(text, "114750");
    EXPECT_EQ(hwmon.sensor(HWMID_PSU2_STATUS, text), ENOENT) << "no debugfs: no made-up word";
    std::filesystem::remove(board);
}

// The client's own name (device/name, "dps-460") is not the hwmon name ("dps_460"): the old
// layout's fallback is taken only where the hwmon folder has no name at all.
TEST(HwmonBoard, TheClientsNameIsNoHwmonName) {
    HwmonTrees tree{test_temp_path("hwmon-client-name")};
    tree.adapter(0, kSmbus);
    const int n = tree.pmbus(0, 0x58, "dps-460", 230500, 114750000, nullptr);
    std::ofstream(tree.entry(n) / "device/name") << "dps-460\n";
    std::ofstream(tree.entry(n) / "device/in1_label") << "vin\n";
    std::ofstream(tree.entry(n) / "device/in1_input") << "1\n";
    const std::string board = board_file(
        "client.json", {{"psu1", {{"name", "dps-460"}, {"adapter", kSmbus}, {"address", "0x58"}}}},
        {{"HWMID_PSU1_VOLTIN", {{"chip", "psu1"}, {"label", "vin"}}}});
    pvqio::HwmonBackend hwmon(tree.root(), pvqio::load_board(board));
    char text[30] = {};
    EXPECT_NE(hwmon.sensor(HWMID_PSU1_VOLTIN, text), 0)
        << "read from the client's folder: " << text;
    std::filesystem::remove(board);
}

TEST(HwmonBoard, TwoChipsTheDescriptionCannotTellApartAreNeitherTaken) {
    HwmonTrees tree{test_temp_path("hwmon-twins")};
    tree.coretemp(0, 2, 45000);
    tree.coretemp(1, 2, 47500);
    const std::string board =
        board_file("twins.json", {{"cpu", {{"name", "coretemp"}}}},
                   {{"HWMID_TEMP_CPU1", {{"chip", "cpu"}, {"attribute", "temp1"}}}});
    pvqio::HwmonBackend hwmon(tree.root(), pvqio::load_board(board));
    char text[30] = {};
    EXPECT_EQ(hwmon.sensor(HWMID_TEMP_CPU1, text), ENOTUNIQ);
    std::filesystem::remove(board);
}

TEST(HwmonBoard, DescriptionErrorsNameTheFileAndThePlace) {
    const std::string path = test_temp_path("bad-board.json");
    const std::string shipped = [] {
        std::ifstream in(BOARD_FILE);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    auto with = [&](const std::string &from, const std::string &to) {
        std::string s = shipped;
        const size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? s : s.replace(at, from.size(), to);
    };
    const std::pair<std::string, std::string> cases[] = {
        {"{", "not valid JSON"},
        {with("\"HWMID_VOLT_DDRCH1\": \"absent\",", ""),
         "items: HWMID_VOLT_DDRCH1 is neither mapped nor \"absent\""},
        {with("\"chip\": \"cpu2\"", "\"chip\": \"cpu3\""),
         "items.HWMID_TEMP_CPU2.chip: no chip \"cpu3\" under \"chips\""},
        {with("\"HWMID_RPM_Fan7A\"", "\"HWMID_RPM_Fan7C\""),
         "items.HWMID_RPM_Fan7C: is no sensor item"},
        {with("\"READ_VIN\"", "\"READ_VINN\""), "command: unknown PMBus command \"READ_VINN\""},
        {with("\"smbus\": \"0xB0\"", "\"smbus\": \"0xB1\""), "is not an 8-bit address"},
        {with("\"address\": \"0x20\"", "\"address\": \"0x90\""),
         "chips.fanboard.address: is not an address from 0 to 127"},
        {with("\"multiplier\": 12", "\"multiplier\": \"12\""),
         "items.HWMID_VOLT_P12V.multiplier: is not a number"},
        {with("\"attribute\": \"in0\"", "\"attribute\": \"../in0\""), "is not an attribute name"},
        {with("\"attribute\": \"in0\"", "\"attribute\": \"..\""), "is not an attribute name"},
        {with("\"intrusion0_alarm\"", "\"/tmp/victim\""),
         "caseopen.attribute: is not an attribute name"},
        {with("\"intrusion0_alarm\"", "\"../../../../victim\""),
         "caseopen.attribute: is not an attribute name"},
        {with("\"intrusion0_alarm\"", "\"..\""), "caseopen.attribute: is not an attribute name"},
        {with("\"caseopen\"", "\"case_open\""), "case_open: unknown key"},
        {with("\"HWMID_VOLT_DDRCH1\": \"absent\",\n    \"HWMID_VOLT_DDRCH2\": \"absent\",", ""),
         "items: HWMID_VOLT_DDRCH1, HWMID_VOLT_DDRCH2 are neither mapped nor \"absent\""},
    };
    for (const auto &[text, message] : cases) {
        SCOPED_TRACE(message);
        std::ofstream(path) << text;
        try {
            pvqio::load_board(path);
            ADD_FAILURE() << "accepted";
        } catch (const pvqio::BoardError &e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind(path + ": ", 0), 0u) << what;
            EXPECT_NE(what.find(message), std::string::npos) << what;
        }
    }
    std::filesystem::remove(path);
    EXPECT_NO_THROW(pvqio::load_board(BOARD_FILE)) << "the shipped description";
    // Files that are no description: said why, and a FIFO without waiting for a writer.
    const std::string fifo = test_temp_path("board-fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> odd[] = {
        {fifo, ": is a FIFO, not a board description"},
        {"/", ": is a directory, not a board description"},
        {"/dev/zero", ": is a device or socket, not a board description"},
        {"/nonexistent.json", ": cannot be read: No such file or directory"},
    };
    for (const auto &[file, message] : odd) {
        try {
            pvqio::load_board(file);
            ADD_FAILURE() << file << " accepted";
        } catch (const pvqio::BoardError &e) {
            EXPECT_EQ(std::string(e.what()), file + message);
        }
    }
    std::filesystem::remove(fifo);
}
