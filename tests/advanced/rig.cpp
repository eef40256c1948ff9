#include "rig.h"

#include <cstdio>
#include <cstdlib>

namespace advtest {

namespace {
constexpr int kSerialPort = 7;
constexpr int kSerialSpeed = 38400;
}  // namespace

const char* transportName(qzsim::Transport t) {
  switch (t) {
    case qzsim::Transport::Hid: return "Hid";
    case qzsim::Transport::Driver: return "Driver";
    case qzsim::Transport::Serial: return "Serial";
  }
  return "?";
}

Rig::Rig(qzsim::Transport transport) : transport_(transport) {}

Rig::~Rig() {
  if (handle_ != QZ_NO_DEVICE) CloseDevice(handle_);
}

bool Rig::open(const qzsim::Controller& c) {
  setenv("QZ_NO_REAL_HID", "1", 1);
  const bool twoK = c.family == qzsim::Family::TwoK;
  switch (transport_) {
    case qzsim::Transport::Hid: device_ = &sim_.addHid(c); break;
    case qzsim::Transport::Driver: device_ = &sim_.addDriverObject(c, twoK ? "QZU2K_API0" : "QZUKRXM_API0"); break;
    case qzsim::Transport::Serial: device_ = &sim_.addSerial(c, "com7"); break;
  }
  sim_.start();
  sim_.exportEnvironment();
  char name[QZ_MODEL_NAME_SIZE] = {};
  int32_t found = 0;
  switch (transport_) {
    case qzsim::Transport::Hid: found = FindHidDevice(&handle_, name); break;
    case qzsim::Transport::Driver: found = FindQZDevice(&handle_, name); break;
    case qzsim::Transport::Serial:
      // The serial finder keeps the family of the device current before it; a HID scan
      // (this simulator serves none) starts that over as KRXM.
      FindHidDevice(&handle_, name);
      setenv("QZ_COM7", device_->path().c_str(), 1);
      found = FindRSDevice(kSerialPort, kSerialSpeed, &handle_, name);
      break;
  }
  if (!found) {
    handle_ = QZ_NO_DEVICE;
    return false;
  }
  device_->clearRequests();
  return true;
}

std::vector<std::string> Rig::sent() const {
  std::vector<std::string> out;
  for (const auto& p : device_->commands()) out.push_back(hex(p));
  return out;
}

std::string hex(const qzsim::Packet& p) {
  char buf[16];
  snprintf(buf, sizeof buf, "%02X %02X %02X %02X %02X", p[0], p[1], p[2], p[3], p[4]);
  return buf;
}

std::vector<std::string> withOpcode(const std::vector<std::string>& sent, uint8_t op) {
  char prefix[4];
  snprintf(prefix, sizeof prefix, "%02X ", op);
  std::vector<std::string> out;
  for (const auto& s : sent)
    if (s.compare(0, 3, prefix) == 0) out.push_back(s);
  return out;
}

qzsim::Controller withSlaves(std::vector<qzsim::Chip> slaves, bool addressed) {
  qzsim::Controller c;
  for (auto& s : slaves) c.chips.push_back(std::move(s));
  c.addressedQueries = addressed;
  return c;
}

}  // namespace advtest
