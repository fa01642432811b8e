// The front panel's screen, 20 columns by 2 rows, laid out from a table: each row is a left
// and a right template whose {fields} are filled in; the right part is kept whole and the left
// one shortened to make room, so a number never loses its unit or its last digits.
#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace zrqd {

inline constexpr int kColumns = 20, kRows = 2;

using Screen = std::array<std::string, kRows>;

struct Row {
    const char *left;
    const char *right;
};
struct Layout {
    Row rows[kRows];
};

using Fields = std::vector<std::pair<std::string, std::string>>;

// `text` with each {field} replaced by its value; an unknown field shows as "?".
std::string fill(const char *text, const Fields &fields);
// Exactly kColumns printable ASCII characters: left, spaces, right.
std::string fit_row(const std::string &left, const std::string &right);
// `name` in at most `room` columns, keeping its last word (what tells items apart) whole.
std::string shorten(const std::string &name, size_t room);
Screen render(const Layout &layout, const Fields &fields);

} // namespace zrqd
