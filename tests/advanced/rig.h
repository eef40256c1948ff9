// A simulated controller found through QZ_BASIC on one transport, and its command record
// as text, for the tests of the controller functions.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qz/advanced.h"
#include "qzsim/simulator.h"

namespace advtest {

const char* transportName(qzsim::Transport t);

class Rig {
 public:
  explicit Rig(qzsim::Transport transport = qzsim::Transport::Hid);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // Serves the controller on the rig's transport and finds it with the matching finder of
  // QZ_BASIC. The finder's own commands are cleared from the record.
  bool open(const qzsim::Controller& controller);

  DeviceHandle handle() const { return handle_; }
  qzsim::Device& device() { return *device_; }
  qzsim::ModelState state() const { return device_->state(); }
  qzsim::Transport transport() const { return transport_; }

  // Commands received since open (or clear) as "E0 00 F0 00 00".
  std::vector<std::string> sent() const;
  void clear() { device_->clearRequests(); }

 private:
  qzsim::Transport transport_;
  qzsim::Simulator sim_;
  qzsim::Device* device_ = nullptr;
  DeviceHandle handle_ = QZ_NO_DEVICE;
};

// "E0 00 F0 00 00" of a packet.
std::string hex(const qzsim::Packet& p);
// Commands of a record whose opcode is op.
std::vector<std::string> withOpcode(const std::vector<std::string>& sent, uint8_t op);

// A controller whose master chip has one slave per entry of slaves.
qzsim::Controller withSlaves(std::vector<qzsim::Chip> slaves, bool addressed = false);

}  // namespace advtest
