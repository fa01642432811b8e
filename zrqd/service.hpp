// zrqd as a whole: the plug-ins, the poller, the front panel on the LCD and the metrics
// endpoint, started together and stopped together.
#pragma once

#include "config.hpp"
#include "hardware.hpp"
#include "http.hpp"
#include "panel.hpp"
#include "poller.hpp"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zrqd {

class Service {
  public:
    // Loads the plug-ins; throws std::runtime_error when the endpoint cannot listen.
    explicit Service(Config config);
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    void start();
    // Stops every thread, puts the LCD's line settings back and closes it.
    void stop();
    // A new configuration, as SIGHUP brings it; what only a restart can change is said so.
    void reload(const Config &config);

    int port() const { return port_; }
    Poller &poller() { return *poller_; }
    // What the panel shows now, and its page's name (for tests and the log).
    Screen screen() const;
    std::string page_name() const;
    bool lcd_held() const { return lcd_open_; }

  private:
    void panel_loop();
    Config config_now() const;
    void try_open(const Config &c, bool &said, double &next_try);
    void panel_turn(const Config &c, uint64_t &seen, double &next_try);
    void act(const BypassRequest &request, const Config &c, uint64_t &seen, Screen &screen);
    // The panel thread's calls, with the configuration it read last (a reload may change the
    // service's own copy meanwhile).
    bool open_lcd(const Config &c);
    void leave_out_ambiguous_key(const Config &c);
    void close_lcd(const Config &c);
    void show(const Screen &screen);
    Key read_key(const KeyMap &map);
    int slots_to_poll(const Config &c) const;

    Config config_;
    mutable std::mutex config_mutex_;
    bool kernel_switch_ = false;
    Hardware hw_;
    std::unique_ptr<Poller> poller_;
    std::unique_ptr<HttpServer> http_;
    std::atomic<int> port_{0};

    // The front panel, run by its own thread.
    std::unique_ptr<zrqhost::Plugin> lcm_;
    std::atomic<bool> lcd_open_{false};
    bool lcm_missing_ = false; // the plug-in could not be loaded: not tried again
    Panel panel_;
    mutable std::mutex panel_mutex_;
    Screen shown_;
    bool shown_lit_ = true;
    uint8_t last_key_byte_ = 0;
    char ambiguous_key_ = 0; // the key a model answer would read as, left out (0: none)
    int key_failures_ = 0;
    std::thread panel_thread_;
    std::mutex wake_mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool started_ = false;
};

// The appliance's uptime in seconds (/proc/uptime), 0 when unknown.
double system_uptime();

} // namespace zrqd
