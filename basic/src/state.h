// Process-wide state of the device access library: the device table, the current device
// and the exchange settings. Unguarded by design: callers serialise all calls.
#pragma once
#include <cstdint>

#include "qz/basic.h"

namespace qz {

struct DeviceSlot {
  char devicePath[QZ_PATH_SIZE];
  int32_t baudRate;
  int32_t comPort;
  int32_t usesReportId;
  int32_t is2KFamily;
  DeviceHandle handle;
  DeviceType deviceType;
};

struct ExchangeSettings {
  int32_t newDriverProtocol;
  int32_t reportedSize;
  int32_t d1WaitMs;
  int32_t replyWaitMs;
  int32_t expectReply;
  uint8_t sharedPacket[5];
  int32_t driverVersionQueried;
};

constexpr int kSlotCount = 16;

extern DeviceSlot g_table[kSlotCount];
extern DeviceSlot g_current;
extern ExchangeSettings g_settings;

// Makes the handle the current device; false for -1 or a handle no slot holds.
bool SelectDevice(DeviceHandle handle);
// Stores the current device in the lowest free slot unless a slot already holds its handle.
void RememberCurrentDevice();
// Writes "QZ%d" or "QZ%d%c" from an identity reply into a buffer of QZ_MODEL_NAME_SIZE.
void MakeModelName(char* name, const uint8_t* reply);
// Copies a path into a 260-character field; false (field untouched) when it does not fit.
bool CopyPath(char* field, const char* path);
// Wait before the first reply poll for an opcode (HID and vendor-driver exchanges).
int WaitBeforePoll(uint8_t opcode);

}  // namespace qz
