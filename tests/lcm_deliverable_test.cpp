// The shipped LCD plug-in end to end: its fixed port /dev/ttyS1 bound to the emulator's
// pseudo-terminal in a private mount namespace. Needs root; skipped otherwise.
#include "lcm_emulator.hpp"
#include "process.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

TEST(LcmDeliverable, OpensTtyS1AndTalksToTheModule) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    zrqsim::LcmEmulator emu(57600, 0x4470);
    const ProcessResult r = run_program(LCM_PROBE, {emu.slave_path(), LCM_DELIVERABLE});
    if (r.status == 77) GTEST_SKIP() << r.out;
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "open=0 info=0 model=4470 write=0 close=0\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(emu.screen()[0].substr(0, 5), "ttyS1");
}
