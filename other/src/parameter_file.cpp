// Parameter files: the application and boot lists as two lines of "%03d " items.
#include <cstring>

#include "internal.h"

namespace qz::other {

void loadParameters(FILE* f, const ParaListInfo* info, uint8_t* bytes) {
  text::Reader in(f);
  size_t at = 0;
  auto readList = [&](unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      int32_t v = 0;  // a number missing from the file stores 0
      in.readInt(&v);
      bytes[at++] = uint8_t(v);
    }
  };
  if (info->sections & 0x80) readList(info->apLength);
  if (info->sections & 0x40) readList(info->bootLength);
}

}  // namespace qz::other

using namespace qz::other;

extern "C" QZ_EXPORT int32_t SaveParameterFile(const char* path, const ParaListInfo* info,
                                               const uint8_t* bytes) {
  if (!info || (!bytes && info->apLength + info->bootLength > 0)) return 0;
  OutputFile file(path, OutputFile::kReplace);
  if (!file.isOpen()) return 0;
  qz::text::Writer& out = file.out();
  size_t at = 0;
  for (unsigned list = 0; list < 2; ++list) {
    unsigned count = list == 0 ? info->apLength : info->bootLength;
    for (unsigned i = 0; i < count; ++i) out.format("%03d ", bytes[at++]);
    out.put("\n");
  }
  return file.finish() ? 1 : 0;
}

extern "C" QZ_EXPORT int32_t LoadParameterFile(const char* path, const ParaListInfo* info,
                                               uint8_t* bytes) {
  if (!info || !bytes) return 0;
  FILE* f = openForRead(path);
  if (!f) return 0;
  // Read aside first: a file that fails part-way leaves the caller's buffer as it was.
  uint8_t read[2 * 255];
  loadParameters(f, info, read);
  const bool ok = !ferror(f);
  fclose(f);
  if (!ok) return 0;
  size_t n = ((info->sections & 0x80) ? info->apLength : 0) + ((info->sections & 0x40) ? info->bootLength : 0);
  memcpy(bytes, read, n);
  return 1;
}
