// HID transport: finding controllers among the HID interfaces and the six-byte
// feature-report exchange.
#include <cstdlib>
#include <cstring>

#include "common/clock.h"
#include "hid/hid_layer.h"
#include "state.h"
#include "transport.h"

namespace qz {
namespace {

constexpr int kAttempts = 5;
constexpr int kPolls = 5;
constexpr uint8_t kRefused = 0xAA;

uint8_t ReportId() { return g_current.usesReportId ? 1 : 0; }

int32_t HidExchange(DeviceHandle handle, const uint8_t* command, uint8_t* reply) {
  const uint8_t rid = ReportId();
  const uint8_t opcode = command[0];
  const uint8_t send[6] = {rid, command[0], command[1], command[2], command[3], command[4]};
  uint8_t receive[6] = {rid, 0, 0, 0, 0, 0};
  bool answered = false;

  for (int attempt = 0; attempt < kAttempts && !answered; ++attempt) {
    if (!hid::sendFeature(handle, send, sizeof send)) continue;
    if (!g_settings.expectReply) {
      answered = true;
      break;
    }
    sleepMs(WaitBeforePoll(opcode));
    for (int poll = 0; poll < kPolls; ++poll) {
      uint8_t report[6] = {rid, 0, 0, 0, 0, 0};
      if (hid::getFeature(g_current.handle, report, sizeof report) &&
          (report[1] == opcode || report[1] == kRefused)) {
        memcpy(receive, report, sizeof receive);
        answered = true;
        break;
      }
      sleepMs(1);
    }
  }
  if (answered && receive[1] == kRefused) {
    reply[0] = kRefused;  // a refusal is never retried; bytes 1 to 4 stay as they were
    return 0;
  }
  if (!answered) return 0;
  if (g_settings.expectReply) memcpy(reply, receive + 1, 5);
  return 1;
}

DeviceHandle OpenHid(const char* path) { return hid::open(path); }
bool OwnsHid(DeviceHandle h) { return hid::isOpen(h); }
void CloseHid(DeviceHandle h) { hid::close(h); }

// One feature report of n + 1 bytes, asked for by the current device's report id.
long ReadHidBlock(DeviceHandle h, uint8_t* buf, size_t n) {
  buf[0] = ReportId();
  return hid::getFeature(h, buf, n + 1) ? long(n) : -1;
}

struct Scan {
  DeviceFoundCallback callback;
  char* name;           // find mode: the caller's buffer
  DeviceHandle* out;    // find mode: the caller's handle
  bool findMode;
  bool found;
};

// Steps 2.2 to 2.9 of the scan for one interface; returns false to stop the scan.
bool ScanOne(void* ctx, const char* path) {
  auto* scan = static_cast<Scan*>(ctx);
  if (strnlen(path, QZ_PATH_SIZE) >= QZ_PATH_SIZE || strlen(path) < 25) return true;
  if (memcmp(path + 12, "7a3d", 4) != 0) return true;
  int product = 0;
  for (int i = 21; i < 25 && path[i] >= '0' && path[i] <= '9'; ++i) product = product * 10 + (path[i] - '0');
  g_current.usesReportId = (product == 7413 || product == 7416) ? 1 : 0;
  switch (product / 1000) {
    case 7: g_current.is2KFamily = 0; break;
    case 2: g_current.is2KFamily = 1; break;
    default: return true;
  }
  CopyPath(g_current.devicePath, path);
  g_current.handle = hid::open(path);
  if (g_current.handle == QZ_NO_DEVICE) return true;

  uint8_t identity[5] = {0xEE, 0, 0, 0, 0};
  if (!HidExchange(g_current.handle, identity, identity)) {
    hid::close(g_current.handle);
    g_current.handle = QZ_NO_DEVICE;
    return true;
  }
  RememberCurrentDevice();
  if (scan->findMode) {
    MakeModelName(scan->name, identity);
    *scan->out = g_current.handle;
    scan->found = true;
    return false;
  }
  char name[QZ_MODEL_NAME_SIZE] = {};
  MakeModelName(name, identity);
  if (scan->callback) scan->callback(g_current.devicePath, name);
  g_current.handle = QZ_NO_DEVICE;  // stays open in its slot
  scan->found = true;
  return true;
}

int32_t ScanHidDevices(DeviceFoundCallback callback, char* name, bool findMode, DeviceHandle* out) {
  g_current.usesReportId = 0;
  g_current.is2KFamily = 0;
  g_current.deviceType = QZ_TYPE_HID;
  // The record no longer describes the device that was current: without this, a scan that
  // finds nothing would leave that device's handle with these settings, and its next call
  // would skip reloading its slot and use the wrong transport.
  g_current.handle = QZ_NO_DEVICE;
  Scan scan{callback, name, out, findMode, false};
  if (!hid::enumerate(&scan, ScanOne)) return 0;
  return scan.found ? 1 : 0;
}

}  // namespace

const Transport kHidTransport = {OpenHid, OwnsHid, CloseHid, HidExchange, 1, ReadHidBlock};

int32_t FindHidDeviceInternal(DeviceHandle* handle, char* name) {
  return ScanHidDevices(nullptr, name, true, handle);
}

}  // namespace qz

using namespace qz;

extern "C" {

QZ_EXPORT int32_t FindHidDevice(DeviceHandle* handle, char* name) {
  if (!handle || !name) return 0;
  return FindHidDeviceInternal(handle, name);
}

QZ_EXPORT int32_t EnumerateHidDevices(DeviceFoundCallback callback) {
  return ScanHidDevices(callback, nullptr, false, nullptr);
}

QZ_EXPORT int32_t SetOutputReport(DeviceHandle handle, int32_t length, const uint8_t* bytes) {
  if (!SelectDevice(handle) || g_current.deviceType != QZ_TYPE_HID) return 0;
  const size_t n = uint16_t(length);
  if (n && !bytes) return 0;
  static uint8_t report[1 + 0xFFFF];  // process-wide like every buffer of the library
  report[0] = ReportId();
  if (n) memcpy(report + 1, bytes, n);
  return hid::writeOutput(handle, report, n + 1) ? 1 : 0;
}

}  // extern "C"
