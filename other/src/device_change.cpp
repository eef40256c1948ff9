// Deciding whether a device broadcast concerns a supported controller.
#include <cstring>

#include "internal.h"

namespace qz::other {
namespace {

// Longest name a reading examines, in characters; longer names are not examined.
constexpr size_t kMaxNameChars = kPathSize - 1;
constexpr size_t kMinNameChars = 3;

template <typename Char>
Char lower(Char c) {
  return c >= 'A' && c <= 'Z' ? Char(c - 'A' + 'a') : c;
}

// Reads one unit of the name at index i (8-bit or 16-bit little-endian).
template <typename Char>
Char unitAt(const uint8_t* name, size_t i) {
  if constexpr (sizeof(Char) == 1) {
    return name[i];
  } else {
    return Char(name[2 * i] | (name[2 * i + 1] << 8));
  }
}

template <typename Char>
bool contains(const Char* hay, size_t n, const char* needle) {
  size_t m = strlen(needle);
  for (size_t i = 0; i + m <= n; ++i) {
    size_t k = 0;
    while (k < m && hay[i + k] == Char(static_cast<unsigned char>(needle[k]))) ++k;
    if (k == m) return true;
  }
  return false;
}

// One reading of the name: `units` units are available before the record's end.
template <typename Char>
bool nameMatches(const uint8_t* name, size_t units) {
  Char text[kMaxNameChars];
  size_t n = 0;
  for (; n < units; ++n) {
    Char c = unitAt<Char>(name, n);
    if (c == 0) break;
    if (n == kMaxNameChars) return false;  // too long to examine
    text[n] = lower(c);
  }
  if (n < kMinNameChars) return false;
  if (!contains(text, n, "vid_7a3d")) return false;
  static const char* const kProducts[] = {"pid_741", "pid_742", "pid_748", "pid_215"};
  for (const char* pid : kProducts)
    if (contains(text, n, pid)) return true;
  return false;
}

uint32_t u32At(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace
}  // namespace qz::other

using namespace qz::other;

extern "C" QZ_EXPORT int32_t QZDeviceChange(uint32_t event, const void* data, int32_t* result) {
  if (!result) return 1;
  *result = -1;
  if (!data) return 1;
  const auto* record = static_cast<const uint8_t*>(data);
  uint32_t size = u32At(record);
  if (size < 8 || u32At(record + 4) != QZ_DEVICE_TYPE_INTERFACE) return 1;
  if (size <= QZ_BROADCAST_NAME_OFFSET) return 1;
  const uint8_t* name = record + QZ_BROADCAST_NAME_OFFSET;
  size_t bytes = size - QZ_BROADCAST_NAME_OFFSET;
  if (!nameMatches<uint8_t>(name, bytes) && !nameMatches<uint16_t>(name, bytes / 2)) return 1;
  if (event == QZ_DEVICE_REMOVE_COMPLETE)
    *result = 0;
  else if (event == QZ_DEVICE_ARRIVAL)
    *result = 1;
  return 1;
}
