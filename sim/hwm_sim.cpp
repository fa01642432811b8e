#include "hwm_sim.hpp"

#include "pvqio_items.hpp"

#include <cerrno>
#include <cstring>

namespace zrqsim {

namespace {
void copy_text(const std::string &s, char *out) {
    const size_t n = std::min(s.size(), static_cast<size_t>(pvqio::kTextSize - 1));
    std::memcpy(out, s.data(), n);
    out[n] = '\0';
}
} // namespace

int HwmSim::sensor(int item, char *text) {
    ++calls_;
    if (item < 0 || item >= 62) return EINVAL;
    if (auto f = faults_.find(item); f != faults_.end() && f->second != 0) return f->second;
    const auto &t = text_[static_cast<size_t>(item)];
    if (!t) return ENODATA;
    copy_text(*t, text);
    return 0;
}

int HwmSim::name(int item, char *text) {
    ++calls_;
    if (item < 0 || item >= 62) return EINVAL;
    if (auto f = faults_.find(item); f != faults_.end() && f->second != 0) return f->second;
    const std::string &n = names_[static_cast<size_t>(item)];
    copy_text(n.empty() ? std::string(pvqio::kItemNames[static_cast<size_t>(item)]) : n, text);
    return 0;
}

int HwmSim::get_caseopen(int *open) {
    ++calls_;
    *open = caseopen_;
    return 0;
}

int HwmSim::clear_caseopen() {
    ++calls_;
    caseopen_ = 0;
    return 0;
}

} // namespace zrqsim
