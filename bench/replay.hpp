// Replaying a recorded trace straight into the simulated bus: the cost of the bus traffic
// alone, to subtract from a plug-in call's time.
#pragma once

#include "simbus.hpp"

#include <benchmark/benchmark.h>

#include <vector>

inline void replay(pvqsmb::Backend &bus, const std::vector<zrqsim::Transfer> &trace) {
    uint16_t word = 0;
    uint8_t byte = 0;
    uint8_t block[33];
    for (const zrqsim::Transfer &t : trace) {
        switch (t.op) {
        case zrqsim::Op::ReadWord:
            benchmark::DoNotOptimize(bus.read_word(t.addr, t.cmd, &word));
            break;
        case zrqsim::Op::ReadByte:
            benchmark::DoNotOptimize(bus.read_byte(t.addr, t.cmd, &byte));
            break;
        case zrqsim::Op::WriteByte:
            benchmark::DoNotOptimize(bus.write_byte(t.addr, t.cmd, t.data));
            break;
        case zrqsim::Op::ReadBlock:
            benchmark::DoNotOptimize(bus.read_block(t.addr, t.cmd, block));
            break;
        case zrqsim::Op::SwitchSlot:
            benchmark::DoNotOptimize(bus.switch_slot(t.addr, t.cmd));
            break;
        }
    }
}

// Records the traffic of one call of `op` on `bus`, then turns tracing off.
template <typename F> std::vector<zrqsim::Transfer> record(zrqsim::SimBus &bus, F op) {
    bus.set_tracing(true);
    bus.clear_trace();
    op();
    std::vector<zrqsim::Transfer> t = bus.trace();
    bus.clear_trace();
    bus.set_tracing(false);
    return t;
}
