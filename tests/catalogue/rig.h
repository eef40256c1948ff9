// Test rig: simulated HID controllers of either family, found through the library, and
// helpers to read what went over the wire.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "qz/basic.h"
#include "qzsim/simulator.h"

namespace sim = qzsim;

using Packet = sim::Packet;
using Values = std::vector<int64_t>;

// Patterns the outputs hold before a call; no reply of these tests decodes to them.
constexpr uint8_t kUnset8 = 0xA5;
constexpr uint16_t kUnset16 = 0xA5A5;
constexpr int32_t kUnset32 = 0x5A5A5A5A;

inline bool AllUnset(const Values& v) {
  for (int64_t x : v)
    if (x != kUnset8 && x != kUnset16 && x != kUnset32) return false;
  return true;
}

inline const char* FamilyName(sim::Family f) { return f == sim::Family::TwoK ? "TwoK" : "Krxm"; }

// A KRXM controller with product id 7413 (reports carry report id 1) or a 2K controller
// with product id 2150 (report id 0).
inline sim::Controller ControllerOf(sim::Family f, const std::string& tail = "sim0") {
  sim::Controller c = f == sim::Family::TwoK ? sim::Controller::twoK() : sim::Controller{};
  if (f == sim::Family::Krxm) c.productId = 0x7413;
  c.tail = tail;
  return c;
}

class Rig {
 public:
  Rig() {
    setenv("QZ_NO_REAL_HID", "1", 1);
    sim_.start();
    sim_.exportEnvironment();
  }
  ~Rig() {
    for (DeviceHandle h : handles_) CloseDevice(h);
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  sim::Device& add(const sim::Controller& c) {
    devices_.push_back(&sim_.addHid(c));
    return *devices_.back();
  }
  // Opens every controller added so far through the library (identity command and all) and
  // returns their handles in the order they were added, with the records cleared.
  std::vector<DeviceHandle> connect() {
    EXPECT_EQ(EnumerateHidDevices([](const char*, const char*) {}), 1);
    std::vector<DeviceHandle> out;
    for (sim::Device* d : devices_) {
      DeviceHandle h = QZ_NO_DEVICE;
      EXPECT_EQ(OpenDevice(d->path().c_str(), &h), 1) << d->path();
      handles_.push_back(h);
      out.push_back(h);
      d->clearRequests();
    }
    return out;
  }
  // Reopens a controller whose handle was closed (same slot, no identity command).
  DeviceHandle reopen(const sim::Device& d) {
    DeviceHandle h = QZ_NO_DEVICE;
    EXPECT_EQ(OpenDevice(d.path().c_str(), &h), 1);
    handles_.push_back(h);
    return h;
  }

 private:
  sim::Simulator sim_;
  std::vector<sim::Device*> devices_;
  std::vector<DeviceHandle> handles_;
};

// Scripts the controller's answer to the next command with this opcode: r1..r4 after the
// echoed opcode.
inline void Answer(sim::Device& d, uint8_t opcode, std::array<uint8_t, 4> r) {
  d.addFault(sim::Fault::replyWith(opcode, Packet{opcode, r[0], r[1], r[2], r[3]}));
}

// The command packets of a device's record.
inline std::vector<Packet> Wire(const sim::Device& d) { return d.commands(); }

// Requests of one op.
inline std::vector<sim::Request> RequestsOf(const sim::Device& d, uint32_t op) {
  std::vector<sim::Request> out;
  for (const auto& r : d.requests())
    if (r.op == op) out.push_back(r);
  return out;
}

// Milliseconds from the send of the first command with this opcode to the next reply read.
inline double WaitBeforeFirstPoll(const sim::Device& d, uint8_t opcode) {
  const auto reqs = d.requests();
  for (size_t i = 0; i < reqs.size(); ++i) {
    Packet p;
    if (!reqs[i].packet(&p) || p[0] != opcode) continue;
    for (size_t j = i + 1; j < reqs.size(); ++j)
      if (reqs[j].op == sim::kGetFeature) return double(reqs[j].timeUs - reqs[i].timeUs) / 1000.0;
    break;
  }
  return -1;
}
