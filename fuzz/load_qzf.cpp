// Firmware package loading, as a one-block and as a two-block (".qzc") file.
#include <initializer_list>

#include "internal.h"
#include "memory_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool twoBlocks : {false, true}) {
    MemoryStream in(data, size);
    if (!in.get()) return 0;
    FirmwarePackage pkg = {};
    int32_t r = qz::other::loadPackage(in.get(), twoBlocks, &pkg);
    if (r == 0 && (pkg.data || pkg.next)) abort();  // a failed load keeps nothing
    if (r == 1 && (!pkg.data || (twoBlocks != (pkg.next != nullptr)))) abort();
    ReleaseQZFFile(&pkg);
  }
  return 0;
}
