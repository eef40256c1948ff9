#include "qzsim/model.h"

namespace qzsim {

std::bitset<256> defaultRefused() {
  std::bitset<256> b;
  for (int op = 0; op < 0xD0; ++op) b.set(op);
  return b;
}

Controller Controller::twoK() {
  Controller c;
  c.family = Family::TwoK;
  c.productId = 0x2150;
  return c;
}

int Controller::effectiveReportId() const {
  if (reportId == 0 || reportId == 1) return reportId;
  return productId == 0x7413 || productId == 0x7416 ? 1 : 0;
}

std::string Controller::hidSocketName() const {
  if (!socketName.empty()) return socketName;
  char buf[32];
  snprintf(buf, sizeof buf, "hid#vid_%04x&pid_%04x#", vendorId, productId);
  return buf + tail;
}

ControllerModel::ControllerModel(Controller desc) : desc_(std::move(desc)) {}

bool ControllerModel::command(const Packet& cmd, Packet* reply) {
  *reply = cmd;
  return true;
}

size_t ControllerModel::blockBytes() const { return desc_.blockSize ? desc_.blockSize : 8; }
size_t ControllerModel::nextBlock(uint8_t*, size_t) { return 0; }
void ControllerModel::setBulkValues(std::vector<uint16_t> values) { bulkValues_ = std::move(values); }
std::vector<uint16_t> ControllerModel::frame() const { return frame_; }
uint16_t ControllerModel::frameValue(unsigned, unsigned) const { return 0; }

}  // namespace qzsim
