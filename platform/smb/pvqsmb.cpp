// The five calls of the SMBus access library, forwarded to the backend in use.
#include "pvqsmb.h"
#include "diagnostic.hpp"

#include "backend_choice.hpp"

#include "i2cdev.hpp"
#include "pvqsmb_backend.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#if ZRQ_SIMULATOR
extern "C" pvqsmb::Backend *zrqsim_platform_backend(const char *path, char *error, unsigned size);
#else
// The library as installed on an appliance carries no simulator.
static pvqsmb::Backend *zrqsim_platform_backend(const char *, char *error, unsigned size) {
    std::snprintf(error, size,
                  "PVQSMB_PLATFORM is set, but this build of the library serves "
                  "the real bus only (no virtual platform)");
    return nullptr;
}
#endif

namespace pvqsmb {
namespace {

using platform::BackendChoice;

// Stands in when the named virtual platform cannot be served: every transfer fails.
class NoBus : public Backend {
  public:
    int read_word(uint8_t, uint8_t, uint16_t *) override { return -ENODEV; }
    int read_byte(uint8_t, uint8_t, uint8_t *) override { return -ENODEV; }
    int write_byte(uint8_t, uint8_t, uint8_t) override { return -ENODEV; }
    int read_block(uint8_t, uint8_t, uint8_t *) override { return -ENODEV; }
    int switch_slot(uint8_t, uint8_t) override { return -ENODEV; }
};

std::unique_ptr<Backend> choose() {
    // PVQSMB_PLATFORM names a virtual platform description: serve its simulated devices.
    if (const char *path = std::getenv("PVQSMB_PLATFORM"); path && *path) {
        char error[512] = "";
        if (Backend *b = zrqsim_platform_backend(path, error, sizeof error))
            return std::unique_ptr<Backend>(b);
        platform::say_line("libpvqsmb", error);
        return std::make_unique<NoBus>();
    }
    return std::unique_ptr<Backend>(make_i2cdev_backend());
}

// One call of a backend as the C caller sees it: whatever the backend, a failure comes back as
// a negative errno outside -1..-7, and no exception ever leaves through the C interface.
template <typename Call> int call(Call &&c) {
    try {
        const int r = c(backend());
        return r >= 0 ? r : library_code(-r);
    } catch (...) {
        return -EREMOTEIO;
    }
}

BackendChoice<Backend> g_choice(choose);

} // namespace

void set_backend(Backend *b) {
    g_choice.install(b);
}

Backend &backend() {
    return g_choice.get();
}

} // namespace pvqsmb

extern "C" {

PVQSMB_EXPORT int _pvqsmb_i2c_read_word(unsigned char addr, unsigned char cmd,
                                        unsigned short *pData) {
    if (!pData) return -EINVAL;
    return pvqsmb::call([&](pvqsmb::Backend &b) { return b.read_word(addr, cmd, pData); });
}

PVQSMB_EXPORT int _pvqsmb_i2c_read_byte(unsigned char addr, unsigned char cmd,
                                        unsigned char *pData) {
    if (!pData) return -EINVAL;
    return pvqsmb::call([&](pvqsmb::Backend &b) { return b.read_byte(addr, cmd, pData); });
}

PVQSMB_EXPORT int _pvqsmb_i2c_write_byte(unsigned char addr, unsigned char cmd,
                                         unsigned char data) {
    return pvqsmb::call([&](pvqsmb::Backend &b) { return b.write_byte(addr, cmd, data); });
}

PVQSMB_EXPORT int _pvqsmb_i2c_read_block(unsigned char addr, unsigned char cmd,
                                         unsigned char *pBuf) {
    if (!pBuf) return -EINVAL;
    return pvqsmb::call([&](pvqsmb::Backend &b) { return b.read_block(addr, cmd, pBuf); });
}

PVQSMB_EXPORT int _pvqsmb_switch_slot(unsigned char muxAddr, unsigned char slot) {
    return pvqsmb::call([&](pvqsmb::Backend &b) { return b.switch_slot(muxAddr, slot); });
}

} // extern "C"
