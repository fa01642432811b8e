// A snapshot in the Prometheus text exposition format (version 0.0.4): a HELP and a TYPE line
// for each family, readings in base units named by their unit (_celsius, _volts, _amperes,
// _watts, _rpm, _seconds), counters ending in _total.
#pragma once

#include "snapshot.hpp"

#include <string>

namespace zrqd {

std::string render_metrics(const Snapshot &s);

} // namespace zrqd
