// LCD module plug-in over a pseudo-terminal, against the LCD module emulator.
#include "lcm_emulator.hpp"
#include "lcmlib.h"
#include "pvqinc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

using zrqsim::LcmEmulator;
using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;

namespace {

const Bytes kProbe = {0xFE, 0x30, 0xFD};
const Bytes kClear = {0xFE, 0x58, 0xFD};

// The answer time-outs the tests run with. Where an answer must come, the window is far longer
// than any pause a busy machine makes; where silence is the point, the emulator holds its
// answer back or has none, so the outcome never depends on how fast a thread is scheduled.
constexpr int kShippedMs = 50;   // as shipped: where nothing answers anyway
constexpr int kProbeMs = 300;    // probes that must miss at several rates before they hit
constexpr int kPatientMs = 2000; // everything else

// Polls `done` until it holds, for LcmEmulator::kPatienceMs at most.
bool eventually(const std::function<bool()> &done) {
    const auto give_up =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(LcmEmulator::kPatienceMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class Lcm : public ::testing::Test {
  protected:
    void SetUp() override {
        lcm_test_set_port(emu.slave_path().c_str());
        lcm_test_set_silence_ms(kPatientMs);
    }
    void TearDown() override {
        _brdPVQ_LCM_DeviceClose();
        lcm_test_set_silence_ms(kShippedMs);
        lcm_test_set_port_ops(nullptr);
    }

    // Opens the link and forgets the probe's frames.
    void open() {
        ASSERT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_Success);
        ASSERT_TRUE(emu.wait_frames(2, 1000));
        emu.clear_received();
    }
    // The frames received once `n` have come (a second at most).
    Frames frames(size_t n) {
        emu.wait_frames(n, 1000);
        return emu.frames();
    }
    // Everything sent so far, once the emulator has taken it in: for "nothing was sent" checks.
    Bytes settled_bytes() {
        EXPECT_TRUE(emu.fence());
        return emu.bytes();
    }

    LcmEmulator emu;
};

int count_entries(const char *dir) {
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

// Reads the plug-in's ring state as the plug-in does: under buf_mut.
template <typename F> auto ring(F read) {
    pthread_mutex_lock(&buf_mut);
    auto v = read();
    pthread_mutex_unlock(&buf_mut);
    return v;
}
uint16_t waiting() {
    return ring([] { return wRxCounter; });
}
// Waits until the receive thread has queued `n` bytes.
bool queued(uint16_t n) {
    return eventually([n] { return waiting() == n; });
}

double thread_cpu_ms(pthread_t t) {
    clockid_t c;
    timespec ts{};
    if (pthread_getcpuclockid(t, &c) != 0 || clock_gettime(c, &ts) != 0) return -1;
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

} // namespace

// ---- Link ----------------------------------------------------------------------------------

TEST_F(Lcm, OpenProbesSendsClearAndCloses) {
    EXPECT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_Success);
    EXPECT_EQ(fPortOpened, 1);
    EXPECT_GE(fLcmDevice, 0);
    EXPECT_EQ(dwBaudrate, 115200u);
    EXPECT_EQ(frames(2), (Frames{kProbe, kClear}));
    EXPECT_EQ(emu.port_baud(), 115200u);

    EXPECT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_AlreadyOpened);
    EXPECT_EQ(settled_bytes().size(), 6u) << "a second open touches nothing";

    EXPECT_EQ(_brdPVQ_LCM_DeviceClose(), ERR_Success);
    EXPECT_EQ(fPortOpened, 0);
    EXPECT_EQ(fLcmDevice, -1);
    EXPECT_EQ(dwBaudrate, 0u);
    EXPECT_EQ(_brdPVQ_LCM_DeviceClose(), ERR_Success) << "closing a closed port";

    emu.clear_received();
    EXPECT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_Success) << "reopen probes from 115200 again";
    EXPECT_EQ(frames(2), (Frames{kProbe, kClear}));
}

TEST_F(Lcm, PortThatCannotBeOpened) {
    lcm_test_set_port("/nonexistent/ttyS1");
    EXPECT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_OpenFail);
    EXPECT_EQ(fPortOpened, 0);
    EXPECT_EQ(fLcmDevice, -1);
}

TEST_F(Lcm, ProbeFindsTheModulesRate) {
    lcm_test_set_silence_ms(kProbeMs);
    struct Case {
        uint32_t baud;
        size_t probes;
    } cases[] = {{57600, 2}, {9600, 5}, {2400, 7}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.baud);
        emu.set_baud(c.baud);
        emu.clear_received();
        EXPECT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_Success);
        EXPECT_EQ(dwBaudrate, c.baud);
        Frames expected(c.probes, kProbe);
        expected.push_back(kClear);
        EXPECT_EQ(frames(c.probes + 1), expected);
        EXPECT_EQ(emu.port_baud(), c.baud);
        _brdPVQ_LCM_DeviceClose();
    }
}

TEST_F(Lcm, SilentModuleLeavesThePortOpenWithoutRate) {
    lcm_test_set_silence_ms(kShippedMs);
    emu.set_mode(LcmEmulator::Mode::Silent);
    EXPECT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_OpenFail);
    EXPECT_EQ(fPortOpened, 1);
    EXPECT_EQ(dwBaudrate, 0u);
    EXPECT_EQ(frames(7), Frames(7, kProbe)) << "115200 down to 2400, no clear frame";
    EXPECT_EQ(emu.port_baud(), 9600u) << "left at the factory rate";
    EXPECT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_AlreadyOpened);
    EXPECT_EQ(_brdPVQ_LCM_LightCtrl(1), ERR_Success) << "commands still go out";
    EXPECT_EQ(_brdPVQ_LCM_DeviceClose(), ERR_Success);
    EXPECT_EQ(fPortOpened, 0);
}

TEST_F(Lcm, SetSpeedKeepsThePortRateUntilReopened) {
    lcm_test_set_silence_ms(kProbeMs);
    open();
    EXPECT_EQ(_brdPVQ_LCM_SetSpeed(2400), ERR_Success);
    EXPECT_EQ(frames(1), (Frames{{0xFE, 0x39, 0x06, 0xFD}}));
    EXPECT_EQ(emu.port_baud(), 115200u);
    EXPECT_EQ(dwBaudrate, 115200u);
    _brdPVQ_LCM_DeviceClose();
    EXPECT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_Success) << "the module is found at 2400";
    EXPECT_EQ(dwBaudrate, 2400u);
}

// ---- The line as a 16550 and the tty layer see it -----------------------------------------

TEST_F(Lcm, LineIsRawWhateverThePortWasLeftWith) {
    // Settings another program may have left: a getty's cooked line, PARMRK, BRKINT, parity,
    // two stop bits, hardware flow control; with HUPCL on and off.
    termios cooked = emu.port_settings();
    cooked.c_iflag |= BRKINT | PARMRK | IGNBRK | ISTRIP | ICRNL | INLCR | IXON | IXOFF;
    cooked.c_iflag &= ~static_cast<tcflag_t>(IGNPAR | INPCK);
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_cflag |= PARENB | CSTOPB | CRTSCTS;
    cooked.c_cc[VMIN] = 1;
    for (const bool hupcl : {true, false}) {
        SCOPED_TRACE(hupcl ? "HUPCL on" : "HUPCL off");
        termios before = cooked;
        if (hupcl)
            before.c_cflag |= HUPCL;
        else
            before.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
        emu.set_port_settings(before);
        before = emu.port_settings(); // as the kernel keeps them

        open();
        const termios t = emu.port_settings();
        struct Flag {
            const char *name;
            tcflag_t field, bits, want;
        } flags[] = {
            {"no break handling: BRKINT, IGNBRK", t.c_iflag, BRKINT | IGNBRK, 0},
            {"no PARMRK", t.c_iflag, PARMRK, 0},
            {"errored bytes dropped: IGNPAR, INPCK", t.c_iflag, IGNPAR | INPCK, IGNPAR | INPCK},
            {"no translation", t.c_iflag, ISTRIP | ICRNL | INLCR | IGNCR, 0},
            {"no software flow control", t.c_iflag, IXON | IXOFF | IXANY, 0},
            {"no output processing", t.c_oflag, ~tcflag_t{0}, 0},
            {"no line editing or echo", t.c_lflag, ~tcflag_t{0}, 0},
            {"8N1", t.c_cflag, CSIZE | PARENB | PARODD | CSTOPB, CS8},
            {"receiver on, modem lines ignored", t.c_cflag, CREAD | CLOCAL, CREAD | CLOCAL},
            {"no hardware flow control", t.c_cflag, CRTSCTS, 0},
            {"HUPCL as the port had it", t.c_cflag, HUPCL, before.c_cflag & HUPCL},
        };
        for (const Flag &f : flags) EXPECT_EQ(f.field & f.bits, f.want) << f.name;
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);

        ASSERT_EQ(_brdPVQ_LCM_DeviceClose(), ERR_Success);
        const termios after = emu.port_settings();
        EXPECT_EQ(after.c_iflag, before.c_iflag) << "the old settings come back at close";
        EXPECT_EQ(after.c_oflag, before.c_oflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
    }
}

TEST_F(Lcm, NoiseWaitingOnThePortIsNoAnswer) {
    // The module talks at 57600; two bytes of noise wait in the port before the open. Taken
    // for an answer they would lock the probe onto 115200.
    lcm_test_set_silence_ms(kProbeMs);
    emu.set_baud(57600);
    emu.send_raw({0x31, 0x32});
    EXPECT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_Success);
    EXPECT_EQ(dwBaudrate, 57600u);
}

TEST_F(Lcm, ProbeWindowCoversTheAnswerOnTheWire) {
    // Two answer bytes plus the 16550's receive time-out of four characters, at ten bits a
    // character, on top of the module's own answer time.
    struct Case {
        uint32_t bps;
        int window_ms;
    } cases[] = {{115200, 51}, {57600, 52}, {38400, 52}, {19200, 54},
                 {9600, 57},   {4800, 63},  {2400, 75}};
    lcm_test_set_silence_ms(kShippedMs);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bps);
        EXPECT_EQ(lcm_test_probe_window_ms(c.bps), c.window_ms);
    }
}

// The kernel calls behind the drain, scripted: what a pty cannot show (a UART still sending,
// a signal, a stalled line). The clock moves only when the drain pauses.
struct ScriptedPort {
    std::vector<int> outq; // pending bytes per TIOCOUTQ call; -errno for a failure
    std::vector<int> lsr;  // TIOCSER_TEMT or 0 per TIOCSERGETLSR call; -errno for a failure
    size_t outq_calls = 0, lsr_calls = 0;
    int64_t now = 0;

    static ScriptedPort *current;
    static int next(const std::vector<int> &script, size_t &calls) {
        const int v = script[std::min(calls++, script.size() - 1)];
        if (v < 0) errno = -v;
        return v;
    }
    static int outq_call(int, int *pending) {
        const int v = next(current->outq, current->outq_calls);
        if (v < 0) return -1;
        *pending = v;
        return 0;
    }
    static int lsr_call(int, unsigned *lsr) {
        const int v = next(current->lsr, current->lsr_calls);
        if (v < 0) return -1;
        *lsr = static_cast<unsigned>(v);
        return 0;
    }
    static int64_t now_call() { return current->now; }
    static void pause_call(int64_t us) { current->now += us; }
    static const lcm_port_ops kOps;
};
ScriptedPort *ScriptedPort::current = nullptr;
const lcm_port_ops ScriptedPort::kOps = {ScriptedPort::outq_call, ScriptedPort::lsr_call,
                                         ScriptedPort::now_call, ScriptedPort::pause_call};

TEST_F(Lcm, DrainWaitsForTheWireWithinASecond) {
    constexpr int T = TIOCSER_TEMT;
    struct Case {
        const char *name;
        ScriptedPort port;
        int sent;
        int64_t max_us; // how long the drain may take on the scripted clock
    } cases[] = {
        {"queue empties", {{16, 8, 0}, {T}}, 1, 1000000},
        {"FIFO and shift register still busy", {{0}, {0, 0, T}}, 1, 1000000},
        {"a signal while asking the queue", {{-EINTR, 0}, {T}}, 1, 0},
        {"a signal while asking the UART", {{0}, {-EINTR, T}}, 1, 0},
        {"driver without line status (pty, USB)", {{4, 0}, {-ENOTTY}}, 1, 1000000},
        {"line stalled", {{16}, {0}}, 0, 1000000},
        {"transmitter never empties", {{0}, {0}}, 0, 1000000},
        {"port gone", {{-EIO}, {T}}, 0, 0},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPort::current = &c.port;
        lcm_test_set_port_ops(&ScriptedPort::kOps);
        EXPECT_EQ(lcm_test_drain(0), c.sent);
        lcm_test_set_port_ops(nullptr);
        EXPECT_LE(c.port.now, c.max_us);
        if (!c.sent && c.max_us > 0) {
            EXPECT_EQ(c.port.now, 1000000) << "gives up after 1 s";
        }
    }
}

TEST_F(Lcm, SendsFailOnlyWhenTheLineStalls) {
    open();
    struct Case {
        const char *name;
        ScriptedPort port;
        int result;
    } cases[] = {
        {"a signal during the drain", {{-EINTR, -EINTR, 0}, {-ENOTTY}}, ERR_Success},
        {"not drained within 1 s", {{3}, {-ENOTTY}}, ERR_Error},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPort::current = &c.port;
        lcm_test_set_port_ops(&ScriptedPort::kOps);
        EXPECT_EQ(_brdPVQ_LCM_DisplayClear(), c.result);
        lcm_test_set_port_ops(nullptr);
    }
}

// What a second opener of the port meets while the plug-in holds it: with the same advisory
// lock (a second host on these plug-ins), or without CAP_SYS_ADMIN (a getty, a terminal
// program run by a user).
int open_as_other_user(const std::string &path) {
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0) {
            // Root passes TIOCEXCL (CAP_SYS_ADMIN); a plain user does not.
            if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(65534, 65534, 65534) != 0)
                _exit(100);
        }
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Lcm, PortIsHeldExclusively) {
    const std::string port = emu.slave_path();
    ASSERT_EQ(chmod(port.c_str(), 0666), 0) << "a plain user may open the port when it is free";
    ASSERT_EQ(open_as_other_user(port), 0);

    open();
    EXPECT_EQ(open_as_other_user(port), EBUSY) << "TIOCEXCL";
    const int other = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);

    ASSERT_EQ(_brdPVQ_LCM_DeviceClose(), ERR_Success);
    EXPECT_EQ(open_as_other_user(port), 0) << "free again after close";

    // Another host holds the port: the open fails and the plug-in stays closed.
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    emu.clear_received();
    EXPECT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_OpenFail);
    EXPECT_EQ(fPortOpened, 0);
    EXPECT_EQ(fLcmDevice, -1);
    EXPECT_EQ(settled_bytes(), Bytes{}) << "nothing sent on a line another host holds";
    ::close(other);
    open();
}

// ---- Commands ------------------------------------------------------------------------------

TEST_F(Lcm, CommandFrames) {
    open();
    uint8_t msg3[] = {'a', 'b', 'c'};
    struct Case {
        const char *name;
        std::function<int()> call;
        Frames frames;
    } cases[] = {
        {"light on", [] { return _brdPVQ_LCM_LightCtrl(1); }, {{0xFE, 0x42, 0xFD}}},
        {"light off", [] { return _brdPVQ_LCM_LightCtrl(0); }, {{0xFE, 0x46, 0xFD}}},
        {"cursor 20,2",
         [] { return _brdPVQ_LCM_SetCursor(20, 2); },
         {{0xFE, 0x47, 0x13, 0x01, 0xFD}}},
        {"cursor 1,1",
         [] { return _brdPVQ_LCM_SetCursor(1, 1); },
         {{0xFE, 0x47, 0x00, 0x00, 0xFD}}},
        {"clear", [] { return _brdPVQ_LCM_DisplayClear(); }, {kClear}},
        {"brightness 8", [] { return _brdPVQ_LCM_Brightness(8); }, {{0xFE, 0x41, 0x08, 0xFD}}},
        {"brightness 1", [] { return _brdPVQ_LCM_Brightness(1); }, {{0xFE, 0x41, 0x01, 0xFD}}},
        {"reset", [] { return _brdPVQ_LCM_Reset(); }, {{0xFE, 0x56, 0xFD}}},
        {"wrap on", [] { return _brdPVQ_LCM_WrapCtrl(1); }, {{0xFE, 0x43, 0xFD}}},
        {"wrap off", [] { return _brdPVQ_LCM_WrapCtrl(0); }, {{0xFE, 0x44, 0xFD}}},
        {"cursor off",
         [] { return _brdPVQ_LCM_CursorModeCtrl(0); },
         {{0xFE, 0x4B, 0xFD}, {0xFE, 0x5A, 0xFD}}},
        {"cursor style 1",
         [] { return _brdPVQ_LCM_CursorModeCtrl(1); },
         {{0xFE, 0x4A, 0, 0, 0xFD}}},
        {"cursor style 2",
         [] { return _brdPVQ_LCM_CursorModeCtrl(2); },
         {{0xFE, 0x59, 0, 0, 0xFD}}},
        {"speed 57600", [] { return _brdPVQ_LCM_SetSpeed(57600); }, {{0xFE, 0x39, 0x01, 0xFD}}},
        {"start-up message of 3",
         [&] { return _brdPVQ_LCM_StartupMsg(msg3, 3); },
         {{0xFE, 0x40, 0, 'a', 'b', 'c', ' ', ' ', ' ', ' ', ' ', 0xFD},
          {0xFE, 0x40, 1, ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0xFD},
          {0xFE, 0x40, 2, ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0xFD},
          {0xFE, 0x40, 3, ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0xFD},
          {0xFE, 0x40, 4, ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0xFD}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        emu.clear_received();
        EXPECT_EQ(c.call(), ERR_Success);
        EXPECT_EQ(frames(c.frames.size()), c.frames);
    }
    emu.clear_received();
    emu.set_baud(57600); // the speed frame told it so
}

TEST_F(Lcm, TheModuleFollowsTheCommands) {
    open();
    ASSERT_EQ(_brdPVQ_LCM_SetCursor(5, 2), ERR_Success);
    ASSERT_EQ(_brdPVQ_LCM_WriteString((unsigned char *)"hi"), ERR_Success);
    ASSERT_EQ(_brdPVQ_LCM_LightCtrl(0), ERR_Success);
    ASSERT_EQ(_brdPVQ_LCM_Brightness(3), ERR_Success);
    ASSERT_EQ(_brdPVQ_LCM_CursorModeCtrl(2), ERR_Success);
    ASSERT_EQ(_brdPVQ_LCM_Reset(), ERR_Success);
    frames(5);
    EXPECT_EQ(emu.screen()[1], "    hi              ");
    EXPECT_EQ(emu.cursor_column(), 6);
    EXPECT_EQ(emu.cursor_row(), 1);
    EXPECT_FALSE(emu.light());
    EXPECT_EQ(emu.brightness(), 3);
    EXPECT_EQ(emu.cursor_mode(), 2);
    EXPECT_EQ(emu.resets(), 1u);

    // With wrap on, text runs on into the next row; with wrap off it stops at column 20.
    struct Case {
        unsigned char wrap;
        std::array<std::string, 2> screen;
    } cases[] = {{1, {"ABCDEFGHIJKLMNOPQRST", "UVWXY               "}},
                 {0, {"ABCDEFGHIJKLMNOPQRST", "                    "}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.wrap));
        emu.clear_received();
        ASSERT_EQ(_brdPVQ_LCM_DisplayClear(), ERR_Success);
        ASSERT_EQ(_brdPVQ_LCM_WrapCtrl(c.wrap), ERR_Success);
        ASSERT_EQ(_brdPVQ_LCM_WriteString((unsigned char *)"ABCDEFGHIJKLMNOPQRSTUVWXY"),
                  ERR_Success);
        ASSERT_TRUE(emu.fence());
        EXPECT_EQ(emu.screen(), c.screen);
        EXPECT_EQ(emu.wrap(), c.wrap == 1);
    }
}

TEST_F(Lcm, RefusedArgumentsSendNothing) {
    open();
    struct Case {
        const char *name;
        std::function<int()> call;
        int result;
    } cases[] = {
        {"light 2", [] { return _brdPVQ_LCM_LightCtrl(2); }, ERR_InvalidParam},
        {"wrap 2", [] { return _brdPVQ_LCM_WrapCtrl(2); }, ERR_InvalidParam},
        {"cursor mode 3", [] { return _brdPVQ_LCM_CursorModeCtrl(3); }, ERR_InvalidParam},
        {"column 0", [] { return _brdPVQ_LCM_SetCursor(0, 1); }, ERR_InvalidParam},
        {"column 21", [] { return _brdPVQ_LCM_SetCursor(21, 1); }, ERR_InvalidParam},
        {"row 0", [] { return _brdPVQ_LCM_SetCursor(1, 0); }, ERR_InvalidParam},
        {"row 3", [] { return _brdPVQ_LCM_SetCursor(1, 3); }, ERR_InvalidParam},
        {"brightness 0", [] { return _brdPVQ_LCM_Brightness(0); }, ERR_InvalidParam},
        {"brightness 9", [] { return _brdPVQ_LCM_Brightness(9); }, ERR_InvalidParam},
        {"speed 14400", [] { return _brdPVQ_LCM_SetSpeed(14400); }, ERR_InvalidParam},
        {"empty text", [] { return _brdPVQ_LCM_WriteString((unsigned char *)""); }, ERR_Error},
        {"null text", [] { return _brdPVQ_LCM_WriteString(nullptr); }, ERR_InvalidParam},
        {"null message", [] { return _brdPVQ_LCM_StartupMsg(nullptr, 5); }, ERR_InvalidParam},
        {"null info", [] { return _brdPVQ_LCM_DeviceInfo(nullptr); }, ERR_InvalidParam},
        {"null keys", [] { return _brdPVQ_LCM_KeysStatus(nullptr); }, ERR_InvalidParam},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.result);
    }
    EXPECT_EQ(settled_bytes(), Bytes{});
}

TEST_F(Lcm, ClosedPortComesBeforeArgumentChecks) {
    LCM_INFO info{};
    unsigned char keys = 0x55;
    const std::function<int()> calls[] = {
        [] { return _brdPVQ_LCM_LightCtrl(2); },
        [] { return _brdPVQ_LCM_SetCursor(0, 9); },
        [] { return _brdPVQ_LCM_WriteString((unsigned char *)"x"); },
        [] { return _brdPVQ_LCM_WriteString(nullptr); },
        [] { return _brdPVQ_LCM_DisplayClear(); },
        [] { return _brdPVQ_LCM_Brightness(0); },
        [] { return _brdPVQ_LCM_Reset(); },
        [] { return _brdPVQ_LCM_SetSpeed(1); },
        [] { return _brdPVQ_LCM_WrapCtrl(7); },
        [] { return _brdPVQ_LCM_CursorModeCtrl(9); },
        [] { return _brdPVQ_LCM_StartupMsg(nullptr, 9); },
        [&] { return _brdPVQ_LCM_DeviceInfo(&info); },
        [&] { return _brdPVQ_LCM_KeysStatus(&keys); },
    };
    for (const auto &call : calls) EXPECT_EQ(call(), ERR_NotOpened);
    EXPECT_EQ(keys, 0x55);
    EXPECT_EQ(settled_bytes(), Bytes{});
    // Every lock was released: an open and a command still go through.
    open();
    EXPECT_EQ(_brdPVQ_LCM_DisplayClear(), ERR_Success);
}

TEST_F(Lcm, TextGoesOutAsItIs) {
    open();
    EXPECT_EQ(_brdPVQ_LCM_WriteString((unsigned char *)"AB"), ERR_Success);
    EXPECT_EQ(settled_bytes(), (Bytes{0x41, 0x42}));
    EXPECT_EQ(emu.screen()[0].substr(0, 2), "AB");
}

TEST_F(Lcm, StartupMessageIsFortyCharacters) {
    open();
    std::string long_text(45, 'x');
    for (size_t i = 0; i < long_text.size(); ++i) long_text[i] = static_cast<char>('A' + i % 26);
    EXPECT_EQ(_brdPVQ_LCM_StartupMsg((unsigned char *)long_text.data(), 45), ERR_Success);
    frames(5);
    EXPECT_EQ(emu.startup_message(), long_text.substr(0, 40));
    emu.clear_received();
    EXPECT_EQ(_brdPVQ_LCM_StartupMsg(nullptr, 0), ERR_Success);
    const Frames f = frames(5);
    ASSERT_EQ(f.size(), 5u);
    for (uint8_t i = 0; i < 5; ++i)
        EXPECT_EQ(f[i], (Bytes{0xFE, 0x40, i, ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0xFD}));
    unsigned char with_zero[] = {'h', 0, 'i'};
    EXPECT_EQ(_brdPVQ_LCM_StartupMsg(with_zero, 3), ERR_Success);
    frames(10);
    EXPECT_EQ(emu.startup_message().substr(0, 4), std::string("h\0i ", 4)) << "zero bytes are text";
}

TEST_F(Lcm, DeviceInfo) {
    struct Case {
        uint16_t model, version;
    } cases[] = {{0x1234, 0x0105}, {0x0D0D, 0x0A0D}, {0xFFFE, 0x0011}};
    open();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.model);
        emu.set_identity(c.model, c.version);
        emu.clear_received();
        LCM_INFO info{};
        ASSERT_EQ(_brdPVQ_LCM_DeviceInfo(&info), ERR_Success);
        EXPECT_EQ(info.uwModeNo, c.model) << "answer bytes arrive untranslated";
        EXPECT_EQ(info.uwVersion, c.version);
        EXPECT_EQ(info.udwBaudrate, 115200u);
        EXPECT_EQ(frames(2), (Frames{{0xFE, 0x30, 0xFD}, {0xFE, 0x31, 0xFD}}));
    }
}

TEST_F(Lcm, DeviceInfoIgnoresStaleBytes) {
    open();
    emu.send_raw({0x99, 0x98, 0x97});
    ASSERT_TRUE(queued(3));
    LCM_INFO info{};
    ASSERT_EQ(_brdPVQ_LCM_DeviceInfo(&info), ERR_Success);
    EXPECT_EQ(info.uwModeNo, 0x1234);
    EXPECT_EQ(info.uwVersion, 0x0105);
}

TEST_F(Lcm, LateAndGarbledAnswers) {
    open();
    struct Case {
        const char *name;
        LcmEmulator::Mode mode;
        bool late; // the answer comes only after the plug-in gave up
        int result;
        uint16_t model;
        uint16_t left_over; // bytes that reach the ring after the call
    } cases[] = {
        {"answer in time", LcmEmulator::Mode::Normal, false, ERR_Success, 0x1234, 0},
        {"answer too late", LcmEmulator::Mode::Normal, true, ERR_Error, 0xEEEE, 2},
        {"three bytes of garbage", LcmEmulator::Mode::Garbage, false, ERR_Success, 0xAA55, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        lcm_test_set_silence_ms(c.late ? kShippedMs : kPatientMs);
        emu.set_mode(c.mode);
        emu.hold_answers(c.late);
        LCM_INFO info{0xEEEE, 0, 0};
        EXPECT_EQ(_brdPVQ_LCM_DeviceInfo(&info), c.result);
        EXPECT_EQ(info.uwModeNo, c.model);
        emu.hold_answers(false);
        emu.release_answers();
        // Whatever came late or extra is not taken as the next answer.
        ASSERT_TRUE(queued(c.left_over));
        emu.set_mode(LcmEmulator::Mode::Normal);
        lcm_test_set_silence_ms(kPatientMs);
        ASSERT_EQ(_brdPVQ_LCM_DeviceInfo(&info), ERR_Success);
        EXPECT_EQ(info.uwModeNo, 0x1234);
        EXPECT_EQ(info.uwVersion, 0x0105);
    }
}

TEST_F(Lcm, DeviceInfoFailuresLeaveThePartlyFilledRecord) {
    open();
    lcm_test_set_silence_ms(kProbeMs);
    emu.set_mode(LcmEmulator::Mode::OneByte);
    LCM_INFO info{0x1111, 0x2222, 0x33333333};
    EXPECT_EQ(_brdPVQ_LCM_DeviceInfo(&info), ERR_Error);
    EXPECT_EQ(info.uwModeNo, 0x1111);
    EXPECT_EQ(waiting(), 0) << "the one byte was taken from the ring";
    EXPECT_EQ(frames(1).size(), 1u) << "no version query after a failed model query";

    // A module that stops answering after the model query.
    emu.set_mode(LcmEmulator::Mode::Normal);
    emu.set_answer_limit(1);
    EXPECT_EQ(_brdPVQ_LCM_DeviceInfo(&info), ERR_Error);
    EXPECT_EQ(info.uwModeNo, 0x1234) << "the model number is stored once it is in";
    EXPECT_EQ(info.uwVersion, 0x2222);
    EXPECT_EQ(info.udwBaudrate, 0x33333333u);
    emu.set_answer_limit(-1);
    EXPECT_EQ(_brdPVQ_LCM_DeviceInfo(&info), ERR_Success) << "nothing stays blocked";
}

// ---- Keypad --------------------------------------------------------------------------------

TEST_F(Lcm, KeyDecoding) {
    open();
    lcm_test_set_silence_ms(kProbeMs); // no key byte means waiting out the silence
    struct Case {
        char key;
        uint16_t model; // answer to the test frame when no key byte comes
        unsigned char keys;
        Frames frames;
    } cases[] = {
        {'B', 0, 0x02, {{0xFE, 0x33, 0xFD}}},
        {'D', 0, 0x08, {{0xFE, 0x33, 0xFD}}},
        {'A', 0, 0x01, {{0xFE, 0x33, 0xFD}}},
        {'E', 0, 0x00, {{0xFE, 0x33, 0xFD}}},
        {0, 0x0001, 0x00, {{0xFE, 0x33, 0xFD}, {0xFE, 0x30, 0xFD}}},
        {0, 0x4300, 0x04, {{0xFE, 0x33, 0xFD}, {0xFE, 0x30, 0xFD}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "key " << int(c.key) << " model " << c.model);
        emu.press_key(c.key);
        emu.set_identity(c.model, 0);
        emu.clear_received();
        unsigned char keys = 0xEE;
        EXPECT_EQ(_brdPVQ_LCM_KeysStatus(&keys), ERR_Success);
        EXPECT_EQ(keys, c.keys);
        EXPECT_EQ(frames(c.frames.size()), c.frames);
    }
    emu.press_key(0);
    emu.set_mode(LcmEmulator::Mode::Silent);
    unsigned char keys = 0x77;
    EXPECT_EQ(_brdPVQ_LCM_KeysStatus(&keys), ERR_Error);
    EXPECT_EQ(keys, 0x77);
}

TEST_F(Lcm, KeysStatusTakesALeftoverByteAsTheKey) {
    open();
    emu.send_raw({'C'});
    ASSERT_TRUE(queued(1));
    unsigned char keys = 0;
    EXPECT_EQ(_brdPVQ_LCM_KeysStatus(&keys), ERR_Success);
    EXPECT_EQ(keys, 0x04);
}

TEST(LcmKeys, CallbackIsRefused) {
    static int called = 0;
    const LCMKEY_CALLBACK cb = [](LCMKEY_MSG) { ++called; };
    for (unsigned short ms : {0, 100, 65535}) {
        EXPECT_EQ(_brdPVQ_LCM_KeysCallback(nullptr, ms), ERR_NotSupport);
        EXPECT_EQ(_brdPVQ_LCM_KeysCallback(cb, ms), ERR_NotSupport);
    }
    EXPECT_EQ(called, 0);
}

// ---- Receive ring --------------------------------------------------------------------------

TEST_F(Lcm, TimedReadTakesWhatItNeeds) {
    open();
    unsigned char buf[8] = {};
    EXPECT_EQ(_ReadBufferLength(buf, 0), 0);
    EXPECT_EQ(_ReadBufferLength(buf, -1), 0);

    emu.send_raw({1, 2, 3, 4, 5});
    ASSERT_TRUE(queued(5));
    EXPECT_EQ(_ReadBufferLength(buf, 2), 1);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[1], 2);
    EXPECT_EQ(waiting(), 3) << "the rest stays for the next read";
    EXPECT_EQ(_ReadBufferLength(buf, 3), 1);
    EXPECT_EQ(buf[2], 5);

    emu.send_raw({9});
    ASSERT_TRUE(queued(1));
    std::memset(buf, 0, sizeof buf);
    lcm_test_set_silence_ms(kShippedMs);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(_ReadBufferLength(buf, 2), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(kShippedMs))
        << "the second byte is waited for";
    EXPECT_EQ(buf[0], 9) << "the byte that came is in the buffer and gone from the ring";
    EXPECT_EQ(waiting(), 0);
}

TEST_F(Lcm, RingWrapsAtTheLastSlot) {
    open();
    // Bring the writer to slot 1020, wherever the probe left it.
    Bytes fill(static_cast<size_t>(1020 - ring([] { return pWritePtr - SASRxBuffer; })));
    for (size_t i = 0; i < fill.size(); ++i) fill[i] = static_cast<uint8_t>(i);
    emu.send_raw(fill);
    Bytes got(fill.size());
    ASSERT_EQ(_ReadBufferLength(got.data(), static_cast<int>(got.size())), 1);
    EXPECT_EQ(got, fill);
    ASSERT_EQ(ring([] { return pWritePtr; }), SASRxBuffer + 1020);
    emu.send_raw({0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6});
    unsigned char b[6];
    ASSERT_EQ(_ReadBufferLength(b, 6), 1);
    EXPECT_EQ(ring([] { return SASRxBuffer[1023]; }), 0xA4) << "slot 1023 then slot 0";
    EXPECT_EQ(ring([] { return SASRxBuffer[0]; }), 0xA5);
    EXPECT_EQ(ring([] { return pWritePtr; }), SASRxBuffer + 2);
    EXPECT_EQ(Bytes(b, b + 6), (Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}));
    EXPECT_TRUE(ring([] { return pReadPtr == pWritePtr; })) << "the reader follows the same way";
}

TEST_F(Lcm, FullRingDropsTheOldestAndAFullChunkIsKept) {
    open();
    // The last byte of the burst, 0xFF, comes nowhere else in it: once it is the newest in
    // the ring, the whole burst has passed.
    Bytes burst(1500);
    for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<uint8_t>(i % 251);
    burst.back() = 0xFF;
    emu.send_raw(burst);
    ASSERT_TRUE(eventually([] {
        return ring([] {
                   return (pWritePtr == SASRxBuffer ? pSASRxBufferEnd : pWritePtr - 1)[0];
               }) == 0xFF;
    }));
    EXPECT_EQ(waiting(), 1024);
    EXPECT_TRUE(ring([] { return pReadPtr >= pSASRxBufferStart && pReadPtr <= pSASRxBufferEnd; }));
    Bytes got(1024);
    ASSERT_EQ(_ReadBufferLength(got.data(), 1024), 1);
    EXPECT_EQ(got, Bytes(burst.end() - 1024, burst.end())) << "the newest 1024 bytes, in order";

    Bytes chunk(512, 0x5A);
    emu.send_raw(chunk);
    Bytes back(512);
    EXPECT_EQ(_ReadBufferLength(back.data(), 512), 1) << "a read of exactly 512 bytes is queued";
    EXPECT_EQ(back, chunk);
}

TEST_F(Lcm, FloodArrivesInOrderWithNothingLost) {
    open();
    constexpr size_t kTotal = 100 * 1000;
    std::atomic<size_t> got{0};
    // The module sends as fast as the reader takes: never more than the ring holds ahead.
    emu.flood(kTotal, 128, 0, LCM_RX_BUFFER_SIZE, [&] { return got.load(); });
    Bytes b(64);
    bool in_order = true;
    while (got < kTotal) {
        const int want = static_cast<int>(std::min<size_t>(b.size(), kTotal - got));
        if (!_ReadBufferLength(b.data(), want)) break;
        for (int i = 0; i < want; ++i)
            in_order =
                in_order && b[static_cast<size_t>(i)] == (got + static_cast<size_t>(i)) % 251;
        got += static_cast<size_t>(want);
    }
    emu.join_flood(); // it reads `got`
    EXPECT_EQ(got, kTotal);
    EXPECT_TRUE(in_order);
}

// ---- Threads and resources -----------------------------------------------------------------

TEST_F(Lcm, ConcurrentCommandsNeverInterleaveOnTheWire) {
    open();
    constexpr int kThreads = 4, kRounds = 25;
    emu.press_key('A'); // a key answers at once, with no silence to wait out
    std::atomic<int> failures{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t) {
        hosts.emplace_back([t, &failures] {
            for (int i = 0; i < kRounds; ++i) {
                LCM_INFO info{};
                unsigned char keys = 0;
                int r = ERR_Success;
                switch ((t + i) % 4) {
                case 0:
                    r = _brdPVQ_LCM_SetCursor(static_cast<unsigned char>(1 + i % 20), 1);
                    break;
                case 1:
                    r = _brdPVQ_LCM_DeviceInfo(&info);
                    if (r == ERR_Success && info.uwModeNo != 0x1234) ++failures;
                    break;
                case 2:
                    r = _brdPVQ_LCM_Brightness(static_cast<unsigned char>(1 + i % 8));
                    break;
                default:
                    r = _brdPVQ_LCM_KeysStatus(&keys);
                    break;
                }
                if (r != ERR_Success) ++failures;
            }
        });
    }
    for (auto &h : hosts) h.join();
    EXPECT_EQ(failures, 0);
    ASSERT_TRUE(emu.fence());
    EXPECT_EQ(emu.malformed(), 0u);
    for (const Bytes &f : emu.frames()) {
        EXPECT_EQ(f.front(), 0xFE);
        EXPECT_EQ(f.back(), 0xFD);
    }
}

TEST_F(Lcm, OpenCloseCyclesLeaveNoDescriptorOrThread) {
    const int fds = count_entries("/proc/self/fd");
    const int threads = count_entries("/proc/self/task");
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_Success) << "cycle " << i;
        ASSERT_EQ(_brdPVQ_LCM_DeviceClose(), ERR_Success);
    }
    EXPECT_EQ(count_entries("/proc/self/fd"), fds);
    // A joined thread may still be listed for a moment while the kernel (or qemu-user, which
    // wakes the joiner before its host thread ends) finishes its exit.
    EXPECT_TRUE(eventually([&] { return count_entries("/proc/self/task") == threads; }))
        << count_entries("/proc/self/task") << " threads, " << threads << " before";
}

TEST_F(Lcm, ReceiveThreadSleepsWhileIdleAndAfterAHangUp) {
    open();
    const pthread_t rx = SASInQueueID;
    double before = thread_cpu_ms(rx);
    // An interval to watch the thread's cost over, not a wait for anything.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(thread_cpu_ms(rx) - before, 30.0) << "an idle link costs no CPU";
}

TEST(LcmHangUp, ThreadBacksOffWhenTheOtherEndGoesAway) {
    auto emu = std::make_unique<LcmEmulator>();
    lcm_test_set_port(emu->slave_path().c_str());
    ASSERT_EQ(_brdPVQ_LCM_DeviceOpen(), ERR_Success);
    emu.reset(); // master and the emulator's own slave closed: the port hangs up
    const pthread_t rx = SASInQueueID;
    const double before = thread_cpu_ms(rx);
    // An interval to watch the thread's cost over, not a wait for anything.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(thread_cpu_ms(rx) - before, 100.0) << "no spinning on a hung-up port";
    unsigned char keys = 0;
    EXPECT_EQ(_brdPVQ_LCM_KeysStatus(&keys), ERR_Error);
    EXPECT_EQ(_brdPVQ_LCM_DeviceClose(), ERR_Success) << "and it still stops";
}
