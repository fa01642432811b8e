// The four calls of the hardware I/O library, forwarded to the backend in use.
#include "backend_choice.hpp"
#include "diagnostic.hpp"
#include "hwmon.hpp"
#include "iolib.h"
#include "pvqio_backend.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#if ZRQ_SIMULATOR
extern "C" pvqio::Backend *zrqsim_platform_io_backend(const char *path, char *error, unsigned size);
#else
// The library as installed on an appliance carries no simulator.
static pvqio::Backend *zrqsim_platform_io_backend(const char *, char *error, unsigned size) {
    std::snprintf(error, size,
                  "PVQIO_PLATFORM or PVQSMB_PLATFORM is set, but this build of the "
                  "library serves the real hardware monitor only (no virtual platform)");
    return nullptr;
}
#endif

namespace pvqio {
namespace {

using platform::BackendChoice;

// Stands in when the named virtual platform cannot be served: every call fails.
class NoMonitor : public Backend {
  public:
    int sensor(int, char *) override { return ENODEV; }
    int name(int, char *) override { return ENODEV; }
    int get_caseopen(int *) override { return ENODEV; }
    int clear_caseopen() override { return ENODEV; }
};

// The virtual platform to serve: PVQIO_PLATFORM, else the one the SMBus library serves
// (PVQSMB_PLATFORM), so that one variable points every program at one platform.
const char *platform_description() {
    for (const char *name : {"PVQIO_PLATFORM", "PVQSMB_PLATFORM"})
        if (const char *path = std::getenv(name); path && *path) return path;
    return nullptr;
}

std::unique_ptr<Backend> choose() {
    if (const char *path = platform_description()) {
        char error[512] = "";
        if (Backend *b = zrqsim_platform_io_backend(path, error, sizeof error))
            return std::unique_ptr<Backend>(b);
        platform::say_line("libpvqio", error);
        return std::make_unique<NoMonitor>();
    }
    const char *root = std::getenv("PVQIO_SYSFS");
    const char *board = std::getenv("PVQIO_BOARD");
    try {
        return std::make_unique<HwmonBackend>(root && *root ? root : "/sys",
                                              load_board(board && *board ? board : ZRQ_BOARD));
    } catch (const std::exception &e) {
        platform::say_line("libpvqio", e.what());
        return std::make_unique<NoMonitor>();
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

namespace {
// No exception ever leaves through the C interface; a backend that throws has failed the read.
template <typename Call> int call(Call &&c) {
    try {
        return c(backend());
    } catch (...) {
        return EIO;
    }
}
} // namespace

} // namespace pvqio

extern "C" {

PVQIO_EXPORT int _pvqio_hwm_sensor(int item, char *strValue) {
    if (!strValue) return EINVAL;
    return pvqio::call([&](pvqio::Backend &b) { return b.sensor(item, strValue); });
}

PVQIO_EXPORT int _pvqio_hwm_name(int item, char *strName) {
    if (!strName) return EINVAL;
    return pvqio::call([&](pvqio::Backend &b) { return b.name(item, strName); });
}

PVQIO_EXPORT int _pvqio_get_caseopen(int *pdwOpen) {
    if (!pdwOpen) return EINVAL;
    return pvqio::call([&](pvqio::Backend &b) { return b.get_caseopen(pdwOpen); });
}

PVQIO_EXPORT int _pvqio_clear_caseopen(void) {
    return pvqio::call([](pvqio::Backend &b) { return b.clear_caseopen(); });
}

} // extern "C"
