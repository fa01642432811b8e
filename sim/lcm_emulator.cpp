#include "lcm_emulator.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace zrqsim {

namespace {

constexpr uint8_t kPrefix = 0xFE, kEnd = 0xFD;
// A command the plug-in never sends: the emulator's own marker frame.
constexpr uint8_t kFenceCommand = 0x7F;

// Argument bytes that follow each command byte.
size_t argument_count(uint8_t command) {
    switch (command) {
    case 0x47: // cursor position
    case 0x4A: // cursor style 1
    case 0x59: // cursor style 2
        return 2;
    case 0x41: // brightness
    case 0x39: // speed
        return 1;
    case 0x40: // start-up message block: index and eight characters
        return 9;
    default:
        return 0;
    }
}

struct Speed {
    speed_t code;
    uint32_t bps;
};
constexpr Speed kSpeeds[] = {{B115200, 115200}, {B57600, 57600}, {B38400, 38400}, {B19200, 19200},
                             {B9600, 9600},     {B4800, 4800},   {B2400, 2400}};
// The speed codes of the module's set-speed command, 0x00 to 0x06.
constexpr uint32_t kSpeedByCode[] = {115200, 57600, 38400, 19200, 9600, 4800, 2400};

} // namespace

LcmEmulator::LcmEmulator(uint32_t baud, uint16_t model, uint16_t version)
    : baud_(baud), model_(model), version_(version) {
    screen_.fill(std::string(kColumns, ' '));
    startup_.fill(' ');
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error(std::string("pseudo-terminal: ") + std::strerror(errno));
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0)
        throw std::runtime_error("pseudo-terminal: no slave name");
    slave_path_ = name;
    slave_keep_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_keep_ < 0) throw std::runtime_error("pseudo-terminal: slave cannot be opened");
    termios raw{};
    tcgetattr(slave_keep_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_keep_, TCSANOW, &raw);
    wake_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
}

LcmEmulator::LcmEmulator(const Attach &line, uint32_t baud, uint16_t model, uint16_t version)
    : baud_(baud), model_(model), version_(version), attached_(true) {
    screen_.fill(std::string(kColumns, ' '));
    startup_.fill(' ');
    struct stat st {};
    if (::stat(line.path.c_str(), &st) != 0)
        throw std::runtime_error(line.path + ": " + std::strerror(errno));
    if (S_ISSOCK(st.st_mode)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (line.path.size() >= sizeof addr.sun_path)
            throw std::runtime_error(line.path + ": the socket's path is too long");
        std::memcpy(addr.sun_path, line.path.c_str(), line.path.size() + 1);
        master_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (master_ < 0 || ::connect(master_, reinterpret_cast<sockaddr *>(&addr), sizeof addr)) {
            const int e = errno;
            if (master_ >= 0) ::close(master_);
            throw std::runtime_error(line.path + ": " + std::strerror(e));
        }
    } else if (S_ISCHR(st.st_mode)) {
        master_ = ::open(line.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || !::isatty(master_)) {
            const int e = errno;
            if (master_ >= 0) ::close(master_);
            throw std::runtime_error(line.path + ": " +
                                     (e == ENOTTY ? "not a terminal" : std::strerror(e)));
        }
        termios raw{};
        tcgetattr(master_, &raw);
        cfmakeraw(&raw);
        tcsetattr(master_, TCSANOW, &raw);
    } else {
        throw std::runtime_error(line.path + ": neither a terminal nor a socket");
    }
    slave_path_ = line.path;
    wake_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
}

LcmEmulator::~LcmEmulator() {
    join_flood();
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    ::close(wake_);
    if (slave_keep_ >= 0) ::close(slave_keep_);
    ::close(master_);
}

std::vector<uint8_t> LcmEmulator::answer(uint8_t cmd) {
    if (cmd == 0x30) return {static_cast<uint8_t>(model_ >> 8), static_cast<uint8_t>(model_)};
    if (cmd == 0x31) return {static_cast<uint8_t>(version_ >> 8), static_cast<uint8_t>(version_)};
    if (cmd != 0x33) return {};
    if (!taps_.empty()) {
        // A tap answers one query; the release after it answers the next with silence, so
        // that two taps of one key are two presses.
        const char tap = taps_.front();
        taps_.pop_front();
        cv_.notify_all();
        if (tap != 0) return {static_cast<uint8_t>(tap)};
        return {};
    }
    if (key_ != 0) return {static_cast<uint8_t>(key_)};
    return {};
}

void LcmEmulator::run() {
    uint8_t buf[4096];
    for (;;) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) {
            // Only our own slave keeps the pty alive; a hang-up here should not spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) continue;
        std::vector<std::vector<uint8_t>> replies;
        int delay = 0;
        {
            std::lock_guard lock(mutex_);
            for (ssize_t i = 0; i < n; ++i) {
                const size_t before = frames_.size();
                feed(buf[i]);
                if (frames_.size() == before) continue;
                // A finished frame: queries get their answer.
                std::vector<uint8_t> reply = answer(frames_.back()[1]);
                if (reply.empty() || mode_ == Mode::Silent || answers_left_ == 0) continue;
                // The module hears nothing at a rate other than its own.
                if (port_baud() != baud_) continue;
                if (answers_left_ > 0) --answers_left_;
                static const std::vector<uint8_t> kGarbage = {0xAA, 0x55, 0xAA};
                if (mode_ == Mode::OneByte) reply.resize(1);
                if (mode_ == Mode::Garbage) reply = kGarbage;
                if (hold_)
                    held_.insert(held_.end(), reply.begin(), reply.end());
                else
                    replies.push_back(reply);
            }
            delay = delay_ms_;
            cv_.notify_all();
        }
        for (const auto &r : replies) {
            if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            write_master(r.data(), r.size());
        }
    }
}

void LcmEmulator::feed(uint8_t b) {
    bytes_.push_back(b);
    if (!in_frame_) {
        if (b == kPrefix) {
            in_frame_ = true;
            frame_.assign(1, b);
        } else {
            put_char(b);
        }
        return;
    }
    frame_.push_back(b);
    if (frame_.size() < 2 || frame_.size() < 3 + argument_count(frame_[1])) return;
    in_frame_ = false;
    if (b != kEnd) {
        ++malformed_;
        return;
    }
    frame_done();
}

void LcmEmulator::frame_done() {
    if (frame_.size() == 3 && frame_[1] == kFenceCommand) {
        bytes_.resize(bytes_.size() - 3);
        ++fences_seen_;
        return;
    }
    frames_.push_back(frame_);
    const uint8_t *a = frame_.data() + 2;
    switch (frame_[1]) {
    case 0x42:
        light_ = true;
        break;
    case 0x46:
        light_ = false;
        break;
    case 0x47:
        col_ = a[0] < kColumns ? a[0] : kColumns - 1;
        row_ = a[1] < kRows ? a[1] : kRows - 1;
        break;
    case 0x58:
        screen_.fill(std::string(kColumns, ' '));
        col_ = row_ = 0;
        break;
    case 0x41:
        brightness_ = a[0];
        break;
    case 0x56:
        ++resets_;
        break;
    case 0x39:
        if (a[0] < 7) baud_ = kSpeedByCode[a[0]];
        break;
    case 0x43:
        wrap_ = true;
        break;
    case 0x44:
        wrap_ = false;
        break;
    case 0x4B:
    case 0x5A:
        cursor_mode_ = 0;
        break;
    case 0x4A:
        cursor_mode_ = 1;
        break;
    case 0x59:
        cursor_mode_ = 2;
        break;
    case 0x40:
        if (a[0] < 5) std::memcpy(startup_.data() + 8 * a[0], a + 1, 8);
        break;
    default:
        break;
    }
}

void LcmEmulator::put_char(uint8_t c) {
    if (col_ >= kColumns) {
        if (!wrap_) return; // without wrap, text past the last column is lost
        col_ = 0;
        row_ = (row_ + 1) % kRows;
    }
    screen_[static_cast<size_t>(row_)][static_cast<size_t>(col_)] = static_cast<char>(c);
    ++col_;
}

void LcmEmulator::write_master(const uint8_t *p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(master_, p, n);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void LcmEmulator::send_raw(const std::vector<uint8_t> &bytes) {
    write_master(bytes.data(), bytes.size());
}

void LcmEmulator::flood(size_t total, size_t chunk, int pause_us, size_t window,
                        std::function<size_t()> taken) {
    join_flood();
    flood_done_ = false;
    flooder_ = std::thread([this, total, chunk, pause_us, window, taken = std::move(taken)] {
        std::vector<uint8_t> block(chunk);
        const auto give_up =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        for (size_t sent = 0; sent < total;) {
            const size_t n = std::min(chunk, total - sent);
            if (taken && sent + n > taken() + window) {
                if (std::chrono::steady_clock::now() > give_up) break;
                std::this_thread::yield();
                continue;
            }
            for (size_t i = 0; i < n; ++i) block[i] = static_cast<uint8_t>((sent + i) % 251);
            write_master(block.data(), n);
            sent += n;
            if (pause_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
        }
        flood_done_ = true;
    });
}

void LcmEmulator::join_flood() {
    if (flooder_.joinable()) flooder_.join();
}

bool LcmEmulator::fence() {
    size_t target;
    {
        std::lock_guard lock(mutex_);
        target = ++fences_sent_;
    }
    const uint8_t marker[] = {kPrefix, kFenceCommand, kEnd};
    if (::write(slave_keep_, marker, sizeof marker) != static_cast<ssize_t>(sizeof marker))
        return false;
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(kPatienceMs),
                        [&] { return fences_seen_ >= target; });
}

termios LcmEmulator::port_settings() const {
    termios t{};
    tcgetattr(master_, &t);
    return t;
}

void LcmEmulator::set_port_settings(const termios &t) {
    tcsetattr(slave_keep_, TCSANOW, &t);
}

void LcmEmulator::hold_answers(bool hold) {
    std::lock_guard lock(mutex_);
    hold_ = hold;
}

void LcmEmulator::release_answers() {
    std::vector<uint8_t> held;
    {
        std::lock_guard lock(mutex_);
        held.swap(held_);
    }
    write_master(held.data(), held.size());
}

void LcmEmulator::set_answer_limit(int n) {
    std::lock_guard lock(mutex_);
    answers_left_ = n;
}

uint32_t LcmEmulator::port_baud() const {
    if (attached_) return baud_;
    termios t{};
    if (tcgetattr(master_, &t) != 0) return 0;
    const speed_t s = cfgetospeed(&t);
    for (const Speed &sp : kSpeeds)
        if (sp.code == s) return sp.bps;
    return 0;
}

void LcmEmulator::set_mode(Mode mode) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
}
void LcmEmulator::set_delay_ms(int ms) {
    std::lock_guard lock(mutex_);
    delay_ms_ = ms;
}
void LcmEmulator::set_identity(uint16_t model, uint16_t version) {
    std::lock_guard lock(mutex_);
    model_ = model, version_ = version;
}
void LcmEmulator::set_baud(uint32_t baud) {
    std::lock_guard lock(mutex_);
    baud_ = baud;
}
void LcmEmulator::press_key(char key) {
    std::lock_guard lock(mutex_);
    key_ = key;
}
void LcmEmulator::tap_key(char key) {
    std::lock_guard lock(mutex_);
    taps_.push_back(key);
    taps_.push_back(0);
}
bool LcmEmulator::wait_taps_taken(int timeout_ms) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [this] { return taps_.empty(); });
}
std::vector<std::vector<uint8_t>> LcmEmulator::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}
std::vector<uint8_t> LcmEmulator::bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}
size_t LcmEmulator::malformed() const {
    std::lock_guard lock(mutex_);
    return malformed_;
}
void LcmEmulator::clear_received() {
    std::lock_guard lock(mutex_);
    frames_.clear();
    bytes_.clear();
}
bool LcmEmulator::wait_frames(size_t n, int timeout_ms) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return frames_.size() >= n; });
}
std::array<std::string, LcmEmulator::kRows> LcmEmulator::screen() const {
    std::lock_guard lock(mutex_);
    return screen_;
}
int LcmEmulator::cursor_column() const {
    std::lock_guard lock(mutex_);
    return col_;
}
int LcmEmulator::cursor_row() const {
    std::lock_guard lock(mutex_);
    return row_;
}
bool LcmEmulator::light() const {
    std::lock_guard lock(mutex_);
    return light_;
}
int LcmEmulator::brightness() const {
    std::lock_guard lock(mutex_);
    return brightness_;
}
bool LcmEmulator::wrap() const {
    std::lock_guard lock(mutex_);
    return wrap_;
}
int LcmEmulator::cursor_mode() const {
    std::lock_guard lock(mutex_);
    return cursor_mode_;
}
std::string LcmEmulator::startup_message() const {
    std::lock_guard lock(mutex_);
    return std::string(startup_.begin(), startup_.end());
}
uint32_t LcmEmulator::baud() const {
    std::lock_guard lock(mutex_);
    return baud_;
}
unsigned LcmEmulator::resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

} // namespace zrqsim
