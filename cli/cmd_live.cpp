// qztool live: the controller's live-test value.
#include <cstdio>

#include "qztool.h"

namespace qztool {

void addLiveCommand(CLI::App& app, int* exitCode) {
  auto* cmd = app.add_subcommand("live", "Read the controller's live-test value");
  auto* choice = optionStorage<DeviceChoice>();
  addDeviceOptions(cmd, choice);
  cmd->callback([choice, exitCode] {
    Controller c;
    if ((*exitCode = openController(*choice, "live", &c))) return;
    uint8_t value = 0;
    if (!QZLiveTest(c.handle, &value)) {
      *exitCode = commandFailed(c, "live", "the live test");
      return;
    }
    printf("live test: 0x%02X\n", value);
  });
}

}  // namespace qztool
