#include "simbus.hpp"

#include <algorithm>
#include <iomanip>

namespace zrqsim {

std::ostream &operator<<(std::ostream &os, const Transfer &t) {
    static constexpr const char *kNames[] = {"read_word", "read_byte", "write_byte", "read_block",
                                             "switch_slot"};
    os << kNames[static_cast<int>(t.op)] << std::hex << "(0x" << int(t.addr) << ", 0x"
       << int(t.cmd);
    if (t.op == Op::WriteByte) os << ", 0x" << int(t.data);
    return os << std::dec << ") = " << t.result;
}

int Device::read_word(uint8_t, uint16_t *) {
    return -EIO;
}
int Device::read_byte(uint8_t, uint8_t *) {
    return -EIO;
}
int Device::write_byte(uint8_t, uint8_t) {
    return -EIO;
}
int Device::read_block(uint8_t, std::span<uint8_t, pvqsmb::kBlockMax>) {
    return -EIO;
}

SimBus::SimBus(unsigned channels) : channels_(std::min(channels, kMaxChannels)) {
    trace_.reserve(1024);
}

void SimBus::attach(unsigned segment, uint8_t addr, Device *device) {
    if (segment <= kMaxChannels) devices_[segment][addr >> 1] = device;
}

void SimBus::fail(Op op, uint8_t addr, uint8_t cmd, int times, int code, int after) {
    if (times != 0) faults_.push_back({op, addr, cmd, times, code, after});
}

Device *SimBus::find(uint8_t addr) const {
    Device *d = devices_[0][addr >> 1];
    if (d == nullptr && selected_ != 0) d = devices_[selected_][addr >> 1];
    return d;
}

int SimBus::injected(Op op, uint8_t addr, uint8_t cmd) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->op != op || it->addr != addr || it->cmd != cmd) continue;
        if (it->after > 0) {
            --it->after;
            continue;
        }
        const int code = it->code;
        if (it->times > 0 && --it->times == 0) faults_.erase(it);
        return code;
    }
    return 0;
}

int SimBus::read_word(uint8_t addr, uint8_t cmd, uint16_t *value) {
    int r = injected(Op::ReadWord, addr, cmd);
    if (r == 0) {
        Device *d = find(addr);
        r = d ? d->read_word(cmd, value) : -ENXIO;
    }
    return record(Op::ReadWord, addr, cmd, 0, r);
}

int SimBus::read_byte(uint8_t addr, uint8_t cmd, uint8_t *value) {
    int r = injected(Op::ReadByte, addr, cmd);
    if (r == 0) {
        Device *d = find(addr);
        r = d ? d->read_byte(cmd, value) : -ENXIO;
    }
    return record(Op::ReadByte, addr, cmd, 0, r);
}

int SimBus::write_byte(uint8_t addr, uint8_t cmd, uint8_t value) {
    int r = injected(Op::WriteByte, addr, cmd);
    if (r == 0) {
        Device *d = find(addr);
        r = d ? d->write_byte(cmd, value) : -ENXIO;
    }
    return record(Op::WriteByte, addr, cmd, value, r);
}

int SimBus::read_block(uint8_t addr, uint8_t cmd, uint8_t *buf) {
    int r = injected(Op::ReadBlock, addr, cmd);
    if (r == 0) {
        Device *d = find(addr);
        if (d == nullptr) {
            r = -ENXIO;
        } else {
            std::array<uint8_t, pvqsmb::kBlockMax> block{};
            const int n = d->read_block(cmd, block);
            if (n < 0) {
                r = n;
            } else {
                std::copy_n(block.begin(), std::min(n, pvqsmb::kBlockMax), buf);
            }
        }
    }
    return record(Op::ReadBlock, addr, cmd, 0, r);
}

int SimBus::switch_slot(uint8_t mux_addr, uint8_t slot) {
    int r = injected(Op::SwitchSlot, mux_addr, slot);
    if (r == 0) {
        if (mux_addr != kSwitchAddr)
            r = -ENODEV; // no switch answers there
        else if (slot == 0 || slot > channels_)
            r = -EINVAL; // no such channel: the routing stays as it was
        else
            selected_ = slot;
    }
    return record(Op::SwitchSlot, mux_addr, slot, 0, r);
}

} // namespace zrqsim
