// qztool reset: the tray program's "Reset Touch Panel": the controller starts scanning again.
#include <cstdio>

#include "qztool.h"

namespace qztool {

void addResetCommand(CLI::App& app, int* exitCode) {
  auto* cmd = app.add_subcommand("reset", "Reset the touch panel: the controller starts scanning again (as the tray's "
                                          "\"Reset Touch Panel\")");
  auto* choice = optionStorage<DeviceChoice>();
  addDeviceOptions(cmd, choice);
  cmd->callback([choice, exitCode] {
    Controller c;
    if ((*exitCode = openController(*choice, "reset", &c))) return;
    if (!EnablePCAPScan(c.handle, 1)) {
      *exitCode = commandFailed(c, "reset", "starting the scan");
      return;
    }
    printf("Reset touch panel finish.\n");
  });
}

}  // namespace qztool
