// Serial transport: a controller on a plain serial port, commands in six-byte frames
// (the five command bytes and a checksum).
#include <cstring>

#include "common/clock.h"
#include "handle_set.h"
#include "serial/serial_port.h"
#include "state.h"
#include "transport.h"

namespace qz {

int32_t FindHidDeviceInternal(DeviceHandle* handle, char* name);
int32_t FindQZDeviceInternal(DeviceHandle* handle, char* name);

namespace {

constexpr int kAttempts = 5;
constexpr int kReadCalls = 5;
constexpr int kReadTimeoutMs = 30;
constexpr int kWriteTimeoutMs = 10;
constexpr uint8_t kRefused = 0xAA;

constinit HandleSet g_opened;

uint8_t Checksum(const uint8_t* frame) {
  unsigned sum = 0;
  for (int i = 0; i < 5; ++i) sum += frame[i];
  return uint8_t(~sum);
}

DeviceHandle OpenPort(const char* path) {
  int fd = serial::open(path);
  if (fd < 0) return QZ_NO_DEVICE;
  if (!g_opened.add(fd)) {
    serial::close(fd);
    return QZ_NO_DEVICE;
  }
  return fd;
}

bool OwnsPort(DeviceHandle h) { return g_opened.contains(h); }

void ClosePort(DeviceHandle h) {
  if (!g_opened.contains(h)) return;
  g_opened.remove(h);
  serial::close(int(h));
}

// All six bytes, or false. A call that moves nothing ends the attempt instead of spinning.
bool WriteFrame(int fd, const uint8_t* frame) {
  size_t done = 0;
  while (done < 6) {
    long n = serial::write(fd, frame + done, 6 - done, kWriteTimeoutMs);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Up to five read calls for the bytes still missing; sleeps after a call that brings none.
bool ReadFrame(int fd, uint8_t* frame) {
  size_t got = 0;
  for (int call = 0; call < kReadCalls && got < 6; ++call) {
    long n = serial::read(fd, frame + got, 6 - got, kReadTimeoutMs);
    if (n > 0)
      got += size_t(n);
    else
      sleepMs(g_settings.replyWaitMs);
  }
  return got == 6;
}

int32_t SerialExchange(DeviceHandle handle, const uint8_t* command, uint8_t* reply) {
  const int fd = int(handle);
  uint8_t frame[6];
  memcpy(frame, command, 5);
  frame[5] = Checksum(frame);

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    serial::purge(fd);
    if (!WriteFrame(fd, frame)) continue;
    if (!g_settings.expectReply) return 1;
    uint8_t answer[6];
    if (!ReadFrame(fd, answer)) continue;
    if (answer[0] == kRefused) {
      reply[0] = kRefused;
      return 0;
    }
    // A frame for another command or with a broken checksum is line noise, not an answer.
    if (answer[0] != frame[0] || answer[5] != Checksum(answer)) continue;
    memcpy(reply, answer, 5);
    return 1;
  }
  return 0;
}

const Transport kSerial = {OpenPort, OwnsPort, ClosePort, SerialExchange, 0, nullptr};

}  // namespace

const Transport* const kSerialTransport = &kSerial;

}  // namespace qz

using namespace qz;

extern "C" {

QZ_EXPORT int32_t FindRSDevice(int32_t port, int32_t speed, DeviceHandle* handle, char* name) {
  if (!handle || !name) return 0;
  g_current.deviceType = QZ_TYPE_SERIAL;
  g_current.handle = QZ_NO_DEVICE;  // the record is the search's now (see the HID scan)
  char path[QZ_PATH_SIZE];
  if (!serial::portPath(port, path, sizeof path)) return 0;
  CopyPath(g_current.devicePath, path);
  g_current.handle = OpenPort(path);
  if (g_current.handle == QZ_NO_DEVICE) return 0;
  if (!serial::configure(int(g_current.handle), speed)) {
    ClosePort(g_current.handle);
    g_current.handle = QZ_NO_DEVICE;
    return 0;
  }
  uint8_t identity[5] = {0xEE, 0, 0, 0, 0};
  if (!SerialExchange(g_current.handle, identity, identity)) {
    ClosePort(g_current.handle);
    g_current.handle = QZ_NO_DEVICE;
    return 0;
  }
  g_current.baudRate = speed;
  g_current.comPort = port;
  MakeModelName(name, identity);
  RememberCurrentDevice();
  *handle = g_current.handle;
  return 1;
}

QZ_EXPORT int32_t FindPreDevice(DeviceHandle* handle, char* name) {
  if (!handle || !name) return 0;
  g_settings.reportedSize = 64;
  switch (g_current.deviceType) {
    case QZ_TYPE_HID: return FindHidDeviceInternal(handle, name);
    case QZ_TYPE_DRIVER_USB:
    case QZ_TYPE_DRIVER_SERIAL: return FindQZDeviceInternal(handle, name);
    case QZ_TYPE_SERIAL: return FindRSDevice(g_current.comPort, g_current.baudRate, handle, name);
    default: return 0;
  }
}

}  // extern "C"
