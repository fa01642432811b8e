// The poller: one thread that reads every plug-in at the configured interval and keeps the
// latest snapshot and its metrics text, so that a scrape or the panel never waits on the bus.
#pragma once

#include "config.hpp"
#include "hardware.hpp"
#include "snapshot.hpp"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace zrqd {

class Poller {
  public:
    // `slots` is the highest slot it may ask for: maxslots when the switch is safe to use
    // (sole host, or the kernel owns it), else 0.
    Poller(Hardware &hw, int interval_ms, int slots);
    ~Poller();
    Poller(const Poller &) = delete;
    Poller &operator=(const Poller &) = delete;

    void start();
    void stop();
    // Polls again now (after the panel changed something), not at the next interval.
    void poke();
    void set_interval(int interval_ms, int slots);

    bool running() const { return running_; }
    // "" while the poller completes its cycles and every enabled subsystem reaches its
    // hardware; else the reason, in one line.
    std::string health() const;
    // What the other threads add: the panel's failed LCD calls, and whether it has the LCD.
    void count_failure(Subsystem sub) { ++failures_[sub]; }
    void set_lcd(bool held) { lcd_held_ = held; }
    std::shared_ptr<const Snapshot> latest() const;
    std::shared_ptr<const std::string> metrics() const;
    // Waits (at most `timeout_ms`) until a cycle after `cycle` has ended; false otherwise.
    bool wait_cycle(uint64_t cycle, int timeout_ms) const;

    // One cycle, on the caller's thread (the poller thread, or a benchmark).
    Snapshot poll_once();

  private:
    void run();
    static void say_first(const Snapshot &s);
    void read_hwm(Snapshot &s);
    void read_psus(Snapshot &s, const Snapshot &prev);
    void read_slots(Snapshot &s);
    void failed(Subsystem sub) { ++failures_[sub]; }

    Hardware &hw_;
    std::array<std::atomic<uint64_t>, kSubsystems> failures_{};
    std::atomic<bool> lcd_held_{false};
    std::array<std::string, HWMID_TOTAL> names_;
    bool names_read_ = false;
    uint64_t cycle_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    int interval_ms_;
    int slots_;
    bool stop_ = false, poke_ = false;
    std::shared_ptr<const Snapshot> latest_;
    std::shared_ptr<const std::string> metrics_;
    std::atomic<bool> running_{false};
    double started_unix_s_ = 0; // under mutex_
    std::thread thread_;
};

} // namespace zrqd
