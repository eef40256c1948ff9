// The descriptors a transport opened, so that only those are ever closed. Fixed capacity:
// an open beyond it fails instead of growing.
#pragma once
#include "qz/basic.h"

namespace qz {

class HandleSet {
 public:
  constexpr HandleSet() {
    for (auto& s : slots_) s = QZ_NO_DEVICE;
  }
  bool add(DeviceHandle h) {
    for (auto& s : slots_)
      if (s == QZ_NO_DEVICE) return (s = h), true;
    return false;
  }
  bool contains(DeviceHandle h) const {
    if (h == QZ_NO_DEVICE) return false;
    for (auto s : slots_)
      if (s == h) return true;
    return false;
  }
  void remove(DeviceHandle h) {
    for (auto& s : slots_)
      if (s == h) s = QZ_NO_DEVICE;
  }

 private:
  static constexpr int kCapacity = 64;
  DeviceHandle slots_[kCapacity];
};

}  // namespace qz
