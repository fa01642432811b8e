#include "host.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <iostream>

namespace zrqctl {

CallFailed::CallFailed(std::string call, int code, Origin origin, std::string hint)
    : std::runtime_error(call + ": " + status_text(code, origin) +
                         (hint.empty() ? "" : ": " + hint)),
      call_(std::move(call)), code_(code), origin_(origin), hint_(std::move(hint)) {}

void check(const std::string &call, int code, Origin origin,
           const std::function<std::string(int)> &hint) {
    if (code != 0) throw CallFailed(call, code, origin, hint ? hint(code) : "");
}

Json rounded(double value, int places) {
    if (!std::isfinite(value)) return nullptr;
    const double scale = std::pow(10.0, places);
    return std::round(value * scale) / scale;
}

void Report::field(const std::string &key, const Json &value, const std::string &text) {
    doc_[key] = value;
    lines_.emplace_back(key, text);
}

void Report::field(const std::string &key, const Json &value) {
    field(key, value, value.is_string() ? value.get<std::string>() : value.dump());
}

void Report::row(const Json &value, std::vector<std::string> cells) {
    json_rows_.push_back(value);
    rows_.push_back(std::move(cells));
}

void Report::print() const {
    if (json_) {
        Json out = doc_;
        if (!headers_.empty()) out["rows"] = json_rows_;
        std::cout << out.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
        return;
    }
    size_t width = 0;
    for (const auto &[k, v] : lines_) width = std::max(width, k.size());
    for (const auto &[k, v] : lines_)
        std::cout << k << ":" << std::string(width - k.size() + 1, ' ') << v << "\n";
    if (headers_.empty()) return;
    std::vector<size_t> w(headers_.size());
    for (size_t i = 0; i < headers_.size(); ++i) w[i] = headers_[i].size();
    for (const auto &r : rows_)
        for (size_t i = 0; i < r.size() && i < w.size(); ++i) w[i] = std::max(w[i], r[i].size());
    auto line = [&](const std::vector<std::string> &cells) {
        std::string s;
        for (size_t i = 0; i < cells.size() && i < w.size(); ++i) {
            s += cells[i];
            if (i + 1 < cells.size()) s += std::string(w[i] - cells[i].size() + 2, ' ');
        }
        std::cout << s << "\n";
    };
    line(headers_);
    for (const auto &r : rows_) line(r);
}

void Report::print_failure(const CallFailed &f, bool json) {
    if (json) {
        Json out = {{"ok", false}, {"error", "call"}, {"call", f.call()}, {"code", f.code()}};
        const std::string name = status_name(f.code());
        out["status"] = name.empty() ? Json(nullptr) : Json(name);
        if (name.empty()) {
            const std::string err = errno_name(f.code());
            out["errno"] = err.empty() || f.origin() == Origin::Plugin ? Json(nullptr) : Json(err);
            out["origin"] = f.origin() == Origin::SmbusLibrary ? "libpvqsmb"
                            : f.origin() == Origin::IoLibrary  ? "libpvqio"
                                                               : "plug-in";
        }
        out["message"] = f.what();
        if (!f.hint().empty()) out["hint"] = f.hint();
        std::cout << out.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    }
    std::cerr << "zrqctl: " << f.what() << "\n";
}

void Report::print_error(const std::string &kind, const std::string &message, bool json) {
    if (json)
        std::cout << Json{{"ok", false}, {"error", kind}, {"message", message}}.dump(
                         2, ' ', false, Json::error_handler_t::replace)
                  << "\n";
    std::cerr << "zrqctl: " << message << "\n";
}

std::string hex(unsigned value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
    return buf;
}

std::string fixed(double value, int places) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", places, value);
    return buf;
}

std::string mask_text(unsigned mask, const char *what) {
    std::string list;
    for (unsigned n = 1; n <= 8; ++n)
        if (mask & (1u << (n - 1))) list += (list.empty() ? "" : ", ") + std::to_string(n);
    return hex(mask) + (list.empty() ? " (none)" : " (" + std::string(what) + " " + list + ")");
}

} // namespace zrqctl
