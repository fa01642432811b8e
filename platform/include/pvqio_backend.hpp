// The inside of the hardware I/O library stand-in: the four calls go to one backend.
//
// Two backends exist: Linux hwmon in sysfs for a real machine (with the board's map from
// sensor items to hwmon chips and attributes), and the simulated hardware monitor (sim/) for
// tests and the demo. The backend is chosen at the first call: PVQIO_PLATFORM naming a virtual
// platform description selects the simulated one, anything else hwmon under /sys (PVQIO_SYSFS
// overrides the root). Tests install a backend of their own with set_backend().
#pragma once

#define PVQIO_EXPORT __attribute__((visibility("default")))

namespace pvqio {

// Room for a reading or a name: 29 characters and the terminator.
inline constexpr int kTextSize = 30;

class Backend {
  public:
    virtual ~Backend() = default;
    // Write at most kTextSize bytes, terminator included. 0, or a positive errno value:
    // positive so that a failure the hardware monitor passes up can never be mistaken for one
    // of the plug-ins' own (negative) status codes.
    virtual int sensor(int item, char *text) = 0;
    virtual int name(int item, char *text) = 0;
    virtual int get_caseopen(int *open) = 0;
    virtual int clear_caseopen() = 0;
};

PVQIO_EXPORT void set_backend(Backend *backend);
PVQIO_EXPORT Backend &backend();

} // namespace pvqio
