// qztool list: every controller that answers, on every transport asked for.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qztool.h"

namespace qztool {
namespace {

struct Found {
  std::string path, model, family, transport;
};

std::vector<Found>* g_found = nullptr;  // the C callback has no context argument

void onFound(const char* path, const char* model) { g_found->push_back({path, model, "", ""}); }

// Fills family and transport of the entries from `first` on, and closes them again.
void describe(std::vector<Found>& found, size_t first) {
  for (size_t i = first; i < found.size(); ++i) {
    DeviceHandle h = QZ_NO_DEVICE;
    int32_t is2K = 0, type = 0;
    if (OpenDevice(found[i].path.c_str(), &h) && IsQZ2K(h, &is2K) && GetDeviceType(h, &type)) {
      found[i].family = is2K ? "2K" : "KRXM";
      found[i].transport = transportName(type);
    }
    CloseDevice(h);
  }
}

int run(const DeviceChoice& choice) {
  const bool all = !choice.driver && !choice.hid && choice.serial.empty();
  std::vector<Found> found;
  g_found = &found;
  std::vector<std::string> problems;

  if (all || choice.driver) {
    EnumerateQZDevices(onFound);
    describe(found, 0);
  }
  if (all || choice.hid) {
    size_t first = found.size();
    EnumerateHidDevices(onFound);
    describe(found, first);
  }
  for (const auto& text : choice.serial) {
    SerialPort port;
    std::string error;
    if (!parseSerialPort(text, &port, &error)) {
      fprintf(stderr, "qztool list: %s\n", error.c_str());
      return kUsage;
    }
    int number = atoi(port.device.c_str());
    if (number <= 0) {  // a device path: give it a port number of its own
      number = 99;
      setenv("QZ_COM99", port.device.c_str(), 1);
    }
    DeviceHandle h = QZ_NO_DEVICE;
    char model[QZ_MODEL_NAME_SIZE] = {};
    if (FindRSDevice(number, port.baud, &h, model)) {
      found.push_back({port.device, model, "KRXM", "serial"});
      CloseDevice(h);
    } else {
      problems.push_back("no controller answered on serial port " + port.device + " at " +
                         std::to_string(port.baud) + " baud (check the cable, the port and the speed)");
    }
  }
  g_found = nullptr;
  if (!choice.device.empty()) {  // only the controller named, as with every other command
    std::vector<Found> kept;
    for (auto& f : found)
      if (f.path == choice.device) kept.push_back(std::move(f));
    found.swap(kept);
  }

  const std::vector<std::string> denied = (all || choice.hid) ? inaccessibleControllers() : std::vector<std::string>{};
  if (choice.json) {
    printf("{\"controllers\":[");
    for (size_t i = 0; i < found.size(); ++i)
      printf("%s{\"path\":\"%s\",\"model\":\"%s\",\"family\":\"%s\",\"transport\":\"%s\"}", i ? "," : "",
             jsonEscape(found[i].path).c_str(), jsonEscape(found[i].model).c_str(), found[i].family.c_str(),
             found[i].transport.c_str());
    printf("],\"inaccessible\":[");
    for (size_t i = 0; i < denied.size(); ++i) printf("%s\"%s\"", i ? "," : "", jsonEscape(denied[i]).c_str());
    printf("]}\n");
  } else {
    if (!found.empty()) printf("%-44s %-10s %-6s %s\n", "PATH", "MODEL", "FAMILY", "TRANSPORT");
    for (const auto& f : found)
      printf("%-44s %-10s %-6s %s\n", f.path.c_str(), f.model.c_str(), f.family.c_str(), f.transport.c_str());
  }
  for (const auto& p : problems) fprintf(stderr, "qztool list: %s\n", p.c_str());
  for (const auto& d : denied)
    fprintf(stderr, "qztool list: cannot open %s: permission denied; %s\n", d.c_str(), kUdevHint);
  if (!found.empty()) return kOk;
  if (!denied.empty()) return kPermission;
  if (problems.empty() && !choice.device.empty())
    fprintf(stderr, "qztool list: no controller answers at %s (run `qztool list` for the paths)\n",
            choice.device.c_str());
  else if (problems.empty()) fprintf(stderr, "qztool list: no controller found (%s)\n",
                                all ? "looked on the vendor driver and HID; add --serial PORT for a serial line"
                                    : "on the transports asked for");
  return kNoController;
}

}  // namespace

void addListCommand(CLI::App& app, int* exitCode) {
  auto* cmd = app.add_subcommand("list", "List every controller that answers: path, model name, family, transport");
  auto* choice = optionStorage<DeviceChoice>();
  addDeviceOptions(cmd, choice);
  cmd->add_flag("--json", choice->json,
                "print {\"controllers\":[{\"path\",\"model\",\"family\",\"transport\"}...],\"inaccessible\":[...]}");
  cmd->footer("Without a transport option every transport is searched (serial ports only when named).\n"
              "--device PATH lists only that controller: exit 0 when it answers, 3 when it does not.\n\n"
              "Examples:\n"
              "  qztool list\n"
              "  qztool list --json --hid\n"
              "  qztool list --serial /dev/ttyUSB0@38400\n"
              "  qztool list --device /run/qz/QZUKRXM_API0\n");
  cmd->callback([choice, exitCode] { *exitCode = run(*choice); });
}

}  // namespace qztool
