// The shipped LCD plug-in end to end: its fixed port /dev/ttyS1 bound to the emulator's
// pseudo-terminal in a private mount namespace, which takes root.
#include "lcm_emulator.hpp"
#include "process.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

TEST(LcmDeliverable, OpensTtyS1AndTalksToTheModule) {
    ASSERT_EQ(geteuid(), 0u) << "needs root, for a private mount namespace that binds the "
                                "emulator's pseudo-terminal over /dev/ttyS1";
    zrqsim::LcmEmulator emu(57600, 0x4470);
    const ProcessResult r = run_program(LCM_PROBE, {emu.slave_path(), LCM_DELIVERABLE});
    ASSERT_NE(r.status, 77) << "no private mount namespace to be had: " << r.out;
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "open=0 info=0 model=4470 write=0 close=0\n");
    ASSERT_TRUE(emu.fence());
    EXPECT_EQ(emu.screen()[0].substr(0, 5), "ttyS1");
}
