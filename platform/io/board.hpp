// The board description of the hwmon backend: which chip and attribute (or which PMBus
// command of which power supply) is each sensor item, and its scaling. Board knowledge lives
// in the file (platform/boards/zrq4470.json); the code holds none.
//
//   "adapter": "<i2c adapter name>"     the SMBus the supplies sit on (libpvqsmb reads it)
//   "chips": {"<id>": {"name": "<hwmon name>",                 every chip
//                      "temp1_label": "Package id 0",          coretemp: which package
//                      "adapter": "<i2c adapter name>", "address": "0x20"}}   i2c chips
//   "caseopen": {"chip": "<id>", "attribute": "intrusion0_alarm"}
//   "items": {"HWMID_...": "absent"
//                        | {"chip": "<id>", "attribute": "in4"}          by index
//                        | {"chip": "<id>", "label": "SYSTIN"}           by the driver's label
//                        | {"chip": "<id>", "status": "debugfs"}         a kernel-bound PSU
//                        | {"smbus": "0xB0", "command": "READ_VIN"}      PMBus over libpvqsmb
//             with "multiplier" and "offset" (reported = reading * multiplier + offset) and a
//             free "note"}
//
// Readings are reported in thousandths (degrees, volts, amperes, watts) and fans in rpm:
// hwmon's own units but for power (microwatts, so a multiplier of 0.001).
#pragma once

#include "pvqio_backend.hpp"

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace pvqio {

struct ChipSpec {
    std::string id, name, temp1_label, adapter;
    int address = -1; // 7-bit i2c address, -1 for a chip that is not an i2c client
};

struct ItemSpec {
    enum class Kind { Absent, Attribute, Label, DebugfsStatus, Smbus } kind = Kind::Absent;
    int chip = -1;         // index into Board::chips
    std::string attribute; // "in4"; for Label: the label
    uint8_t smbus_addr = 0, command = 0;
    double multiplier = 1, offset = 0;
};

struct Board {
    std::vector<ChipSpec> chips;
    std::array<ItemSpec, 62> items{};
    int caseopen_chip = -1;
    std::string caseopen_attribute;
};

// One line naming the file and the place: "<file>: items.HWMID_X.chip: no chip \"y\"".
class BoardError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

PVQIO_EXPORT Board load_board(const std::string &path);

} // namespace pvqio
