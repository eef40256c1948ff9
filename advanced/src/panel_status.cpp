// Panel and status information: the panel-size and cover-lens tables as display texts,
// and the status, feature, parameter-flag and threshold bytes.
#include "bindings.h"
#include "text.h"

using namespace qz::adv;

namespace {
constexpr size_t kInfoTextSize = 40;

char blankForZero(uint8_t c) { return c ? char(c) : ' '; }
}  // namespace

extern "C" {

QZ_EXPORT int32_t GetPanelInfo(DeviceHandle h, PanelInfo* panel) {
  if (!panel || !bound(g_basic.SendE0, g_basic.SendE3)) return 0;
  if (!readPair(h, 0x3A, &panel->panelSizeCode, &panel->coverLensCode)) return 0;
  uint8_t r[4];
  if (!g_basic.SendE3(h, 0, 0, 0, r)) return 0;
  panel->panelSizeCount = r[1];
  panel->coverLensCount = r[2];
  return 1;
}

QZ_EXPORT int32_t GetPanelSizeInfo(DeviceHandle h, int32_t code, char* text) {
  if (!text || !bound(g_basic.SendE3)) return 0;
  uint8_t name[8], size[4];
  if (!g_basic.SendE3(h, 1, code, 0, name)) return 0;
  if (!g_basic.SendE3(h, 1, code, 1, name + 4)) return 0;
  if (!g_basic.SendE3(h, 1, code, 2, size)) return 0;
  char work[kInfoTextSize];
  // The diagonal byte holds two decimal digits; printed in hexadecimal it shows them.
  formatInto(work, "%c%c%c%c%c%c%c%c %X.%X\"", blankForZero(name[0]), blankForZero(name[1]),
             blankForZero(name[2]), blankForZero(name[3]), blankForZero(name[4]), blankForZero(name[5]),
             blankForZero(name[6]), blankForZero(name[7]), unsigned(size[0]), unsigned(size[1] >> 4));
  if (size[1] & 0x01)
    formatInto(text, kInfoTextSize, "%s (W)", work);
  else
    formatInto(text, kInfoTextSize, "%s", work);
  return 1;
}

QZ_EXPORT int32_t GetCoverLensInfo(DeviceHandle h, int32_t code, char* text) {
  if (!text || !bound(g_basic.SendE3)) return 0;
  uint8_t r[4];
  if (!g_basic.SendE3(h, 2, code, 0, r)) return 0;
  const char* material = "";
  switch (r[2]) {
    case 'A':
    case 'a': formatInto(text, kInfoTextSize, "AFFF"); return 1;
    case 'G':
    case 'g': material = "Glass"; break;
    case 'P':
    case 'p': material = "PMMA"; break;
    default: break;
  }
  if (r[1] == 0xFF)
    formatInto(text, kInfoTextSize, "%d.%d mm %s", r[0] >> 4, r[0] & 0x0F, material);
  else
    formatInto(text, kInfoTextSize, "%d.%d ~ %d.%d mm %s", r[0] >> 4, r[0] & 0x0F, r[1] >> 4, r[1] & 0x0F,
               material);
  return 1;
}

QZ_EXPORT int32_t GetStateFlag(DeviceHandle h, uint8_t* flags) {
  if (!flags || !bound(g_basic.SendE0)) return 0;
  // Both status registers carry two bytes whatever reply byte 1 says.
  uint8_t r[4];
  if (!g_basic.SendE0(h, 0, 0xF0, r)) return 0;
  flags[0] = r[3];
  flags[1] = r[2];
  if (!g_basic.SendE0(h, 0, 0xF1, r)) return 0;
  flags[2] = r[3];
  flags[3] = r[2];
  return 1;
}

QZ_EXPORT int32_t GetFeatureFlag(DeviceHandle h, uint8_t* flags) {
  if (!flags || !bound(g_basic.SendE0)) return 0;
  uint8_t r[4];
  if (!g_basic.SendE0(h, 0, 0xF4, r)) return 0;
  for (int i = 0; i < 4; ++i) flags[i] = r[i];
  return 1;
}

QZ_EXPORT int32_t GetParameterFlag(DeviceHandle h, uint8_t* flags) {
  if (!flags || !bound(g_basic.SendE0)) return 0;
  static constexpr uint8_t kIndices[5] = {0x00, 0x33, 0x40, 0x43, 0x4E};
  for (int i = 0; i < 5; ++i)
    if (!readIndex(h, kIndices[i], &flags[i])) return 0;
  return 1;
}

QZ_EXPORT int32_t GetThreshold(DeviceHandle h, uint32_t* thresholds) {
  if (!thresholds || !bound(g_basic.SendE0)) return 0;
  uint8_t first, second, third;
  if (!readIndex(h, 0x01, &first)) return 0;
  thresholds[0] = first;
  if (!readPair(h, 0x02, &second, &third)) return 0;
  thresholds[1] = second;
  thresholds[2] = third;
  return 1;
}

}  // extern "C"
