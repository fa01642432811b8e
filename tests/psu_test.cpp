// PSU plug-in: presence, identity, status and readings, with the PMBus number formats.
#include "bus_fixture.hpp"
#include "pmbus_format.hpp"
#include "pmbus_psu.hpp"
#include "pvqinc.h"

#include <cmath>
#include <cstring>

using namespace zrqsim;
using namespace zrqsim::pmbus_cmd;

// ---- Number formats ------------------------------------------------------------------------

namespace {
// Independent reference: the fields by arithmetic on signed integers.
void reference_fields(uint16_t word, int &y, int &n) {
    y = word & 0x7FF;
    if (y >= 1024) y -= 2048;
    n = word >> 11;
    if (n >= 16) n -= 32;
}
} // namespace

TEST(PmbusFormat, Linear11FloatIsExactForEveryWord) {
    for (uint32_t w = 0; w <= 0xFFFF; ++w) {
        int y = 0, n = 0;
        reference_fields(static_cast<uint16_t>(w), y, n);
        const double reference = y * std::pow(2.0, n);
        const float got = pmbus::linear11_to_float(static_cast<uint16_t>(w));
        ASSERT_EQ(got, static_cast<float>(reference)) << std::hex << w;
        ASSERT_EQ(static_cast<double>(got), reference) << "not exact for " << std::hex << w;
    }
}

TEST(PmbusFormat, Linear11WholeNumberForEveryWord) {
    for (uint32_t w = 0; w <= 0xFFFF; ++w) {
        int y = 0, n = 0;
        reference_fields(static_cast<uint16_t>(w), y, n);
        const double value = std::floor(y * std::pow(2.0, n));
        const uint16_t expected = y < 0 ? 0 : value > 65535 ? 65535 : static_cast<uint16_t>(value);
        ASSERT_EQ(pmbus::linear11_to_uint16(static_cast<uint16_t>(w)), expected) << std::hex << w;
    }
}

TEST(PmbusFormat, Linear16ForEveryExponent) {
    for (int mode = 0; mode < 256; ++mode) {
        int n = mode & 0x1F;
        if (n >= 16) n -= 32;
        for (uint32_t v = 0; v <= 0xFFFF; v += 7) {
            const double reference = v * std::pow(2.0, n);
            ASSERT_EQ(
                pmbus::linear16_to_float(static_cast<uint16_t>(v), static_cast<uint8_t>(mode)),
                static_cast<float>(reference))
                << "mode " << mode << " mantissa " << v;
        }
    }
}

TEST(PmbusFormat, WorkedExamples) {
    struct Case {
        uint8_t lo, hi;
        float value;
    } floats[] = {
        {0x47, 0xF8, 35.5f}, {0xF8, 0x07, -8.0f}, {0x15, 0xF8, 10.5f}, {0x98, 0xF3, 230.0f}};
    for (const Case &c : floats) EXPECT_EQ(pmbus::linear11_to_float(c.lo | c.hi << 8), c.value);
    EXPECT_EQ(pmbus::linear11_to_uint16(0x1A71), 5000);
    EXPECT_EQ(pmbus::linear11_to_uint16(0xFBE9), 500);
    EXPECT_EQ(pmbus::linear11_to_uint16(0x8000 | 0x3FF), 0) << "N = -16";
    EXPECT_EQ(pmbus::linear16_to_float(0x1800, 0x17), 12.0f);
    EXPECT_EQ(pmbus::linear16_to_float(0x1800, 0x57), 12.0f) << "mode bits ignored";
    EXPECT_GT(pmbus::linear16_to_float(0x8000, 0x00), 0.0f) << "LINEAR16 is unsigned";
}

// ---- Operations ----------------------------------------------------------------------------

namespace {

constexpr uint8_t P1 = 0xB0, P2 = 0xB2;

class Psu : public BusTest {
  protected:
    void SetUp() override {
        BusTest::SetUp();
        bus.attach(0, P1, &psu1);
        bus.attach(0, P2, &psu2);
    }
    PmbusPsu psu1{PmbusPsu::Maker::Delta};
    PmbusPsu psu2{PmbusPsu::Maker::Y3};
};

Trace repeat(Transfer t, int times, int code) {
    t.result = code;
    return Trace(static_cast<size_t>(times), t);
}

} // namespace

TEST_F(Psu, QueryDevicesReportsWhoAnswers) {
    struct Case {
        const char *name;
        bool p1, p2;
        int p1_failures;
        uint16_t mask;
    } cases[] = {{"both", true, true, 0, 0x3},
                 {"none", false, false, 0, 0x0},
                 {"only PSU 2", false, true, 0, 0x2},
                 {"PSU 1 on the third attempt", true, false, 2, 0x1},
                 {"PSU 1 fails three times", true, false, 3, 0x0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        psu1.set_present(c.p1);
        psu2.set_present(c.p2);
        bus.clear_faults();
        bus.fail(Op::ReadWord, P1, PMBUS_REVISION, c.p1_failures);
        uint16_t mask = 0xFFFF;
        EXPECT_EQ(_brdPVQ_PSU_QueryDevices(&mask), ERR_Success);
        EXPECT_EQ(mask, c.mask);
    }
    bus.clear_trace();
    EXPECT_EQ(_brdPVQ_PSU_QueryDevices(nullptr), ERR_InvalidParam);
    EXPECT_EQ(take_trace(), Trace{});
}

TEST_F(Psu, DeviceInfoTexts) {
    psu2.set_text(MFR_ID, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"); // 32 characters
    psu2.set_block(MFR_MODEL, {0x41, 0x42, 0x00, 0x43, 0x44});
    PSU_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    info.ubPsuNo = 2;
    ASSERT_EQ(_brdPVQ_PSU_DeviceInfo(&info), ERR_Success);
    EXPECT_STREQ(reinterpret_cast<char *>(info.strubMfrId), "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    EXPECT_STREQ(reinterpret_cast<char *>(info.strubMfrModel), "AB");
    EXPECT_STREQ(reinterpret_cast<char *>(info.strubMfrSerial), "SA551B0123456789");
    EXPECT_STREQ(reinterpret_cast<char *>(info.strubMfrRevision), "1.7.2");
    EXPECT_EQ(take_trace(), (Trace{rdk(P2, MFR_ID), rdk(P2, MFR_MODEL), rdk(P2, MFR_SERIAL),
                                   rdk(P2, MFR_REVISION)}));
}

TEST_F(Psu, RevisionTakesBytesOneFiveTwo) {
    struct Case {
        std::vector<uint8_t> block;
        const char *text;
    } cases[] = {{{0x00, 0x01, 0x02, 0x00, 0x00, 0x07}, "1.7.2"},
                 {{0x00, 0x04, 0x09}, "4.0.9"},
                 {{0x00, 0xC8, 0xFF, 0x00, 0x00, 0x80}, "200.128.255"},
                 {{}, "0.0.0"}};
    for (const Case &c : cases) {
        psu1.set_block(MFR_REVISION, c.block);
        PSU_INFO info{};
        info.ubPsuNo = 1;
        ASSERT_EQ(_brdPVQ_PSU_DeviceInfo(&info), ERR_Success);
        EXPECT_STREQ(reinterpret_cast<char *>(info.strubMfrRevision), c.text);
    }
}

TEST_F(Psu, DeviceInfoFailureLeavesLaterTextsUntouched) {
    const uint8_t order[] = {MFR_ID, MFR_MODEL, MFR_SERIAL, MFR_REVISION};
    for (int failing = 0; failing < 4; ++failing) {
        SCOPED_TRACE(failing);
        bus.clear_faults();
        bus.clear_trace();
        bus.fail(Op::ReadBlock, P1, order[failing], 3);
        PSU_INFO info;
        std::memset(&info, 0xEE, sizeof info);
        info.ubPsuNo = 1;
        EXPECT_EQ(_brdPVQ_PSU_DeviceInfo(&info), ERR_Error);
        const uint8_t *fields[] = {info.strubMfrId, info.strubMfrModel, info.strubMfrSerial,
                                   info.strubMfrRevision};
        for (int f = 0; f < 4; ++f) EXPECT_EQ(fields[f][0] != 0xEE, f < failing) << f;
        EXPECT_EQ(bus.trace().size(), static_cast<size_t>(failing + 3))
            << "one block read per text before, three for the failing one";
    }
    // MFR_ID answers at once, MFR_MODEL never: exactly four block reads.
    bus.clear_faults();
    bus.clear_trace();
    bus.fail(Op::ReadBlock, P1, MFR_MODEL, -1);
    PSU_INFO info{};
    info.ubPsuNo = 1;
    EXPECT_EQ(_brdPVQ_PSU_DeviceInfo(&info), ERR_Error);
    Trace expected = {rdk(P1, MFR_ID)};
    for (auto t : repeat(rdk(P1, MFR_MODEL), 3, -EIO)) expected.push_back(t);
    EXPECT_EQ(take_trace(), expected);
    EXPECT_STREQ(reinterpret_cast<char *>(info.strubMfrId), "DELTA");
}

TEST_F(Psu, PsuNumberCheckedBeforeAnyTraffic) {
    for (uint8_t no : {0, 3, 255}) {
        SCOPED_TRACE(int(no));
        PSU_INFO info;
        std::memset(&info, 0xEE, sizeof info);
        info.ubPsuNo = no;
        EXPECT_EQ(_brdPVQ_PSU_DeviceInfo(&info), ERR_InvalidParam);
        EXPECT_EQ(info.strubMfrId[0], 0xEE);
        uint16_t status = 0x1234;
        EXPECT_EQ(_brdPVQ_PSU_Status(no, &status), ERR_InvalidParam);
        EXPECT_EQ(status, 0x1234);
        PSU_SENSORS s{};
        s.ubPsuNo = no;
        EXPECT_EQ(_brdPVQ_PSU_SensorInfo(&s), ERR_InvalidParam);
        PSU_WATTS w{};
        w.ubPsuNo = no;
        EXPECT_EQ(_brdPVQ_PSU_WattsInfo(&w), ERR_InvalidParam);
    }
    PSU_WATTS w{};
    w.ubPsuNo = 1;
    w.ubInOut = 2;
    EXPECT_EQ(_brdPVQ_PSU_WattsInfo(&w), ERR_InvalidParam);
    EXPECT_EQ(_brdPVQ_PSU_DeviceInfo(nullptr), ERR_InvalidParam);
    EXPECT_EQ(_brdPVQ_PSU_Status(1, nullptr), ERR_InvalidParam);
    EXPECT_EQ(_brdPVQ_PSU_SensorInfo(nullptr), ERR_InvalidParam);
    EXPECT_EQ(_brdPVQ_PSU_WattsInfo(nullptr), ERR_InvalidParam);
    EXPECT_EQ(take_trace(), Trace{});
}

TEST_F(Psu, StatusWordLowByteFirst) {
    psu1.set_word(STATUS_WORD, 0x0842);
    uint16_t status = 0;
    EXPECT_EQ(_brdPVQ_PSU_Status(1, &status), ERR_Success);
    EXPECT_EQ(status, 0x0842);
    bus.fail(Op::ReadWord, P1, STATUS_WORD, 3);
    status = 0x1111;
    EXPECT_EQ(_brdPVQ_PSU_Status(1, &status), ERR_Error);
    EXPECT_EQ(status, 0x1111);
}

TEST_F(Psu, SensorInfoReadings) {
    struct Case {
        const char *name;
        uint16_t t1, t2, fan;
        float temp1, temp2;
        uint16_t rpm;
    } cases[] = {
        {"worked example", 0xF847, 0x07F8, 0x1A71, 35.5f, -8.0f, 5000},
        {"fraction dropped", 0xF847, 0xF847, 0xFBE9, 35.5f, 35.5f, 500},
        {"N = -16", 0xF847, 0xF847, 0x8000 | 0x3FF, 35.5f, 35.5f, 0},
        {"negative fan reading", 0xF847, 0xF847, 0x07F8, 35.5f, 35.5f, 0},
        {"fan above 65535 saturates", 0xF847, 0xF847, 0x7BFF, 35.5f, 35.5f, 65535},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        psu1.set_word(READ_TEMPERATURE_1, c.t1);
        psu1.set_word(READ_TEMPERATURE_2, c.t2);
        psu1.set_word(READ_FAN_SPEED_1, c.fan);
        PSU_SENSORS s{};
        s.ubPsuNo = 1;
        ASSERT_EQ(_brdPVQ_PSU_SensorInfo(&s), ERR_Success);
        EXPECT_EQ(s.fTemp_1, c.temp1);
        EXPECT_EQ(s.fTemp_2, c.temp2);
        EXPECT_EQ(s.uwFanRpm, c.rpm);
        EXPECT_EQ(take_trace(), (Trace{rdw(P1, READ_TEMPERATURE_1), rdw(P1, READ_TEMPERATURE_2),
                                       rdw(P1, READ_FAN_SPEED_1)}));
    }
}

TEST_F(Psu, SensorInfoPartialFill) {
    const uint8_t order[] = {READ_TEMPERATURE_1, READ_TEMPERATURE_2, READ_FAN_SPEED_1};
    for (int failing = 0; failing < 3; ++failing) {
        SCOPED_TRACE(failing);
        bus.clear_faults();
        bus.fail(Op::ReadWord, P1, order[failing], 3);
        PSU_SENSORS s{};
        s.ubPsuNo = 1;
        s.fTemp_1 = s.fTemp_2 = -99.0f;
        s.uwFanRpm = 4242;
        EXPECT_EQ(_brdPVQ_PSU_SensorInfo(&s), ERR_Error);
        EXPECT_EQ(s.fTemp_1 != -99.0f, failing > 0);
        EXPECT_EQ(s.fTemp_2 != -99.0f, failing > 1);
        EXPECT_EQ(s.uwFanRpm, 4242);
    }
}

TEST_F(Psu, WattsInfoBothSides) {
    psu1.set_word(READ_IOUT, 0xF815);
    psu1.set_word(READ_VOUT, 0x1800);
    psu1.set_word(READ_IIN, 0xF815);
    psu1.set_word(READ_VIN, 0xF398);
    struct Case {
        uint8_t side, mode;
        float volts, amperes, watts;
        Trace trace;
    } cases[] = {
        {1,
         0x17,
         12.0f,
         10.5f,
         126.0f,
         {rdw(P1, READ_IOUT), rdw(P1, READ_VOUT), rdb(P1, VOUT_MODE)}},
        {1,
         0x57,
         12.0f,
         10.5f,
         126.0f,
         {rdw(P1, READ_IOUT), rdw(P1, READ_VOUT), rdb(P1, VOUT_MODE)}},
        {0, 0x17, 230.0f, 10.5f, 2415.0f, {rdw(P1, READ_IIN), rdw(P1, READ_VIN)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "side " << int(c.side) << " mode " << int(c.mode));
        psu1.set_vout_mode(c.mode);
        PSU_WATTS w{};
        w.ubPsuNo = 1;
        w.ubInOut = c.side;
        ASSERT_EQ(_brdPVQ_PSU_WattsInfo(&w), ERR_Success);
        EXPECT_EQ(w.fVolts, c.volts);
        EXPECT_EQ(w.fAmperes, c.amperes);
        EXPECT_EQ(w.fWatts, c.watts);
        EXPECT_EQ(take_trace(), c.trace);
    }
}

TEST_F(Psu, WattsInfoPartialFill) {
    struct Case {
        Op op;
        uint8_t cmd;
        bool amperes_written;
    } cases[] = {{Op::ReadWord, READ_IOUT, false},
                 {Op::ReadWord, READ_VOUT, true},
                 {Op::ReadByte, VOUT_MODE, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.cmd));
        bus.clear_faults();
        bus.fail(c.op, P2, c.cmd, 3);
        PSU_WATTS w{};
        w.ubPsuNo = 2;
        w.ubInOut = 1;
        w.fVolts = w.fAmperes = w.fWatts = -1.0f;
        EXPECT_EQ(_brdPVQ_PSU_WattsInfo(&w), ERR_Error);
        EXPECT_EQ(w.fAmperes != -1.0f, c.amperes_written);
        EXPECT_EQ(w.fVolts, -1.0f);
        EXPECT_EQ(w.fWatts, -1.0f);
    }
}
