// Product golden sample reading. The first two bytes give the pin counts (up to 63 each);
// the golden array is exactly S x D values.
#include "internal.h"
#include "memory_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  TestRecord rec = {};
  rec.fwInfo.sensorPinNumber = data[0] & 0x3F;
  rec.fwInfo.driverPinNumber = data[1] & 0x3F;
  size_t cells = size_t(rec.fwInfo.sensorPinNumber) * size_t(rec.fwInfo.driverPinNumber);
  rec.golden.mutualValues = static_cast<uint16_t*>(malloc((cells ? cells : 1) * sizeof(uint16_t)));
  MemoryStream in(data + 2, size - 2);
  if (in.get()) qz::other::readProductGolden(in.get(), &rec);
  free(rec.golden.mutualValues);
  return 0;
}
