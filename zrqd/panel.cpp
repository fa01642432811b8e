#include "panel.hpp"

#include "host/host.hpp"

#include <cmath>
#include <cstdio>

namespace zrqd {
namespace {

// The screens, one line of the table each: what a page shows and where.
const Layout kHome = {{{"{name}", ""}, {"up {uptime}", ""}}};
const Layout kPsuLayout = {{{"PSU{n}", "{state}"}, {"{detail}", "{watts}"}}};
const Layout kList = {{{"{name1}", "{value1}"}, {"{name2}", "{value2}"}}};
const Layout kBypass = {{{"Slot {slot} bypass", "{count}"}, {"Pairs {pairs}", "ENT:set"}}};
const Layout kChoose = {{{"Slot {slot} pair {pair}", "{state}"}, {"UP/DN:pair", "ENT:set"}}};
const Layout kConfirm = {{{"Pair {pair} {to}?", ""}, {"ENT:yes", "ESC:no"}}};
const Layout kWorking = {{{"Slot {slot} pair {pair}", ""}, {"setting...", ""}}};
const Layout kResult = {{{"Slot {slot} pair {pair}", ""}, {"{result}", ""}}};
const Layout kAlert = {{{"! {what}", ""}, {"{detail}", "{more}"}}};
const Layout kNothing = {{{"{title}", ""}, {"{why}", ""}}};

// STATUS_WORD bits as the panel names them, the most telling first: what failed rather than
// the summary bits that come with it.
struct Bit {
    int bit;
    const char *name;
};
constexpr Bit kFaultOrder[] = {{15, "VOUT"},   {14, "IOUT"},   {13, "INPUT"}, {5, "VOUT_OV"},
                               {4, "IOUT_OC"}, {3, "VIN_UV"},  {2, "TEMP"},   {10, "FANS"},
                               {6, "OFF"},     {11, "PG#"},    {1, "CML"},    {12, "MFR"},
                               {9, "OTHER"},   {8, "UNKNOWN"}, {7, "BUSY"},   {0, "NOTA"}};

std::string uptime_text(double s) {
    const long total = s > 0 ? static_cast<long>(s) : 0;
    char buf[32];
    const long days = total / 86400;
    if (days > 0)
        std::snprintf(buf, sizeof buf, "%ldd %02ld:%02ld", days, total % 86400 / 3600,
                      total % 3600 / 60);
    else
        std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld", total / 3600, total % 3600 / 60,
                      total % 60);
    return buf;
}

std::string watts(float w) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.0fW", std::isfinite(w) ? w : 0.0f);
    return buf;
}

bool is_temperature(int item) {
    return item <= HWMID_TEMP_SYS2;
}
bool is_fan(int item) {
    return &zrqhost::unit_of(item) == &zrqhost::kRpm;
}

} // namespace

std::string fault_names(uint16_t status) {
    std::string out;
    for (const Bit &b : kFaultOrder)
        if (status & (1u << b.bit)) {
            if (!out.empty()) out += ' ';
            out += b.name;
        }
    return out;
}

Panel::Panel(PanelSettings settings) : settings_(std::move(settings)) {}

void Panel::set_settings(PanelSettings settings) {
    settings_ = std::move(settings);
}

void Panel::update(std::shared_ptr<const Snapshot> snap) {
    const Page before = snap_ ? current() : Page{Kind::Home, 0};
    snap_ = std::move(snap);
    // Stay on the page shown, wherever it moved in the list.
    const auto list = pages();
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].kind == before.kind && list[i].index == before.index) page_ = i;
    if (page_ >= list.size()) page_ = 0;

    const Snapshot &s = *snap_;
    for (int n = 1; n <= kPsus; ++n) {
        const PsuData &p = s.psu[n - 1];
        if (!s.psu_query_ok) continue;
        // PMBus status bits latch until cleared: a second fault after a first shows only as a
        // bit that was not set at the last poll, and that alerts too.
        const uint16_t bits = p.present && p.status_ok ? p.status : psu_bits_[n - 1];
        if ((bits & ~psu_bits_[n - 1]) != 0)
            alerts_.push_back({"PSU" + std::to_string(n) + " fault", fault_names(bits)});
        if (!p.present && psu_present_[n - 1])
            alerts_.push_back({"PSU" + std::to_string(n) + " gone", "no answer"});
        psu_bits_[n - 1] = p.present ? bits : 0;
        psu_present_[n - 1] = p.present;
    }
    if (s.case_ok) {
        if (s.case_open && !case_open_) alerts_.push_back({"Case opened", "intrusion"});
        case_open_ = s.case_open;
    }
    if (!alerts_.empty()) lit_ = true;
}

std::vector<Panel::Page> Panel::pages() const {
    std::vector<Page> list{{Kind::Home, 0}, {Kind::Psu, 1}, {Kind::Psu, 2}};
    if (!snap_) return list;
    const Snapshot &s = *snap_;
    // Readings two to a page, in item order.
    auto listed = [&](Kind kind, bool (*wanted)(int)) {
        int first = -1;
        for (int item = 0; item < HWMID_TOTAL; ++item) {
            if (!s.hwm[item].ok || !wanted(item)) continue;
            if (first < 0) {
                first = item;
            } else {
                list.push_back({kind, first});
                first = -1;
            }
        }
        if (first >= 0) list.push_back({kind, first});
    };
    listed(Kind::Temps, is_temperature);
    listed(Kind::Fans, is_fan);
    for (int slot = 0; slot <= s.slots_polled && slot < kSlots; ++slot)
        if (s.slots[slot].present) list.push_back({Kind::Bypass, slot});
    return list;
}

Panel::Page Panel::current() const {
    const auto list = pages();
    return list[page_ < list.size() ? page_ : 0];
}

void Panel::move(int step) {
    const auto n = static_cast<long>(pages().size());
    page_ = static_cast<size_t>(((static_cast<long>(page_) + step) % n + n) % n);
}

bool Panel::bypassed(int slot, int pair) const {
    return snap_ && ((snap_->slots[slot].pairs.ubRuntime_PairsBypass >> (pair - 1)) & 1);
}

// The next pair the module can bypass at run time, after `from` in the direction of `step`.
int Panel::next_pair(int from, int step) const {
    const unsigned capable = snap_ ? snap_->slots[choice_.slot].info.ubRuntime_Pairs : 0;
    for (int i = 1; i <= 8; ++i) {
        const int pair = ((from - 1 + step * i) % 8 + 8) % 8 + 1;
        if (capable & (1u << (pair - 1))) return pair;
    }
    return 0;
}

std::optional<BypassRequest> Panel::key(Key k, double now) {
    if (k == Key::None) return std::nullopt;
    last_key_ = last_turn_ = now;
    // A key on a dimmed panel only lights it; on an alert it only acknowledges it.
    if (!lit_) {
        lit_ = true;
        return std::nullopt;
    }
    if (!alerts_.empty()) {
        alerts_.pop_front();
        return std::nullopt;
    }
    if (lost_ == Key::Enter && k == Key::Escape) k = Key::Enter;
    if (lost_ == Key::Enter || lost_ == Key::Escape) {
        // Going back without an escape key.
        const bool back =
            (mode_ == Mode::ChoosePair && k == Key::Up && choice_.pair == next_pair(0, 1)) ||
            ((mode_ == Mode::Confirm || mode_ == Mode::Result) && (k == Key::Up || k == Key::Down));
        if (back) k = Key::Escape;
    }
    switch (mode_) {
    case Mode::Browse:
        if (k == Key::Up) move(-1);
        if (k == Key::Down) move(1);
        if (k == Key::Enter && current().kind == Kind::Bypass) {
            choice_.slot = current().index;
            choice_.pair = next_pair(0, 1);
            if (choice_.pair != 0) mode_ = Mode::ChoosePair;
        }
        if (k == Key::Escape) page_ = 0;
        break;
    case Mode::ChoosePair:
        if (k == Key::Up) choice_.pair = next_pair(choice_.pair, -1);
        if (k == Key::Down) choice_.pair = next_pair(choice_.pair, 1);
        if (k == Key::Enter) {
            choice_.enable = !bypassed(choice_.slot, choice_.pair);
            mode_ = Mode::Confirm;
        }
        if (k == Key::Escape) mode_ = Mode::Browse;
        break;
    case Mode::Confirm:
        if (k == Key::Enter) {
            mode_ = Mode::Working;
            return choice_;
        }
        if (k == Key::Escape) mode_ = Mode::ChoosePair;
        break;
    case Mode::Working:
        break;
    case Mode::Result:
        mode_ = k == Key::Escape ? Mode::Browse : Mode::ChoosePair;
        break;
    }
    return std::nullopt;
}

void Panel::done(const BypassRequest &request, int code) {
    if (code == 0)
        result_ = request.enable ? "bypass on: done" : "bypass off: done";
    else
        result_ = "failed: " + zrqhost::status_short(code);
    mode_ = Mode::Result;
}

void Panel::tick(double now, double uptime_s) {
    uptime_s_ = uptime_s;
    if (!started_) {
        started_ = true;
        last_key_ = last_turn_ = now;
    }
    const double idle = now - last_key_;
    if (settings_.dim_after_s > 0 && idle >= settings_.dim_after_s && alerts_.empty()) lit_ = false;
    // Rotation only while browsing: an action half done waits for its operator.
    if (settings_.rotate_after_s > 0 && mode_ == Mode::Browse && alerts_.empty() &&
        idle >= settings_.rotate_after_s && now - last_turn_ >= settings_.rotate_after_s) {
        move(1);
        last_turn_ = now;
    }
}

std::string Panel::page_name() const {
    if (!alerts_.empty()) return "alert";
    switch (mode_) {
    case Mode::ChoosePair:
        return "choose pair";
    case Mode::Confirm:
        return "confirm";
    case Mode::Working:
        return "working";
    case Mode::Result:
        return "result";
    default:
        break;
    }
    const Page p = current();
    switch (p.kind) {
    case Kind::Home:
        return "home";
    case Kind::Psu:
        return "psu " + std::to_string(p.index);
    case Kind::Temps:
        return "temperatures " + std::to_string(p.index);
    case Kind::Fans:
        return "fans " + std::to_string(p.index);
    case Kind::Bypass:
        return "bypass " + std::to_string(p.index);
    }
    return "";
}

// A supply's page.
Screen Panel::psu_page(const Snapshot &s, const Page &p) const {
    const PsuData &d = s.psu[p.index - 1];
    Fields f = {{"n", std::to_string(p.index)}};
    if (!s.loaded[kPsu] || !s.psu_query_ok) {
        f.insert(f.end(), {{"state", "no reply"}, {"detail", "PSUs unreadable"}, {"watts", ""}});
    } else if (!d.present) {
        f.insert(f.end(), {{"state", "absent"}, {"detail", ""}, {"watts", ""}});
    } else {
        const bool fault = d.status_ok && d.status != 0;
        const std::string in = d.in_ok ? "in " + watts(d.in.fWatts) : "in ?";
        // Output watts are volts times amperes: nothing for a maker whose volts are
        // misread.
        const std::string out = !d.out_ok || d.vout_unreadable ? "" : " out " + watts(d.out.fWatts);
        f.insert(f.end(), {{"state", !d.status_ok ? "status ?"
                                     : fault      ? "FAULT"
                                                  : "OK"},
                           {"detail", fault ? fault_names(d.status) : in},
                           {"watts", fault         ? ""
                                     : out.empty() ? ""
                                                   : out.substr(1)}});
    }
    return render(kPsuLayout, f);
}

// A slot's bypass page.
Screen Panel::bypass_page(const Snapshot &s, const Page &p) const {
    const SlotData &d = s.slots[p.index];
    std::string marks;
    int count = 0;
    for (int pair = 1; pair <= 8; ++pair) {
        if (!((d.info.ubRuntime_Pairs >> (pair - 1)) & 1)) continue;
        const bool on = (d.pairs.ubRuntime_PairsBypass >> (pair - 1)) & 1;
        marks += on ? 'B' : '-';
        count += on;
    }
    return render(kBypass, {{"slot", std::to_string(p.index)},
                            {"count", std::to_string(count) + "/" + std::to_string(marks.size())},
                            {"pairs", marks.empty() ? "none" : marks}});
}

// A list page: two readings from its first item on.
Screen Panel::list_page(const Snapshot &s, const Page &p) const {
    Fields f;
    int shown = 0;
    for (int item = p.index; item < HWMID_TOTAL && shown < 2; ++item) {
        const HwmItem &it = s.hwm[item];
        if (!it.ok || (p.kind == Kind::Temps ? !is_temperature(item) : !is_fan(item))) continue;
        ++shown;
        const auto &u = zrqhost::unit_of(item);
        char value[24];
        if (&u == &zrqhost::kRpm)
            std::snprintf(value, sizeof value, "%lld rpm", it.raw);
        else
            std::snprintf(value, sizeof value, "%.1f C", static_cast<double>(it.raw) / u.scale);
        f.push_back({"name" + std::to_string(shown), it.name});
        f.push_back({"value" + std::to_string(shown), value});
    }
    for (; shown < 2; ++shown)
        f.insert(f.end(), {{"name" + std::to_string(shown + 1), ""},
                           {"value" + std::to_string(shown + 1), ""}});
    return render(kList, f);
}

Screen Panel::screen() const {
    if (!alerts_.empty()) {
        const Alert &a = alerts_.front();
        std::string more;
        if (alerts_.size() > 1) more = '+' + std::to_string(alerts_.size() - 1);
        return render(kAlert, {{"what", a.what}, {"detail", a.detail}, {"more", more}});
    }
    const Fields chosen = {{"slot", std::to_string(choice_.slot)},
                           {"pair", std::to_string(choice_.pair)}};
    switch (mode_) {
    case Mode::ChoosePair: {
        Fields f = chosen;
        f.push_back({"state", bypassed(choice_.slot, choice_.pair) ? "bypass" : "normal"});
        return render(kChoose, f);
    }
    case Mode::Confirm: {
        Fields f = chosen;
        f.push_back({"to", choice_.enable ? "bypass" : "normal"});
        return render(kConfirm, f);
    }
    case Mode::Working:
        return render(kWorking, chosen);
    case Mode::Result: {
        Fields f = chosen;
        f.push_back({"result", result_});
        return render(kResult, f);
    }
    default:
        break;
    }
    const Page p = current();
    if (p.kind == Kind::Home)
        return render(kHome, {{"name", settings_.name}, {"uptime", uptime_text(uptime_s_)}});
    if (!snap_ || snap_->cycle == 0)
        return render(kNothing, {{"title", settings_.name}, {"why", "reading..."}});
    const Snapshot &s = *snap_;
    if (p.kind == Kind::Psu) return psu_page(s, p);
    if (p.kind == Kind::Bypass) return bypass_page(s, p);
    return list_page(s, p);
}

} // namespace zrqd
