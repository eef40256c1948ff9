// The device-change decision on arbitrary records. The record is a heap block of exactly
// its claimed size (at least the 4-byte size field), so any read at or past it is seen.
#include <cstdlib>
#include <cstring>

#include "qz/other.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t claimed;
  memcpy(&claimed, data, 4);
  size_t n = claimed < size ? claimed : size;
  if (n < 4) n = 4;
  auto* record = static_cast<uint8_t*>(malloc(n));
  memcpy(record, data, n);
  uint32_t actual = uint32_t(claimed < size ? claimed : size);
  memcpy(record, &actual, 4);
  int32_t arrival = 7, removal = 7, other = 7;
  QZDeviceChange(QZ_DEVICE_ARRIVAL, record, &arrival);
  QZDeviceChange(QZ_DEVICE_REMOVE_COMPLETE, record, &removal);
  QZDeviceChange(0x8001, record, &other);
  // One decision for both events: a supported controller arrives (1) and leaves (0).
  if (other != -1 || (arrival == 1) != (removal == 0) || (arrival != 1 && arrival != -1) ||
      (removal != 0 && removal != -1))
    abort();
  free(record);
  return 0;
}
