#include <libudev.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qztool.h"

namespace qztool {

const char* const kUdevHint =
    "install the udev rule that gives the logged-in user access: "
    "sudo cp /usr/lib/udev/rules.d/60-qz-touch.rules /etc/udev/rules.d/ (or packaging/60-qz-touch.rules "
    "from the source tree), then sudo udevadm control --reload && sudo udevadm trigger, and plug the "
    "controller in again";

bool parseSerialPort(const std::string& text, SerialPort* out, std::string* error) {
  std::string device = text;
  auto at = text.rfind('@');
  if (at != std::string::npos) {
    device = text.substr(0, at);
    std::string baud = text.substr(at + 1);
    char* end = nullptr;
    long b = strtol(baud.c_str(), &end, 10);
    if (baud.empty() || *end || b <= 0 || b > 4000000) {
      *error = "bad line speed '" + baud + "' in '" + text + "' (e.g. 3@38400)";
      return false;
    }
    out->baud = int(b);
  }
  if (device.empty()) {
    *error = "no port in '" + text + "' (a port number like 3, or a device path like /dev/ttyUSB0)";
    return false;
  }
  out->device = device;
  return true;
}

void addDeviceOptions(CLI::App* cmd, DeviceChoice* choice) {
  auto* g = cmd->add_option_group("device", "Which controllers (default: vendor driver first, then HID)");
  g->add_flag("--driver", choice->driver, "controllers behind the vendor driver's device objects");
  g->add_flag("--hid", choice->hid, "controllers on USB-HID (hidraw, and virtual devices of qzsim)");
  g->add_option("--serial", choice->serial,
                "controller on a serial port: PORT[@BAUD], PORT a number (maps to $QZ_COM<N> or "
                "/dev/ttyS<N-1>) or a device path; BAUD defaults to 38400");
}

std::vector<std::string> inaccessibleControllers() {
  std::vector<std::string> found;
  if (getenv("QZ_NO_REAL_HID") && strcmp(getenv("QZ_NO_REAL_HID"), "1") == 0) return found;
  udev* u = udev_new();
  if (!u) return found;
  udev_enumerate* e = udev_enumerate_new(u);
  udev_enumerate_add_match_subsystem(e, "hidraw");
  udev_enumerate_scan_devices(e);
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
    udev_device* dev = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
    if (!dev) continue;
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev, "hid", nullptr);
    const char* id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;  // bus:vendor:product
    const char* node = udev_device_get_devnode(dev);
    unsigned bus = 0, vendor = 0, product = 0;
    if (id && node && sscanf(id, "%x:%x:%x", &bus, &vendor, &product) == 3 && vendor == 0x7a3d &&
        access(node, R_OK | W_OK) != 0) {
      char line[160];
      snprintf(line, sizeof line, "%s (vendor 7a3d, product %04x)", node, product & 0xFFFF);
      found.emplace_back(line);
    }
    udev_device_unref(dev);
  }
  udev_enumerate_unref(e);
  udev_unref(u);
  return found;
}

std::string jsonEscape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out;
}

}  // namespace qztool
