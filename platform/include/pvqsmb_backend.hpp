// The inside of the SMBus access library stand-in: the five calls go to one backend.
//
// Two backends exist: Linux i2c-dev for a real machine, and the simulated bus (sim/) for tests
// and the demo. The backend is chosen at the first call: PVQSMB_PLATFORM naming a virtual
// platform description selects the simulated platform, anything else the i2c-dev adapter.
// Tests install a backend of their own with set_backend().
#pragma once

#include <cstdint>

#define PVQSMB_EXPORT __attribute__((visibility("default")))

namespace pvqsmb {

inline constexpr int kBlockMax = 32;

class Backend {
  public:
    virtual ~Backend() = default;
    virtual int read_word(uint8_t addr, uint8_t cmd, uint16_t *value) = 0;
    virtual int read_byte(uint8_t addr, uint8_t cmd, uint8_t *value) = 0;
    virtual int write_byte(uint8_t addr, uint8_t cmd, uint8_t value) = 0;
    // Stores at most kBlockMax data bytes from buf[0].
    virtual int read_block(uint8_t addr, uint8_t cmd, uint8_t *buf) = 0;
    virtual int switch_slot(uint8_t mux_addr, uint8_t slot) = 0;
};

// Installs `backend` for all later calls (the caller keeps ownership); nullptr goes back to
// the default choice. Not to be called while another thread is inside the library.
PVQSMB_EXPORT void set_backend(Backend *backend);

// The backend in use, chosen now if nothing was chosen yet.
PVQSMB_EXPORT Backend &backend();

} // namespace pvqsmb
