#include "poller.hpp"

#include "host/host.hpp"

#include "log.hpp"
#include "metrics.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zrqd {

Poller::Poller(Hardware &hw, int interval_ms, int slots)
    : hw_(hw), interval_ms_(interval_ms), slots_(slots),
      latest_(std::make_shared<const Snapshot>()),
      metrics_(std::make_shared<const std::string>(render_metrics(Snapshot{}))) {}

Poller::~Poller() {
    stop();
}

void Poller::start() {
    if (thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stop_ = false;
    }
    running_ = true;
    started_unix_s_ =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    thread_ = std::thread([this] { run(); });
}

void Poller::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    running_ = false;
}

void Poller::poke() {
    {
        std::lock_guard lock(mutex_);
        poke_ = true;
    }
    cv_.notify_all();
}

void Poller::set_interval(int interval_ms, int slots) {
    {
        std::lock_guard lock(mutex_);
        interval_ms_ = interval_ms;
        slots_ = slots;
    }
    cv_.notify_all();
}

std::shared_ptr<const Snapshot> Poller::latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

std::shared_ptr<const std::string> Poller::metrics() const {
    std::lock_guard lock(mutex_);
    return metrics_;
}

bool Poller::wait_cycle(uint64_t cycle, int timeout_ms) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return latest_->cycle > cycle; });
}

void Poller::run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        lock.unlock();
        auto snap = std::make_shared<const Snapshot>(poll_once());
        auto text = std::make_shared<const std::string>(render_metrics(*snap));
        lock.lock();
        if (snap->cycle == 1) say_first(*snap);
        latest_ = std::move(snap);
        metrics_ = std::move(text);
        cv_.notify_all();
        poke_ = false;
        cv_.wait_for(lock, std::chrono::milliseconds(interval_ms_),
                     [this] { return stop_ || poke_; });
    }
    running_ = false;
}

std::string Poller::health() const {
    const auto snap = latest();
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const double late_s = 3.0 * interval_ms_ / 1000.0;
    if (!running_) return "the poller is not running";
    double started = 0;
    {
        std::lock_guard lock(mutex_);
        started = started_unix_s_;
    }
    if (snap->cycle == 0) return now - started > late_s ? "no poll cycle has ended yet" : "";
    if (now - snap->finished_unix_s > late_s + snap->duration_s)
        return "the last poll cycle ended " +
               std::to_string(static_cast<long>(now - snap->finished_unix_s)) + " s ago";
    // After a start-up grace of three cycles, an enabled subsystem that reached nothing for
    // three cycles.
    for (int sub = 0; sub < kSubsystems; ++sub)
        if (snap->loaded[sub] && snap->cycle > 3 && snap->down_cycles[sub] >= 3)
            return std::string(kSubsystemNames[sub]) + ": no device has answered for " +
                   std::to_string(snap->down_cycles[sub]) + " cycles";
    return "";
}

// What the first cycle found, so that the log tells at once what the service can see.
void Poller::say_first(const Snapshot &s) {
    int items = 0, psus = 0, modules = 0;
    for (const HwmItem &it : s.hwm) items += it.ok;
    for (const PsuData &p : s.psu) psus += p.present;
    for (int slot = 0; slot <= s.slots_polled; ++slot) modules += s.slots[slot].present;
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f", s.duration_s * 1000);
    log(Level::Info, "first readings in " + std::string(ms) + " ms: " + std::to_string(items) +
                         " of " + std::to_string(HWMID_TOTAL) + " sensors, " +
                         std::to_string(psus) + " of 2 supplies, bypass modules in " +
                         std::to_string(modules) + " of " + std::to_string(s.slots_polled + 1) +
                         " slots");
}

Snapshot Poller::poll_once() {
    const auto begin = std::chrono::steady_clock::now();
    std::shared_ptr<const Snapshot> prev = latest();
    Snapshot s;
    s.cycle = ++cycle_;
    for (int sub = 0; sub < kSubsystems; ++sub) s.loaded[sub] = hw_.loaded(Subsystem(sub));
    s.loaded[kLcm] = lcd_held_;
    read_hwm(s);
    read_psus(s, *prev);
    read_slots(s);
    for (int sub = 0; sub < kSubsystems; ++sub) s.failures[sub] = failures_[sub];
    s.duration_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    s.finished_unix_s =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    bool any_item = s.case_ok, any_psu = false;
    for (const HwmItem &it : s.hwm) any_item = any_item || it.ok;
    for (const PsuData &p : s.psu) any_psu = any_psu || p.present;
    s.up = {any_item, s.psu_query_ok && any_psu, s.lbp_query_ok && s.slots[0].present,
            lcd_held_.load()};
    for (int sub = 0; sub < kSubsystems; ++sub) {
        s.down_cycles[sub] = s.up[sub] ? 0 : prev->down_cycles[sub] + 1;
        s.last_up_unix_s[sub] = s.up[sub] ? s.finished_unix_s : prev->last_up_unix_s[sub];
    }
    return s;
}

void Poller::read_hwm(Snapshot &s) {
    if (!hw_.loaded(kHwm)) return;
    // The sensors' names do not change while the service runs.
    if (!names_read_) {
        for (int item = 0; item < HWMID_TOTAL; ++item) {
            char name[64] = {};
            if (hw_.hwm_name(item, name) == ERR_Success) names_[item] = name;
        }
        names_read_ = true;
    }
    for (int item = 0; item < HWMID_TOTAL; ++item) {
        char text[64] = {};
        HwmItem &it = s.hwm[item];
        it.name = names_[item];
        it.code = hw_.hwm_report(item, text);
        char *end = nullptr;
        it.raw = std::strtoll(text, &end, 10);
        it.ok = it.code == ERR_Success && end != text;
        // A sensor the board lacks (no such file, or no data in it) fails every time: not a
        // failed read.
        const int e = std::abs(it.code);
        if (!it.ok && e != ENOENT && e != ENODATA) failed(kHwm);
    }
    unsigned char open = 0;
    // The plug-in reads a library failure as closed: the flag is taken from the library, and
    // unknown is no sample, counted as a failure.
    const zrqhost::CaseOpen flag =
        hw_.hwm_case_open(&open) == ERR_Success ? zrqhost::read_case_open() : zrqhost::CaseOpen{};
    s.case_ok = flag.known;
    s.case_open = flag.known && flag.open;
    if (!s.case_ok) failed(kHwm);
}

void Poller::read_psus(Snapshot &s, const Snapshot &prev) {
    if (!hw_.loaded(kPsu)) return;
    std::lock_guard bus(hw_.bus);
    uint16_t mask = 0;
    s.psu_query_ok = hw_.psu_query(&mask) == ERR_Success;
    if (!s.psu_query_ok) {
        failed(kPsu);
        return;
    }
    for (int n = 1; n <= kPsus; ++n) {
        PsuData &p = s.psu[n - 1];
        const PsuData &before = prev.psu[n - 1];
        p.present = (mask & (1u << (n - 1))) != 0;
        if (!p.present) continue;
        const auto no = static_cast<uint8_t>(n);
        p.status_ok = hw_.psu_status(no, &p.status) == ERR_Success;
        if (!p.status_ok) failed(kPsu);
        // The maker's strings are read once a supply is seen, not every cycle.
        if (before.present && before.info_ok) {
            p.info_ok = true;
            p.mfr_id = before.mfr_id;
            p.model = before.model;
            p.serial = before.serial;
            p.revision = before.revision;
        } else {
            PSU_INFO info{};
            info.ubPsuNo = no;
            p.info_ok = hw_.psu_info(&info) == ERR_Success;
            if (p.info_ok) {
                p.mfr_id = reinterpret_cast<const char *>(info.strubMfrId);
                p.model = reinterpret_cast<const char *>(info.strubMfrModel);
                p.serial = reinterpret_cast<const char *>(info.strubMfrSerial);
                p.revision = reinterpret_cast<const char *>(info.strubMfrRevision);
            } else {
                failed(kPsu);
            }
        }
        p.vout_unreadable = p.info_ok && zrqhost::vout_in_linear11(p.mfr_id);
        p.in.ubPsuNo = p.out.ubPsuNo = no;
        p.in.ubInOut = 0;
        p.out.ubInOut = 1;
        p.in_ok = hw_.psu_watts(&p.in) == ERR_Success;
        p.out_ok = hw_.psu_watts(&p.out) == ERR_Success;
        p.sensors.ubPsuNo = no;
        p.sensors_ok = hw_.psu_sensors(&p.sensors) == ERR_Success;
        for (const bool ok : {p.in_ok, p.out_ok, p.sensors_ok})
            if (!ok) failed(kPsu);
    }
}

void Poller::read_slots(Snapshot &s) {
    if (!hw_.loaded(kLbp)) return;
    int slots;
    {
        std::lock_guard lock(mutex_);
        slots = slots_;
    }
    s.slots_polled = slots;
    std::lock_guard bus(hw_.bus);
    uint16_t mask = 0;
    const auto max = static_cast<uint16_t>(slots);
    s.lbp_query_ok = hw_.lbp_query(&mask, max) == ERR_Success;
    if (!s.lbp_query_ok) failed(kLbp);
    for (int slot = 0; slot <= slots; ++slot) {
        SlotData &d = s.slots[slot];
        d.present = (mask & (1u << slot)) != 0;
        if (!d.present) continue;
        const auto no = static_cast<uint8_t>(slot);
        d.info_ok = hw_.lbp_info(no, &d.info, max) == ERR_Success;
        d.pairs_ok = hw_.lbp_pairs(no, &d.pairs, max) == ERR_Success;
        if (!d.info_ok) failed(kLbp);
        if (!d.pairs_ok) failed(kLbp);
        if (!d.info_ok) continue;
        const uint16_t timer_max[3] = {d.info.uwTimer1_MaxSec, d.info.uwTimer2_MaxSec,
                                       d.info.uwTimer3_MaxSec};
        for (int t = 0; t < 3; ++t) {
            if (timer_max[t] == 0) continue; // the module has no such timer
            uint8_t status = 0;
            if (hw_.lbp_timer(no, static_cast<uint8_t>(t + 1), &status, max) == ERR_Success)
                d.timer[t] = status;
            else
                failed(kLbp);
        }
    }
}

} // namespace zrqd
