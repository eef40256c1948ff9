// qztool mpu-reset: restarts the controller's microprocessor.
#include <cstdio>

#include "qztool.h"

namespace qztool {

void addMpuResetCommand(CLI::App& app, int* exitCode) {
  auto* cmd = app.add_subcommand("mpu-reset", "Restart the controller's microprocessor");
  auto* choice = optionStorage<DeviceChoice>();
  addDeviceOptions(cmd, choice);
  cmd->callback([choice, exitCode] {
    Controller c;
    if ((*exitCode = openController(*choice, "mpu-reset", &c))) return;
    if (!ResetMPU(c.handle)) {
      *exitCode = commandFailed(c, "mpu-reset", "the microprocessor reset");
      return;
    }
    printf("microprocessor reset\n");
  });
}

}  // namespace qztool
