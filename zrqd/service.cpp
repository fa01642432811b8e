#include "service.hpp"

#include "log.hpp"

#include "http.hpp"

#include <chrono>
#include <cstdio>

#include <ctime>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zrqd {

// The clock /proc/uptime reads, without /proc (the unit shows the service its own processes
// only).
double system_uptime() {
    timespec t{};
    if (::clock_gettime(CLOCK_BOOTTIME, &t) != 0) return 0;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

namespace {
double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
std::string host_name() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "zrq4470";
    return buf;
}
PanelSettings panel_settings(const Config &c) {
    return {c.name.empty() ? host_name() : c.name, c.panel.rotate_after_s, c.panel.dim_after_s};
}
} // namespace

namespace {
// The metrics endpoint's answers, from the poller's latest text.
HttpRoute routes(Poller &poller) {
    return [&poller](const std::string &path) -> HttpAnswer {
        if (path == "/metrics")
            return {200, "text/plain; version=0.0.4; charset=utf-8", poller.metrics()};
        if (path == "/healthz") {
            const std::string why = poller.health();
            return {why.empty() ? 200 : 503, "text/plain",
                    std::make_shared<const std::string>(why.empty() ? "ok\n" : why + "\n")};
        }
        if (path == "/")
            return {200, "text/plain",
                    std::make_shared<const std::string>(
                        "zrqd: the zrq4470's metrics are at /metrics, its health at /healthz\n")};
        return {404, "text/plain", std::make_shared<const std::string>("not found\n")};
    };
}
} // namespace

Service::Service(Config config)
    : config_(std::move(config)), kernel_switch_(kernel_owns_switch()),
      hw_(zrqhost::plugin_dir(config_.plugins)), panel_(panel_settings(config_)) {
    const int slots = slots_to_poll(config_);
    if (config_.maxslots > 0 && slots == 0)
        log(Level::Notice, "slots 1 to " + std::to_string(config_.maxslots) +
                               " are not polled: another host may route the slot switch (set "
                               "\"sole_host\": true when zrqd is the only one)");
    poller_ = std::make_unique<Poller>(hw_, config_.poll_interval_ms, slots);
}

Service::~Service() {
    stop();
}

int Service::slots_to_poll(const Config &c) const {
    return c.sole_host || kernel_switch_ ? c.maxslots : 0;
}

void Service::start() {
    if (started_) return;
    started_ = true;
    poller_->start();
    http_ =
        std::make_unique<HttpServer>(config_.listen_host, config_.listen_port, routes(*poller_));
    port_ = http_->port();
    log(Level::Info, "metrics on http://" + host_port(config_.listen_host, port_) + "/metrics");
    if (config_.panel.enabled) {
        {
            std::lock_guard lock(wake_mutex_);
            stopping_ = false;
        }
        panel_thread_ = std::thread([this] { panel_loop(); });
    }
}

void Service::stop() {
    if (!started_) return;
    started_ = false;
    {
        std::lock_guard lock(wake_mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (panel_thread_.joinable()) panel_thread_.join();
    http_.reset();
    poller_->stop();
}

void Service::reload(const Config &c) {
    Config old;
    {
        std::lock_guard lock(config_mutex_);
        old = config_;
    }
    if (c.plugins != old.plugins || c.panel.port != old.panel.port ||
        c.panel.enabled != old.panel.enabled)
        log(Level::Warning, "the plug-ins' folder and the panel's port and use change at the next "
                            "start only");
    if (c.listen_host != old.listen_host || c.listen_port != old.listen_port) {
        try {
            auto next =
                std::make_unique<HttpServer>(c.listen_host, c.listen_port, routes(*poller_));
            http_ = std::move(next);
            port_ = http_->port();
            log(Level::Info,
                "metrics now on http://" + host_port(c.listen_host, port_) + "/metrics");
        } catch (const std::exception &e) {
            log(Level::Error, std::string(e.what()) + "; still on port " + std::to_string(port_));
        }
    }
    poller_->set_interval(c.poll_interval_ms, slots_to_poll(c));
    {
        std::lock_guard lock(panel_mutex_);
        panel_.set_settings(panel_settings(c));
    }
    {
        std::lock_guard lock(config_mutex_);
        Config kept = c;
        kept.plugins = old.plugins;
        kept.panel.port = old.panel.port;
        kept.panel.enabled = old.panel.enabled;
        config_ = kept;
    }
    poller_->poke();
    log(Level::Info, "configuration reloaded");
}

Screen Service::screen() const {
    std::lock_guard lock(panel_mutex_);
    return panel_.screen();
}

std::string Service::page_name() const {
    std::lock_guard lock(panel_mutex_);
    return panel_.page_name();
}

#define LCM(name) ZRQ_EXPORT(*lcm_, name)

bool Service::open_lcd(const Config &c) {
    const std::string &port = c.panel.port;
    try {
        // Refused before the plug-in's probe would write over it (said once: no retries).
        if (const std::string why = zrqhost::not_a_terminal(port.empty() ? "/dev/ttyS1" : port);
            !why.empty())
            throw std::runtime_error("panel.port: " + why);
        if (!lcm_) {
            // Only the test build of the plug-in can be pointed at another port than
            // /dev/ttyS1 (an emulator's pseudo-terminal); that port named outright is the
            // shipped plug-in's.
            const bool shipped = port.empty() || port == "/dev/ttyS1";
            lcm_ = std::make_unique<zrqhost::Plugin>(
                zrqhost::plugin_dir(c.plugins), shipped ? "zrq4470lcm.so" : "zrq4470lcm_test.so");
            if (!shipped) {
                auto *set_port =
                    reinterpret_cast<void (*)(const char *)>(lcm_->find("lcm_test_set_port"));
                if (set_port == nullptr)
                    throw std::runtime_error(lcm_->path() + " cannot be pointed at " + port);
                set_port(port.c_str());
            }
        }
        const int r = LCM(_brdPVQ_LCM_DeviceOpen)();
        if (r != ERR_Success) {
            // No rate answered leaves the port open with its thread: closed here.
            if (r == ERR_OpenFail) LCM(_brdPVQ_LCM_DeviceClose)();
            return false;
        }
    } catch (const std::exception &e) {
        log(Level::Error, std::string(e.what()) + "; the panel stays dark");
        lcm_.reset();
        lcm_missing_ = true;
        return false;
    }
    leave_out_ambiguous_key(c);
    LCM(_brdPVQ_LCM_DisplayClear)();
    LCM(_brdPVQ_LCM_CursorModeCtrl)(0);
    LCM(_brdPVQ_LCM_Brightness)(static_cast<unsigned char>(c.panel.brightness));
    LCM(_brdPVQ_LCM_LightCtrl)(1);
    shown_ = Screen{std::string(kColumns, ' '), std::string(kColumns, ' ')};
    shown_lit_ = true;
    key_failures_ = 0;
    lcd_open_ = true;
    poller_->set_lcd(true);
    return true;
}

// The plug-in reads the first byte of whatever answer comes as the key byte: a module whose
// model number begins with 'A' to 'D' would make a late model answer read as that key. That
// key is left out, and its functions reached through the other three.
void Service::leave_out_ambiguous_key(const Config &c) {
    LCM_INFO info{};
    ambiguous_key_ = 0;
    if (LCM(_brdPVQ_LCM_DeviceInfo)(&info) != ERR_Success) return;
    const int first = info.uwModeNo >> 8;
    if (first < 'A' || first > 'D') return;
    static const Key kRoles[] = {Key::Up, Key::Down, Key::Enter, Key::Escape};
    static const char *const kNames[] = {"up", "down", "enter", "escape"};
    Key role = Key::None;
    std::string name = "no role";
    for (size_t i = 0; i < 4; ++i)
        if (c.panel.keys[i] == first) role = kRoles[i], name = kNames[i];
    ambiguous_key_ = static_cast<char>(first);
    char model[8];
    std::snprintf(model, sizeof model, "0x%04X", info.uwModeNo);
    log(Level::Warning, std::string("the LCD module's model ") + model + " begins with '" +
                            ambiguous_key_ +
                            "': a model answer read for a key query would "
                            "read as key " +
                            ambiguous_key_ + ", so key " + ambiguous_key_ + " (" + name +
                            ") is left out and its functions reached through the "
                            "other keys");
    std::lock_guard lock(panel_mutex_);
    panel_.leave_out(role);
}

void Service::close_lcd(const Config &c) {
    if (!lcd_open_) return;
    show({fit_row(panel_settings(c).name, ""), fit_row("zrqd stopped", "")});
    // The plug-in puts the line settings it found back and ends its receive thread.
    LCM(_brdPVQ_LCM_DeviceClose)();
    lcd_open_ = false;
    poller_->set_lcd(false);
}

void Service::show(const Screen &screen) {
    for (int row = 0; row < kRows; ++row) {
        if (screen[row] == shown_[row]) continue;
        std::string text = screen[row];
        const int a = LCM(_brdPVQ_LCM_SetCursor)(1, static_cast<unsigned char>(row + 1));
        const int b =
            a == ERR_Success
                ? LCM(_brdPVQ_LCM_WriteString)(reinterpret_cast<unsigned char *>(text.data()))
                : a;
        if (b == ERR_Success)
            shown_[row] = screen[row];
        else
            poller_->count_failure(kLcm);
    }
}

Key Service::read_key(const KeyMap &map) {
    unsigned char keys = 0;
    const int r = LCM(_brdPVQ_LCM_KeysStatus)(&keys);
    if (r != ERR_Success) {
        poller_->count_failure(kLcm);
        ++key_failures_;
        return Key::None;
    }
    key_failures_ = 0;
    // A held key answers every query: only a new press counts.
    const uint8_t previous = last_key_byte_;
    last_key_byte_ = keys;
    if (keys == 0 || keys == previous) return Key::None;
    static const Key kRoles[] = {Key::Up, Key::Down, Key::Enter, Key::Escape};
    for (int i = 0; i < 4; ++i)
        if (map[static_cast<size_t>(i)] != ambiguous_key_ &&
            (keys & (1u << (map[static_cast<size_t>(i)] - 'A'))))
            return kRoles[i];
    return Key::None;
}

Config Service::config_now() const {
    std::lock_guard lock(config_mutex_);
    return config_;
}

// Opens the LCD when it is due; a module that does not answer is tried again every 10 s,
// said once.
void Service::try_open(const Config &c, bool &said, double &next_try) {
    const std::string port = c.panel.port.empty() ? std::string("/dev/ttyS1") : c.panel.port;
    if (open_lcd(c)) {
        log(Level::Info, "front panel on " + port);
        said = false;
        return;
    }
    if (!said && lcm_)
        log(Level::Warning, "no LCD module answers on " + port +
                                " (or another program holds it); trying again every 10 s");
    said = true;
    next_try = now_s() + 10;
}

// The bypass action the panel asked for; its result once the poller has read it back.
void Service::act(const BypassRequest &request, const Config &c, uint64_t &seen, Screen &screen) {
    int r = ERR_NotSupport;
    if (hw_.loaded(kLbp)) {
        std::lock_guard bus(hw_.bus);
        r = hw_.lbp_set_pair(static_cast<uint8_t>(request.slot), static_cast<uint8_t>(request.pair),
                             request.enable ? 1 : 0, static_cast<uint16_t>(c.maxslots));
    }
    log(r == 0 ? Level::Notice : Level::Warning,
        "panel: pair " + std::to_string(request.pair) + " of slot " + std::to_string(request.slot) +
            (request.enable ? " into bypass: " : " out of bypass: ") +
            (r == 0 ? "done" : zrqhost::status_text(r, zrqhost::Origin::SmbusLibrary)));
    poller_->poke();
    poller_->wait_cycle(poller_->latest()->cycle, 5000);
    std::lock_guard lock(panel_mutex_);
    panel_.update(poller_->latest());
    seen = poller_->latest()->cycle;
    panel_.done(request, r);
    screen = panel_.screen();
}

// One turn of the open panel: a key read, the pages brought up to date, the screen and light
// shown.
void Service::panel_turn(const Config &c, uint64_t &seen, double &next_try) {
    const Key k = read_key(c.panel.keys);
    if (key_failures_ >= 3) {
        log(Level::Warning, "the LCD module stopped answering; reopening it");
        close_lcd(c);
        next_try = now_s() + 1;
        return;
    }
    const auto snap = poller_->latest();
    std::optional<BypassRequest> request;
    Screen screen;
    bool lit;
    {
        std::lock_guard lock(panel_mutex_);
        if (snap->cycle != seen) {
            panel_.update(snap);
            seen = snap->cycle;
        }
        request = panel_.key(k, now_s());
        panel_.tick(now_s(), system_uptime());
        screen = panel_.screen();
        lit = panel_.lit();
    }
    if (request) act(*request, c, seen, screen);
    if (lit != shown_lit_) {
        const int level = lit ? c.panel.brightness : c.panel.dim_brightness;
        if (LCM(_brdPVQ_LCM_Brightness)(static_cast<unsigned char>(level)) == 0)
            shown_lit_ = lit;
        else
            poller_->count_failure(kLcm);
    }
    show(screen);
}

void Service::panel_loop() {
    uint64_t seen = 0;
    bool said = false;
    double next_try = 0;
    for (;;) {
        const Config c = config_now();
        if (!lcd_open_ && !lcm_missing_ && now_s() >= next_try) try_open(c, said, next_try);
        if (lcd_open_) panel_turn(c, seen, next_try);
        const int pause_ms = lcd_open_ ? c.panel.key_pause_ms : 200;
        std::unique_lock lock(wake_mutex_);
        if (wake_.wait_for(lock, std::chrono::milliseconds(pause_ms), [this] { return stopping_; }))
            break;
    }
    close_lcd(config_now());
    lcm_.reset();
}

} // namespace zrqd
