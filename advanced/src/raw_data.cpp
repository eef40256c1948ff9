// Raw data: sensor dimensions, buffer sizes, and frames of raw counts, baselines and
// mode differences, read in bulk or value pair by value pair.
#include <cstddef>
#include <cstdlib>

#include "bindings.h"
#include "common/clock.h"

using namespace qz::adv;

namespace {

constexpr int kFreshFrameWaitMs = 500;
constexpr int kPollPeriodMs = 50;
// Status polls before a frame that never gets ready is given up (about 5 s).
constexpr int kMaxPolls = 100;
constexpr unsigned kMaxRowLength = 255;

// Values per row: mutual values, sector values, one total-drive value.
unsigned rowLength(const PinNumberInfo& pins) { return unsigned(pins.driverCount) + pins.sectorCount + 1; }

bool frameReaderBound(const RawCountBuffer& buf) {
  return buf.bulkTransfer ? bound(g_basic.ReceiveRawCount) : bound(g_basic.SendE8);
}

// A frame fits the caller's arrays only when every array with a count is there and the row
// can be addressed; checked before anything is sent.
bool frameAcceptable(const PinNumberInfo& pins, const RawCountBuffer& buf) {
  if (rowLength(pins) > kMaxRowLength) return false;
  if (buf.mutualValueCount > 0 && !buf.mutualValues) return false;
  if (buf.sectorValueCount > 0 && !buf.sectorValues) return false;
  if (buf.totalDriveValueCount > 0 && !buf.totalDriveValues) return false;
  return frameReaderBound(buf);
}

bool readPairwise(DeviceHandle h, unsigned rows, unsigned L, uint16_t* frame) {
  for (unsigned r = 0; r < rows; ++r) {
    uint16_t* row = frame + size_t(r) * L;
    for (unsigned j = 0; j < L;) {
      uint16_t v[2];
      if (j == L - 1) {
        // The lone last position: second half 0, 0.
        const uint8_t a[2] = {uint8_t(r), 0}, b[2] = {uint8_t(j), 0};
        if (!g_basic.SendE8(h, a, b, v)) return false;
        row[j] = v[0];
        j += 1;
      } else {
        const uint8_t a[2] = {uint8_t(r), uint8_t(r)}, b[2] = {uint8_t(j), uint8_t(j + 1)};
        if (!g_basic.SendE8(h, a, b, v)) return false;
        row[j] = v[0];
        row[j + 1] = v[1];
        j += 2;
      }
    }
  }
  return true;
}

// Copies one block of every row into dest, never more than the caller's count.
void copyBlock(const uint16_t* frame, unsigned rows, unsigned L, unsigned first, unsigned width, uint16_t* dest,
               int32_t count) {
  if (count <= 0 || width == 0) return;
  size_t left = size_t(count);
  for (unsigned r = 0; r < rows && left > 0; ++r) {
    const uint16_t* src = frame + size_t(r) * L + first;
    for (unsigned k = 0; k < width && left > 0; ++k, --left) *dest++ = src[k];
  }
}

bool readRawFrame(DeviceHandle h, const PinNumberInfo& pins, RawCountBuffer& buf) {
  const unsigned rows = pins.sensorCount, L = rowLength(pins);
  const size_t values = size_t(rows) * L;
  auto* frame = static_cast<uint16_t*>(calloc(values ? values : 1, sizeof(uint16_t)));
  if (!frame) return false;
  bool ok = buf.bulkTransfer ? g_basic.ReceiveRawCount(h, int32_t(values), frame) != 0
                             : readPairwise(h, rows, L, frame);
  if (ok) {
    copyBlock(frame, rows, L, 0, pins.driverCount, buf.mutualValues, buf.mutualValueCount);
    copyBlock(frame, rows, L, pins.driverCount, pins.sectorCount, buf.sectorValues, buf.sectorValueCount);
    copyBlock(frame, rows, L, L - 1, 1, buf.totalDriveValues, buf.totalDriveValueCount);
  }
  free(frame);
  return ok;
}

bool pinNumber(DeviceHandle h, PinNumberInfo* out) {
  uint8_t r[4];
  if (!g_basic.SendE5(h, 1, r)) return false;
  if (r[3] & 0x01) {
    out->sensorCount = r[1];
    out->driverCount = r[0];
    out->sensorFirst = 0;
  } else {
    out->sensorCount = r[0];
    out->driverCount = r[1];
    out->sensorFirst = 1;
  }
  uint8_t chips, x1, x2, x3;
  if (!g_basic.SendEF(h, &chips, &x1, &x2, &x3)) return false;
  if (chips <= 1) {  // no chip count counts as one chip
    out->sectorCount = r[3] >> 4;
    out->masterSensorCount = out->sensorCount;
    out->slaveSensorCount = 0;
    return true;
  }
  uint8_t s[4];
  if (!g_basic.SendE5(h, 2, s)) return false;
  out->sectorCount = s[0];
  out->masterSensorCount = s[3];
  out->slaveSensorCount = s[2];
  return true;
}

}  // namespace

extern "C" {

QZ_EXPORT int32_t GetPinNumber(DeviceHandle h, PinNumberInfo* pins) {
  if (!pins || !bound(g_basic.SendE5, g_basic.SendEF)) return 0;
  return pinNumber(h, pins) ? 1 : 0;
}

QZ_EXPORT int32_t GetRawCountBufferSize(DeviceHandle h, RawCountBuffer* out) {
  const auto& b = g_basic;
  if (!out || !bound(b.SendE5, b.SendEF, b.SendF9, b.ChkFACmd)) return 0;
  PinNumberInfo pins{};
  if (!pinNumber(h, &pins)) return 0;
  uint8_t x1, x2, flags;
  if (!b.SendF9(h, 0, 0, 0, &x1, &x2, &flags)) return 0;
  out->dataFlags = flags;
  out->bulkTransfer = b.ChkFACmd(h) ? 1 : 0;
  out->mutualValueCount = int32_t(pins.sensorCount) * pins.driverCount;
  out->sectorValueCount = (flags & 0x08) ? 0 : int32_t(pins.sensorCount) * pins.sectorCount;
  out->totalDriveValueCount = (flags & 0x04) ? 0 : pins.sensorCount;
  return 1;
}

QZ_EXPORT int32_t GetRawCount(DeviceHandle h, const PinNumberInfo* pins, RawCountBuffer* buf) {
  if (!pins || !buf || !bound(g_basic.SendF9) || !frameAcceptable(*pins, *buf)) return 0;
  uint8_t a, b, pending;
  if (!g_basic.SendF9(h, 0, 0xC0, 1, &a, &b, &pending)) return 0;
  if (pending) {
    // Ready when the status poll's first two reply bytes agree.
    for (int polls = 0;; ++polls) {
      if (polls == kMaxPolls) return 0;
      qz::sleepMs(kPollPeriodMs);
      uint8_t c;
      if (!g_basic.SendF9(h, 0, 0x80, 1, &a, &b, &c)) return 0;
      if (a == b) break;
    }
  } else {
    qz::sleepMs(kFreshFrameWaitMs);
  }
  return readRawFrame(h, *pins, *buf) ? 1 : 0;
}

QZ_EXPORT int32_t GetBaseLine(DeviceHandle h, const PinNumberInfo* pins, RawCountBuffer* buf) {
  const auto& b = g_basic;
  if (!pins || !buf || !bound(b.SendE0, b.SendF0, b.SendF1, b.SendF9) || !frameAcceptable(*pins, *buf)) return 0;
  // Slave chips hand over their sensor lines only while the master does not scan.
  const bool pause = pins->slaveSensorCount > 0;
  bool wasScanning = false;
  if (pause && !pauseScanning(h, kBaselineSettleMs, &wasScanning)) return 0;
  bool ok = true;
  if (buf->dataFlags & 0x02) {
    uint8_t x1, x2, x3;
    ok = b.SendF9(h, 0xAA, 0, 0, &x1, &x2, &x3) != 0;
    if (ok) qz::sleepMs(kSettleMs);
  }
  if (ok) ok = readRawFrame(h, *pins, *buf);
  // A failed read still restarts scanning, so the panel is not left dead.
  if (pause && !resumeScanning(h, wasScanning)) return 0;
  return ok ? 1 : 0;
}

QZ_EXPORT int32_t GetModeDiff(DeviceHandle h, const PinNumberInfo* pins, RawCountBuffer* buf, int32_t mode) {
  if (!pins || !buf || !bound(g_basic.SendF9) || !frameAcceptable(*pins, *buf)) return 0;
  if ((buf->dataFlags & 0x12) != 0x12) return 0;  // no mode differences to select
  uint8_t x1, x2, x3;
  if (!g_basic.SendF9(h, 0xAA, 0, mode & 0xFF, &x1, &x2, &x3)) return 0;
  qz::sleepMs(kSettleMs);
  return readRawFrame(h, *pins, *buf) ? 1 : 0;
}

QZ_EXPORT int32_t GetScanCount(DeviceHandle h, uint32_t* first, uint32_t* second) {
  if (!first || !second || !bound(g_basic.SendE0)) return 0;
  uint8_t a, b;
  if (!readPair(h, 0x16, &a, &b)) return 0;
  *first = a;
  *second = b;
  return 1;
}

}  // extern "C"
