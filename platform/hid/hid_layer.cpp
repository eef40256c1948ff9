// Handle table and dispatch over the back ends.
#include "hid/hid_layer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qz::hid {
namespace {

// Open devices. Handles count up from a base far above any file descriptor, so a stale or
// foreign handle never names a device of this table.
constexpr intptr_t kHandleBase = 0x48440000;
constexpr int kMaxOpen = 256;

struct OpenDevice {
  intptr_t handle = kNoHandle;
  const Backend* backend = nullptr;
  void* dev = nullptr;
};

OpenDevice g_open[kMaxOpen];
intptr_t g_nextHandle = kHandleBase;
int g_lastOpenError = 0;
std::mutex g_mutex;  // guards the table, not the devices

const Backend* const kBackends[] = {&kHidapiBackend, &kVirtualBackend};

bool realHidHidden() {
  const char* v = getenv("QZ_NO_REAL_HID");
  return v && strcmp(v, "1") == 0;
}

bool backendEnabled(const Backend* b) { return b != &kHidapiBackend || !realHidHidden(); }

OpenDevice* find(intptr_t handle) {
  if (handle == kNoHandle) return nullptr;
  for (auto& d : g_open)
    if (d.handle == handle) return &d;
  return nullptr;
}

struct VisitCtx {
  void* ctx;
  bool (*visit)(void*, const char*);
  bool stopped;
};

}  // namespace

bool parsePath(const char* path, uint16_t* vendor, uint16_t* product) {
  static const char kPrefix[] = "\\\\?\\hid#vid_";
  if (!path || strncmp(path, kPrefix, sizeof kPrefix - 1) != 0) return false;
  if (strlen(path) < 26 || strncmp(path + 16, "&pid_", 5) != 0 || path[25] != '#') return false;
  auto hex4 = [](const char* s, uint16_t* out) {
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s[i];
      int d = (c >= '0' && c <= '9') ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (d < 0) return false;
      v = v * 16 + unsigned(d);
    }
    *out = uint16_t(v);
    return true;
  };
  uint16_t v, p;
  if (!hex4(path + 12, &v) || !hex4(path + 21, &p)) return false;
  if (vendor) *vendor = v;
  if (product) *product = p;
  return true;
}

bool enumerate(void* ctx, bool (*visit)(void*, const char*)) {
  VisitCtx vc{ctx, visit, false};
  bool any = false;
  for (const Backend* b : kBackends) {
    if (!backendEnabled(b) || vc.stopped) continue;
    any |= b->enumerate(&vc, [](void* c, const char* path) {
      auto* v = static_cast<VisitCtx*>(c);
      if (!v->stopped && !v->visit(v->ctx, path)) v->stopped = true;
    });
  }
  return any;
}

intptr_t open(const char* path) {
  if (!path || strnlen(path, kPathSize) >= kPathSize) {
    g_lastOpenError = ENAMETOOLONG;
    return kNoHandle;
  }
  for (const Backend* b : kBackends) {
    if (!backendEnabled(b) || !b->claims(path)) continue;
    int err = 0;
    void* dev = b->open(path, &err);
    if (!dev) {
      g_lastOpenError = err ? err : ENODEV;
      continue;  // a virtual device may carry a name that looks like a real node
    }
    std::lock_guard lock(g_mutex);
    for (auto& d : g_open) {
      if (d.handle != kNoHandle) continue;
      d.handle = g_nextHandle++;
      if (g_nextHandle > kHandleBase + 0x3FFFFFFF) g_nextHandle = kHandleBase;
      d.backend = b;
      d.dev = dev;
      g_lastOpenError = 0;
      return d.handle;
    }
    b->close(dev);
    g_lastOpenError = EMFILE;
    return kNoHandle;
  }
  if (!g_lastOpenError) g_lastOpenError = ENOENT;
  return kNoHandle;
}

int lastOpenError() { return g_lastOpenError; }

bool close(intptr_t handle) {
  OpenDevice taken;
  {
    std::lock_guard lock(g_mutex);
    OpenDevice* d = find(handle);
    if (!d) return false;
    taken = *d;
    *d = OpenDevice{};
  }
  taken.backend->close(taken.dev);
  return true;
}

bool isOpen(intptr_t handle) {
  std::lock_guard lock(g_mutex);
  return find(handle) != nullptr;
}

bool sendFeature(intptr_t handle, const uint8_t* data, size_t len) {
  OpenDevice* d = find(handle);
  return d && len > 0 && len <= kMaxReport && d->backend->sendFeature(d->dev, data, len);
}

bool getFeature(intptr_t handle, uint8_t* data, size_t len) {
  OpenDevice* d = find(handle);
  return d && len > 0 && len <= kMaxReport && d->backend->getFeature(d->dev, data, len);
}

bool writeOutput(intptr_t handle, const uint8_t* data, size_t len) {
  OpenDevice* d = find(handle);
  return d && len > 0 && len <= kMaxReport && d->backend->writeOutput(d->dev, data, len);
}

int readInput(intptr_t handle, uint8_t* data, size_t cap, int timeoutMs) {
  OpenDevice* d = find(handle);
  return d ? d->backend->readInput(d->dev, data, cap, timeoutMs) : -1;
}

}  // namespace qz::hid
