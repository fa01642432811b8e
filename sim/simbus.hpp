// The simulated SMBus: a pvqsmb::Backend to which device models attach.
//
// Segment 0 is the main bus; segments 1..channels lie behind the slot switch, and a device on
// a segment answers only while the switch routes to it (main-bus devices always answer).
// Every call is recorded in a trace, and faults can be injected per transfer: fail the next k
// attempts of one (operation, address, command) with a given negative code, optionally after
// letting the first m matching attempts through.
//
// One bus serves one thread at a time, like the adapter it stands in for.
#pragma once

#include "pvqsmb_backend.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <ostream>
#include <span>
#include <vector>

namespace zrqsim {

enum class Op : uint8_t { ReadWord, ReadByte, WriteByte, ReadBlock, SwitchSlot };

// One call as the bus saw it. For a switch, addr is the switch's address and cmd the slot;
// data is the byte written for WriteByte and 0 otherwise.
struct Transfer {
    Op op;
    uint8_t addr;
    uint8_t cmd;
    uint8_t data;
    int result;
    bool operator==(const Transfer &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Transfer &t);

// Builders for expected traces.
constexpr Transfer sw(uint8_t slot, int result = 0) {
    return {Op::SwitchSlot, 0xE6, slot, 0, result};
}
constexpr Transfer rdw(uint8_t addr, uint8_t cmd, int result = 0) {
    return {Op::ReadWord, addr, cmd, 0, result};
}
constexpr Transfer rdb(uint8_t addr, uint8_t cmd, int result = 0) {
    return {Op::ReadByte, addr, cmd, 0, result};
}
constexpr Transfer rdk(uint8_t addr, uint8_t cmd, int result = 0) {
    return {Op::ReadBlock, addr, cmd, 0, result};
}
constexpr Transfer wrb(uint8_t addr, uint8_t cmd, uint8_t data, int result = 0) {
    return {Op::WriteByte, addr, cmd, data, result};
}

// A device model's bus face. A command the device does not know is not acknowledged.
class Device {
  public:
    virtual ~Device() = default;
    virtual int read_word(uint8_t cmd, uint16_t *value);
    virtual int read_byte(uint8_t cmd, uint8_t *value);
    virtual int write_byte(uint8_t cmd, uint8_t value);
    // Returns the number of bytes the device sends (the bus keeps at most 32), or a negative
    // code.
    virtual int read_block(uint8_t cmd, std::span<uint8_t, pvqsmb::kBlockMax> out);
};

class SimBus : public pvqsmb::Backend {
  public:
    static constexpr uint8_t kSwitchAddr = 0xE6;
    static constexpr unsigned kMaxChannels = 16;

    explicit SimBus(unsigned channels = 8);

    // Attaches a device (not owned) at an 8-bit address; nullptr detaches.
    void attach(unsigned segment, uint8_t addr, Device *device);

    // Fail the next `times` matching attempts (times < 0: every one) with `code`, after
    // letting `after` matching attempts through. A switch is matched as (SwitchSlot, 0xE6,
    // slot).
    void fail(Op op, uint8_t addr, uint8_t cmd, int times, int code = -EIO, int after = 0);
    void fail_switch(uint8_t slot, int times, int code = -EIO, int after = 0) {
        fail(Op::SwitchSlot, kSwitchAddr, slot, times, code, after);
    }
    void clear_faults() { faults_.clear(); }

    const std::vector<Transfer> &trace() const { return trace_; }
    void clear_trace() { trace_.clear(); }
    void set_tracing(bool on) { tracing_ = on; }
    unsigned selected_segment() const { return selected_; }

    int read_word(uint8_t addr, uint8_t cmd, uint16_t *value) override;
    int read_byte(uint8_t addr, uint8_t cmd, uint8_t *value) override;
    int write_byte(uint8_t addr, uint8_t cmd, uint8_t value) override;
    int read_block(uint8_t addr, uint8_t cmd, uint8_t *buf) override;
    int switch_slot(uint8_t mux_addr, uint8_t slot) override;

  private:
    struct Fault {
        Op op;
        uint8_t addr;
        uint8_t cmd;
        int times;
        int code;
        int after;
    };

    Device *find(uint8_t addr) const;
    int injected(Op op, uint8_t addr, uint8_t cmd);
    int record(Op op, uint8_t addr, uint8_t cmd, uint8_t data, int result) {
        if (tracing_) trace_.push_back({op, addr, cmd, data, result});
        return result;
    }

    unsigned channels_;
    unsigned selected_ = 0;
    bool tracing_ = true;
    std::array<std::array<Device *, 128>, kMaxChannels + 1> devices_{};
    std::vector<Fault> faults_;
    std::vector<Transfer> trace_;
};

} // namespace zrqsim
