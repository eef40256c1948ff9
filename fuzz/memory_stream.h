// Fuzz inputs as read-only streams over an exact-size copy, so that the readers see the
// input as a file and the sanitizers see any access past it.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

class MemoryStream {
 public:
  MemoryStream(const uint8_t* data, size_t size) : copy_(static_cast<char*>(malloc(size ? size : 1))) {
    if (size) memcpy(copy_, data, size);
    f_ = size ? fmemopen(copy_, size, "rb") : fopen("/dev/null", "rb");
  }
  ~MemoryStream() {
    if (f_) fclose(f_);
    free(copy_);
  }
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;
  FILE* get() const { return f_; }

 private:
  char* copy_;
  FILE* f_;
};
