// Mode control: touch data report, scanning, diagnostic mode, scan skip, boot loader,
// frequency hopping, reset, and the two liveness probes.
#include "bindings.h"

using namespace qz::adv;

namespace {
// Last argument of F0 (stop) and F1 (start): what is switched.
constexpr int32_t kScanning = 0;
constexpr int32_t kDataReport = 1;
}  // namespace

extern "C" {

QZ_EXPORT int32_t EnableDataReport(DeviceHandle h, int32_t on) {
  if (!bound(g_basic.SendF0, g_basic.SendF1)) return 0;
  return on ? g_basic.SendF1(h, kDataReport) : g_basic.SendF0(h, kDataReport);
}

QZ_EXPORT int32_t EnablePCAPScan(DeviceHandle h, int32_t on) {
  if (!bound(g_basic.SendF0, g_basic.SendF1)) return 0;
  return on ? g_basic.SendF1(h, kScanning) : g_basic.SendF0(h, kScanning);
}

QZ_EXPORT int32_t EnableDiagMode(DeviceHandle h, int32_t on) {
  if (!bound(g_basic.SendF9)) return 0;
  uint8_t a, b, c;
  if (on)
    g_basic.SendF9(h, 0, 0x80, 1, &a, &b, &c);
  else
    g_basic.SendF9(h, 0, 0, 0, &a, &b, &c);
  return 0;  // callers do not test it
}

QZ_EXPORT int32_t SetDiagScanSkip(DeviceHandle h, uint32_t value) {
  if (!bound(g_basic.SendF7, g_basic.SendE1)) return 0;
  if (!g_basic.SendF7(h, 1)) return 0;
  if (!g_basic.SendE1(h, 0, 0x4E, int32_t(value & 0xFF))) return 0;
  return g_basic.SendF7(h, 0) ? 1 : 0;
}

QZ_EXPORT int32_t EnterBootMode(DeviceHandle h) {
  if (!bound(g_basic.SendFF)) return 0;
  return g_basic.SendFF(h);
}

QZ_EXPORT int32_t EnterSlaveBootMode(DeviceHandle h, int32_t slave) {
  if (!bound(g_basic.SendF4, g_basic.SendFF)) return 0;
  // The slave stays selected: the boot-loader traffic that follows is meant for it.
  if (!selectSlave(h, slave)) return 0;
  return g_basic.SendFF(h) ? 1 : 0;
}

QZ_EXPORT int32_t SetFreqHopMode(DeviceHandle h, int32_t mode) {
  if (!bound(g_basic.SendF5)) return 0;
  uint8_t r[4];
  if (!g_basic.SendF5(h, (mode - 16) & 0xFF, r)) return 0;
  return r[3] == uint8_t(mode) ? 1 : 0;
}

QZ_EXPORT int32_t IsFreqHop(DeviceHandle h, int32_t* hasFreqHop) {
  if (!hasFreqHop || !bound(g_basic.SendF5)) return 0;
  // Only a controller with frequency hopping accepts this probe.
  uint8_t r[4];
  *hasFreqHop = g_basic.SendF5(h, 0x0F, r) ? 1 : 0;
  return 1;
}

QZ_EXPORT int32_t ResetMPU(DeviceHandle h) {
  if (!bound(g_basic.SendFE)) return 0;
  return g_basic.SendFE(h);
}

QZ_EXPORT int32_t QZEcho(DeviceHandle h, const uint8_t* bytes) {
  if (!bytes || !bound(g_basic.SendFC)) return 0;
  return g_basic.SendFC(h, bytes);
}

QZ_EXPORT int32_t QZLiveTest(DeviceHandle h, uint8_t* value) {
  if (!value || !bound(g_basic.SendE0)) return 0;
  return readIndex(h, 0xF2, value) ? 1 : 0;
}

}  // extern "C"
