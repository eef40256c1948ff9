#include <libudev.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qztool.h"

namespace qztool {

void retainUntilExit(std::shared_ptr<void> value) {
  static std::vector<std::shared_ptr<void>> kept;
  kept.push_back(std::move(value));
}

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
  g->add_option("--device", choice->device, "the controller with this path, as `qztool list` prints it");
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

namespace qztool {

const char* transportName(int32_t type) {
  switch (type) {
    case QZ_TYPE_HID: return "hid";
    case QZ_TYPE_DRIVER_USB: return "driver-usb";
    case QZ_TYPE_DRIVER_SERIAL: return "driver-serial";
    case QZ_TYPE_SERIAL: return "serial";
    default: return "?";
  }
}

Controller::~Controller() {
  if (handle != QZ_NO_DEVICE) CloseDevice(handle);
}

namespace {

std::vector<std::string>* g_paths = nullptr;  // the C callback has no context argument
std::vector<std::string>* g_models = nullptr;
void onPath(const char* path, const char* model) {
  g_paths->push_back(path);
  if (g_models) g_models->push_back(model ? model : "");
}

void describe(Controller* c) {
  int32_t is2K = 0, type = 0;
  if (IsQZ2K(c->handle, &is2K)) c->family = is2K ? "2K" : "KRXM";
  if (GetDeviceType(c->handle, &type)) c->transport = transportName(type);
}

int noController(const DeviceChoice& choice, const char* cmd) {
  const bool hid = choice.hid || (!choice.driver && choice.serial.empty());
  const std::vector<std::string> denied = hid ? inaccessibleControllers() : std::vector<std::string>{};
  for (const auto& d : denied)
    fprintf(stderr, "qztool %s: cannot open %s: permission denied; %s\n", cmd, d.c_str(), kUdevHint);
  if (!denied.empty()) return kPermission;
  if (!choice.device.empty())
    fprintf(stderr, "qztool %s: no controller answers at %s (run `qztool list` for the paths)\n", cmd,
            choice.device.c_str());
  else
    fprintf(stderr, "qztool %s: no controller found (%s); check the cable, or start qzsim to try without hardware\n",
            cmd,
            choice.driver ? "looked behind the vendor driver in $QZ_DRIVER_DIR"
            : choice.hid  ? "looked on USB-HID"
                          : "looked behind the vendor driver, then on USB-HID; add --serial PORT for a serial line");
  return kNoController;
}

}  // namespace

int openController(const DeviceChoice& choice, const char* cmd, Controller* out) {
  char model[QZ_MODEL_NAME_SIZE] = {};
  DeviceHandle h = QZ_NO_DEVICE;
  if (!choice.serial.empty()) {
    SerialPort port;
    std::string error;
    if (choice.serial.size() > 1 || !parseSerialPort(choice.serial[0], &port, &error)) {
      fprintf(stderr, "qztool %s: %s\n", cmd, error.empty() ? "give one --serial port" : error.c_str());
      return kUsage;
    }
    int number = atoi(port.device.c_str());
    if (number <= 0) {  // a device path: give it a port number of its own
      number = 99;
      setenv("QZ_COM99", port.device.c_str(), 1);
    }
    if (!FindRSDevice(number, port.baud, &h, model)) {
      fprintf(stderr, "qztool %s: no controller answered on serial port %s at %d baud (check the cable, the port "
              "and the speed)\n", cmd, port.device.c_str(), port.baud);
      return kNoController;
    }
    out->path = port.device;
  } else if (!choice.device.empty()) {
    std::vector<std::string> paths, models;
    g_paths = &paths;
    g_models = &models;
    if (!choice.hid) EnumerateQZDevices(onPath);
    if (!choice.driver) EnumerateHidDevices(onPath);
    g_paths = nullptr;
    g_models = nullptr;
    bool known = false;
    for (size_t i = 0; i < paths.size(); ++i)
      if (paths[i] == choice.device && !known) {
        known = true;
        out->model = models[i];  // OpenDevice names no model
      }
    // The enumeration leaves the others open; they close when the program ends.
    if (!known || !OpenDevice(choice.device.c_str(), &h)) return noController(choice, cmd);
    out->path = choice.device;
  } else {
    bool found = false;
    if (!choice.hid) found = FindQZDevice(&h, model);
    if (!found && !choice.driver) found = FindHidDevice(&h, model);
    if (!found) return noController(choice, cmd);
  }
  out->handle = h;
  if (out->model.empty()) out->model = model;
  describe(out);
  if (out->path.empty()) {
    // Learn the path from an enumeration of the same transport: the first that answers.
    std::vector<std::string> paths;
    g_paths = &paths;
    if (out->transport == "hid") EnumerateHidDevices(onPath); else EnumerateQZDevices(onPath);
    g_paths = nullptr;
    if (!paths.empty()) out->path = paths.front();
  }
  return kOk;
}

int commandFailed(const Controller& c, const char* cmd, const std::string& what) {
  uint16_t a = 0;
  uint8_t b = 0, d = 0;
  const bool alive = SendEE(c.handle, &a, &b, &d);
  if (alive) {
    fprintf(stderr, "qztool %s: %s was refused by %s (%s); the controller may not support it\n", cmd, what.c_str(),
            c.model.c_str(), c.path.c_str());
    return kRefused;
  }
  fprintf(stderr, "qztool %s: %s failed on %s (%s): the controller does not answer; check the connection and try "
          "again\n", cmd, what.c_str(), c.model.c_str(), c.path.c_str());
  return kFailure;
}

Progress::Progress(const char* label, int total) : label_(label), total_(total), tty_(isatty(2)) {}

Progress::~Progress() {
  if (tty_ && done_ > 0) fprintf(stderr, "\r\033[K");
}

void Progress::step() {
  ++done_;
  if (!tty_ || total_ <= 0) return;
  const int width = 30, filled = done_ * width / total_;
  fprintf(stderr, "\r%s [%s%s] %d/%d", label_.c_str(), std::string(filled, '#').c_str(),
          std::string(width - filled, ' ').c_str(), done_, total_);
  fflush(stderr);
}

bool parseByte(const std::string& text, uint8_t* out) {
  if (text.empty() || text.size() > 4) return false;
  std::string t = text;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
  if (t.empty() || t.size() > 2) return false;
  char* end = nullptr;
  unsigned long v = strtoul(t.c_str(), &end, 16);
  if (*end) return false;
  *out = uint8_t(v);
  return true;
}

}  // namespace qztool
