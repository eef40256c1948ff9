// The serial-number scan of the production result file: the number after the last comma.
#include "internal.h"
#include "memory_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryStream in(data, size);
  if (!in.get()) return 0;
  int32_t n = qz::other::previousSerialNumber(in.get());
  if (!memchr(data, ',', size) && n != 0) abort();  // no comma: counting starts afresh
  return 0;
}
