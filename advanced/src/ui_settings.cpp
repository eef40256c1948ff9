// Parameter UI settings: the decoded values a settings dialog edits, read from the
// controller and written back into a parameter image at their positions.
#include <cstddef>

#include "bindings.h"

using namespace qz::adv;

namespace {

struct BaudCode {
  uint8_t code;
  int32_t rate;
};
constexpr BaudCode kBaudCodes[] = {{0, 115200}, {1, 57600}, {2, 38400}, {3, 19200}};
constexpr uint8_t kDefaultBaudCode = 2;

struct OrientationCode {
  uint8_t code;
  int32_t degrees;  // 360 added for the mirrored variants
};
constexpr OrientationCode kOrientations[] = {{0, 0},   {1, 630}, {2, 450}, {3, 180},
                                             {4, 360}, {5, 270}, {6, 90},  {7, 540}};

constexpr uint8_t kNotAvailable = 0xFF;
constexpr uint8_t kRangeMarker = 0x55;

// A code without a rate reads as 0, so a dialog shows it as unknown.
int32_t baudRateOf(uint8_t code) {
  for (const auto& b : kBaudCodes)
    if (b.code == code) return b.rate;
  return 0;
}

uint8_t baudCodeOf(int32_t rate) {
  for (const auto& b : kBaudCodes)
    if (b.rate == rate) return b.code;
  return kDefaultBaudCode;
}

uint8_t featureKindOf(uint8_t feature1) {
  if (feature1 & 0x02) return 3;
  if (feature1 & 0x01) return 2;
  return 1;
}

// Positions inside one list of the image; writes outside the list are skipped.
struct ListView {
  uint8_t* base;
  size_t length;
  uint8_t* at(size_t k) const { return k < length ? base + k : nullptr; }
  void set(size_t k, uint8_t v) const {
    if (uint8_t* p = at(k)) *p = v;
  }
  void setBit(size_t k, uint8_t mask, bool on) const {
    if (uint8_t* p = at(k)) *p = on ? uint8_t(*p | mask) : uint8_t(*p & ~mask);
  }
};

}  // namespace

extern "C" {

QZ_EXPORT int32_t GetPanelInfo(DeviceHandle h, PanelInfo* panel);

QZ_EXPORT int32_t GetParaUISetting(DeviceHandle h, ParaUISetting* out) {
  const auto& b = g_basic;
  if (!out || !bound(b.SendE0, b.SendE3, b.SendE6, b.SendEF)) return 0;
  uint8_t boot3;
  if (!readIndex(h, 0x43, &boot3)) return 0;

  uint8_t e6[3];  // reply bytes 2, 3, 4
  if (!b.SendE6(h, 0, 0, e6)) return 0;
  out->boot4Span = e6[2];
  out->boot4Value = uint8_t(e6[1] + e6[2] / 2);

  uint8_t packed[4];
  if (!readPair(h, 0x34, &packed[0], &packed[1])) return 0;
  if (!readPair(h, 0x36, &packed[2], &packed[3])) return 0;
  for (int k = 0; k < 4; ++k) {
    out->nibbleHigh[k] = packed[k] >> 4;
    out->nibbleLow[k] = packed[k] & 0x0F;
  }

  uint8_t chips, capabilities, x1, x2;
  if (!b.SendEF(h, &chips, &capabilities, &x1, &x2)) return 0;
  static constexpr int kCapabilityBits[6] = {7, 6, 3, 2, 1, 0};
  for (int i = 0; i < 6; ++i) out->capabilityFlags[i] = (capabilities >> kCapabilityBits[i]) & 1;

  uint8_t r[4];
  if (!b.SendE0(h, 0, 0xF0, r)) return 0;
  uint8_t interface = (r[2] >> 4) & 0x03;  // host interface, bits 5..4 of KRXM_STAT
  uint8_t boot0;
  if (!readIndex(h, 0x40, &boot0)) return 0;
  out->baudRate = baudRateOf(boot0 & 0x0F);
  if (boot0 & 0x40) interface |= 0x04;
  if (boot0 & 0x80) interface |= 0x08;
  out->interfaceSetting = interface;

  out->featureKind = b.SendE0(h, 0, 0xF4, r) ? featureKindOf(r[0]) : 1;
  if (out->featureKind == 1) {
    out->selectionCount = 2;
    out->selection = (boot3 & 0x08) ? 1 : 2;
  } else {
    uint8_t count;
    out->selectionCount = readIndex(h, 0xF7, &count) ? count : 5;
    if (!readIndex(h, 0x45, &out->selection)) return 0;
  }

  if (!b.SendE6(h, 1, 0, e6)) return 0;
  if (e6[0] == kRangeMarker) {
    out->rangeMax = e6[2];
    out->rangeMin = e6[1];
    if (!b.SendE6(h, 1, 1, e6)) return 0;
    out->rangeExtra = e6[1];
    out->rangeValue = e6[2];
  } else {
    out->rangeMax = 0;
    out->rangeMin = 0xFF;
    out->rangeExtra = 0;
    out->rangeValue = 0;
  }

  if (!GetPanelInfo(h, &out->panel)) return 0;

  out->orientation = kOrientations[boot3 & 0x07].degrees;

  uint8_t lacksBit7;
  if (!readIndex(h, 0x0E, &lacksBit7)) return 0;
  const bool available = b.SendE0(h, 0, 0xF4, r) && lacksBit7 != 0xFF && (r[0] & 0x08);
  out->boot3Bit7 = available ? ((boot3 & 0x80) ? 0 : 1) : kNotAvailable;
  return 1;
}

QZ_EXPORT int32_t UpdateParaUISetting(DeviceHandle, ParaUISetting* ui, const ParaListInfo* info, uint8_t* image) {
  if (!ui || !info || !image) return 0;
  const size_t s = (info->sections & 0x80) ? info->apLength : 0;
  const size_t bl = (info->sections & 0x40) ? info->bootLength : 0;
  const ListView app{image, s};
  const ListView boot{image + s, bl};

  if (bl) boot.set(4, uint8_t(ui->boot4Value - ui->boot4Span / 2));
  if (s)
    for (int k = 0; k < 4; ++k)
      app.set(0x34 + k, uint8_t(((ui->nibbleHigh[k] & 0x0F) << 4) | (ui->nibbleLow[k] & 0x0F)));
  if (bl) {
    boot.set(0, uint8_t(((ui->interfaceSetting & 0x0F) << 4) | baudCodeOf(ui->baudRate)));
    if (ui->featureKind == 1)
      boot.setBit(3, 0x08, ui->selection == 1);
    else
      boot.set(5, ui->selection);
  }
  if (!bl) return 1;

  if (s && ui->rangeMax > ui->rangeMin) {
    if (ui->rangeValue < ui->rangeMin) ui->rangeValue = ui->rangeMin;
    if (ui->rangeValue > ui->rangeMax) ui->rangeValue = ui->rangeMax;
    app.set(0x1F, ui->rangeValue);
    boot.set(6, ui->rangeValue);
  }

  const PanelInfo& p = ui->panel;
  boot.set(10, p.panelSizeCode < p.panelSizeCount ? p.panelSizeCode : 0);
  boot.set(11, p.coverLensCode < p.coverLensCount ? p.coverLensCode : (p.coverLensCount > 1 ? 1 : 0));

  for (const auto& o : kOrientations) {
    if (o.degrees != ui->orientation) continue;
    if (uint8_t* b3 = boot.at(3)) *b3 = uint8_t((*b3 & ~0x07) | o.code);
    break;
  }

  if (ui->boot3Bit7 != kNotAvailable) boot.setBit(3, 0x80, ui->boot3Bit7 == 0);
  return 1;
}

}  // extern "C"
