// What the front panel shows and how its keys act, apart from the LCD itself: pages made from
// the latest snapshot, the keypad's moves between them, the bypass page's action, rotation
// when nobody touches the keys, dimming after longer, and alerts that hold the screen until a
// key acknowledges them. Time comes in as seconds on a monotonic clock, so tests drive it.
#pragma once

#include "render.hpp"
#include "snapshot.hpp"

#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace zrqd {

enum class Key { None, Up, Down, Enter, Escape };

struct PanelSettings {
    std::string name;
    int rotate_after_s = 30; // 0: never
    int dim_after_s = 300;   // 0: never
};

// A pair to put into (enable) or out of bypass at run time, confirmed on the panel.
struct BypassRequest {
    int slot = 0;
    int pair = 1;
    bool enable = false;
};

class Panel {
  public:
    explicit Panel(PanelSettings settings);
    void set_settings(PanelSettings settings);

    // A new snapshot: the pages follow it, and a new PSU fault, a supply that went away or an
    // opened case brings an alert.
    void update(std::shared_ptr<const Snapshot> snapshot);
    // A key pressed at `now`; a confirmed bypass change comes back to be done.
    std::optional<BypassRequest> key(Key k, double now);
    // The role whose key is left out (Key::None: every key counts). Its functions stay
    // reachable through the other three: up and down wrap around; without enter, escape takes
    // its place; without enter or escape, up on the first pair, and up or down on a question
    // or a result, go back.
    void leave_out(Key role) { lost_ = role; }
    // How the requested change went (a plug-in status code).
    void done(const BypassRequest &request, int code);
    // Time passing: rotation and dimming; `uptime_s` is the appliance's, for the first page.
    void tick(double now, double uptime_s);

    Screen screen() const;
    bool lit() const { return lit_; }
    // The page's name, as the log and the tests know it ("home", "psu 1", "bypass 0", "alert").
    std::string page_name() const;

  private:
    Key lost_ = Key::None;
    enum class Kind { Home, Psu, Temps, Fans, Bypass };
    struct Page {
        Kind kind;
        int index; // PSU number, first item of a list page, or slot
    };
    enum class Mode { Browse, ChoosePair, Confirm, Working, Result };
    struct Alert {
        std::string what, detail;
    };

    std::vector<Page> pages() const;
    Page current() const;
    Screen psu_page(const Snapshot &s, const Page &p) const;
    Screen bypass_page(const Snapshot &s, const Page &p) const;
    Screen list_page(const Snapshot &s, const Page &p) const;
    void move(int step);
    int next_pair(int from, int step) const;
    bool bypassed(int slot, int pair) const;

    PanelSettings settings_;
    std::shared_ptr<const Snapshot> snap_;
    size_t page_ = 0;
    Mode mode_ = Mode::Browse;
    BypassRequest choice_;
    std::string result_;
    std::deque<Alert> alerts_;
    std::array<uint16_t, kPsus> psu_bits_{}; // each supply's status word at the last poll
    std::array<bool, kPsus> psu_present_{};
    bool case_open_ = false;
    bool lit_ = true;
    bool started_ = false;
    double last_key_ = 0, last_turn_ = 0;
    double uptime_s_ = 0;
};

// The status word's set bits by short name ("VOUT IOUT/POUT OFF"), most serious first.
std::string fault_names(uint16_t status);

} // namespace zrqd
