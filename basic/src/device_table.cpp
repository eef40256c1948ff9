// The device table, the current device and the exports that work on them.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "state.h"
#include "transport.h"

namespace qz {

namespace {
constexpr DeviceSlot kDefaultSlot = {"", 38400, 1, 0, 0, QZ_NO_DEVICE, QZ_TYPE_HID};
constexpr ExchangeSettings kDefaultSettings = {0, 64, 0, 5, 1, {0, 0, 0, 0, 0}, 0};
}  // namespace

DeviceSlot g_table[kSlotCount];
DeviceSlot g_current;
ExchangeSettings g_settings;

__attribute__((constructor)) static void LibraryLoad() {
  for (auto& s : g_table) s = kDefaultSlot;
  g_current = kDefaultSlot;
  g_settings = kDefaultSettings;
}

__attribute__((destructor)) static void LibraryUnload() {
  for (auto& s : g_table) {
    if (s.handle == QZ_NO_DEVICE) continue;
    if (const Transport* t = TransportOwning(s.handle)) t->close(s.handle);
    s.handle = QZ_NO_DEVICE;
  }
  g_current.handle = QZ_NO_DEVICE;
}

bool CopyPath(char* field, const char* path) {
  size_t n = strnlen(path, QZ_PATH_SIZE);
  if (n >= QZ_PATH_SIZE) return false;
  memcpy(field, path, n + 1);
  return true;
}

bool SelectDevice(DeviceHandle handle) {
  if (handle == QZ_NO_DEVICE) return false;
  if (handle == g_current.handle) return true;
  for (const auto& s : g_table) {
    if (s.handle != handle) continue;
    g_current.handle = s.handle;
    g_current.deviceType = s.deviceType;
    g_current.comPort = s.comPort;
    g_current.is2KFamily = s.is2KFamily;
    g_current.usesReportId = s.usesReportId;
    g_current.baudRate = s.baudRate;
    return true;
  }
  return false;
}

void RememberCurrentDevice() {
  for (const auto& s : g_table)
    if (s.handle == g_current.handle) return;
  for (auto& s : g_table) {
    if (s.handle != QZ_NO_DEVICE) continue;
    s = g_current;  // all seven fields, the path included
    return;
  }
  // All 16 slots in use: the device stays usable only while it is current.
}

void MakeModelName(char* name, const uint8_t* r) {
  unsigned number = g_current.is2KFamily ? r[1] * 256u + r[2] : r[2] * 256u + r[1];
  if (number & 0x8000) {
    g_settings.sharedPacket[0] = 0xF4;
    memset(g_settings.sharedPacket + 1, 0, 4);
    SendCmd(g_current.handle, g_settings.sharedPacket, g_settings.sharedPacket);
    number &= 0x7FFF;
  }
  uint8_t letter = r[4];
  if (!g_current.is2KFamily && letter != 0)
    snprintf(name, QZ_MODEL_NAME_SIZE, "QZ%u%c", number, char(letter + 0x40));
  else
    snprintf(name, QZ_MODEL_NAME_SIZE, "QZ%u", number);
}

const Transport* TransportFor(DeviceType type) {
  switch (type) {
    case QZ_TYPE_HID: return &kHidTransport;
    case QZ_TYPE_DRIVER_USB:
    case QZ_TYPE_DRIVER_SERIAL: return kDriverTransport;
    case QZ_TYPE_SERIAL: return kSerialTransport;
    default: return nullptr;
  }
}

const Transport* TransportOwning(DeviceHandle handle) {
  if (handle == QZ_NO_DEVICE) return nullptr;
  for (const Transport* t : {&kHidTransport, kDriverTransport, kSerialTransport})
    if (t && t->owns(handle)) return t;
  return nullptr;
}

}  // namespace qz

using namespace qz;

extern "C" {

QZ_EXPORT int32_t OpenDevice(const char* path, DeviceHandle* handle) {
  if (!path || !handle || strnlen(path, QZ_PATH_SIZE) >= QZ_PATH_SIZE) return 0;
  DeviceSlot* slot = nullptr;
  for (auto& s : g_table) {
    if (strcmp(s.devicePath, path) == 0) {
      slot = &s;
      break;
    }
  }
  if (!slot) return 0;
  g_current.is2KFamily = slot->is2KFamily;
  g_current.deviceType = slot->deviceType;
  g_current.usesReportId = slot->usesReportId;
  if (slot->handle != QZ_NO_DEVICE) {
    g_current.handle = slot->handle;
    *handle = slot->handle;
    return 1;
  }
  const Transport* t = TransportFor(slot->deviceType);
  g_current.handle = t && slot->devicePath[0] ? t->open(slot->devicePath) : QZ_NO_DEVICE;
  if (g_current.handle == QZ_NO_DEVICE) return 0;
  slot->handle = g_current.handle;
  *handle = g_current.handle;
  return 1;
}

QZ_EXPORT int32_t CloseDevice(DeviceHandle handle) {
  if (handle == QZ_NO_DEVICE) return 1;
  // Only what the library opened is closed; a foreign handle is left alone.
  const Transport* t = TransportOwning(handle);
  if (!t) return 1;
  for (auto& s : g_table) {
    if (s.handle == handle) {
      s.handle = QZ_NO_DEVICE;
      break;
    }
  }
  if (g_current.handle == handle) g_current.handle = QZ_NO_DEVICE;
  t->close(handle);
  return 1;
}

QZ_EXPORT int32_t GetDeviceType(DeviceHandle handle, int32_t* type) {
  if (!type || !SelectDevice(handle)) return 0;
  *type = g_current.deviceType;
  return 1;
}

QZ_EXPORT int32_t IsQZ2K(DeviceHandle handle, int32_t* is2K) {
  if (!is2K || !SelectDevice(handle)) return 0;
  *is2K = g_current.is2KFamily;
  return 1;
}

}  // extern "C"
