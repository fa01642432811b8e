// The state file, on any bytes: another process, a crash or a user's editor may have left
// anything there. A damaged state counts as none; nothing may throw, crash or hang, and what
// is saved afterwards reads back as the same registers.
#include "platform.hpp"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

std::string shipped() {
    std::ifstream in(ZRQ_SHIPPED_PLATFORM);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string description = shipped();
    const std::string state(reinterpret_cast<const char *>(data), size);
    auto platform = zrqsim::VirtualPlatform::parse("/nonexistent/zrq4470.json", description);
    zrqsim::restore_bypass(*platform, state, 1000);
    const std::string saved = zrqsim::save_bypass(*platform, state, 1000);
    // What was saved restores the same registers in a fresh platform.
    auto again = zrqsim::VirtualPlatform::parse("/nonexistent/zrq4470.json", description);
    zrqsim::restore_bypass(*again, saved, 1000);
    for (auto &[slot, module] : platform->bypass())
        if (module->state().reg != again->bypass().at(slot)->state().reg) std::abort();
    return 0;
}
