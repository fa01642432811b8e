// Adapter names as the kernel gives them, for matching the one a board description names.
#pragma once

#include <string>

namespace platform {

// "SMBus I801 adapter at f000" -> "SMBus I801 adapter": the I/O base that firmware assigns (and
// a BIOS update may move) left out; what stays names the controller.
inline std::string without_io_base(const std::string &name) {
    const size_t at = name.rfind(" at ");
    if (at == std::string::npos || at + 4 == name.size() ||
        name.find_first_not_of("0123456789abcdefABCDEF", at + 4) != std::string::npos)
        return name;
    return name.substr(0, at);
}

} // namespace platform
