// Parameter file reading. The first three bytes choose the lists and their lengths; the
// buffer is exactly as long as the selected lists.
#include <vector>

#include "internal.h"
#include "memory_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  ParaListInfo info = {};
  info.sections = data[0];
  info.apLength = data[1];
  info.bootLength = data[2];
  size_t need = ((info.sections & 0x80) ? info.apLength : 0) + ((info.sections & 0x40) ? info.bootLength : 0);
  auto* bytes = static_cast<uint8_t*>(malloc(need ? need : 1));
  MemoryStream in(data + 3, size - 3);
  if (in.get()) qz::other::loadParameters(in.get(), &info, bytes);
  free(bytes);
  return 0;
}
