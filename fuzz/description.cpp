// The virtual platform description loader, on any bytes: a description is what a user writes
// by hand. A refusal is a PlatformError with one printable line naming the file; nothing else
// may leave, crash or hang.
#include "platform.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    try {
        auto platform = zrqsim::VirtualPlatform::parse("fuzz.json", text);
        // What loaded is served: every device answers a read without crashing.
        uint16_t word = 0;
        for (uint8_t addr : {0x6E, 0xB0, 0xB2, 0xB4}) platform->bus().read_word(addr, 0x01, &word);
    } catch (const zrqsim::PlatformError &e) {
        const std::string what = e.what();
        if (what.rfind("fuzz.json: ", 0) != 0) std::abort(); // the file is always named
        for (const unsigned char c : what)
            if (c < 0x20 || c >= 0x7F) std::abort(); // one line of plain text
    }
    return 0;
}
