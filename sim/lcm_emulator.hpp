// An LCD module on the master side of a pseudo-terminal.
//
// The plug-in opens the slave side as its serial port. The emulator reads the frames it sends,
// keeps a 20 x 2 screen with cursor, wrap, light, brightness and start-up message, and answers
// the model, version and key queries, but only while the port is set to the emulator's own
// baud rate (a Linux pty's master sees the speed the slave side set). It can be told to stay
// silent, answer one byte only, answer late, answer garbage, or send bytes of its own.
//
// The emulator keeps a slave descriptor of its own open, so that the plug-in's close and
// reopen never leave the master hung up.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <termios.h>
#include <thread>
#include <vector>

namespace zrqsim {

class LcmEmulator {
  public:
    enum class Mode { Normal, Silent, OneByte, Garbage };
    static constexpr int kColumns = 20, kRows = 2;

    // Never cheaper than this: a wait that takes longer than a bounded wait's limit means the
    // emulator or the code under test is stuck, not that the machine is busy.
    static constexpr int kPatienceMs = 10000;

    explicit LcmEmulator(uint32_t baud = 115200, uint16_t model = 0x1234,
                         uint16_t version = 0x0105);
    // The module on a line that exists already: a terminal (QEMU's pty for a guest's UART) or
    // a Unix socket. Such a line carries bytes whatever speed the far end's UART is set to, so
    // the module answers at any rate.
    struct Attach {
        std::string path;
    };
    LcmEmulator(const Attach &line, uint32_t baud = 115200, uint16_t model = 0x1234,
                uint16_t version = 0x0105);
    ~LcmEmulator();
    LcmEmulator(const LcmEmulator &) = delete;
    LcmEmulator &operator=(const LcmEmulator &) = delete;

    const std::string &slave_path() const { return slave_path_; }

    // Behaviour.
    void set_mode(Mode mode);
    void set_delay_ms(int ms);
    void set_identity(uint16_t model, uint16_t version);
    void set_baud(uint32_t baud);
    void press_key(char key); // 'A'..'D', or 0 for none
    // A key pressed for one key query and released for the next, as a finger taps it.
    void tap_key(char key);
    // Waits (at most `timeout_ms`) until every tap has been asked for.
    bool wait_taps_taken(int timeout_ms) const;
    // Answers are kept back until release_answers(): an answer that comes after the plug-in
    // gave up, whatever the machine's speed.
    void hold_answers(bool hold);
    void release_answers();
    // Answers the next `n` queries, then none (-1: every query).
    void set_answer_limit(int n);
    // Bytes of the module's own, written to the port now.
    void send_raw(const std::vector<uint8_t> &bytes);
    // `total` bytes of a counting pattern (byte i is i % 251), in chunks of `chunk` with a pause
    // between them, written by a thread of the emulator's own; flood_done() tells when it ends.
    // With `taken`, the flood is paced by the reader, as flow control would pace a module:
    // never more than `window` bytes ahead of what `taken()` reports.
    void flood(size_t total, size_t chunk, int pause_us, size_t window = 0,
               std::function<size_t()> taken = {});
    bool flood_done() const { return flood_done_; }
    // Waits until the flood thread has ended (it ends by itself after kPatienceMs at most).
    void join_flood();

    // What arrived.
    std::vector<std::vector<uint8_t>> frames() const;
    std::vector<uint8_t> bytes() const; // everything, frames and text alike
    size_t malformed() const;           // frames that broke the frame structure
    void clear_received();
    // Waits (at most `timeout_ms`) until at least `n` frames have arrived.
    bool wait_frames(size_t n, int timeout_ms) const;
    // Returns once everything written to the port before the call has been taken in: a marker
    // frame written on the emulator's own end of the port queues behind it. False after
    // kPatienceMs. The marker is not recorded.
    bool fence();
    // The port's settings as the master side sees them, and a way to leave the port with
    // settings of another program's before the plug-in opens it.
    termios port_settings() const;
    void set_port_settings(const termios &t);
    // The speed the port is set to now, in bits per second (0 when unknown).
    uint32_t port_baud() const;

    // The module's own state.
    std::array<std::string, kRows> screen() const;
    int cursor_column() const;
    int cursor_row() const;
    bool light() const;
    int brightness() const;
    bool wrap() const;
    int cursor_mode() const; // 0 off, 1 and 2 the two styles
    std::string startup_message() const;
    uint32_t baud() const;
    unsigned resets() const;

  private:
    void run();
    // The module's answer to the query `cmd` (model, version, key), empty for none; with
    // mutex_ held.
    std::vector<uint8_t> answer(uint8_t cmd);
    void feed(uint8_t b);
    void frame_done();
    void put_char(uint8_t c);
    void answer(const std::vector<uint8_t> &bytes);
    void write_master(const uint8_t *p, size_t n);

    int master_ = -1;
    int slave_keep_ = -1;
    int wake_ = -1;
    std::string slave_path_;
    std::thread thread_;
    std::thread flooder_;
    std::atomic<bool> flood_done_{true};

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    // Parser.
    std::vector<uint8_t> frame_;
    bool in_frame_ = false;
    // Behaviour.
    Mode mode_ = Mode::Normal;
    int delay_ms_ = 0;
    uint32_t baud_;
    uint16_t model_, version_;
    bool attached_ = false; // on a line of someone else's (Attach)
    char key_ = 0;
    std::deque<char> taps_;
    bool hold_ = false;
    int answers_left_ = -1;
    std::vector<uint8_t> held_;
    size_t fences_sent_ = 0, fences_seen_ = 0;
    // Record.
    std::vector<std::vector<uint8_t>> frames_;
    std::vector<uint8_t> bytes_;
    size_t malformed_ = 0;
    // Module state.
    std::array<std::string, kRows> screen_;
    int col_ = 0, row_ = 0;
    bool light_ = true, wrap_ = true;
    int brightness_ = 8, cursor_mode_ = 0;
    std::array<uint8_t, 40> startup_{};
    unsigned resets_ = 0;
};

} // namespace zrqsim
