#include <sys/stat.h>

#include <cstring>

#include "internal.h"

namespace qz::other {

bool pathUsable(const char* path) { return path && strnlen(path, kPathSize) < kPathSize; }

FILE* openForWrite(const char* path, const char* mode) {
  if (!pathUsable(path)) return nullptr;
  char dir[kPathSize];
  strcpy(dir, path);
  // The last separator, the first character excluded: "/file" has no directory to make.
  for (size_t i = strlen(dir); i-- > 1;) {
    if (dir[i] == '/') {
      dir[i] = '\0';
      mkdir(dir, 0777);  // exists already, or cannot be made: the open decides
      break;
    }
  }
  return text::open(path, mode);
}

bool readToken(text::Reader& in, char* buf, size_t cap) {
  size_t n = 0;
  bool ended = false;
  for (;;) {
    int c = in.get();
    if (c == EOF) break;
    if (c == ',' || c == '\n') {
      ended = true;
      break;
    }
    if (n == 0 && text::isSpace(c)) continue;
    if (n + 1 < cap) buf[n++] = char(c);
  }
  while (n > 0 && text::isSpace(static_cast<unsigned char>(buf[n - 1]))) --n;
  buf[n] = '\0';
  return ended;
}

}  // namespace qz::other
