#include "log.hpp"

#include <mutex>

#include <unistd.h>

namespace zrqd {
namespace {
std::mutex mutex;
LogSink sink;
} // namespace

void log(Level level, const std::string &message) {
    // One line whatever the message holds: a newline would start a line without a level.
    std::string line;
    line.reserve(message.size() + 4);
    line += '<';
    line += static_cast<char>('0' + static_cast<int>(level));
    line += '>';
    for (const char c : message) line += c == '\n' || c == '\r' ? ' ' : c;
    std::lock_guard lock(mutex);
    if (sink) {
        sink(level, line.substr(3));
        return;
    }
    line += '\n';
    // One write per line, so that lines of several threads never interleave.
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

void set_log_sink(LogSink s) {
    std::lock_guard lock(mutex);
    sink = std::move(s);
}

} // namespace zrqd
