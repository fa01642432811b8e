// Linux hwmon backend of the I/O library: the board map from sensor items to hwmon chips and
// attributes, read under a sysfs root.
#pragma once

#include "pvqio_backend.hpp"

#include <string>

namespace pvqio {

class PVQIO_EXPORT HwmonBackend : public Backend {
  public:
    explicit HwmonBackend(std::string sysfs_root) : root_(std::move(sysfs_root)) {}
    int sensor(int item, char *text) override;
    int name(int item, char *text) override;
    int get_caseopen(int *open) override;
    int clear_caseopen() override;

  private:
    std::string root_;
};

} // namespace pvqio
