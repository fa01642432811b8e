// Linux hwmon backend of the I/O library: the sensor items as the board description maps them
// onto hwmon chips and attributes under a sysfs root, and onto the power supplies' PMBus
// commands through libpvqsmb.
//
// Chips are found by their hwmon `name` and the key the description gives (coretemp's
// temp1_label, an i2c chip's adapter name and address; hwmon numbers follow probe order and
// are never assumed), with their attributes under hwmonN/ or, on older kernels, under
// hwmonN/device/. A chip once found is held by a descriptor of its attribute folder, so a
// reading can only ever come from that device: when the device goes away (unbound, or bound
// again under another number) its folder is gone, and the chip is looked up afresh.
#pragma once

#include "board.hpp"
#include "pvqio_backend.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace pvqio {

class PVQIO_EXPORT HwmonBackend : public Backend {
  public:
    HwmonBackend(std::string sysfs_root, Board board);
    ~HwmonBackend() override;
    HwmonBackend(const HwmonBackend &) = delete;
    HwmonBackend &operator=(const HwmonBackend &) = delete;
    int sensor(int item, char *text) override;
    int name(int item, char *text) override;
    int get_caseopen(int *open) override;
    int clear_caseopen() override;

  private:
    struct Found {
        int dir = -1;      // the folder holding its attributes, held open
        std::string entry; // <root>/class/hwmon/hwmonN when it was found
    };
    // The chip's attribute folder, found now if it was not held or has gone away.
    int chip_dir(int chip, int &dir);
    void forget(int chip);
    bool matches(const ChipSpec &want, const std::string &entry, std::string &attrs) const;
    int resolve(int item, int &dir, std::string &base);
    // An attribute of the item's chip, looked up again once if the chip has gone away.
    int read_attr(int item, const std::string &suffix, std::string &line);
    int reading(int item, long long &value);

    std::string root_;
    Board board_;
    std::mutex mutex_;
    std::vector<char> said_;              // whether a missing chip was reported (once per chip)
    std::vector<Found> found_;            // per chip of the board
    std::vector<std::string> label_base_; // per item found by label: "temp3"
};

} // namespace pvqio
