// The platform libraries' backends over a virtual platform: the SMBus devices and the
// hardware monitor, their state kept in the state file.
#include "platform.hpp"
#include "diagnostic.hpp"
#include "platform_shared.hpp"

#include "hwm_sim.hpp"

#include "pvqio_items.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zrqsim {

using json = nlohmann::json;
namespace fs = std::filesystem;

PlatformBackend::PlatformBackend(std::unique_ptr<VirtualPlatform> platform)
    : platform_(std::move(platform)), store_(platform_->path(), platform_->fingerprint()) {}

PlatformBackend::~PlatformBackend() = default;

template <typename Fn> int PlatformBackend::locked(uint8_t addr, bool writes, Fn &&fn) {
    std::lock_guard guard(mutex_);
    // Only the bypass modules (0x6E on the main bus, 0x60 behind the switch) keep state.
    if (addr != 0x6E && addr != 0x60) return fn(platform_->bus());
    if (const int err = store_.lock(); err != 0) return kept_or_said(err);
    const long long now = static_cast<long long>(std::time(nullptr));
    std::string saved;
    bool damaged = false;
    if (const int err = store_.read_text(saved, &damaged); err != 0) {
        store_.unlock();
        return kept_or_said(err);
    }
    // The saved state, with its timers run on to now; a read leaves the file as it is, so
    // that the next transfer starts from the same saved state and clock.
    if (!restore_bypass(*platform_, saved, now)) damaged = true;
    if (damaged && !said_damage_) {
        platform::say_line("libpvqsmb", printable(store_.state_path()) +
                                            ": damaged (truncated, not JSON, or of the wrong "
                                            "sizes); what it lacks starts from the description");
        said_damage_ = true;
    }
    int r = fn(platform_->bus());
    if (writes && r == 0) r = kept_or_said(store_.write_text(save_bypass(*platform_, saved, now)));
    store_.unlock();
    return r;
}

int PlatformBackend::kept_or_said(int err) {
    if (err == 0) return 0;
    if (!said_ && !store_.problem().empty()) {
        platform::say_line("libpvqsmb", printable(store_.problem()));
        said_ = true;
    } else if (!said_) {
        platform::say_line("libpvqsmb",
                           printable(store_.state_path()) +
                               ": the platform's state cannot be kept: " + std::strerror(err));
        said_ = true;
    }
    return -err;
}

int PlatformBackend::read_word(uint8_t addr, uint8_t cmd, uint16_t *value) {
    return locked(addr, false, [&](SimBus &b) { return b.read_word(addr, cmd, value); });
}
int PlatformBackend::read_byte(uint8_t addr, uint8_t cmd, uint8_t *value) {
    return locked(addr, false, [&](SimBus &b) { return b.read_byte(addr, cmd, value); });
}
int PlatformBackend::write_byte(uint8_t addr, uint8_t cmd, uint8_t value) {
    return locked(addr, true, [&](SimBus &b) { return b.write_byte(addr, cmd, value); });
}
int PlatformBackend::read_block(uint8_t addr, uint8_t cmd, uint8_t *buf) {
    return locked(addr, false, [&](SimBus &b) { return b.read_block(addr, cmd, buf); });
}
int PlatformBackend::switch_slot(uint8_t mux_addr, uint8_t slot) {
    // The routing belongs to this process's bus alone; nothing to share.
    std::lock_guard guard(mutex_);
    return platform_->bus().switch_slot(mux_addr, slot);
}

namespace {

// The I/O library backend over a virtual platform: the described readings, and a case-open
// flag whose clearing persists in the state file.
class PlatformIoBackend : public pvqio::Backend {
  public:
    explicit PlatformIoBackend(std::unique_ptr<VirtualPlatform> platform)
        : platform_(std::move(platform)), store_(platform_->path(), platform_->fingerprint()) {
        const HwmSection &h = platform_->hwm();
        for (int i = 0; i < 62; ++i) {
            if (h.values[static_cast<size_t>(i)]) sim_.set(i, *h.values[static_cast<size_t>(i)]);
            if (!h.names[static_cast<size_t>(i)].empty())
                sim_.set_name(i, h.names[static_cast<size_t>(i)]);
        }
    }

    int sensor(int item, char *text) override {
        std::lock_guard guard(mutex_);
        return sim_.sensor(item, text);
    }
    int name(int item, char *text) override {
        std::lock_guard guard(mutex_);
        return sim_.name(item, text);
    }
    int get_caseopen(int *open) override {
        std::lock_guard guard(mutex_);
        std::string text;
        if (const int err = store_.lock(); err != 0) return err;
        bool damaged = false;
        const int err = store_.read_text(text, &damaged);
        store_.unlock();
        if (err != 0) return err;
        say_if(damaged);
        const json doc = parse_state(text);
        *open = doc.contains("caseopen") && doc["caseopen"].is_number_integer()
                    ? doc["caseopen"].get<int>()
                    : platform_->hwm().caseopen;
        return 0;
    }
    int clear_caseopen() override {
        std::lock_guard guard(mutex_);
        std::string text;
        if (const int err = store_.lock(); err != 0) return err;
        bool damaged = false;
        int err = store_.read_text(text, &damaged);
        if (err == 0) {
            say_if(damaged);
            json doc = parse_state(text);
            doc["description"] = platform_->fingerprint();
            doc["caseopen"] = 0;
            err = store_.write_text(doc.dump(1));
        }
        store_.unlock();
        return err;
    }

  private:
    void say_if(bool damaged) {
        if (!damaged || said_damage_) return;
        platform::say_line("libpvqio", printable(store_.state_path()) +
                                           ": damaged (truncated or not JSON); the case-open "
                                           "flag starts from the description");
        said_damage_ = true;
    }

    std::unique_ptr<VirtualPlatform> platform_;
    StateStore store_;
    HwmSim sim_;
    std::mutex mutex_;
    bool said_damage_ = false;
};

} // namespace

} // namespace zrqsim

extern "C" pvqio::Backend *zrqsim_platform_io_backend(const char *path, char *error,
                                                      unsigned size) {
    try {
        return new zrqsim::PlatformIoBackend(zrqsim::VirtualPlatform::load(path));
    } catch (const std::exception &e) {
        if (error && size) std::snprintf(error, size, "%s", e.what());
        return nullptr;
    }
}

extern "C" pvqsmb::Backend *zrqsim_platform_backend(const char *path, char *error, unsigned size) {
    try {
        return new zrqsim::PlatformBackend(zrqsim::VirtualPlatform::load(path));
    } catch (const std::exception &e) {
        if (error && size) std::snprintf(error, size, "%s", e.what());
        return nullptr;
    }
}
