// The LCD module's serial link, command set and keypad. Taken in by lcmlib.cpp; not built on
// its own.
//
// Link: raw 8 data bits, no parity, 1 stop bit, no flow control, at whichever of the probe rates
// the module answers. Bytes the UART received with a framing or parity error (noise, or a
// module talking at another rate) are dropped by the tty layer. One receive thread moves every
// incoming byte into a 1024-byte ring; a command takes port_mut for its whole exchange, sends
// its frame, waits (bounded) until the UART has shifted it out and, for a query, reads the
// answer from the ring, giving up after 50 ms of silence between bytes.
//
// The port is held exclusively while open (TIOCEXCL against other openers, an advisory flock
// against a second host on these plug-ins): two writers would garble each other's frames.
//
// Frames: 0xFE, a command character, its argument bytes, 0xFD. Answers are bare bytes, high
// byte first.
#include "lcmlib.h"
#include "pvqinc.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

extern "C" {

PVQ_API uint32_t dwBaudrate = 0;
PVQ_API struct termios old_tios;
PVQ_API unsigned char SASRxBuffer[LCM_RX_BUFFER_SIZE];
PVQ_API unsigned char *pSASRxBufferStart = SASRxBuffer;
PVQ_API unsigned char *pSASRxBufferEnd = SASRxBuffer + LCM_RX_BUFFER_SIZE - 1;
PVQ_API unsigned char *pWritePtr = SASRxBuffer;
PVQ_API unsigned char *pReadPtr = SASRxBuffer;
PVQ_API uint16_t wRxCounter = 0;
PVQ_API pthread_t SASInQueueID;
PVQ_API pthread_mutex_t port_mut = PTHREAD_MUTEX_INITIALIZER;
PVQ_API pthread_mutex_t buf_mut = PTHREAD_MUTEX_INITIALIZER;

} // extern "C"

namespace {

#ifdef LCM_TEST_SEAM
char g_port[256] = "/dev/ttyS1";
#else
constexpr const char *g_port = "/dev/ttyS1";
#endif

#ifdef LCM_TEST_SEAM
int g_silence_ms = 50;
#else
constexpr int g_silence_ms = 50; // a read gives up after this much silence
#endif
constexpr int kSendStallMs = 1000;   // a send or drain gives up when the port stalls this long
constexpr int kHangupBackoffMs = 10; // pause of the receive thread on a hung-up port
constexpr int kBitsPerChar = 10;     // start bit, 8 data bits, stop bit
// A 16550A raises its receive interrupt at 8 bytes; fewer are delivered only on its receive
// time-out, after about four character times without a new byte.
constexpr int kRxTimeoutChars = 4;

int kernel_outq(int fd, int *pending) {
    return ioctl(fd, TIOCOUTQ, pending);
}
int kernel_lsr(int fd, unsigned *lsr) {
    unsigned v = 0;
    const int r = ioctl(fd, TIOCSERGETLSR, &v);
    *lsr = v;
    return r;
}
int64_t kernel_now_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}
void kernel_pause_us(int64_t us) {
    const timespec t{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    nanosleep(&t, nullptr); // a signal only shortens the pause; the caller looks again
}
constexpr lcm_port_ops kKernelOps = {kernel_outq, kernel_lsr, kernel_now_us, kernel_pause_us};
const lcm_port_ops *g_ops = &kKernelOps;

// The rate the port is set to now, for pacing the drain; 0 before the first setting.
uint32_t g_port_bps = 0;
// Whether old_tios holds the settings found at open (a port that is no terminal has none).
bool g_saved_settings = false;

// Wakes the receive thread to stop; -1 when there is no thread.
int g_wake_fd = -1;
bool g_thread_started = false;
// Signalled by the receive thread when bytes arrive; waited on with buf_mut. Its clock is
// CLOCK_MONOTONIC, so that a deadline does not move when the wall clock is set (NTP, an
// operator); pthread_cond_clockwait would say so per call, but exists only since glibc 2.30.
struct MonotonicCond {
    pthread_cond_t cond;
    MonotonicCond() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&cond, &attr);
        pthread_condattr_destroy(&attr);
    }
};
MonotonicCond g_rx;

struct Rate {
    speed_t code;
    uint32_t bps;
};
// Fastest first; 4800 and 2400 last, so that a module switched to them is found again.
constexpr Rate kProbeRates[] = {{B115200, 115200}, {B57600, 57600}, {B38400, 38400},
                                {B19200, 19200},   {B9600, 9600},   {B4800, 4800},
                                {B2400, 2400}};

constexpr uint8_t kPrefix = 0xFE, kEnd = 0xFD;
constexpr uint8_t kModelQuery = 0x30, kVersionQuery = 0x31, kKeyQuery = 0x33;

uint16_t rx_count() {
    return std::atomic_ref<uint16_t>(wRxCounter).load();
}
void set_rx_count(uint16_t n) {
    std::atomic_ref<uint16_t>(wRxCounter).store(n);
}

unsigned char *next_slot(unsigned char *p) {
    return p == pSASRxBufferEnd ? pSASRxBufferStart : p + 1;
}

// Drops whatever was received so far, in the kernel's input queue and in the ring: bytes of
// an earlier exchange, or noise picked up at another rate, are not an answer. The receive
// thread reads and queues under buf_mut too, so no chunk it read before the flush can reach
// the ring after it.
void discard_input() {
    pthread_mutex_lock(&buf_mut);
    tcflush(fLcmDevice, TCIFLUSH);
    pReadPtr = pWritePtr;
    set_rx_count(0);
    pthread_mutex_unlock(&buf_mut);
}

// Called with buf_mut held.
void queue_byte(unsigned char b) {
    if (rx_count() == LCM_RX_BUFFER_SIZE) {
        // Full: the oldest byte makes room.
        pReadPtr = next_slot(pReadPtr);
        set_rx_count(static_cast<uint16_t>(rx_count() - 1));
    }
    *pWritePtr = b;
    pWritePtr = next_slot(pWritePtr);
    set_rx_count(static_cast<uint16_t>(rx_count() + 1));
}

// Reads what the port has (it never blocks) and queues it, under buf_mut, waking a waiting
// reader once per chunk rather than once per byte. The count read, or -1 with errno.
ssize_t receive_chunk(unsigned char (&chunk)[512]) {
    pthread_mutex_lock(&buf_mut);
    const ssize_t n = read(fLcmDevice, chunk, sizeof chunk);
    const int read_errno = errno;
    for (ssize_t i = 0; i < n; ++i) queue_byte(chunk[i]);
    if (n > 0) pthread_cond_broadcast(&g_rx.cond);
    pthread_mutex_unlock(&buf_mut);
    errno = read_errno;
    return n;
}

// Waits on the wake-up descriptor alone; true when the thread is told to stop.
bool stop_requested(int timeout_ms) {
    pollfd p{g_wake_fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0;
}

// In 64 bits: a 32-bit long overflows past about 1.1 s of nanoseconds, and a deadline with a
// negative tv_nsec makes every wait fail at once.
timespec deadline_after(int ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    const int64_t ns = int64_t{t.tv_nsec} + int64_t{ms} * 1000000;
    t.tv_sec += static_cast<time_t>(ns / 1000000000);
    t.tv_nsec = static_cast<long>(ns % 1000000000);
    return t;
}

// Waits with buf_mut held until the ring holds `n` bytes or `deadline` passes; true when they
// are there. Any failure of the wait ends it: it never spins.
bool wait_for_bytes(int n, const timespec &deadline) {
    while (rx_count() < n) {
        if (pthread_cond_timedwait(&g_rx.cond, &buf_mut, &deadline) != 0) return rx_count() >= n;
    }
    return true;
}

void write_straight(const uint8_t *frame, size_t n) {
    // The probe writes without checking; an unanswered probe is its own failure report.
    [[maybe_unused]] const ssize_t ignored = write(fLcmDevice, frame, n);
}

// Waits until the port has put every byte on the wire: the kernel's output queue empty and,
// where the driver tells (8250: TIOCSERGETLSR), the UART's FIFO and shift register too.
// tcdrain would wait without bound and fail when a signal arrives; this gives up after
// kSendStallMs and takes a signal in its stride.
bool drain_output(int fd) {
    const int64_t deadline = g_ops->now_us() + int64_t{kSendStallMs} * 1000;
    bool lsr_reported = true;
    for (;;) {
        int pending = 0;
        if (g_ops->outq(fd, &pending) != 0) {
            if (errno == EINTR) continue;
            return false; // not a terminal, or gone
        }
        bool sent = pending == 0;
        if (sent && lsr_reported) {
            unsigned lsr = 0;
            if (g_ops->lsr(fd, &lsr) == 0) {
                sent = (lsr & TIOCSER_TEMT) != 0;
            } else if (errno == EINTR) {
                continue;
            } else {
                lsr_reported = false; // a pty or a USB adapter: the queue is all we can see
            }
        }
        if (sent) return true;
        const int64_t now = g_ops->now_us();
        if (now >= deadline) return false;
        // About the time the waiting bytes take on the wire, within 0.1 to 10 ms.
        const int64_t bps = g_port_bps > 0 ? g_port_bps : 9600;
        int64_t pause = (pending > 0 ? pending : 1) * kBitsPerChar * 1000000 / bps;
        pause = pause < 100 ? 100 : pause > 10000 ? 10000 : pause;
        g_ops->pause_us(pause < deadline - now ? pause : deadline - now);
    }
}

// How long the probe waits for an answer once its frame has left the port: the two answer
// bytes on the wire, the UART's receive time-out that delivers them, and the module's own
// answer time. About 51 ms at 115200 baud and 75 ms at 2400.
int probe_window_ms(uint32_t bps) {
    const uint32_t wire_ms = ((2 + kRxTimeoutChars) * kBitsPerChar * 1000 + bps - 1) / bps;
    return static_cast<int>(wire_ms) + g_silence_ms;
}

// Waits until `n` bytes are in the ring, until `deadline`; takes them and returns true, or
// returns false leaving the ring as it is.
bool take_before(uint8_t *answer, int n, const timespec &deadline) {
    pthread_mutex_lock(&buf_mut);
    const bool got = wait_for_bytes(n, deadline);
    for (int i = 0; got && i < n; ++i) {
        answer[i] = *pReadPtr;
        pReadPtr = next_slot(pReadPtr);
        set_rx_count(static_cast<uint16_t>(rx_count() - 1));
    }
    pthread_mutex_unlock(&buf_mut);
    return got;
}

class PortLock {
  public:
    PortLock() { pthread_mutex_lock(&port_mut); }
    ~PortLock() { pthread_mutex_unlock(&port_mut); }
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;
};

int send(const uint8_t *frame, int length) {
    return _SendBufferLength(const_cast<uint8_t *>(frame), length) ? ERR_Success : ERR_Error;
}

template <size_t N> int send(const uint8_t (&frame)[N]) {
    return send(frame, static_cast<int>(N));
}

// A query: earlier input is dropped first, then the frame goes out and `n` answer bytes come
// back.
int query(uint8_t command, uint8_t *answer, int n) {
    const uint8_t frame[] = {kPrefix, command, kEnd};
    discard_input();
    if (send(frame) != ERR_Success) return ERR_Error;
    return _ReadBufferLength(answer, n) ? ERR_Success : ERR_Error;
}

// One-frame commands without arguments to check beyond the open test.
int simple_command(uint8_t command) {
    const uint8_t frame[] = {kPrefix, command, kEnd};
    PortLock lock;
    if (!fPortOpened) return ERR_NotOpened;
    return send(frame);
}

int on_off_command(unsigned char ubOnOff, uint8_t on, uint8_t off) {
    const uint8_t frame[] = {kPrefix, ubOnOff == 1 ? on : off, kEnd};
    PortLock lock;
    if (!fPortOpened) return ERR_NotOpened;
    if (ubOnOff > 1) return ERR_InvalidParam;
    return send(frame);
}

} // namespace

extern "C" {

PVQ_API int set_interface_attribs(int fd, int speed, int parity) {
    struct termios tty;
    std::memset(&tty, 0, sizeof tty);
    if (tcgetattr(fd, &tty) != 0) return -1;
    // Raw from the ground up, whatever the port was left with: no break handling (BRKINT would
    // flush both queues, and a break arrives as one NUL), no PARMRK (it would double every
    // 0xFF of an answer), no CR/LF translation or bit stripping (a model number byte 0x0D
    // would arrive as 0x0A), no echo, no output processing.
    cfmakeraw(&tty);
    tty.c_lflag = 0;
    tty.c_oflag = 0;
    cfsetospeed(&tty, static_cast<speed_t>(speed));
    cfsetispeed(&tty, static_cast<speed_t>(speed));
    tty.c_cc[VMIN] = 0; // cfmakeraw sets 1; a read returns at once with what is there
    tty.c_cc[VTIME] = 0;
    tty.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // Bytes the UART took with a framing or parity error are dropped, not delivered: at a
    // wrong rate they are noise that the probe must not take for an answer.
    tty.c_iflag |= IGNPAR | INPCK;
    tty.c_cflag |= CS8 | CLOCAL | CREAD;
    tty.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
    tty.c_cflag |= static_cast<tcflag_t>(parity);
    tty.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    tty.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    // HUPCL stays as the port had it.
    if (tcsetattr(fd, TCSANOW, &tty) != 0) return -1;
    return 0;
}

PVQ_API void *_IncomeInQueueThread(void *object) {
    (void)object;
    unsigned char chunk[512];
    for (;;) {
        pollfd fds[2] = {{fLcmDevice, POLLIN, 0}, {g_wake_fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno != EINTR && stop_requested(kHangupBackoffMs)) break;
            continue;
        }
        if (fds[1].revents != 0) break;
        bool stalled = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = receive_chunk(chunk);
            if (n > 0) {
                stalled = false;
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                stalled = true;
            }
        }
        // A port whose other end hung up stays readable with nothing to read: wait instead
        // of spinning, and stay ready to stop.
        if (stalled && stop_requested(kHangupBackoffMs)) break;
    }
    return nullptr;
}

PVQ_API int _SendBufferLength(unsigned char *buffer, int length) {
    if (!fPortOpened || length <= 0) return 0;
    int sent = 0;
    while (sent < length) {
        const ssize_t n = write(fLcmDevice, buffer + sent, static_cast<size_t>(length - sent));
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return 0;
        // The port's buffer is full: wait for room, but not for ever.
        pollfd p{fLcmDevice, POLLOUT, 0};
        const int r = poll(&p, 1, kSendStallMs);
        if (r == 0) return 0;
        if (r < 0 && errno != EINTR) return 0;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return 0;
    }
    return drain_output(fLcmDevice) ? 1 : 0;
}

PVQ_API int _ReadBufferLength(unsigned char *buffer, int length) {
    if (!fPortOpened || length <= 0) return 0;
    for (int taken = 0; taken < length; ++taken) {
        pthread_mutex_lock(&buf_mut);
        if (rx_count() == 0) {
            if (!wait_for_bytes(1, deadline_after(g_silence_ms))) {
                pthread_mutex_unlock(&buf_mut);
                return 0;
            }
        }
        buffer[taken] = *pReadPtr;
        pReadPtr = next_slot(pReadPtr);
        set_rx_count(static_cast<uint16_t>(rx_count() - 1));
        pthread_mutex_unlock(&buf_mut);
    }
    return 1;
}

// Holds the port for this plug-in alone: an advisory lock that a second host on these plug-ins
// takes too, then TIOCEXCL, which refuses any further open (a getty, a terminal program)
// unless the opener has CAP_SYS_ADMIN. False when another host holds the lock.
bool hold_exclusively(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return errno != EWOULDBLOCK;
    }
    ioctl(fd, TIOCEXCL); // not a terminal: nothing more to hold
    return true;
}

void set_rate(const Rate &rate) {
    set_interface_attribs(fLcmDevice, static_cast<int>(rate.code), 0);
    g_port_bps = rate.bps;
}

PVQ_API int _OpenLcmPort(void) {
    fLcmDevice = open(g_port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fLcmDevice < 0) {
        fLcmDevice = -1;
        return 0;
    }
    if (!hold_exclusively(fLcmDevice)) {
        close(fLcmDevice);
        fLcmDevice = -1;
        return 0;
    }
    g_saved_settings = tcgetattr(fLcmDevice, &old_tios) == 0;
    pSASRxBufferStart = SASRxBuffer;
    pSASRxBufferEnd = SASRxBuffer + LCM_RX_BUFFER_SIZE - 1;
    pWritePtr = pReadPtr = SASRxBuffer;
    set_rx_count(0);
    fPortOpened = 1;

    g_wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_wake_fd >= 0) {
        g_thread_started =
            pthread_create(&SASInQueueID, nullptr, _IncomeInQueueThread, nullptr) == 0;
        if (!g_thread_started) {
            close(g_wake_fd);
            g_wake_fd = -1;
        }
    }

    static constexpr uint8_t kProbe[] = {kPrefix, kModelQuery, kEnd};
    static constexpr uint8_t kClear[] = {kPrefix, 0x58, kEnd};
    for (const Rate &rate : kProbeRates) {
        set_rate(rate);
        // Whatever came in before, at the old rate or as noise, is not the answer.
        discard_input();
        write_straight(kProbe, sizeof kProbe);
        if (!drain_output(fLcmDevice)) continue;
        // Any two bytes count as the answer: the module's model numbers are not known.
        unsigned char answer[2];
        if (take_before(answer, 2, deadline_after(probe_window_ms(rate.bps)))) {
            dwBaudrate = rate.bps;
            write_straight(kClear, sizeof kClear);
            return 1;
        }
    }
    // Nobody answered: leave the port at the module's factory rate.
    set_rate({B9600, 9600});
    return 0;
}

PVQ_API void _CloseLcmPort(void) {
    if (g_thread_started) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = write(g_wake_fd, &one, sizeof one);
        pthread_join(SASInQueueID, nullptr);
        g_thread_started = false;
    }
    if (g_wake_fd >= 0) {
        close(g_wake_fd);
        g_wake_fd = -1;
    }
    // The last frame goes out at the module's rate before the old settings come back.
    drain_output(fLcmDevice);
    if (g_saved_settings) tcsetattr(fLcmDevice, TCSANOW, &old_tios);
    ioctl(fLcmDevice, TIOCNXCL); // the port may stay open elsewhere; it is free again
    close(fLcmDevice);           // and the lock goes with the descriptor
    dwBaudrate = 0;
    g_port_bps = 0;
    fLcmDevice = -1;
    fPortOpened = 0;
}

#ifdef LCM_TEST_SEAM
PVQ_API void lcm_test_set_port(const char *path) {
    std::strncpy(g_port, path, sizeof g_port - 1);
    g_port[sizeof g_port - 1] = '\0';
}
PVQ_API void lcm_test_set_silence_ms(int ms) {
    g_silence_ms = ms;
}
PVQ_API void lcm_test_set_port_ops(const lcm_port_ops *ops) {
    g_ops = ops != nullptr ? ops : &kKernelOps;
}
PVQ_API int lcm_test_drain(int fd) {
    return drain_output(fd) ? 1 : 0;
}
PVQ_API int lcm_test_probe_window_ms(uint32_t bps) {
    return probe_window_ms(bps);
}
#endif

// ---- Host operations -----------------------------------------------------------------------

PVQ_API int _brdPVQ_LCM_DeviceOpen(void) {
    if (fPortOpened) return ERR_AlreadyOpened;
    return _OpenLcmPort() ? ERR_Success : ERR_OpenFail;
}

PVQ_API int _brdPVQ_LCM_DeviceClose(void) {
    if (fPortOpened) _CloseLcmPort();
    return ERR_Success;
}

PVQ_API int _brdPVQ_LCM_DeviceInfo(LCM_INFO *pstuLcmInfo) {
    PortLock lock;
    if (!fPortOpened) return ERR_NotOpened;
    if (pstuLcmInfo == nullptr) return ERR_InvalidParam;
    uint8_t answer[2];
    if (query(kModelQuery, answer, 2) != ERR_Success) return ERR_Error;
    pstuLcmInfo->uwModeNo = static_cast<uint16_t>(answer[0] << 8 | answer[1]);
    if (query(kVersionQuery, answer, 2) != ERR_Success) return ERR_Error;
    pstuLcmInfo->uwVersion = static_cast<uint16_t>(answer[0] << 8 | answer[1]);
    pstuLcmInfo->udwBaudrate = dwBaudrate;
    return ERR_Success;
}

PVQ_API int _brdPVQ_LCM_LightCtrl(unsigned char ubOnOff) {
    return on_off_command(ubOnOff, 0x42, 0x46);
}

PVQ_API int _brdPVQ_LCM_SetCursor(unsigned char ubColumn, unsigned char ubRow) {
    // The module counts columns and rows from 0.
    const uint8_t frame[] = {kPrefix, 0x47, static_cast<uint8_t>(ubColumn - 1),
                             static_cast<uint8_t>(ubRow - 1), kEnd};
    PortLock lock;
    if (!fPortOpened) return ERR_NotOpened;
    if (ubColumn == 0 || ubColumn > 20) return ERR_InvalidParam;
    if (ubRow == 0 || ubRow > 2) return ERR_InvalidParam;
    return send(frame);
}

PVQ_API int _brdPVQ_LCM_WriteString(unsigned char *pstrubString) {
    PortLock lock;
    if (!fPortOpened) return ERR_NotOpened;
    if (pstrubString == nullptr) return ERR_InvalidParam;
    // The text goes out as it is, frame bytes included: a host may embed commands.
    const size_t length = std::strlen(reinterpret_cast<const char *>(pstrubString));
    return send(pstrubString, static_cast<int>(length > 0x7FFFFFFF ? 0x7FFFFFFF : length));
}

PVQ_API int _brdPVQ_LCM_DisplayClear(void) {
    return simple_command(0x58);
}

PVQ_API int _brdPVQ_LCM_Brightness(unsigned char ubBrightness) {
    const uint8_t frame[] = {kPrefix, 0x41, ubBrightness, kEnd};
    PortLock lock;
    if (!fPortOpened) return ERR_NotOpened;
    if (ubBrightness == 0 || ubBrightness > 8) return ERR_InvalidParam;
    return send(frame);
}

PVQ_API int _brdPVQ_LCM_Reset(void) {
    const uint8_t frame[] = {kPrefix, 0x56, kEnd};
    PortLock lock;
    if (!fPortOpened) return ERR_NotOpened;
    if (send(frame) != ERR_Success) return ERR_Error;
    xdelay(1); // the module is deaf while it resets; nothing else may reach it
    return ERR_Success;
}

PVQ_API int _brdPVQ_LCM_SetSpeed(unsigned int udwBaudrate) {
    struct Code {
        unsigned int bps;
        uint8_t code;
    };
    static constexpr Code kCodes[] = {{115200, 0x00}, {57600, 0x01}, {38400, 0x02}, {19200, 0x03},
                                      {9600, 0x04},   {4800, 0x05},  {2400, 0x06}};
    int code = -1;
    for (const Code &c : kCodes)
        if (c.bps == udwBaudrate) code = c.code;
    const uint8_t frame[] = {kPrefix, 0x39, static_cast<uint8_t>(code), kEnd};
    PortLock lock;
    if (!fPortOpened) return ERR_NotOpened;
    if (code < 0) return ERR_InvalidParam;
    // The port keeps its rate: the host reopens the device to follow the module.
    return send(frame);
}

PVQ_API int _brdPVQ_LCM_WrapCtrl(unsigned char ubOnOff) {
    return on_off_command(ubOnOff, 0x43, 0x44);
}

PVQ_API int _brdPVQ_LCM_CursorModeCtrl(unsigned char ubcursorMode) {
    static constexpr uint8_t kOff1[] = {kPrefix, 0x4B, kEnd};
    static constexpr uint8_t kOff2[] = {kPrefix, 0x5A, kEnd};
    static constexpr uint8_t kStyle1[] = {kPrefix, 0x4A, 0x00, 0x00, kEnd};
    static constexpr uint8_t kStyle2[] = {kPrefix, 0x59, 0x00, 0x00, kEnd};
    PortLock lock;
    if (!fPortOpened) return ERR_NotOpened;
    switch (ubcursorMode) {
    case 0:
        if (send(kOff1) != ERR_Success) return ERR_Error;
        return send(kOff2);
    case 1:
        return send(kStyle1);
    case 2:
        return send(kStyle2);
    default:
        return ERR_InvalidParam;
    }
}

PVQ_API int _brdPVQ_LCM_StartupMsg(unsigned char *pubMsg, unsigned char length) {
    constexpr int kMessage = 40, kBlock = 8;
    PortLock lock;
    if (!fPortOpened) return ERR_NotOpened;
    if (pubMsg == nullptr && length != 0) return ERR_InvalidParam;
    uint8_t area[kMessage];
    std::memset(area, ' ', sizeof area);
    const int n = length > kMessage - 1 ? kMessage : length;
    if (n > 0) std::memcpy(area, pubMsg, static_cast<size_t>(n)); // zero bytes are text too
    for (int i = 0; i < kMessage / kBlock; ++i) {
        uint8_t frame[kBlock + 4] = {kPrefix, 0x40, static_cast<uint8_t>(i)};
        std::memcpy(frame + 3, area + kBlock * i, kBlock);
        frame[kBlock + 3] = kEnd;
        if (send(frame) != ERR_Success) return ERR_Error;
        xdelay(2); // the module stores each block before it takes the next
    }
    return ERR_Success;
}

PVQ_API int _brdPVQ_LCM_KeysStatus(unsigned char *pubKeys) {
    static constexpr uint8_t kKeys[] = {kPrefix, kKeyQuery, kEnd};
    static constexpr uint8_t kTest[] = {kPrefix, kModelQuery, kEnd};
    PortLock lock;
    if (!fPortOpened) return ERR_NotOpened;
    if (pubKeys == nullptr) return ERR_InvalidParam;
    if (send(kKeys) != ERR_Success) return ERR_Error;
    uint8_t answer[2] = {};
    if (!_ReadBufferLength(answer, 1)) {
        // No key byte: silence means no key pressed as long as the module still answers.
        if (send(kTest) != ERR_Success) return ERR_Error;
        if (!_ReadBufferLength(answer, 2)) return ERR_Error;
    }
    switch (answer[0]) {
    case 'A':
        *pubKeys = LCMKEY_A;
        break;
    case 'B':
        *pubKeys = LCMKEY_B;
        break;
    case 'C':
        *pubKeys = LCMKEY_C;
        break;
    case 'D':
        *pubKeys = LCMKEY_D;
        break;
    default:
        *pubKeys = 0;
        break;
    }
    return ERR_Success;
}

PVQ_API int _brdPVQ_LCM_KeysCallback(LCMKEY_CALLBACK pCallback, unsigned short uwmSec) {
    (void)pCallback;
    (void)uwmSec;
    return ERR_NotSupport; // this platform has no key notification
}

} // extern "C"
