// Argument errors of the hosts' command lines in our own words: one line that names the
// argument, what was expected and, for a misspelt command or option, the closest valid one.
// CLI11's own texts ("At Most 2 required but received 3") never reach the user.
#pragma once

#include <CLI/CLI.hpp>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace zrqhost {

// Edit distance of two short words (insertions, deletions, substitutions, swaps).
inline size_t distance(const std::string &a, const std::string &b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// "; did you mean temp?" when one of `valid` is close to `word`, else "".
inline std::string did_you_mean(const std::string &word, const std::vector<std::string> &valid) {
    std::string best;
    size_t best_d = std::max<size_t>(2, word.size() / 3) + 1;
    for (const std::string &v : valid)
        if (const size_t d = distance(word, v); d < best_d) best = v, best_d = d;
    return best.empty() ? "" : "; did you mean " + best + "?";
}

// The deepest subcommand the parse reached.
inline const CLI::App *deepest(const CLI::App &app) {
    const CLI::App *at = &app;
    for (bool deeper = true; deeper;) {
        deeper = false;
        for (const CLI::App *sub : at->get_subcommands())
            if (sub->parsed()) at = sub, deeper = true;
    }
    return at;
}

inline std::string command_path(const CLI::App *at) {
    std::string path;
    for (; at != nullptr && at->get_parent() != nullptr; at = at->get_parent())
        path = at->get_name() + (path.empty() ? "" : " " + path);
    return path;
}

inline std::vector<std::string> subcommand_names(const CLI::App *at) {
    std::vector<std::string> names;
    for (const CLI::App *sub : at->get_subcommands({})) names.push_back(sub->get_name());
    return names;
}

inline std::vector<std::string> option_names(const CLI::App *at) {
    std::vector<std::string> names;
    for (; at != nullptr; at = at->get_parent())
        for (const CLI::Option *o : at->get_options())
            for (const std::string &n : o->get_lnames()) names.push_back("--" + n);
    return names;
}

inline std::string joined(const std::vector<std::string> &words) {
    std::string s;
    for (const std::string &w : words) s += (s.empty() ? "" : ", ") + w;
    return s;
}

// The one line for a parse error of `app` (the whole command line's).
inline std::string in_our_words(const CLI::App &app, const CLI::ParseError &e) {
    const CLI::App *at = deepest(app);
    const std::string where = command_path(at);
    const std::string prefix = where.empty() ? "" : where + ": ";
    const std::vector<std::string> left = app.remaining(true);
    // A word that matched nothing: an option, a command, or one argument too many.
    for (const std::string &w : left) {
        if (w.rfind("--", 0) == 0) {
            const std::string name = w.substr(0, w.find('='));
            return prefix + "no option " + name + did_you_mean(name, option_names(at));
        }
    }
    const std::vector<std::string> commands = subcommand_names(at);
    if (!left.empty() && !commands.empty())
        return prefix + "no command \"" + left.front() + "\"" +
               did_you_mean(left.front(), commands) + " (commands: " + joined(commands) + ")";
    if (left.empty() && !commands.empty() && at->get_require_subcommand_min() > 0)
        return (where.empty() ? std::string("no command given") : where + ": which command?") +
               " (commands: " + joined(commands) + ")";
    if (!left.empty())
        return prefix + "unexpected argument \"" + left.front() + "\" (the command takes no more)";
    std::string what = e.what();
    std::smatch m;
    if (std::regex_search(what, m,
                          std::regex(R"(^(\S+): At Most (\d+) required but received (\d+))")))
        return prefix + m[1].str() + ": takes at most " + m[2].str() + ", not " + m[3].str();
    if (std::regex_search(what, m, std::regex(R"(^(\S+) is required)")))
        return prefix + m[1].str() + " is missing";
    if (std::regex_search(what, m, std::regex(R"(^(\S+): (.*)$)")))
        return prefix + m[1].str() + ": " + m[2].str();
    return prefix + what;
}

} // namespace zrqhost
