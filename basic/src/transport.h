// One transport of the library: how a handle of its device types is opened, closed and
// used for one command exchange. SendCmd and the device table see transports only here.
#pragma once
#include <cstddef>
#include <cstdint>

#include "qz/basic.h"

namespace qz {

struct Transport {
  // Opens a device path as OpenDevice reopens a slot; QZ_NO_DEVICE on failure.
  DeviceHandle (*open)(const char* path);
  // True when this transport opened the handle and it is still open.
  bool (*owns)(DeviceHandle handle);
  void (*close)(DeviceHandle handle);
  // One exchange with the current device (the meaning of SendCmd after selection).
  int32_t (*exchange)(DeviceHandle handle, const uint8_t* command, uint8_t* reply);
  // Bulk transfer: a block's values start at buf[blockOffset] (HID puts the report id
  // first). readBlock reads one block of n value bytes into buf, whose capacity is
  // n + blockOffset, and returns the number of value bytes delivered, or -1 on failure.
  // Null for a transport without block reads.
  size_t blockOffset;
  long (*readBlock)(DeviceHandle handle, uint8_t* buf, size_t n);
};

extern const Transport kHidTransport;
// Transports added by later layers are null until they exist; a null entry fails cleanly.
extern const Transport* const kDriverTransport;
extern const Transport* const kSerialTransport;

// The transport of a device type, or nullptr for a type outside 1 to 4 (or not built).
const Transport* TransportFor(DeviceType type);
// The transport that opened this handle, or nullptr.
const Transport* TransportOwning(DeviceHandle handle);

}  // namespace qz
