// Text-mode files as the Windows C runtime writes and reads them, on any system: every LF
// written is stored as CR LF (so "\r\n" becomes CR CR LF), a CR before LF is dropped on
// reading, and numbers are formatted and parsed in the C locale whatever the process
// locale says. Every data file of the tool kit goes through this layer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace qz::text {

// Opens path in text mode ("r", "w" or "a"); nullptr when it cannot be opened.
FILE* open(const char* path, const char* mode);

// Writes text through a FILE opened by open() (or any binary stream). Never fails loudly:
// a failed write is remembered and reported by ok().
class Writer {
 public:
  explicit Writer(FILE* f) : f_(f) {}
  // Writes n bytes, each LF as CR LF.
  void put(const char* s, size_t n);
  // Writes a zero-terminated text.
  void put(const char* s);
  // Writes a text of a fixed-size field: at most cap bytes, up to its first zero byte.
  void putField(const char* s, size_t cap);
  // printf in the C locale, then put().
  void format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // False once any write failed.
  bool ok() const { return ok_; }
  // Closes the stream; false when a write or the close failed.
  bool close();

 private:
  FILE* f_;
  bool ok_ = true;
};

// Reads text through a FILE opened by open() (or any binary stream), dropping a CR that
// comes before LF.
class Reader {
 public:
  explicit Reader(FILE* f) : f_(f) {}
  // The next character (0..255), or EOF.
  int get();
  // Pushes one character back; the next get() returns it. At most one at a time.
  void unget(int c);
  // Reads one decimal integer as fscanf's "%d" does: skips white space, takes an optional
  // sign and the digits. Values are taken modulo 2^32, so their low bits are always right.
  // False (and *out untouched) when no digit follows; the character that stopped the
  // reading stays unread.
  bool readInt(int32_t* out);

 private:
  int raw();
  FILE* f_;
  int back_[2] = {0, 0};  // pushed-back characters: one looked-ahead, one given back
  int pushed_ = 0;
};

// Decimal value of a text as atoi reads it in the C locale: leading white space, optional
// sign, digits; saturates at the 32-bit limits; 0 when no digit follows.
int32_t parseInt(const char* s);
// Floating-point value of a text as atof reads it in the C locale; 0 when none.
double parseDouble(const char* s);
// True for the white-space characters of the C locale.
inline bool isSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace qz::text
