// Device arrival and removal: three watches whose changes reach the caller as broadcast
// records, ready for QZDeviceChange.
#include <cstdlib>
#include <cstring>
#include <new>

#include "internal.h"
#include "notify/notify.h"

namespace qz::other {
namespace {

constexpr uint8_t kClassUsb[16] = QZ_CLASS_DRIVER_USB;
constexpr uint8_t kClassSerial[16] = QZ_CLASS_DRIVER_SERIAL;
constexpr uint8_t kClassHid[16] = QZ_CLASS_HID;

struct Registration {
  QZNotifyCallback callback;
  void* context;
  const uint8_t* classGuid;
  notify::Watch* watch;
};

void deliver(void* ctx, notify::Change change, const char* name) {
  const auto* reg = static_cast<const Registration*>(ctx);
  size_t n = strnlen(name, kPathSize);
  if (n >= kPathSize) return;
  alignas(QZDeviceBroadcast) uint8_t record[QZ_BROADCAST_NAME_OFFSET + kPathSize + 2] = {};
  QZDeviceBroadcast head = {};
  head.size = uint32_t(QZ_BROADCAST_NAME_OFFSET + n + 2);
  head.deviceType = QZ_DEVICE_TYPE_INTERFACE;
  memcpy(head.classGuid, reg->classGuid, sizeof head.classGuid);
  memcpy(record, &head, sizeof head);
  memcpy(record + QZ_BROADCAST_NAME_OFFSET, name, n);  // two zero bytes follow
  uint32_t event = change == notify::Change::kArrival ? QZ_DEVICE_ARRIVAL : QZ_DEVICE_REMOVE_COMPLETE;
  reg->callback(reg->context, event, record);
}

// Device objects of the vendor driver: "<prefix><n>" with n = 0..15 written plainly.
bool objectInstance(const char* entry, const char* prefix) {
  size_t p = strlen(prefix);
  if (strncmp(entry, prefix, p) != 0) return false;
  const char* n = entry + p;
  if (n[0] >= '0' && n[0] <= '9' && n[1] == '\0') return true;
  return n[0] == '1' && n[1] >= '0' && n[1] <= '5' && n[2] == '\0';
}

bool objectName(const char* entry, const char* krxm, const char* family2k, char* out, size_t cap) {
  const char* product = objectInstance(entry, krxm)       ? "7480"
                        : objectInstance(entry, family2k) ? "2150"
                                                          : nullptr;
  if (!product) return false;
  int n = snprintf(out, cap, "\\\\?\\qz#vid_7a3d&pid_%s#%s", product, entry);
  return n > 0 && size_t(n) < cap;
}

bool usbObject(const char* entry, char* out, size_t cap) {
  return objectName(entry, "QZUKRXM_API", "QZU2K_API", out, cap);
}

bool serialObject(const char* entry, char* out, size_t cap) {
  return objectName(entry, "QZSKRXM_API", "QZS2K_API", out, cap);
}

// Virtual HID sockets: "hid#vid_xxxx&pid_yyyy#<tail>"; the interface path is "\\?\" + name.
bool virtualHid(const char* entry, char* out, size_t cap) {
  size_t n = strlen(entry);
  if (n < 23 || strncmp(entry, "hid#vid_", 8) != 0 || strncmp(entry + 12, "&pid_", 5) != 0 ||
      entry[21] != '#')
    return false;
  int w = snprintf(out, cap, "\\\\?\\%s", entry);
  return w > 0 && size_t(w) < cap;
}

const char* driverDir() {
  const char* d = getenv("QZ_DRIVER_DIR");
  return d && *d ? d : "/run/qz";
}

bool realHidHidden() {
  const char* v = getenv("QZ_NO_REAL_HID");
  return v && strcmp(v, "1") == 0;
}

// One registration: a watch of the given sources. nullptr when none could start.
Registration* startWatch(QZNotifyCallback callback, void* context, const uint8_t* classGuid,
                         int which) {
  auto* reg = new (std::nothrow) Registration{callback, context, classGuid, notify::create()};
  if (!reg) return nullptr;
  bool any = false;
  if (reg->watch) {
    if (which == 0) any = notify::addDirectory(reg->watch, driverDir(), usbObject);
    if (which == 1) any = notify::addDirectory(reg->watch, driverDir(), serialObject);
    if (which == 2) {
      if (!realHidHidden()) any = notify::addHidraw(reg->watch);
      if (const char* v = getenv("QZ_VIRTUAL_HID_DIR"); v && *v)
        any = notify::addDirectory(reg->watch, v, virtualHid) || any;
    }
  }
  if (!any || !notify::start(reg->watch, deliver, reg)) {
    qz::notify::destroy(reg->watch);
    delete reg;
    return nullptr;
  }
  return reg;
}

}  // namespace
}  // namespace qz::other

using namespace qz::other;

extern "C" QZ_EXPORT int32_t RegisterNotify(QZNotifyCallback callback, void* context,
                                            QZNotifyHandle handles[3]) {
  if (!handles) return 1;
  const uint8_t* classes[3] = {kClassUsb, kClassSerial, kClassHid};
  for (int i = 0; i < 3; ++i) {
    handles[i] = callback ? startWatch(callback, context, classes[i], i) : nullptr;
  }
  return 1;
}

extern "C" QZ_EXPORT int32_t UnRegisterNotify(QZNotifyHandle handles[3]) {
  if (!handles) return 1;
  for (int i = 0; i < 3; ++i) {
    auto* reg = static_cast<Registration*>(handles[i]);
    if (!reg) continue;
    handles[i] = nullptr;
    qz::notify::destroy(reg->watch);
    delete reg;
  }
  return 1;
}
