// The simulated bus is what every other test stands on: routing, fault injection and the
// trace must behave like the hardware they stand in for.
#include "lbp_module.hpp"
#include "simbus.hpp"

#include <gtest/gtest.h>

using namespace zrqsim;

TEST(SimBus, RoutesExpansionSegmentsThroughTheSwitch) {
    SimBus bus;
    LbpModule main_board, slot2;
    main_board.set(0x01, 0x11);
    slot2.set(0x01, 0x22);
    bus.attach(0, 0x6E, &main_board);
    bus.attach(2, 0x60, &slot2);

    uint16_t w = 0;
    EXPECT_EQ(bus.read_word(0x60, 0x01, &w), -ENXIO) << "segment 2 is not routed yet";
    EXPECT_EQ(bus.switch_slot(0xE6, 2), 0);
    ASSERT_EQ(bus.read_word(0x60, 0x01, &w), 0);
    EXPECT_EQ(w >> 8, 0x22);
    ASSERT_EQ(bus.read_word(0x6E, 0x01, &w), 0) << "main-bus devices answer whatever is routed";
    EXPECT_EQ(w >> 8, 0x11);

    // A slot without a channel fails and leaves the routing alone.
    EXPECT_EQ(bus.switch_slot(0xE6, 9), -EINVAL);
    EXPECT_EQ(bus.switch_slot(0xE6, 0), -EINVAL);
    EXPECT_EQ(bus.switch_slot(0xE4, 1), -ENODEV);
    EXPECT_EQ(bus.selected_segment(), 2u);
}

TEST(SimBus, FaultsHitTheNamedTransferAfterTheAllowedPasses) {
    SimBus bus;
    LbpModule m;
    bus.attach(0, 0x6E, &m);
    bus.fail(Op::ReadWord, 0x6E, 0x01, 2, -EAGAIN, 1);
    uint16_t w = 0;
    EXPECT_EQ(bus.read_word(0x6E, 0x02, &w), 0) << "other commands pass";
    EXPECT_EQ(bus.read_word(0x6E, 0x01, &w), 0) << "first match let through";
    EXPECT_EQ(bus.read_word(0x6E, 0x01, &w), -EAGAIN);
    EXPECT_EQ(bus.read_word(0x6E, 0x01, &w), -EAGAIN);
    EXPECT_EQ(bus.read_word(0x6E, 0x01, &w), 0) << "the fault is used up";

    bus.fail_switch(3, -1, -EBUSY);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(bus.switch_slot(0xE6, 3), -EBUSY);
    bus.clear_faults();
    EXPECT_EQ(bus.switch_slot(0xE6, 3), 0);
}

TEST(SimBus, TraceRecordsEveryCallWithItsResult) {
    SimBus bus;
    LbpModule m;
    bus.attach(1, 0x60, &m);
    uint16_t w = 0;
    bus.switch_slot(0xE6, 1);
    bus.read_word(0x60, 0x12, &w);
    bus.write_byte(0x60, 0x12, 0x05);
    bus.write_byte(0x60, 0x13, 0x05); // read-only register: not acknowledged
    bus.read_word(0x62, 0x12, &w);
    const std::vector<Transfer> expected = {sw(1), rdw(0x60, 0x12), wrb(0x60, 0x12, 0x05),
                                            wrb(0x60, 0x13, 0x05, -EIO), rdw(0x62, 0x12, -ENXIO)};
    EXPECT_EQ(bus.trace(), expected);
}

TEST(SimBus, BlockReadStoresAtMost32Bytes) {
    struct Chatty : Device {
        int read_block(uint8_t, std::span<uint8_t, 32> out) override {
            for (auto &b : out) b = 'x';
            return 40; // claims more than SMBus allows
        }
    } dev;
    SimBus bus;
    bus.attach(0, 0xB0, &dev);
    uint8_t buf[34] = {};
    ASSERT_EQ(bus.read_block(0xB0, 0x99, buf), 0);
    EXPECT_EQ(buf[31], 'x');
    EXPECT_EQ(buf[32], 0);
}

TEST(LbpModuleModel, TimersRunAndApplyTheirAction) {
    LbpModule m;
    m.write_byte(0x21, 0x03); // timer 1 bypasses pairs 1 and 2
    m.write_byte(0x22, 10);
    m.write_byte(0x24, 0);
    EXPECT_EQ(m.value(0x20), LbpModule::kTimerRunning);
    m.advance(9);
    EXPECT_EQ(m.value(0x12), 0);
    m.write_byte(0x24, 0); // a tick restarts the count
    m.advance(9);
    EXPECT_EQ(m.value(0x20), LbpModule::kTimerRunning);
    m.advance(1);
    EXPECT_EQ(m.value(0x20), LbpModule::kTimerExpired);
    EXPECT_EQ(m.value(0x12), 0x03);

    m.write_byte(0x42, 2); // timer 3 counts in 5 s units
    m.write_byte(0x44, 0);
    EXPECT_EQ(m.remaining(3), 10u);
    m.write_byte(0x45, 0);
    EXPECT_EQ(m.value(0x40), LbpModule::kTimerIdle);
}
