// The service's log: one line per event on stderr, with the level prefix systemd's journal
// reads from a service's output ("<3>" error, "<4>" warning, "<5>" notice, "<6>" info), so
// that `journalctl -u zrqd -p warning` shows what went wrong.
#pragma once

#include <functional>
#include <string>

namespace zrqd {

enum class Level { Error = 3, Warning = 4, Notice = 5, Info = 6 };

void log(Level level, const std::string &message);

// Where the lines go instead of stderr (nullptr: back to stderr); for tests.
using LogSink = std::function<void(Level, const std::string &)>;
void set_log_sink(LogSink sink);

} // namespace zrqd
