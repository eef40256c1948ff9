// Bounded text formatting: the result always fits its field and is terminated.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace qz::adv {

__attribute__((format(printf, 3, 4))) inline void formatInto(char* out, size_t cap, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(out, cap, fmt, ap);
  va_end(ap);
  if (n < 0 && cap > 0) out[0] = '\0';
}

template <size_t N>
__attribute__((format(printf, 2, 3))) inline void formatInto(char (&out)[N], const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(out, N, fmt, ap);
  va_end(ap);
  if (n < 0) out[0] = '\0';
}

}  // namespace qz::adv
