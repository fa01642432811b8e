// A fresh simulated bus per test, installed as the SMBus library's backend and removed after.
#pragma once

#include "simbus.hpp"

#include <gtest/gtest.h>

#include <vector>

class BusTest : public ::testing::Test {
  protected:
    void SetUp() override { pvqsmb::set_backend(&bus); }
    void TearDown() override { pvqsmb::set_backend(nullptr); }

    // The trace since the last call, cleared.
    std::vector<zrqsim::Transfer> take_trace() {
        std::vector<zrqsim::Transfer> t = bus.trace();
        bus.clear_trace();
        return t;
    }

    zrqsim::SimBus bus;
};

using Trace = std::vector<zrqsim::Transfer>;
