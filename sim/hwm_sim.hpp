// The simulated hardware monitor: readings set by tests (or by the virtual platform) as
// numbers in the I/O library's units, or as raw text, and the case-open flag.
#pragma once

#include "pvqio_backend.hpp"

#include <array>
#include <map>
#include <optional>
#include <string>

namespace zrqsim {

class HwmSim : public pvqio::Backend {
  public:
    void set(int item, long long value) { text_[index(item)] = std::to_string(value); }
    // Exactly what the library hands over, up to 29 characters (more is cut).
    void set_text(int item, std::string text) { text_[index(item)] = std::move(text); }
    void unset(int item) { text_[index(item)].reset(); }
    void set_name(int item, std::string name) { names_[index(item)] = std::move(name); }
    void set_caseopen(int value) { caseopen_ = value; }
    int caseopen() const { return caseopen_; }
    // The next calls for `item` fail with `code` (0 clears it).
    void fail(int item, int code) { faults_[item] = code; }
    unsigned calls() const { return calls_; }

    int sensor(int item, char *text) override;
    int name(int item, char *text) override;
    int get_caseopen(int *open) override;
    int clear_caseopen() override;

  private:
    static size_t index(int item) { return static_cast<size_t>(item) % 62; }
    std::array<std::optional<std::string>, 62> text_;
    std::array<std::string, 62> names_;
    std::map<int, int> faults_;
    int caseopen_ = 0;
    unsigned calls_ = 0;
};

} // namespace zrqsim
