// Firmware package files: one or two blocks of a checked header, data and a data check.
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace qz::other {
namespace {

constexpr size_t kHeaderSize = 16;
constexpr uint8_t kMagic[4] = {'Q', 'Z', 'F', 'F'};

bool readExactly(FILE* f, void* to, size_t n) { return fread(to, 1, n, f) == n; }

uint32_t u32At(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Bytes left in the stream from its current position, or -1 when it cannot be told.
long remaining(FILE* f) {
  long here = ftell(f);
  if (here < 0 || fseek(f, 0, SEEK_END) != 0) return -1;
  long end = ftell(f);
  if (fseek(f, here, SEEK_SET) != 0 || end < here) return -1;
  return end - here;
}

// The block whose header is in rec->header: checks it, then reads its data and data check.
// On success rec->data holds the data (never null).
bool readBlock(FILE* f, FirmwarePackage* rec) {
  if (memcmp(rec->header, kMagic, sizeof kMagic) != 0) return false;
  uint8_t sum = 0;
  for (uint8_t b : rec->header) sum = uint8_t(sum + b);
  if (sum != 0xFF) return false;
  uint32_t length = u32At(rec->header + 8);
  // A length the file cannot hold fails before anything is allocated for it.
  long left = remaining(f);
  if (left < 0 || uint64_t(left) < uint64_t(length) + 4) return false;
  auto* data = static_cast<uint8_t*>(malloc(length ? length : 1));
  if (!data) return false;
  rec->data = data;
  uint8_t check[4];
  if (!readExactly(f, data, length) || !readExactly(f, check, sizeof check)) return false;
  uint32_t rest = ~u32At(check);
  for (uint32_t i = 0; i < length; ++i) rest -= data[i];
  return rest == 0;
}

void releaseChain(FirmwarePackage* package) {
  free(package->data);
  package->data = nullptr;
  if (FirmwarePackage* next = package->next) {
    releaseChain(next);
    free(next);
    package->next = nullptr;
  }
}

}  // namespace

int32_t loadPackage(FILE* f, bool twoBlocks, FirmwarePackage* package) {
  package->data = nullptr;
  package->next = nullptr;
  bool ok = readExactly(f, package->header, kHeaderSize) && readBlock(f, package);
  if (ok && twoBlocks) {
    auto* second = static_cast<FirmwarePackage*>(calloc(1, sizeof(FirmwarePackage)));
    ok = second != nullptr;
    if (ok) {
      package->next = second;
      ok = readExactly(f, second->header, kHeaderSize) && readBlock(f, second);
    }
  }
  if (ok) return 1;
  // Nothing this call allocated stays referred to, so a later release frees nothing twice.
  releaseChain(package);
  return 0;
}

}  // namespace qz::other

using namespace qz::other;

namespace {

bool endsWithQzc(const char* path) {
  size_t n = strlen(path);
  if (n < 4) return false;
  const char* e = path + n - 4;
  auto low = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  return e[0] == '.' && low(e[1]) == 'q' && low(e[2]) == 'z' && low(e[3]) == 'c';
}

}  // namespace

extern "C" QZ_EXPORT int32_t LoadQZFFile(const char* path, FirmwarePackage* package) {
  if (!package) return 0;
  FILE* f = openForRead(path);  // binary: the text layer reads nothing itself
  if (!f) return 0;
  int32_t r = loadPackage(f, endsWithQzc(path), package);
  fclose(f);
  return r;
}

extern "C" QZ_EXPORT int32_t ReleaseQZFFile(FirmwarePackage* package) {
  if (!package) return 0;
  releaseChain(package);
  memset(package, 0, sizeof *package);
  return 1;
}
