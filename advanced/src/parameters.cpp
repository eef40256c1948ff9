// Parameter lists: what the controller has, reading any selection into one image, writing
// the master's lists back, storing and reloading defaults.
#include "bindings.h"
#include "common/clock.h"
#include "parameters.h"

using namespace qz::adv;

namespace qz::adv {

bool readParameterSection(DeviceHandle h, uint8_t selector, uint8_t flatStart, uint8_t count, uint8_t* dest) {
  for (unsigned i = 0; i < count; ++i) {
    uint8_t index = selector == 0 ? uint8_t(flatStart + i) : uint8_t(i);
    uint8_t r[4];
    if (!g_basic.SendE0(h, selector, index, r)) return false;
    dest[i] = r[3];
    // The reply may carry the next byte as well; never past the end of the list.
    if (r[0] == 1 && i + 1 < count) dest[++i] = r[2];
  }
  return true;
}

bool writeParameterSection(DeviceHandle h, uint8_t selector, uint8_t flatStart, uint8_t count,
                           const uint8_t* src) {
  for (unsigned i = 0; i < count; ++i) {
    uint8_t index = selector == 0 ? uint8_t(flatStart + i) : uint8_t(i);
    if (!g_basic.SendE1(h, selector, index, src[i])) return false;
  }
  return true;
}

SelectedLengths selectedLengths(const ParaListInfo& info) {
  return {uint8_t(info.sections & 0x80 ? info.apLength : 0), uint8_t(info.sections & 0x40 ? info.bootLength : 0),
          uint8_t(info.sections & 0x20 ? info.debugLength : 0)};
}

}  // namespace qz::adv

namespace {

constexpr uint8_t kApplicationSelector = 0x80;
constexpr uint8_t kBootSelector = 0x90;
constexpr uint8_t kDebugSelector = 0xA0;
constexpr uint8_t kDebugFlatStart = 0x80;
constexpr int32_t kApplicationCode = 0x00;
constexpr int32_t kBootCode = 0xAA;
constexpr int kMaxSlaves = 4;

// Flat addressing counts the boot list after the whole application list, selected or not.
uint8_t bootFlatStart(const ParaListInfo& info) { return info.apLength; }

int32_t readLists(DeviceHandle h, const ParaListInfo& info, uint8_t* image, bool& paused, bool& wasScanning,
                  bool& selected) {
  const SelectedLengths len = selectedLengths(info);
  const bool flat = info.addressing == 0;
  const bool slaves = (info.sections & 0x0F) != 0;
  if (slaves) {
    if (!pauseScanning(h, kSettleMs, &wasScanning)) return 0;
    paused = true;
  }
  size_t pos = 0;
  if (info.sections & 0x80) {
    if (!readParameterSection(h, flat ? 0 : kApplicationSelector, 0, len.application, image + pos)) return 0;
    pos += len.application;
  }
  if (info.sections & 0x40) {
    if (!readParameterSection(h, flat ? 0 : kBootSelector, bootFlatStart(info), len.boot, image + pos)) return 0;
    pos += len.boot;
  }
  if (info.sections & 0x20) {
    if (!readParameterSection(h, flat ? 0 : kDebugSelector, kDebugFlatStart, len.debug, image + pos)) return 0;
    pos += len.debug;
  }
  if (!slaves) return 1;
  for (int n = 0; n < kMaxSlaves; ++n) {
    if (!(info.sections & (0x08 >> n))) continue;
    if (pos == 0) qz::sleepMs(kSettleMs);  // the first slave right after the pause
    selected = true;
    if (!selectSlave(h, n)) return 0;
    if (!readParameterSection(h, flat ? 0 : kApplicationSelector, 0, info.slaveLength, image + pos)) return 0;
    pos += info.slaveLength;
  }
  selected = false;
  paused = false;
  if (!releaseSlaves(h)) {
    resumeScanning(h, wasScanning);
    return 0;
  }
  return resumeScanning(h, wasScanning) ? 1 : 0;
}

}  // namespace

extern "C" {

QZ_EXPORT int32_t GetParaListInfo(DeviceHandle h, ParaListInfo* out) {
  if (!out || !bound(g_basic.SendEF, g_basic.SendE0)) return 0;
  uint8_t chips, x1, x2, x3;
  if (!g_basic.SendEF(h, &chips, &x1, &x2, &x3)) return 0;
  const int slaves = chips > 1 ? chips - 1 : 0;  // no chip count counts as one chip
  ParaListInfo info{};
  uint8_t r[4];
  if (g_basic.SendE0(h, 0, 0xFB, r)) {
    info.apLength = r[3];
    info.bootLength = r[2];
    info.slaveLength = r[1];
    info.debugLength = r[0];
    info.addressing = 1;
    info.sections = (r[0] | r[1] | r[2] | r[3]) ? 0xE0 : 0xC0;
  } else {
    // No length register: the flat layout, with a debug list when its first byte answers.
    const bool debug = g_basic.SendE0(h, 0, 0x80, r) != 0;
    info.apLength = 64;
    info.bootLength = 16;
    info.debugLength = debug ? 16 : 0;
    info.slaveLength = slaves ? 32 : 0;
    info.addressing = 0;
    info.sections = debug ? 0xE0 : 0xC0;
  }
  for (int n = 0; n < slaves && n < kMaxSlaves; ++n) info.sections |= uint8_t(0x08 >> n);
  *out = info;
  return 1;
}

QZ_EXPORT int32_t GetParaList(DeviceHandle h, const ParaListInfo* info, uint8_t* image) {
  if (!info || !image || !bound(g_basic.SendE0, g_basic.SendF0, g_basic.SendF1, g_basic.SendF4)) return 0;
  bool paused = false, wasScanning = false, selected = false;
  int32_t result = readLists(h, *info, image, paused, wasScanning, selected);
  if (paused) {
    // A failure on the way still gives the master back and restarts scanning.
    if (selected) releaseSlaves(h);
    resumeScanning(h, wasScanning);
  }
  return result;
}

QZ_EXPORT int32_t SetParaList(DeviceHandle h, const ParaListInfo* info, const uint8_t* image) {
  const auto& b = g_basic;
  if (!info || !image || !bound(b.SendE0, b.SendF0, b.SendF1, b.SendF7, b.SendE1, b.SendE6, b.SendEA)) return 0;
  const SelectedLengths len = selectedLengths(*info);
  const bool flat = info->addressing == 0;
  bool wasScanning = false;
  if (!pauseScanning(h, kSettleMs, &wasScanning)) return 0;
  if (!b.SendF7(h, 1)) return 0;
  size_t pos = 0;
  if (info->sections & 0x80) {
    if (!writeParameterSection(h, flat ? 0 : kApplicationSelector, 0, len.application, image)) return 0;
    pos = len.application;
  }
  if (info->sections & 0x40) {
    // A changed boot byte 4 needs E6 00 AA after the write. A list too short to hold it
    // has nothing to compare.
    bool boot4Changed = false;
    if (len.boot > 4) {
      uint8_t current;
      if (!readIndex(h, 0x44, &current)) return 0;
      boot4Changed = current != image[pos + 4];
    }
    if (!writeParameterSection(h, flat ? 0 : kBootSelector, bootFlatStart(*info), len.boot, image + pos)) return 0;
    if (boot4Changed) {
      uint8_t r[3];
      if (!b.SendE6(h, 0, 0xAA, r)) return 0;
    }
    pos += len.boot;
  }
  if ((info->sections & 0x80) && !b.SendEA(h, kApplicationCode)) return 0;
  if ((info->sections & 0x40) && !b.SendEA(h, kBootCode)) return 0;
  // The debug list is written but never stored.
  if ((info->sections & 0x20) &&
      !writeParameterSection(h, flat ? 0 : kDebugSelector, kDebugFlatStart, len.debug, image + pos))
    return 0;
  if (!b.SendF7(h, 0)) return 0;
  return resumeScanning(h, wasScanning) ? 1 : 0;
}

QZ_EXPORT int32_t FlushParameter(DeviceHandle h, int32_t which) {
  if (!bound(g_basic.SendEA)) return 0;
  return g_basic.SendEA(h, which ? kApplicationCode : kBootCode) ? 1 : 0;
}

QZ_EXPORT int32_t ReloadDefaultParameter(DeviceHandle h, int32_t which) {
  if (!bound(g_basic.SendF7, g_basic.SendEC)) return 0;
  if (!g_basic.SendF7(h, 1)) return 0;
  if (!g_basic.SendEC(h, which ? kApplicationCode : kBootCode, 0)) return 0;
  return g_basic.SendF7(h, 0) ? 1 : 0;
}

}  // extern "C"
