#include "textfile/textfile.h"

#include <climits>
#include <clocale>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <memory>
#include <new>

namespace qz::text {
namespace {

// The C locale as an object of its own, so formatting and parsing never see the process
// locale (a Qt program sets that from the environment).
locale_t cLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}

// Makes the C locale current on this thread for one scope.
class CLocaleScope {
 public:
  CLocaleScope() : old_(cLocale() ? uselocale(cLocale()) : nullptr) {}
  ~CLocaleScope() {
    if (old_) uselocale(old_);
  }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t old_;
};

}  // namespace

FILE* open(const char* path, const char* mode) {
  if (!path || !mode) return nullptr;
  // The layer does the line-end work itself, so the stream underneath is binary.
  if (strcmp(mode, "r") == 0) return fopen(path, "rb");
  if (strcmp(mode, "w") == 0) return fopen(path, "wb");
  if (strcmp(mode, "a") == 0) return fopen(path, "ab");
  return nullptr;
}

void Writer::put(const char* s, size_t n) {
  if (!f_) {
    ok_ = false;
    return;
  }
  size_t start = 0;
  for (size_t i = 0; i < n; ++i) {
    if (s[i] != '\n') continue;
    if (i > start && fwrite(s + start, 1, i - start, f_) != i - start) ok_ = false;
    if (fwrite("\r\n", 1, 2, f_) != 2) ok_ = false;
    start = i + 1;
  }
  if (n > start && fwrite(s + start, 1, n - start, f_) != n - start) ok_ = false;
}

void Writer::put(const char* s) { put(s, strlen(s)); }

void Writer::putField(const char* s, size_t cap) { put(s, strnlen(s, cap)); }

void Writer::format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_list again;
  va_start(ap, fmt);
  va_copy(again, ap);
  int n;
  {
    CLocaleScope c;
    n = vsnprintf(buf, sizeof buf, fmt, ap);
  }
  va_end(ap);
  if (n < 0) {
    ok_ = false;
  } else if (size_t(n) < sizeof buf) {
    put(buf, size_t(n));
  } else {
    // Only a very large floating-point value gets here ("%.2f" of 1e300).
    std::unique_ptr<char[]> big(new (std::nothrow) char[size_t(n) + 1]);
    if (big) {
      CLocaleScope c;
      vsnprintf(big.get(), size_t(n) + 1, fmt, again);
    }
    if (big)
      put(big.get(), size_t(n));
    else
      ok_ = false;
  }
  va_end(again);
}

bool Writer::close() {
  if (!f_) return false;
  if (fflush(f_) != 0 || ferror(f_)) ok_ = false;
  if (fclose(f_) != 0) ok_ = false;
  f_ = nullptr;
  return ok_;
}

int Reader::raw() {
  if (pushed_ > 0) return back_[--pushed_];
  return f_ ? fgetc(f_) : EOF;
}

int Reader::get() {
  int c = raw();
  if (c == '\r') {
    int next = raw();
    if (next == '\n') return '\n';
    unget(next);
  }
  return c;
}

void Reader::unget(int c) {
  if (c == EOF || pushed_ >= int(sizeof back_ / sizeof back_[0])) return;
  back_[pushed_++] = c;
}

bool Reader::readInt(int32_t* out) {
  int c = get();
  while (isSpace(c)) c = get();
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = get();
  }
  if (c < '0' || c > '9') {
    unget(c);
    return false;
  }
  uint32_t v = 0;
  while (c >= '0' && c <= '9') {
    v = v * 10u + uint32_t(c - '0');
    c = get();
  }
  unget(c);
  if (negative) v = 0u - v;
  *out = static_cast<int32_t>(v);
  return true;
}

int32_t parseInt(const char* s) {
  if (!s) return 0;
  while (isSpace(static_cast<unsigned char>(*s))) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  int64_t v = 0;
  const int64_t limit = negative ? -int64_t(INT32_MIN) : INT32_MAX;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + (*s - '0');
    if (v > limit) {
      v = limit;
      // Saturated: the remaining digits cannot change the value.
    }
  }
  return static_cast<int32_t>(negative ? -v : v);
}

double parseDouble(const char* s) {
  if (!s || !cLocale()) return 0.0;
  return strtod_l(s, nullptr, cLocale());
}

}  // namespace qz::text
