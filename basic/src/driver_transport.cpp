// Vendor-driver transport: controllers behind the driver's device objects (Unix sockets in
// $QZ_DRIVER_DIR, default /run/qz), on USB (type 2) or on a serial line (type 3).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/clock.h"
#include "driver/driver_client.h"
#include "handle_set.h"
#include "state.h"
#include "transport.h"

namespace qz {
namespace {

constexpr int kAttempts = 5;
constexpr int kPolls = 5;
constexpr int kInstances = 16;
constexpr uint8_t kRefused = 0xAA;

// Device-object names in table order: USB KRXM, USB 2K, serial-line KRXM, serial-line 2K.
constexpr const char* kObjectNames[4] = {"QZUKRXM_API%d", "QZU2K_API%d", "QZSKRXM_API%d", "QZS2K_API%d"};

constinit HandleSet g_opened;

const char* DriverDir() {
  const char* d = getenv("QZ_DRIVER_DIR");
  return d && *d ? d : "/run/qz";
}

DeviceHandle OpenObject(const char* path) {
  int fd = driver::connectObject(path);
  if (fd < 0) return QZ_NO_DEVICE;
  if (!g_opened.add(fd)) {
    ::close(fd);
    return QZ_NO_DEVICE;
  }
  return fd;
}

bool OwnsObject(DeviceHandle h) { return g_opened.contains(h); }

void CloseObject(DeviceHandle h) {
  if (!g_opened.contains(h)) return;
  g_opened.remove(h);
  ::close(int(h));
}

// A request of four output bytes read as a little-endian 32-bit value.
bool Query(DeviceHandle h, uint32_t code, int32_t* value) {
  uint8_t out[4];
  size_t got = 0;
  if (!driver::call(int(h), code, nullptr, 0, out, sizeof out, &got) || got != sizeof out) return false;
  *value = int32_t(uint32_t(out[0]) | uint32_t(out[1]) << 8 | uint32_t(out[2]) << 16 | uint32_t(out[3]) << 24);
  return true;
}

bool UsesNewCodes() {
  return g_current.deviceType == QZ_TYPE_DRIVER_SERIAL || g_settings.newDriverProtocol;
}

int32_t DriverExchange(DeviceHandle handle, const uint8_t* command, uint8_t* reply) {
  const bool newCodes = UsesNewCodes();
  const uint32_t sendCode = newCodes ? driver::kSendNew : driver::kSendOld;
  const uint32_t readCode = newCodes ? driver::kReadNew : driver::kReadOld;
  const uint8_t opcode = command[0];
  const size_t sendCapacity = g_current.is2KFamily ? 5 : 0;
  uint8_t cmd[5];
  memcpy(cmd, command, sizeof cmd);  // command and reply may be one buffer
  uint8_t buffer[5] = {};
  bool ended = false, ok = false;

  for (int attempt = 0; attempt < kAttempts && !ended; ++attempt) {
    uint8_t out[5];
    size_t got = 0;
    bool sent = driver::call(int(handle), sendCode, cmd, sizeof cmd, out, sendCapacity, &got);
    if (sent && sendCapacity && got == sizeof out) memcpy(buffer, out, sizeof buffer);
    if (!sent && opcode != 0xD1) continue;
    if (!g_settings.expectReply) {
      ended = true;
      ok = sent;
      break;
    }
    sleepMs(WaitBeforePoll(opcode));
    for (int poll = 0; poll < kPolls; ++poll) {
      if (g_current.handle == QZ_NO_DEVICE) break;
      if (driver::call(int(g_current.handle), readCode, nullptr, 0, out, sizeof out, &got) &&
          got == sizeof out && (out[0] == opcode || out[0] == kRefused)) {
        memcpy(buffer, out, sizeof buffer);
        ended = ok = true;
        break;
      }
      sleepMs(1);
    }
  }
  // A refusal may also come in the 2K family's send output and stay when no poll answers.
  if (buffer[0] == kRefused) {
    reply[0] = kRefused;
    return 0;
  }
  if (!ok) return 0;
  if (g_settings.expectReply) memcpy(reply, buffer, sizeof buffer);
  return 1;
}

long ReadDriverBlock(DeviceHandle h, uint8_t* buf, size_t n) {
  const uint32_t code = g_settings.newDriverProtocol ? driver::kReadNew : driver::kReadOld;
  size_t got = 0;
  return driver::call(int(h), code, nullptr, 0, buf, n, &got) ? long(got) : -1;
}

int32_t CheckDriverVersion() {
  g_settings.driverVersionQueried = 1;
  int32_t major = 0, minor = 0;
  if (!Query(g_current.handle, driver::kVersionMajor, &major)) major = 0;
  if (!Query(g_current.handle, driver::kVersionMinor, &minor)) minor = 0;
  return int64_t(major) * 100 + minor > 203 ? 1 : 0;
}

const Transport kDriver = {OpenObject, OwnsObject, CloseObject, DriverExchange, 0, ReadDriverBlock};

int32_t ScanDriverDevices(int index, DeviceHandle* out, DeviceFoundCallback callback, bool findMode, char* name) {
  g_current.is2KFamily = index & 1;
  bool found = false;
  for (int instance = 0; instance < kInstances; ++instance) {
    char objectName[32];
    snprintf(objectName, sizeof objectName, kObjectNames[index], instance);
    char path[QZ_PATH_SIZE];
    int n = snprintf(path, sizeof path, "%s/%s", DriverDir(), objectName);
    if (n < 0 || size_t(n) >= sizeof path) return 0;  // a directory too long for any path
    CopyPath(g_current.devicePath, path);
    g_current.handle = OpenObject(path);
    if (g_current.handle == QZ_NO_DEVICE) continue;
    if (!g_settings.driverVersionQueried) g_settings.newDriverProtocol = CheckDriverVersion();
    uint8_t identity[5] = {0xEE, 0, 0, 0, 0};
    if (!DriverExchange(g_current.handle, identity, identity)) {
      CloseObject(g_current.handle);
      g_current.handle = QZ_NO_DEVICE;
      continue;
    }
    RememberCurrentDevice();
    if (findMode) {
      MakeModelName(name, identity);
      *out = g_current.handle;
      return 1;
    }
    char modelName[QZ_MODEL_NAME_SIZE] = {};
    MakeModelName(modelName, identity);
    if (callback) callback(g_current.devicePath, modelName);
    found = true;
    g_current.handle = QZ_NO_DEVICE;  // stays open in its slot
  }
  return found ? 1 : 0;
}

}  // namespace

const Transport* const kDriverTransport = &kDriver;

int32_t FindQZDeviceInternal(DeviceHandle* handle, char* name) {
  g_current.deviceType = QZ_TYPE_DRIVER_USB;
  g_current.handle = QZ_NO_DEVICE;  // the record is the search's now (see the HID scan)
  for (int index : {0, 1})
    if (ScanDriverDevices(index, handle, nullptr, true, name)) return 1;
  g_current.deviceType = QZ_TYPE_DRIVER_SERIAL;
  for (int index : {2, 3})
    if (ScanDriverDevices(index, handle, nullptr, true, name)) return 1;
  return 0;
}

}  // namespace qz

using namespace qz;

extern "C" {

QZ_EXPORT int32_t FindQZDevice(DeviceHandle* handle, char* name) {
  if (!handle || !name) return 0;
  return FindQZDeviceInternal(handle, name);
}

QZ_EXPORT int32_t EnumerateQZDevices(DeviceFoundCallback callback) {
  int32_t any = 0;
  g_current.deviceType = QZ_TYPE_DRIVER_USB;
  g_current.handle = QZ_NO_DEVICE;
  any |= ScanDriverDevices(0, nullptr, callback, false, nullptr);
  any |= ScanDriverDevices(1, nullptr, callback, false, nullptr);
  g_current.deviceType = QZ_TYPE_DRIVER_SERIAL;
  any |= ScanDriverDevices(2, nullptr, callback, false, nullptr);
  any |= ScanDriverDevices(3, nullptr, callback, false, nullptr);
  return any;
}

QZ_EXPORT int32_t GetQZDriverVersion(DeviceHandle handle, int32_t* values) {
  if (!values || !SelectDevice(handle)) return 0;
  if (g_current.deviceType != QZ_TYPE_DRIVER_USB && g_current.deviceType != QZ_TYPE_DRIVER_SERIAL) return 0;
  Query(handle, driver::kVersionMajor, &values[0]);
  Query(handle, driver::kVersionMinor, &values[1]);
  Query(handle, driver::kVersionThird, &values[2]);
  return 1;
}

}  // extern "C"
