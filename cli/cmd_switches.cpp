// qztool scan|report|diag on|off: the controller's three mode switches.
#include <cstdio>
#include <string>

#include "qztool.h"

namespace qztool {
namespace {

struct Switch {
  const char* name;
  const char* help;
  const char* what;
  int32_t (*set)(DeviceHandle, int32_t);
  bool resultKnown;  // the diagnostic switch reports nothing, so its result is not a failure
};

const Switch kSwitches[] = {
    {"scan", "Switch the projected-capacitive scanning on or off", "switching the scan", EnablePCAPScan, true},
    {"report", "Switch the touch data report on or off", "switching the touch data report", EnableDataReport, true},
    {"diag", "Switch the diagnostic mode on or off", "switching the diagnostic mode", EnableDiagMode, false},
};

}  // namespace

void addSwitchCommands(CLI::App& app, int* exitCode) {
  for (const Switch& sw : kSwitches) {
    auto* cmd = app.add_subcommand(sw.name, sw.help);
    auto* choice = optionStorage<DeviceChoice>();
    auto* state = optionStorage<std::string>();
    addDeviceOptions(cmd, choice);
    cmd->add_option("STATE", *state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    cmd->callback([&sw, choice, state, exitCode] {
      Controller c;
      if ((*exitCode = openController(*choice, sw.name, &c))) return;
      const int32_t on = *state == "on";
      if (!sw.set(c.handle, on) && sw.resultKnown) {
        *exitCode = commandFailed(c, sw.name, sw.what);
        return;
      }
      printf("%s %s\n", sw.name, state->c_str());
    });
  }
}

}  // namespace qztool
