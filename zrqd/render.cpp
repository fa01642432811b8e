#include "render.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

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

std::string shorten(const std::string &name, size_t room) {
    if (name.size() <= room) return name;
    // What tells items apart comes last ("System Fan 1", "Fan 1 Rotor B"): the words before
    // the last are cut to three letters, from the first on, then dropped from the front.
    std::vector<std::string> words;
    for (size_t at = 0; at < name.size();) {
        const size_t end = std::min(name.find(' ', at), name.size());
        if (end > at) words.push_back(name.substr(at, end - at));
        at = end + 1;
    }
    auto joined = [&words] {
        std::string s;
        for (const std::string &w : words) s += (s.empty() ? "" : " ") + w;
        return s;
    };
    for (size_t i = 0; i + 1 < words.size() && joined().size() > room; ++i)
        if (words[i].size() > 3) words[i].resize(3);
    while (words.size() > 1 && joined().size() > room) words.erase(words.begin());
    const std::string s = joined();
    return s.size() <= room ? s : s.substr(s.size() - room);
}

std::string fit_row(const std::string &left_text, const std::string &right_text) {
    std::string right = printable(right_text).substr(0, kColumns);
    std::string left = printable(left_text);
    const size_t gap = left.empty() || right.empty() ? 0 : 1;
    const size_t room = kColumns - right.size() - (right.size() == kColumns ? 0 : gap);
    left = shorten(left, room);
    return left + std::string(kColumns - left.size() - right.size(), ' ') + right;
}

Screen render(const Layout &layout, const Fields &fields) {
    Screen s;
    for (int r = 0; r < kRows; ++r)
        s[r] = fit_row(fill(layout.rows[r].left, fields), fill(layout.rows[r].right, fields));
    return s;
}

} // namespace zrqd
