// Real HID devices through hidapi's hidraw back end. Paths are made from the USB ids and
// the hidraw node: "\\?\hid#vid_7a3d&pid_7480#hidraw3" opens /dev/hidraw3.
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "hid/hid_layer.h"

namespace qz::hid {
namespace {

bool g_initialised = false;

bool init() {
  if (!g_initialised) g_initialised = hid_init() == 0;
  return g_initialised;
}

// "/dev/hidrawN" -> N, or -1.
long hidrawNumber(const char* devnode) {
  const char* base = strrchr(devnode, '/');
  base = base ? base + 1 : devnode;
  if (strncmp(base, "hidraw", 6) != 0 || !base[6]) return -1;
  char* end = nullptr;
  long n = strtol(base + 6, &end, 10);
  return (*end || n < 0) ? -1 : n;
}

struct Entry {
  long node;
  uint16_t vendor, product;
};

bool enumerateHidapi(void* ctx, void (*add)(void*, const char*)) {
  if (!init()) return false;
  hid_device_info* list = hid_enumerate(0, 0);
  std::vector<Entry> entries;
  try {
    for (hid_device_info* d = list; d; d = d->next) {
      long n = d->path ? hidrawNumber(d->path) : -1;
      if (n < 0) continue;
      // hidapi lists a device once per top-level collection: keep one entry per node.
      if (std::none_of(entries.begin(), entries.end(), [n](const Entry& e) { return e.node == n; }))
        entries.push_back({n, d->vendor_id, d->product_id});
    }
  } catch (...) {
    hid_free_enumeration(list);
    return false;
  }
  hid_free_enumeration(list);
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.node < b.node; });
  char path[kPathSize];
  for (const Entry& e : entries) {
    snprintf(path, sizeof path, "\\\\?\\hid#vid_%04x&pid_%04x#hidraw%ld", e.vendor, e.product, e.node);
    add(ctx, path);
  }
  return true;
}

// The node part of a real device's path, as a device file name.
bool devnodeOf(const char* path, char* out, size_t cap) {
  if (!parsePath(path, nullptr, nullptr)) return false;
  const char* node = path + 26;
  if (hidrawNumber(node) < 0) return false;
  return size_t(snprintf(out, cap, "/dev/%s", node)) < cap;
}

// True when the report descriptor declares report ids (global item Report ID, 0x85):
// hidraw then keeps the id in front of each input report, else it leaves it out.
bool reportsNumbered(const char* node) {
  char sys[96];
  snprintf(sys, sizeof sys, "/sys/class/hidraw/%s/device/report_descriptor", node + 5);
  int fd = ::open(sys, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t desc[4096];
  ssize_t n = ::read(fd, desc, sizeof desc);
  ::close(fd);
  for (ssize_t i = 0; i < n;) {
    uint8_t prefix = desc[i];
    if (prefix == 0xFE) {  // long item: size in the next byte
      if (i + 1 >= n) break;
      i += 3 + desc[i + 1];
      continue;
    }
    static const int kSizes[4] = {0, 1, 2, 4};
    if ((prefix & 0xFC) == 0x84) return true;
    i += 1 + kSizes[prefix & 3];
  }
  return false;
}

struct RealDevice {
  hid_device* dev;
  bool numbered;
};

bool claimsHidapi(const char* path) {
  char node[64];
  return devnodeOf(path, node, sizeof node);
}

void* openHidapi(const char* path, int* err) {
  char node[64];
  if (!devnodeOf(path, node, sizeof node)) {
    *err = ENOENT;
    return nullptr;
  }
  // hidapi does not keep errno across its clean-up; ask first so a missing permission is
  // told apart from a missing device.
  if (access(node, R_OK | W_OK) != 0) {
    *err = errno;
    return nullptr;
  }
  if (!init()) {
    *err = ENODEV;
    return nullptr;
  }
  hid_device* dev = hid_open_path(node);
  if (!dev) {
    *err = errno ? errno : ENODEV;
    return nullptr;
  }
  auto* real = new (std::nothrow) RealDevice{dev, reportsNumbered(node)};
  if (!real) {
    hid_close(dev);
    *err = ENOMEM;
  }
  return real;
}

hid_device* hidOf(void* p) { return static_cast<RealDevice*>(p)->dev; }

void closeHidapi(void* p) {
  hid_close(hidOf(p));
  delete static_cast<RealDevice*>(p);
}

bool sendFeatureHidapi(void* dev, const uint8_t* data, size_t len) {
  return hid_send_feature_report(hidOf(dev), data, len) >= 0;
}

bool getFeatureHidapi(void* dev, uint8_t* data, size_t len) {
  // hidraw answers with the report id in data[0] and the report after it.
  int n = hid_get_feature_report(hidOf(dev), data, len);
  return n > 0;
}

bool writeOutputHidapi(void* dev, const uint8_t* data, size_t len) {
  return hid_write(hidOf(dev), data, len) >= 0;
}

int readInputHidapi(void* p, uint8_t* data, size_t cap, int timeoutMs) {
  if (cap < 2) return -1;
  auto* real = static_cast<RealDevice*>(p);
  if (real->numbered) return hid_read_timeout(real->dev, data, cap, timeoutMs);
  // hidraw leaves the report id out of unnumbered reports; put the 0 back in front.
  int n = hid_read_timeout(real->dev, data + 1, cap - 1, timeoutMs);
  if (n <= 0) return n;
  data[0] = 0;
  return n + 1;
}

}  // namespace

const Backend kHidapiBackend = {
    "hidraw",          enumerateHidapi,   claimsHidapi,      openHidapi, closeHidapi,
    sendFeatureHidapi, getFeatureHidapi, writeOutputHidapi, readInputHidapi,
};

}  // namespace qz::hid
