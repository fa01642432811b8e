// LAN bypass operations: module information, pair status, bypass and disconnect commands and
// timers, checked call by call against the bus trace.
#include "bus_fixture.hpp"
#include "lbp_module.hpp"
#include "pvqinc.h"

#include <cstring>
#include <functional>
#include <map>
#include <string>

using namespace zrqsim;

namespace {

constexpr uint8_t A = 0x60; // module address behind the switch
constexpr uint8_t kSlot = 2;
constexpr uint16_t kMax = 4;

// Switch, presence read, switch: the prologue of every per-slot operation.
Trace prologue() {
    return {sw(kSlot), rdw(A, 0x01), sw(kSlot)};
}
Trace with_prologue(std::initializer_list<Transfer> rest) {
    Trace t = prologue();
    t.insert(t.end(), rest);
    return t;
}

class Lbp : public BusTest {
  protected:
    void SetUp() override {
        BusTest::SetUp();
        bus.attach(kSlot, A, &module);
    }
    LbpModule module;
};

LBP_TIMERCFG timer_cfg(uint8_t timer, uint16_t seconds, uint8_t action, uint8_t effect) {
    LBP_TIMERCFG cfg{};
    cfg.ubTimerNo = timer;
    cfg.uwTimeSec = seconds;
    cfg.ubAction = action;
    cfg.ubEffect = effect;
    return cfg;
}

template <typename T> std::vector<uint8_t> bytes_of(const T &v) {
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

} // namespace

// ---- Module information and pair status ----------------------------------------------------

TEST_F(Lbp, DeviceInfoTypeByVersion) {
    struct Case {
        uint8_t v0, v1;
        bool v0_valid;
        uint8_t type;
    } cases[] = {{1, 8, true, 2}, {1, 6, true, 1}, {2, 0, true, 1}, {2, 1, true, 0},
                 {1, 7, true, 0}, {0, 0, true, 0}, {1, 8, false, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << int(c.v0) << "." << int(c.v1) << " valid " << c.v0_valid);
        module.set(0x01, c.v0);
        module.set(0x02, c.v1);
        module.set_valid(0x01, c.v0_valid);
        LBPDEV_INFO info{};
        ASSERT_EQ(_brdPVQ_LBP_DeviceInfo(kSlot, &info, kMax), ERR_Success);
        EXPECT_EQ(info.ubType, c.type);
        EXPECT_EQ(info.ubVersion[0], c.v0_valid ? c.v0 : 0);
        EXPECT_EQ(info.ubVersion[1], c.v1);
    }
}

TEST_F(Lbp, DeviceInfoFieldsAndTraffic) {
    const uint8_t values[] = {1, 6, 3, 0x0F, 0x07, 0x03, 200, 200, 255};
    for (uint8_t r = 0; r < 9; ++r) module.set(static_cast<uint8_t>(r + 1), values[r]);
    LBPDEV_INFO info{};
    ASSERT_EQ(_brdPVQ_LBP_DeviceInfo(kSlot, &info, kMax), ERR_Success);
    EXPECT_EQ(info.ubSlotIndex, kSlot);
    EXPECT_EQ(info.ubType, 1);
    EXPECT_EQ(info.ubModules, 3);
    EXPECT_EQ(info.ubSystemOff_Pairs, 0x0F);
    EXPECT_EQ(info.ubJustOn_Pairs, 0x07);
    EXPECT_EQ(info.ubRuntime_Pairs, 0x03);
    EXPECT_EQ(info.uwTimer1_MaxSec, 200);
    EXPECT_EQ(info.uwTimer2_MaxSec, 200);
    EXPECT_EQ(info.uwTimer3_MaxSec, 1275);
    Trace expected = prologue();
    for (uint8_t r = 1; r <= 9; ++r) expected.push_back(rdw(A, r));
    EXPECT_EQ(take_trace(), expected);

    module.set(0x09, 12);
    ASSERT_EQ(_brdPVQ_LBP_DeviceInfo(kSlot, &info, kMax), ERR_Success);
    EXPECT_EQ(info.uwTimer3_MaxSec, 60);
}

TEST_F(Lbp, EveryRegisterWithoutValidFlagReadsZero) {
    for (int r = 0; r < 256; ++r)
        module.set(static_cast<uint8_t>(r), 0xA5), module.set_valid(static_cast<uint8_t>(r), false);
    LBPDEV_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    PAIRS_STATUS st;
    std::memset(&st, 0xEE, sizeof st);
    ASSERT_EQ(_brdPVQ_LBP_DeviceInfo(kSlot, &info, kMax), ERR_Success);
    ASSERT_EQ(_brdPVQ_LBP_GetPairsStatus(kSlot, &st, kMax), ERR_Success);
    LBPDEV_INFO zero_info{};
    zero_info.ubSlotIndex = kSlot;
    PAIRS_STATUS zero_st{};
    zero_st.ubSlotIndex = kSlot;
    EXPECT_EQ(bytes_of(info), bytes_of(zero_info));
    EXPECT_EQ(bytes_of(st), bytes_of(zero_st));
}

TEST_F(Lbp, PairsStatusFailureLeavesLaterFieldsUntouched) {
    const uint8_t values[] = {0x11, 0x22, 0x33, 0x44, 0x55};
    for (uint8_t i = 0; i < 5; ++i) module.set(static_cast<uint8_t>(0x10 + i), values[i]);
    for (uint8_t failing = 0; failing < 5; ++failing) {
        SCOPED_TRACE(int(failing));
        bus.clear_faults();
        bus.fail(Op::ReadWord, A, static_cast<uint8_t>(0x10 + failing), 3);
        PAIRS_STATUS st;
        std::memset(&st, 0xEE, sizeof st);
        EXPECT_EQ(_brdPVQ_LBP_GetPairsStatus(kSlot, &st, kMax), ERR_Error);
        const uint8_t *fields = &st.ubSystemOff_PairsBypass;
        EXPECT_EQ(st.ubSlotIndex, kSlot);
        for (uint8_t i = 0; i < 5; ++i)
            EXPECT_EQ(fields[i], i < failing ? values[i] : 0xEE) << int(i);
    }
}

TEST_F(Lbp, SwitchFailureLeavesTheSlotIndexOnlyOnceThePresenceTestPassed) {
    struct Case {
        const char *name;
        int after; // switch attempts let through first
        bool slot_index_set;
    } cases[] = {{"inside the presence test", 0, false}, {"at path selection", 1, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bus.clear_faults();
        bus.fail_switch(kSlot, 1, -EBUSY, c.after);
        LBPDEV_INFO info;
        std::memset(&info, 0xEE, sizeof info);
        EXPECT_EQ(_brdPVQ_LBP_DeviceInfo(kSlot, &info, kMax), -EBUSY);
        LBPDEV_INFO expected;
        std::memset(&expected, 0xEE, sizeof expected);
        if (c.slot_index_set) expected.ubSlotIndex = kSlot;
        EXPECT_EQ(bytes_of(info), bytes_of(expected));

        bus.clear_faults();
        bus.fail_switch(kSlot, 1, -EBUSY, c.after);
        PAIRS_STATUS st;
        std::memset(&st, 0xEE, sizeof st);
        EXPECT_EQ(_brdPVQ_LBP_GetPairsStatus(kSlot, &st, kMax), -EBUSY);
        EXPECT_EQ(st.ubSlotIndex, c.slot_index_set ? kSlot : 0xEE);
        EXPECT_EQ(st.ubSystemOff_PairsBypass, 0xEE);
    }
}

TEST_F(Lbp, ReadOnlyOperationsRefuseNullRecordsBeforeTheBus) {
    EXPECT_EQ(_brdPVQ_LBP_DeviceInfo(kSlot, nullptr, kMax), ERR_InvalidParam);
    EXPECT_EQ(_brdPVQ_LBP_GetPairsStatus(kSlot, nullptr, kMax), ERR_InvalidParam);
    EXPECT_EQ(_brdPVQ_LBP_TimerStatus(kSlot, 1, nullptr, kMax), ERR_InvalidParam);
    EXPECT_EQ(_brdPVQ_LBP_DeviceInfo(5, nullptr, kMax), ERR_NotSupport) << "slot check first";
    EXPECT_EQ(take_trace(), Trace{});
}

// ---- Bypass, disconnect and configuration commands -----------------------------------------

TEST_F(Lbp, PlainWritesGoOutUnchecked) {
    module.set(0x06, 0x0F);
    struct Case {
        const char *name;
        std::function<int()> call;
        Transfer write;
    } cases[] = {
        {"factory reset", [] { return _brdPVQ_LBP_FactoryReset(kSlot, kMax); }, wrb(A, 0x0A, 1)},
        {"save", [] { return _brdPVQ_LBP_SaveConfig(kSlot, kMax); }, wrb(A, 0x0B, 1)},
        {"system off", [] { return _brdPVQ_LBP_SetSystemOffPairs(kSlot, 0x81, kMax); },
         wrb(A, 0x10, 0x81)},
        {"just on", [] { return _brdPVQ_LBP_SetJustOnPairs(kSlot, 0x42, kMax); },
         wrb(A, 0x11, 0x42)},
        {"all pairs beyond the capability mask",
         [] { return _brdPVQ_LBP_SetAllPairs(kSlot, 0xFF, kMax); }, wrb(A, 0x12, 0xFF)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), ERR_Success);
        EXPECT_EQ(take_trace(), with_prologue({c.write}));
    }
    EXPECT_EQ(module.saves(), 1u);
    EXPECT_EQ(module.factory_resets(), 1u);
}

TEST_F(Lbp, SetPairBypassChangesOnePair) {
    struct Case {
        uint8_t pair, enable;
        uint8_t written;
    } cases[] = {{2, 1, 0x07}, {1, 0, 0x04}, {3, 1, 0x05}, {3, 0, 0x01}};
    module.set(0x06, 0xFF);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "pair " << int(c.pair) << " enable " << int(c.enable));
        module.set(0x12, 0x05);
        EXPECT_EQ(_brdPVQ_LBP_SetPairBypass(kSlot, c.pair, c.enable, kMax), ERR_Success);
        EXPECT_EQ(take_trace(),
                  with_prologue({rdw(A, 0x06), rdw(A, 0x12), wrb(A, 0x12, c.written)}));
    }
}

TEST_F(Lbp, SetPairBypassRefusals) {
    module.set(0x06, 0x03);
    const Trace caps_only = with_prologue({rdw(A, 0x06)});
    struct Case {
        const char *name;
        uint8_t slot, pair, enable;
        int result;
        Trace trace;
    } cases[] = {
        {"pair 0, even for an empty slot", 3, 0, 1, ERR_InvalidParam, {}},
        {"enable above 1", kSlot, 1, 2, ERR_InvalidParam, {}},
        {"slot above maxslots", 5, 0, 1, ERR_NotSupport, {}},
        {"pair outside the capability mask", kSlot, 3, 1, ERR_InvalidParam, caps_only},
        {"pair 9", kSlot, 9, 1, ERR_InvalidParam, caps_only},
        {"pair 40 (no shift past the width)", kSlot, 40, 0, ERR_InvalidParam, caps_only},
        {"pair 255", kSlot, 255, 1, ERR_InvalidParam, caps_only},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(_brdPVQ_LBP_SetPairBypass(c.slot, c.pair, c.enable, kMax), c.result);
        EXPECT_EQ(take_trace(), c.trace);
    }
    EXPECT_EQ(_brdPVQ_LBP_SetPairBypass(3, 1, 1, kMax), ERR_Error) << "empty slot";
    take_trace();

    module.set_valid(0x06, false);
    EXPECT_EQ(_brdPVQ_LBP_SetPairBypass(kSlot, 1, 1, kMax), ERR_Error);
    EXPECT_EQ(take_trace(), caps_only);

    module.set_valid(0x06, true);
    module.set_valid(0x12, false);
    EXPECT_EQ(_brdPVQ_LBP_SetPairBypass(kSlot, 1, 1, kMax), ERR_Error)
        << "an unknown mask is never written back";
    EXPECT_EQ(take_trace(), with_prologue({rdw(A, 0x06), rdw(A, 0x12)}));
}

TEST_F(Lbp, SetPortDisconnectMergesIntoTheCurrentMask) {
    struct Case {
        uint8_t port, enable, before, written;
    } cases[] = {{3, 1, 0x00, 0x04}, {3, 0, 0x04, 0x00}, {3, 1, 0x81, 0x85},
                 {3, 0, 0xFF, 0xFB}, {8, 1, 0x01, 0x81}, {1, 0, 0x03, 0x02}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "port " << int(c.port) << " enable " << int(c.enable));
        module.set(0x14, c.before);
        EXPECT_EQ(_brdPVQ_LBP_SetPortDisconnect(kSlot, c.port, c.enable, kMax), ERR_Success);
        EXPECT_EQ(take_trace(), with_prologue({rdw(A, 0x14), wrb(A, 0x14, c.written)}));
    }
}

TEST_F(Lbp, PortOperationsRefusals) {
    struct Case {
        const char *name;
        uint8_t port, enable;
        int result;
    } cases[] = {{"port 0", 0, 1, ERR_InvalidParam},
                 {"port 9", 9, 1, ERR_InvalidParam},
                 {"port 200", 200, 0, ERR_InvalidParam},
                 {"enable 2", 1, 2, ERR_InvalidParam}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(_brdPVQ_LBP_SetPortDisconnect(kSlot, c.port, c.enable, kMax), c.result);
        EXPECT_EQ(take_trace(), Trace{});
    }
    module.set_valid(0x14, false);
    EXPECT_EQ(_brdPVQ_LBP_SetPortDisconnect(kSlot, 3, 1, kMax), ERR_NotSupport);
    EXPECT_EQ(take_trace(), with_prologue({rdw(A, 0x14)}));
    EXPECT_EQ(_brdPVQ_LBP_SetAllPortsDisconnect(kSlot, 0x0F, kMax), ERR_NotSupport);
    EXPECT_EQ(take_trace(), with_prologue({rdw(A, 0x14)}));

    module.set_valid(0x14, true);
    EXPECT_EQ(_brdPVQ_LBP_SetAllPortsDisconnect(kSlot, 0x0F, kMax), ERR_Success);
    EXPECT_EQ(take_trace(), with_prologue({rdw(A, 0x14), wrb(A, 0x14, 0x0F)}));
}

// ---- Timers --------------------------------------------------------------------------------

TEST_F(Lbp, TimerCountEncoding) {
    module.set(0x06, 0xFF);
    struct Case {
        uint8_t timer;
        uint16_t seconds;
        int result;
        uint8_t count;
    } cases[] = {{3, 600, ERR_Success, 120},    {3, 1275, ERR_Success, 255},
                 {3, 1279, ERR_Success, 255},   {3, 4, ERR_Success, 0},
                 {1, 200, ERR_Success, 200},    {2, 30, ERR_Success, 30},
                 {1, 255, ERR_Success, 255},    {1, 300, ERR_InvalidParam, 0},
                 {2, 256, ERR_InvalidParam, 0}, {3, 1280, ERR_InvalidParam, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "timer " << int(c.timer) << " " << c.seconds << " s");
        EXPECT_EQ(_brdPVQ_LBP_TimerConfig(kSlot, timer_cfg(c.timer, c.seconds, 1, 0x01), kMax),
                  c.result);
        const Trace t = take_trace();
        if (c.result != ERR_Success) {
            EXPECT_EQ(t, (Trace{sw(kSlot), rdw(A, 0x01)})) << "refused before anything is written";
            continue;
        }
        const uint8_t block = static_cast<uint8_t>(0x10 * (c.timer + 1));
        ASSERT_GE(t.size(), 6u);
        EXPECT_EQ(t[5], wrb(A, block + 2, c.count));
    }
}

TEST_F(Lbp, TimerConfigTraffic) {
    struct Case {
        const char *name;
        bool disconnect;
        uint8_t caps, block6;
        LBP_TIMERCFG cfg;
        int result;
        Trace trace;
    } cases[] = {
        {"action 1, type 2", true, 0x0F, 0x0F, timer_cfg(1, 100, 1, 0x01), ERR_Success,
         with_prologue({rdw(A, 0x14), rdw(A, 0x06), wrb(A, 0x22, 100), rdw(A, 0x26),
                        wrb(A, 0x26, 0x0E), wrb(A, 0x21, 0x01)})},
        {"action 1, no pair named, type 2", true, 0x0F, 0x0F, timer_cfg(1, 100, 1, 0), ERR_Success,
         with_prologue({rdw(A, 0x14), rdw(A, 0x06), wrb(A, 0x22, 100), rdw(A, 0x26),
                        wrb(A, 0x26, 0x0F), wrb(A, 0x21, 0)})},
        {"action 1, type 1", false, 0x0F, 0x0F, timer_cfg(2, 30, 1, 0x03), ERR_Success,
         with_prologue({rdw(A, 0x14), rdw(A, 0x06), wrb(A, 0x32, 30), wrb(A, 0x31, 0x03)})},
        {"action 2", true, 0x0F, 0x0F, timer_cfg(3, 600, 2, 0x0C), ERR_Success,
         with_prologue({rdw(A, 0x14), wrb(A, 0x42, 120), wrb(A, 0x46, 0x0C), wrb(A, 0x47, 0x0C)})},
        {"action 2 on a type 1 module", false, 0x0F, 0x0F, timer_cfg(1, 10, 2, 0x01),
         ERR_InvalidParam, with_prologue({rdw(A, 0x14)})},
        {"effect outside the capability mask", true, 0x03, 0x0F, timer_cfg(1, 10, 1, 0x05),
         ERR_InvalidParam, with_prologue({rdw(A, 0x14), rdw(A, 0x06)})},
        {"action 3",
         true,
         0x0F,
         0x0F,
         timer_cfg(1, 10, 3, 0x01),
         ERR_InvalidParam,
         {sw(kSlot), rdw(A, 0x01)}},
        {"action 0",
         true,
         0x0F,
         0x0F,
         timer_cfg(1, 10, 0, 0x01),
         ERR_InvalidParam,
         {sw(kSlot), rdw(A, 0x01)}},
        {"timer 0",
         true,
         0x0F,
         0x0F,
         timer_cfg(0, 10, 1, 0x01),
         ERR_InvalidParam,
         {sw(kSlot), rdw(A, 0x01)}},
        {"timer 4",
         true,
         0x0F,
         0x0F,
         timer_cfg(4, 10, 1, 0x01),
         ERR_InvalidParam,
         {sw(kSlot), rdw(A, 0x01)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LbpModule::Config config;
        config.disconnect = c.disconnect;
        config.runtime_pairs = c.caps;
        LbpModule m(config);
        m.set(0x26, c.block6);
        bus.attach(kSlot, A, &m);
        EXPECT_EQ(_brdPVQ_LBP_TimerConfig(kSlot, c.cfg, kMax), c.result);
        EXPECT_EQ(take_trace(), c.trace);
    }
}

TEST_F(Lbp, TimerConfigNeverRewritesAnUnknownMask) {
    module.set_valid(0x06, false);
    EXPECT_EQ(_brdPVQ_LBP_TimerConfig(kSlot, timer_cfg(1, 10, 1, 0x01), kMax), ERR_Error);
    EXPECT_EQ(take_trace(), with_prologue({rdw(A, 0x14), rdw(A, 0x06)}));

    module.set_valid(0x06, true);
    module.set_valid(0x26, false);
    EXPECT_EQ(_brdPVQ_LBP_TimerConfig(kSlot, timer_cfg(1, 10, 1, 0x01), kMax), ERR_Error);
    EXPECT_EQ(take_trace(),
              with_prologue({rdw(A, 0x14), rdw(A, 0x06), wrb(A, 0x22, 10), rdw(A, 0x26)}));
}

TEST_F(Lbp, EmptySlotAnswersBeforeTimerArgumentsForConfigOnly) {
    EXPECT_EQ(_brdPVQ_LBP_TimerConfig(3, timer_cfg(0, 10, 0, 0), kMax), ERR_Error);
    EXPECT_EQ(_brdPVQ_LBP_TimerStart(3, 0, kMax), ERR_InvalidParam);
    EXPECT_EQ(_brdPVQ_LBP_TimerStop(3, 4, kMax), ERR_InvalidParam);
}

TEST_F(Lbp, TimerStartStopTickStatus) {
    struct Case {
        const char *name;
        std::function<int()> call;
        int result;
        Trace trace;
    } cases[] = {
        {"start 1", [] { return _brdPVQ_LBP_TimerStart(kSlot, 1, kMax); }, ERR_Success,
         with_prologue({wrb(A, 0x24, 0)})},
        {"start 3 refused",
         [] { return _brdPVQ_LBP_TimerStart(kSlot, 3, kMax); },
         ERR_InvalidParam,
         {}},
        {"tick 3 refused",
         [] { return _brdPVQ_LBP_TimerTick(kSlot, 3, kMax); },
         ERR_InvalidParam,
         {}},
        {"tick 0 refused",
         [] { return _brdPVQ_LBP_TimerTick(kSlot, 0, kMax); },
         ERR_InvalidParam,
         {}},
        {"stop 3", [] { return _brdPVQ_LBP_TimerStop(kSlot, 3, kMax); }, ERR_Success,
         with_prologue({wrb(A, 0x45, 0)})},
        {"stop 4 refused",
         [] { return _brdPVQ_LBP_TimerStop(kSlot, 4, kMax); },
         ERR_InvalidParam,
         {}},
        {"status 0 refused",
         [] {
             uint8_t s = 0;
             return _brdPVQ_LBP_TimerStatus(kSlot, 0, &s, kMax);
         },
         ERR_InvalidParam,
         {}},
        {"stop on slot above maxslots",
         [] { return _brdPVQ_LBP_TimerStop(5, 1, kMax); },
         ERR_NotSupport,
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(take_trace(), c.trace);
    }
}

TEST_F(Lbp, TimerTickOnlyWhileRunning) {
    struct Case {
        uint8_t status;
        bool valid;
        int result;
    } cases[] = {{2, true, ERR_InvalidParam},
                 {0, true, ERR_InvalidParam},
                 {1, true, ERR_Success},
                 {2, false, ERR_Success}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "status " << int(c.status) << " valid " << c.valid);
        module.set(0x30, c.status);
        module.set_valid(0x30, c.valid);
        EXPECT_EQ(_brdPVQ_LBP_TimerTick(kSlot, 2, kMax), c.result);
        Trace expected = with_prologue({rdw(A, 0x30)});
        if (c.result == ERR_Success) expected.push_back(wrb(A, 0x34, 0));
        EXPECT_EQ(take_trace(), expected);
    }
}

TEST_F(Lbp, TimerStatusPassesTheByteThrough) {
    module.set(0x40, 7);
    uint8_t status = 0xEE;
    EXPECT_EQ(_brdPVQ_LBP_TimerStatus(kSlot, 3, &status, kMax), ERR_Success);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(take_trace(), with_prologue({rdw(A, 0x40)}));
    module.set_valid(0x40, false);
    EXPECT_EQ(_brdPVQ_LBP_TimerStatus(kSlot, 3, &status, kMax), ERR_Success);
    EXPECT_EQ(status, 0);
}

TEST_F(Lbp, TimerLifecycleAgainstTheModel) {
    module.set(0x06, 0x0F);
    ASSERT_EQ(_brdPVQ_LBP_TimerConfig(kSlot, timer_cfg(1, 5, 1, 0x03), kMax), ERR_Success);
    ASSERT_EQ(_brdPVQ_LBP_TimerStart(kSlot, 1, kMax), ERR_Success);
    uint8_t status = 0;
    ASSERT_EQ(_brdPVQ_LBP_TimerStatus(kSlot, 1, &status, kMax), ERR_Success);
    EXPECT_EQ(status, 1);
    module.advance(4);
    EXPECT_EQ(_brdPVQ_LBP_TimerTick(kSlot, 1, kMax), ERR_Success);
    module.advance(4);
    PAIRS_STATUS st{};
    ASSERT_EQ(_brdPVQ_LBP_GetPairsStatus(kSlot, &st, kMax), ERR_Success);
    EXPECT_EQ(st.ubRuntime_PairsBypass, 0) << "the tick restarted the count";
    module.advance(1);
    ASSERT_EQ(_brdPVQ_LBP_GetPairsStatus(kSlot, &st, kMax), ERR_Success);
    EXPECT_EQ(st.ubRuntime_PairsBypass, 0x03);
    EXPECT_EQ(_brdPVQ_LBP_TimerTick(kSlot, 1, kMax), ERR_InvalidParam) << "expired, not running";
}

// ---- Systematic faults ---------------------------------------------------------------------
//
// For every transfer of an operation's bus traffic: failing it three times ends the call with
// -1 (a switch: one failure ends it with the switch's code) after exactly the traffic before
// it; failing it twice changes nothing but the trace.

namespace {

struct FaultCase {
    const char *name;
    std::function<void(LbpModule &)> setup;
    std::function<int(std::vector<uint8_t> &out)> call;
};

struct Outcome {
    int result;
    Trace trace;
    LbpModule::State state;
    std::vector<uint8_t> out;
};

Outcome run_once(const FaultCase &c, const std::function<void(SimBus &)> &inject) {
    SimBus bus;
    LbpModule module;
    c.setup(module);
    bus.attach(kSlot, A, &module);
    inject(bus);
    pvqsmb::set_backend(&bus);
    Outcome r;
    r.result = c.call(r.out);
    pvqsmb::set_backend(nullptr);
    r.trace = bus.trace();
    r.state = module.state();
    return r;
}

bool same_state(const LbpModule::State &a, const LbpModule::State &b) {
    return a.reg == b.reg && a.valid == b.valid && a.remaining == b.remaining;
}

template <typename Rec> int with_record(std::vector<uint8_t> &out, Rec rec, int result) {
    out = bytes_of(rec);
    return result;
}

const FaultCase kFaultCases[] = {
    {"DeviceInfo", [](LbpModule &) {},
     [](std::vector<uint8_t> &out) {
         LBPDEV_INFO info;
         std::memset(&info, 0xEE, sizeof info);
         const int r = _brdPVQ_LBP_DeviceInfo(kSlot, &info, kMax);
         return with_record(out, info, r);
     }},
    {"GetPairsStatus", [](LbpModule &m) { m.set(0x12, 0x05); },
     [](std::vector<uint8_t> &out) {
         PAIRS_STATUS st;
         std::memset(&st, 0xEE, sizeof st);
         const int r = _brdPVQ_LBP_GetPairsStatus(kSlot, &st, kMax);
         return with_record(out, st, r);
     }},
    {"FactoryReset", [](LbpModule &m) { m.set(0x12, 0x05); },
     [](std::vector<uint8_t> &) { return _brdPVQ_LBP_FactoryReset(kSlot, kMax); }},
    {"SaveConfig", [](LbpModule &) {},
     [](std::vector<uint8_t> &) { return _brdPVQ_LBP_SaveConfig(kSlot, kMax); }},
    {"SetSystemOffPairs", [](LbpModule &) {},
     [](std::vector<uint8_t> &) { return _brdPVQ_LBP_SetSystemOffPairs(kSlot, 0x03, kMax); }},
    {"SetJustOnPairs", [](LbpModule &) {},
     [](std::vector<uint8_t> &) { return _brdPVQ_LBP_SetJustOnPairs(kSlot, 0x03, kMax); }},
    {"SetAllPairs", [](LbpModule &) {},
     [](std::vector<uint8_t> &) { return _brdPVQ_LBP_SetAllPairs(kSlot, 0x03, kMax); }},
    {"SetPairBypass", [](LbpModule &m) { m.set(0x12, 0x01); },
     [](std::vector<uint8_t> &) { return _brdPVQ_LBP_SetPairBypass(kSlot, 2, 1, kMax); }},
    {"SetPortDisconnect", [](LbpModule &m) { m.set(0x14, 0x01); },
     [](std::vector<uint8_t> &) { return _brdPVQ_LBP_SetPortDisconnect(kSlot, 3, 1, kMax); }},
    {"SetAllPortsDisconnect", [](LbpModule &) {},
     [](std::vector<uint8_t> &) { return _brdPVQ_LBP_SetAllPortsDisconnect(kSlot, 0x0F, kMax); }},
    {"TimerConfig action 1 type 2", [](LbpModule &m) { m.set(0x26, 0x0F); },
     [](std::vector<uint8_t> &) {
         return _brdPVQ_LBP_TimerConfig(kSlot, timer_cfg(1, 20, 1, 0x03), kMax);
     }},
    {"TimerConfig action 2", [](LbpModule &) {},
     [](std::vector<uint8_t> &) {
         return _brdPVQ_LBP_TimerConfig(kSlot, timer_cfg(2, 20, 2, 0x05), kMax);
     }},
    {"TimerStart", [](LbpModule &m) { m.set(0x22, 9); },
     [](std::vector<uint8_t> &) { return _brdPVQ_LBP_TimerStart(kSlot, 1, kMax); }},
    {"TimerStop", [](LbpModule &m) { m.set(0x20, 1); },
     [](std::vector<uint8_t> &) { return _brdPVQ_LBP_TimerStop(kSlot, 1, kMax); }},
    {"TimerTick", [](LbpModule &m) { m.set(0x30, 1); },
     [](std::vector<uint8_t> &) { return _brdPVQ_LBP_TimerTick(kSlot, 2, kMax); }},
    {"TimerStatus", [](LbpModule &m) { m.set(0x40, 1); },
     [](std::vector<uint8_t> &out) {
         uint8_t s = 0xEE;
         const int r = _brdPVQ_LBP_TimerStatus(kSlot, 3, &s, kMax);
         out = {s};
         return r;
     }},
};

} // namespace

TEST(LbpFaults, EveryTransferPositionFailingTwiceAndThreeTimes) {
    for (const FaultCase &c : kFaultCases) {
        SCOPED_TRACE(c.name);
        const Outcome clean = run_once(c, [](SimBus &) {});
        ASSERT_EQ(clean.result, ERR_Success);
        for (size_t i = 0; i < clean.trace.size(); ++i) {
            const Transfer &t = clean.trace[i];
            SCOPED_TRACE(testing::Message() << "position " << i << ": " << t);
            int earlier = 0;
            for (size_t j = 0; j < i; ++j)
                earlier += clean.trace[j].op == t.op && clean.trace[j].addr == t.addr &&
                           clean.trace[j].cmd == t.cmd;
            const bool is_switch = t.op == Op::SwitchSlot;
            const int code = is_switch ? -EBUSY : -EIO;

            // Failing for good: the call stops at this transfer.
            const Outcome failed = run_once(c, [&](SimBus &b) {
                b.fail(t.op, t.addr, t.cmd, is_switch ? 1 : 3, code, earlier);
            });
            EXPECT_EQ(failed.result, is_switch ? -EBUSY : ERR_Error);
            Trace expected(clean.trace.begin(), clean.trace.begin() + static_cast<long>(i));
            for (int k = 0; k < (is_switch ? 1 : 3); ++k) {
                Transfer f = t;
                f.result = code;
                expected.push_back(f);
            }
            EXPECT_EQ(failed.trace, expected);

            if (is_switch) continue; // the switch has a single attempt
            // Failing twice: the third attempt carries the call to the same end.
            const Outcome retried =
                run_once(c, [&](SimBus &b) { b.fail(t.op, t.addr, t.cmd, 2, code, earlier); });
            EXPECT_EQ(retried.result, ERR_Success);
            EXPECT_EQ(retried.trace.size(), clean.trace.size() + 2);
            EXPECT_TRUE(same_state(retried.state, clean.state));
            EXPECT_EQ(retried.out, clean.out);
        }
    }
}
