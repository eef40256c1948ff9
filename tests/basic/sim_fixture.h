// A simulator with its directories exported to the library, for tests of the device
// access library. Every test runs in a process of its own under CTest, so the library's
// process-wide state (device table, exchange settings) starts fresh in each.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "qz/basic.h"
#include "qzsim/simulator.h"

namespace qztest {

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QZ_NO_REAL_HID", "1", 1);
    sim.start();
    sim.exportEnvironment();
  }
  void TearDown() override {
    for (DeviceHandle h : opened) CloseDevice(h);
  }

  // HID requests of one op, in order.
  static std::vector<qzsim::Request> ofOp(const qzsim::Device& d, uint32_t op) {
    std::vector<qzsim::Request> out;
    for (auto& r : d.requests())
      if (r.op == op) out.push_back(r);
    return out;
  }

  DeviceHandle keep(DeviceHandle h) {
    opened.push_back(h);
    return h;
  }

  qzsim::Simulator sim;
  std::vector<DeviceHandle> opened;
};

inline qzsim::Controller Hid(uint16_t productId, const char* tail = "sim0") {
  qzsim::Controller c = productId / 0x1000 == 2 ? qzsim::Controller::twoK() : qzsim::Controller{};
  c.productId = productId;
  c.tail = tail;
  return c;
}

}  // namespace qztest
