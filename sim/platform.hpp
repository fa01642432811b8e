// The virtual platform: a description file (JSON) of what sits on the buses, turned into the
// simulated bus with its device models, plus the hardware monitor's values.
//
// Writes that a real machine would keep (bypass masks, timer registers, the cleared case-open
// flag) persist from one process to the next in a state file kept per description file:
// beside it as <file>.state, or in a run-time folder when that folder is read-only. A lock
// file guards it, so that processes that share a platform see each other's writes.
//
// A description that cannot be read gives a PlatformError whose message names the file and
// the problem.
#pragma once

#include "lbp_module.hpp"
#include "pmbus_psu.hpp"
#include "pvqio_backend.hpp"
#include "pvqsmb_backend.hpp"
#include "simbus.hpp"

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zrqsim {

class PlatformError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct HwmSection {
    std::array<std::optional<long long>, 62> values; // thousandths, or rpm for fans
    std::array<std::string, 62> names;               // empty: the item's enumeration name
    int caseopen = 0;
};

class VirtualPlatform {
  public:
    // Reads and checks the description; throws PlatformError.
    static std::unique_ptr<VirtualPlatform> load(const std::string &path);
    // The same for a description's text; `path` names it in messages and places its state.
    static std::unique_ptr<VirtualPlatform> parse(const std::string &path, const std::string &text);

    SimBus &bus() { return bus_; }
    const std::string &path() const { return path_; }
    // Names the description's content: a state saved for other content is not this one's.
    const std::string &fingerprint() const { return fingerprint_; }
    std::map<unsigned, std::unique_ptr<LbpModule>> &bypass() { return bypass_; }
    PmbusPsu *psu(unsigned number) { return psus_[number - 1].get(); }
    HwmSection &hwm() { return hwm_; }

  private:
    std::string path_;
    std::string fingerprint_;
    SimBus bus_;
    std::map<unsigned, std::unique_ptr<LbpModule>> bypass_;
    std::array<std::unique_ptr<PmbusPsu>, 3> psus_;
    std::array<std::unique_ptr<Y3Data>, 3> y3_;
    HwmSection hwm_;
};

// The state file of a description file, and its lock.
class StateStore {
  public:
    StateStore(const std::string &description, const std::string &fingerprint);
    const std::string &state_path() const { return state_; }
    // Why there is no place for the state ("" when there is one).
    const std::string &problem() const { return problem_; }

    // The state document as JSON text ("" when there is none, or when it was saved for another
    // content of the description: an edited description starts afresh, a touched one does
    // not). Call with the lock held. Each
    // returns 0 or the errno of what failed: a state that cannot be read or kept must fail
    // the transfer, not vanish behind a success.
    // `damaged`, when given, tells whether the file held something that is no state
    // (truncated, not JSON): it then counts as none.
    int read_text(std::string &text, bool *damaged = nullptr) const;
    // Writes a temporary file beside the state, flushes it to the disk and renames it over
    // the state, so that a reader finds the old state or the new one, whole.
    int write_text(const std::string &text) const;
    int lock() const;
    void unlock() const;

  private:
    std::string description_;
    std::string fingerprint_;
    std::string state_;
    std::string problem_;
    std::string lock_path_;
    mutable int lock_fd_ = -1;
};

// The SMBus backend over a virtual platform, with the bypass modules' registers kept in the
// state file. Every transfer to a bypass module takes the lock and picks up what other
// processes wrote; a write saves the modules back.
class PlatformBackend : public pvqsmb::Backend {
  public:
    explicit PlatformBackend(std::unique_ptr<VirtualPlatform> platform);
    ~PlatformBackend() override;

    int read_word(uint8_t addr, uint8_t cmd, uint16_t *value) override;
    int read_byte(uint8_t addr, uint8_t cmd, uint8_t *value) override;
    int write_byte(uint8_t addr, uint8_t cmd, uint8_t value) override;
    int read_block(uint8_t addr, uint8_t cmd, uint8_t *buf) override;
    int switch_slot(uint8_t mux_addr, uint8_t slot) override;

    VirtualPlatform &platform() { return *platform_; }

  private:
    template <typename Fn> int locked(uint8_t addr, bool writes, Fn &&fn);
    // -err, saying the first time on stderr that the state cannot be kept; 0 for 0.
    int kept_or_said(int err);

    std::unique_ptr<VirtualPlatform> platform_;
    StateStore store_;
    std::mutex mutex_;
    bool said_ = false;
    bool said_damage_ = false;
};

// Reads the bypass modules' state from a state document, their running timers advanced by
// the seconds since it was saved; and writes it into one, with the clock of `now`.
// False when the state was damaged (an entry of the wrong size or type, a clock that is no
// whole number): what was whole is restored, the rest keeps the described state.
bool restore_bypass(VirtualPlatform &platform, const std::string &state_json, long long now);
std::string save_bypass(VirtualPlatform &platform, const std::string &state_json, long long now);

} // namespace zrqsim

extern "C" {
// Entry point for the SMBus stand-in: a backend serving the platform described in `path`, or
// nullptr with the reason in `error` (at most `size` bytes).
__attribute__((visibility("default"))) pvqsmb::Backend *
zrqsim_platform_backend(const char *path, char *error, unsigned size);
// The same for the I/O library stand-in: the description's hardware monitor section.
__attribute__((visibility("default"))) pvqio::Backend *
zrqsim_platform_io_backend(const char *path, char *error, unsigned size);
}
