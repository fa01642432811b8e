// The five calls of the SMBus access library, forwarded to the backend in use.
#include "pvqsmb.h"

#include "i2cdev.hpp"
#include "pvqsmb_backend.hpp"

#include <atomic>
#include <memory>
#include <mutex>

namespace pvqsmb {
namespace {

std::atomic<Backend *> g_installed{nullptr};

Backend &default_backend() {
    static std::once_flag once;
    static std::unique_ptr<Backend> chosen;
    std::call_once(once, [] { chosen = std::make_unique<I2cDevBackend>(default_adapter()); });
    return *chosen;
}

} // namespace

void set_backend(Backend *b) {
    g_installed.store(b, std::memory_order_release);
}

Backend &backend() {
    Backend *b = g_installed.load(std::memory_order_acquire);
    return b ? *b : default_backend();
}

} // namespace pvqsmb

extern "C" {

PVQSMB_EXPORT int _pvqsmb_i2c_read_word(unsigned char addr, unsigned char cmd,
                                        unsigned short *pData) {
    return pData ? pvqsmb::backend().read_word(addr, cmd, pData) : -EINVAL;
}

PVQSMB_EXPORT int _pvqsmb_i2c_read_byte(unsigned char addr, unsigned char cmd,
                                        unsigned char *pData) {
    return pData ? pvqsmb::backend().read_byte(addr, cmd, pData) : -EINVAL;
}

PVQSMB_EXPORT int _pvqsmb_i2c_write_byte(unsigned char addr, unsigned char cmd,
                                         unsigned char data) {
    return pvqsmb::backend().write_byte(addr, cmd, data);
}

PVQSMB_EXPORT int _pvqsmb_i2c_read_block(unsigned char addr, unsigned char cmd,
                                         unsigned char *pBuf) {
    return pBuf ? pvqsmb::backend().read_block(addr, cmd, pBuf) : -EINVAL;
}

PVQSMB_EXPORT int _pvqsmb_switch_slot(unsigned char muxAddr, unsigned char slot) {
    return pvqsmb::backend().switch_slot(muxAddr, slot);
}

} // extern "C"
