// Binding to libQZ_BASIC.so at load time, and the routines the exports share.
#include "bindings.h"

#include <dlfcn.h>

#include <type_traits>


#include "common/clock.h"

namespace qz::adv {

BasicBindings g_basic;

namespace {

constexpr const char* kBasicFile = "libQZ_BASIC.so";

// Runs when the library is loaded, before any export can be called. The instance already
// in the process comes first (found by its SONAME), so both libraries share one device
// table; only without one is the library loaded. Nothing is undone at unload.
__attribute__((constructor)) void BindBasicLibrary() {
  g_basic = BasicBindings{};
  void* m = dlopen(kBasicFile, RTLD_NOW | RTLD_NOLOAD);
  if (!m) m = dlopen(kBasicFile, RTLD_NOW);
  g_basic.module = m;
  if (!m) return;  // every reference stays null: the exports then return 0
// Each reference has exactly the type of the export it binds (as qz/basic.h declares it).
#define QZ_BIND(name)                                                                           \
  static_assert(std::is_same_v<decltype(g_basic.name), decltype(&::name)>, "signature of " #name); \
  g_basic.name = reinterpret_cast<decltype(g_basic.name)>(dlsym(m, #name))
  QZ_BIND(SendE0);
  QZ_BIND(SendE1);
  QZ_BIND(SendE2);
  QZ_BIND(SendE3);
  QZ_BIND(SendE5);
  QZ_BIND(SendE6);
  QZ_BIND(SendE7);
  QZ_BIND(SendE8);
  QZ_BIND(SendEA);
  QZ_BIND(SendEB);
  QZ_BIND(SendEC);
  QZ_BIND(SendED);
  QZ_BIND(SendEE);
  QZ_BIND(SendEF);
  QZ_BIND(NewSlvEB);
  QZ_BIND(NewSlvED);
  QZ_BIND(NewSlvEE);
  QZ_BIND(SendF0);
  QZ_BIND(SendF1);
  QZ_BIND(SendF3);
  QZ_BIND(SendF4);
  QZ_BIND(SendF5);
  QZ_BIND(SendF6);
  QZ_BIND(SendF7);
  QZ_BIND(SendF8);
  QZ_BIND(SendF9);
  QZ_BIND(ChkFACmd);
  QZ_BIND(SendFB);
  QZ_BIND(SendFC);
  QZ_BIND(SendFD);
  QZ_BIND(SendFE);
  QZ_BIND(SendFF);
  QZ_BIND(SendD0);
  QZ_BIND(SendD1);
  QZ_BIND(SendD2);
  QZ_BIND(SendD3);
  QZ_BIND(SendD4);
  QZ_BIND(SendD5);
  QZ_BIND(SendD6);
  QZ_BIND(SendD7);
  QZ_BIND(SendD8);
  QZ_BIND(ReceiveRawCount);
  QZ_BIND(IsQZ2K);
#undef QZ_BIND
}

}  // namespace

bool readIndex(DeviceHandle h, uint8_t index, uint8_t* value) {
  uint8_t r[4];
  if (!g_basic.SendE0(h, 0, index, r)) return false;
  *value = r[3];
  return true;
}

bool readPair(DeviceHandle h, uint8_t index, uint8_t* first, uint8_t* second) {
  uint8_t r[4];
  if (!g_basic.SendE0(h, 0, index, r)) return false;
  *first = r[3];
  if (r[0] == 1) {
    *second = r[2];
    return true;
  }
  return readIndex(h, uint8_t(index + 1), second);
}

bool pauseScanning(DeviceHandle h, int settleMs, bool* wasScanning) {
  uint8_t flag;
  if (!readIndex(h, 0xF0, &flag)) return false;
  *wasScanning = (flag & 0x01) != 0;
  if (!*wasScanning) return true;
  if (!g_basic.SendF0(h, 0)) return false;
  sleepMs(settleMs);
  return true;
}

bool resumeScanning(DeviceHandle h, bool wasScanning) {
  return !wasScanning || g_basic.SendF1(h, 0) != 0;
}

bool selectSlave(DeviceHandle h, int n) { return g_basic.SendF4(h, n, 1) != 0; }

bool releaseSlaves(DeviceHandle h) { return g_basic.SendF4(h, 0, 0) != 0; }

void letterText(char (&out)[3], uint8_t code) {
  out[0] = code ? char(uint8_t(code + 64)) : '\0';
  out[1] = '\0';
  out[2] = '\0';
}

}  // namespace qz::adv
