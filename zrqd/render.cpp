#include "render.hpp"

#include <cstring>

namespace zrqd {

std::string fill(const char *text, const Fields &fields) {
    std::string out;
    for (const char *p = text; *p;) {
        const char *close = *p == '{' ? std::strchr(p, '}') : nullptr;
        if (close == nullptr) {
            out += *p++;
            continue;
        }
        const std::string key(p + 1, close);
        std::string value = "?";
        for (const auto &[k, v] : fields)
            if (k == key) value = v;
        out += value;
        p = close + 1;
    }
    return out;
}

namespace {
// The module's character set matches ASCII only between 0x20 and 0x7E.
std::string printable(std::string s) {
    for (char &c : s)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    return s;
}
} // namespace

std::string fit_row(const std::string &left_text, const std::string &right_text) {
    std::string right = printable(right_text).substr(0, kColumns);
    std::string left = printable(left_text);
    const size_t gap = left.empty() || right.empty() ? 0 : 1;
    const size_t room = kColumns - right.size() - (right.size() == kColumns ? 0 : gap);
    if (left.size() > room) left.resize(room);
    return left + std::string(kColumns - left.size() - right.size(), ' ') + right;
}

Screen render(const Layout &layout, const Fields &fields) {
    Screen s;
    for (int r = 0; r < kRows; ++r)
        s[r] = fit_row(fill(layout.rows[r].left, fields), fill(layout.rows[r].right, fields));
    return s;
}

} // namespace zrqd
