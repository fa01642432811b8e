// Slot addressing, presence test and discovery of the LAN bypass plug-in.
#include "bus_fixture.hpp"
#include "lbp_module.hpp"
#include "pvqinc.h"
#include "pvqsmb.h"

using namespace zrqsim;

namespace {

constexpr uint8_t kSlot0 = 0x6E, kSlotN = 0x60;

class LbpDiscovery : public BusTest {
  protected:
    // A module in every slot listed; slot 0 on the main bus, others behind the switch.
    void populate(std::initializer_list<unsigned> slots) {
        for (unsigned s : slots) bus.attach(s, s == 0 ? kSlot0 : kSlotN, &modules[s]);
    }
    LbpModule modules[9];
};

} // namespace

TEST_F(LbpDiscovery, PathAndAddressBySlot) {
    uint8_t addr = 0;
    EXPECT_EQ(_get_path_addr(0, &addr), ERR_Success);
    EXPECT_EQ(addr, kSlot0);
    EXPECT_EQ(take_trace(), Trace{}) << "slot 0 needs no switch";

    addr = 0;
    EXPECT_EQ(_get_path_addr(5, &addr), ERR_Success);
    EXPECT_EQ(addr, kSlotN);
    EXPECT_EQ(take_trace(), Trace{sw(5)});

    bus.fail_switch(6, 1, -EBUSY);
    addr = 0;
    EXPECT_EQ(_get_path_addr(6, &addr), -EBUSY) << "the switch's code is passed up";
    EXPECT_EQ(addr, kSlotN) << "the address is stored before the switch is tried";
    EXPECT_EQ(take_trace(), Trace{sw(6, -EBUSY)}) << "one attempt only";

    EXPECT_EQ(_get_path_addr(1, nullptr), ERR_InvalidParam);
    EXPECT_EQ(take_trace(), Trace{});
}

TEST_F(LbpDiscovery, PresenceTakesUpToThreeAttempts) {
    populate({0, 1});
    struct Case {
        const char *name;
        int failures;
        int expected;
        Trace trace;
    } cases[] = {
        {"answers at once", 0, ERR_Success, {sw(1), rdw(kSlotN, 1)}},
        {"fails twice then answers",
         2,
         ERR_Success,
         {sw(1), rdw(kSlotN, 1, -EIO), rdw(kSlotN, 1, -EIO), rdw(kSlotN, 1)}},
        {"fails three times",
         3,
         ERR_Error,
         {sw(1), rdw(kSlotN, 1, -EIO), rdw(kSlotN, 1, -EIO), rdw(kSlotN, 1, -EIO)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bus.clear_faults();
        bus.fail(Op::ReadWord, kSlotN, 0x01, c.failures);
        EXPECT_EQ(_check_slot_exist(1), c.expected);
        EXPECT_EQ(take_trace(), c.trace);
    }
    bus.clear_faults();
    EXPECT_EQ(_check_slot_exist(2), ERR_Error) << "an empty slot";
    EXPECT_EQ(take_trace().size(), 4u);
}

TEST_F(LbpDiscovery, ClearValidFlagStillCountsAsPresent) {
    populate({0});
    modules[0].set_valid(0x01, false);
    EXPECT_EQ(_check_slot_exist(0), ERR_Success);
    uint16_t mask = 0;
    EXPECT_EQ(_brdPVQ_LBP_QueryDevices(&mask, 0), ERR_Success);
    EXPECT_EQ(mask, 0x0001);
}

TEST_F(LbpDiscovery, QueryDevicesProbesEverySlotInOrder) {
    populate({0, 2, 4});
    uint16_t mask = 0xFFFF;
    ASSERT_EQ(_brdPVQ_LBP_QueryDevices(&mask, 4), ERR_Success);
    EXPECT_EQ(mask, 0b10101);
    const auto miss = [](uint8_t addr) {
        return Trace{rdw(addr, 1, -ENXIO), rdw(addr, 1, -ENXIO), rdw(addr, 1, -ENXIO)};
    };
    Trace expected = {rdw(kSlot0, 1), sw(1)};
    for (auto t : miss(kSlotN)) expected.push_back(t);
    expected.insert(expected.end(), {sw(2), rdw(kSlotN, 1), sw(3)});
    for (auto t : miss(kSlotN)) expected.push_back(t);
    expected.insert(expected.end(), {sw(4), rdw(kSlotN, 1)});
    EXPECT_EQ(take_trace(), expected);
}

TEST_F(LbpDiscovery, MaxSlotsZeroProbesSlotZeroOnly) {
    for (bool present : {true, false}) {
        SCOPED_TRACE(present);
        bus.attach(0, kSlot0, present ? &modules[0] : nullptr);
        uint16_t mask = 0xFFFF;
        EXPECT_EQ(_brdPVQ_LBP_QueryDevices(&mask, 0), ERR_Success);
        EXPECT_EQ(mask, present ? 0x0001 : 0x0000);
        for (const Transfer &t : take_trace()) {
            EXPECT_NE(t.op, Op::SwitchSlot);
            EXPECT_EQ(t.addr, kSlot0);
        }
    }
}

TEST_F(LbpDiscovery, SwitchFailureStopsDiscoveryWithTheBitsFoundSoFar) {
    populate({0, 1, 2, 3, 4});
    bus.fail_switch(3, 1, -ETIMEDOUT);
    uint16_t mask = 0;
    EXPECT_EQ(_brdPVQ_LBP_QueryDevices(&mask, 4), -ETIMEDOUT);
    EXPECT_EQ(mask, 0b0111);
    const Trace expected = {rdw(kSlot0, 1), sw(1),          rdw(kSlotN, 1),
                            sw(2),          rdw(kSlotN, 1), sw(3, -ETIMEDOUT)};
    EXPECT_EQ(take_trace(), expected) << "slot 4 is never probed";
}

TEST_F(LbpDiscovery, LargeSlotCountsEndAtTheLastEightBitSlot) {
    // Slots past the switch's channels fail at the switch, so give it none to fail on and
    // count what discovery asks for.
    struct AnySwitch : SimBus {
        int switch_slot(uint8_t, uint8_t slot) override {
            ++switches;
            last = slot;
            return 0;
        }
        int switches = 0;
        unsigned last = 0;
    } wide;
    LbpModule m;
    wide.attach(0, kSlot0, &m);
    wide.attach(0, kSlotN, &m); // the switch routes nowhere: every slot answers
    wide.set_tracing(false);
    pvqsmb::set_backend(&wide);
    uint16_t mask = 0;
    EXPECT_EQ(_brdPVQ_LBP_QueryDevices(&mask, 0xFFFF), ERR_Success);
    EXPECT_EQ(wide.switches, 255);
    EXPECT_EQ(wide.last, 255u);
    EXPECT_EQ(mask, 0xFFFF) << "slots 16 and up set no bit";

    EXPECT_EQ(_brdPVQ_LBP_QueryDevices(nullptr, 4), ERR_InvalidParam);
    EXPECT_EQ(wide.switches, 255) << "no bus traffic for a null mask";
}

TEST_F(LbpDiscovery, SlotZeroIsReachedWithoutTheSwitchWhateverWasSelected) {
    populate({0, 3});
    modules[0].set(0x10, 0x5A);
    modules[3].set(0x10, 0xA5);
    ASSERT_EQ(_pvqsmb_switch_slot(0xE6, 3), 0);
    bus.clear_trace();
    PAIRS_STATUS st{};
    ASSERT_EQ(_brdPVQ_LBP_GetPairsStatus(0, &st, 4), ERR_Success);
    EXPECT_EQ(st.ubSystemOff_PairsBypass, 0x5A);
    for (const Transfer &t : take_trace()) EXPECT_EQ(t.addr, kSlot0) << t;
}

TEST_F(LbpDiscovery, SlotRangeIsCheckedBeforeAnyTraffic) {
    populate({0, 1, 2, 3, 4});
    PAIRS_STATUS st{};
    EXPECT_EQ(_brdPVQ_LBP_GetPairsStatus(4, &st, 4), ERR_Success) << "slot == maxslots served";
    take_trace();
    EXPECT_EQ(_brdPVQ_LBP_GetPairsStatus(5, &st, 4), ERR_NotSupport);
    EXPECT_EQ(take_trace(), Trace{});
}
