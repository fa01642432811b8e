// Hardware monitor plug-in over the simulated monitor and over the hwmon backend on fake
// sysfs trees.
#include "fake_hwmon.hpp"
#include "hwm_sim.hpp"
#include "hwmon.hpp"
#include "iolib.h"
#include "pvqinc.h"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
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

// ---- hwmon backend on fake sysfs trees -----------------------------------------------------

class HwmonTree : public ::testing::Test {
  protected:
    void SetUp() override { pvqio::set_backend(&hwmon); }
    void TearDown() override { pvqio::set_backend(nullptr); }
    FakeHwmon tree{test_temp_path("hwmon")};
    pvqio::HwmonBackend hwmon{tree.root()};
};

TEST_F(HwmonTree, ReadingsThroughThePlugin) {
    float f = 0;
    EXPECT_EQ(_brdPVQ_HWM_GetCpuTemp(2, &f), ERR_Success);
    EXPECT_EQ(f, 47.5f) << "second coretemp chip";
    EXPECT_EQ(_brdPVQ_HWM_GetSysTemp(2, &f), ERR_Success);
    EXPECT_EQ(f, -1.25f) << "negative values";
    EXPECT_EQ(_brdPVQ_HWM_Get12V(&f), ERR_Success);
    EXPECT_EQ(f, 12.168f);
    unsigned short r = 0;
    EXPECT_EQ(_brdPVQ_HWM_GetCpuFan(2, &r), ERR_Success);
    EXPECT_EQ(r, 4464) << "70000 rpm keeps its low 16 bits";
    EXPECT_EQ(_brdPVQ_HWM_GetFanSpeedEx(6, &r, 2), ERR_Success);
    EXPECT_EQ(r, 8012);
    EXPECT_EQ(_brdPVQ_HWM_GetPowerSupply(1, &r), ERR_Success);
    EXPECT_EQ(r, 11) << "PSU at 0x58";
    EXPECT_EQ(_brdPVQ_HWM_GetPowerSupply(2, &r), ERR_Success);
    EXPECT_EQ(r, 230) << "PSU at 0x59";
    unsigned char st = 0;
    EXPECT_EQ(_brdPVQ_HWM_CaseOpenStatus(&st), ERR_Success);
    EXPECT_EQ(st, 1) << "alarm value 2";
    EXPECT_EQ(_brdPVQ_HWM_ClearCaseOpenStatus(), ERR_Success);
    EXPECT_EQ(tree.read(2, "intrusion0_alarm"), "0");
    EXPECT_EQ(_brdPVQ_HWM_CaseOpenStatus(&st), ERR_Success);
    EXPECT_EQ(st, 0);
}

TEST_F(HwmonTree, ReportsInTheLibrarysUnits) {
    struct Case {
        int item;
        const char *text;
    } cases[] = {{HWMID_PSU1_STATUS, "0"},         {HWMID_PSU2_STATUS, "2114"},
                 {HWMID_PSU1_POWERIN, "143750"},   {HWMID_PSU1_CURRENTIN, "625"},
                 {HWMID_PSU1_CURRENTOUT, "10500"}, {HWMID_PSU1_VOLTOUT, "12000"},
                 {HWMID_PSU2_FAN, "5000"},         {HWMID_PSU2_TEMP, "35500"},
                 {HWMID_VCORE_CPU1, "1050"},       {HWMID_RPM_Fan1A, "8001"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.item);
        char buf[30] = {};
        EXPECT_EQ(_brdPVQ_HWM_GetSensorReport(c.item, buf), ERR_Success);
        EXPECT_STREQ(buf, c.text);
    }
}

TEST_F(HwmonTree, NamesFromLabelsOrTheItemName) {
    const std::pair<int, const char *> cases[] = {{HWMID_TEMP_CPU1, "Package id 0"},
                                                  {HWMID_VOLT_P12V, "+12V"},
                                                  {HWMID_VOLT_P5V, "HWMID_VOLT_P5V"},
                                                  {HWMID_PSU1_VOLTIN, "vin"},
                                                  {HWMID_VOLT_DDRCH3, "HWMID_VOLT_DDRCH3"}};
    for (auto [item, name] : cases) {
        char buf[30] = {};
        EXPECT_EQ(_brdPVQ_HWM_GetSensorName(item, buf), ERR_Success);
        EXPECT_STREQ(buf, name);
    }
}

TEST_F(HwmonTree, MissingOrBrokenReadingsAreFailuresNotValues) {
    tree.remove(2, "in3_input");
    tree.file(2, "in4_input", "n/a");
    tree.remove(5, "in1_label");
    struct Case {
        const char *name;
        std::function<int()> call;
    } cases[] = {
        {"missing file",
         [] {
             float f = 9;
             return _brdPVQ_HWM_Get5V(&f);
         }},
        {"not a number",
         [] {
             float f = 9;
             return _brdPVQ_HWM_Get3V3(&f);
         }},
        {"label missing",
         [] {
             unsigned short r = 9;
             return _brdPVQ_HWM_GetPowerSupply(2, &r);
         }},
        {"item not fitted",
         [] {
             char b[30];
             return _brdPVQ_HWM_GetSensorReport(HWMID_VOLT_DDRCH1, b);
         }},
        {"fan not fitted",
         [] {
             unsigned short r = 9;
             return _brdPVQ_HWM_GetFanSpeed(7, &r);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const int r = c.call();
        EXPECT_NE(r, ERR_Success);
        EXPECT_GT(r, 0) << "the library's own positive code, unlike the plug-ins' status codes";
    }
    std::filesystem::remove_all(tree.dir(2));
    unsigned char st = 7;
    EXPECT_EQ(_brdPVQ_HWM_CaseOpenStatus(&st), ERR_Success);
    EXPECT_EQ(st, 0) << "no Super I/O chip: the flag reads as not opened";
}
