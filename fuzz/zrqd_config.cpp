// zrqd's configuration parser, on any bytes: an operator writes the file by hand. A refusal is
// a ConfigError of one printable line naming the file; what is accepted is within its ranges.
#include "config.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    try {
        const zrqd::Config c = zrqd::parse_config("fuzz.json", text);
        if (c.listen_port < 0 || c.listen_port > 65535 || c.maxslots < 0 || c.maxslots > 8 ||
            c.poll_interval_ms < 100 || c.panel.brightness < 1 || c.panel.brightness > 8)
            std::abort();
        for (const char k : c.panel.keys)
            if (k < 'A' || k > 'D') std::abort();
    } catch (const zrqd::ConfigError &e) {
        const std::string what = e.what();
        if (what.rfind("fuzz.json: ", 0) != 0) std::abort(); // the file is always named
        for (const unsigned char c : what)
            if (c < 0x20 || c >= 0x7F) std::abort(); // one line of plain text
    }
    return 0;
}
