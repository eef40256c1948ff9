// Diagnostic golden sample reading into a record that holds an old golden array.
#include "internal.h"
#include "memory_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryStream in(data, size);
  if (!in.get()) return 0;
  TestRecord rec = {};
  rec.golden.mutualValues = static_cast<uint16_t*>(malloc(4 * sizeof(uint16_t)));
  rec.golden.mutualValueCount = 4;
  int32_t r = qz::other::readDiagnoseGolden(in.get(), &rec);
  const int64_t s = rec.fwInfo.sensorPinNumber, d = rec.fwInfo.driverPinNumber;
  if (rec.golden.mutualValues) {
    // A table read: its values lie within the array the reader made.
    volatile uint16_t last = rec.golden.mutualValues[rec.golden.mutualValueCount - 1];
    (void)last;
    if (rec.golden.mutualValueCount != 4 && rec.golden.mutualValueCount != s * d) abort();
  }
  if (r != 0 && r != 1) abort();
  free(rec.golden.mutualValues);
  return 0;
}
