// qztool freqhop [MODE]: whether the controller hops frequencies, or set its hopping mode.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qztool.h"

namespace qztool {

void addFreqHopCommand(CLI::App& app, int* exitCode) {
  auto* cmd = app.add_subcommand("freqhop", "Without MODE: tell whether the controller has frequency hopping; with "
                                            "MODE (0-255): set the hopping mode");
  auto* choice = optionStorage<DeviceChoice>();
  auto* mode = optionStorage<int>(-1);
  addDeviceOptions(cmd, choice);
  cmd->add_option("MODE", *mode, "hopping mode")->check(CLI::Range(0, 255));
  cmd->callback([choice, mode, exitCode] {
    Controller c;
    if ((*exitCode = openController(*choice, "freqhop", &c))) return;
    if (*mode < 0) {
      int32_t has = 0;
      if (!IsFreqHop(c.handle, &has)) {
        *exitCode = commandFailed(c, "freqhop", "the frequency-hopping probe");
        return;
      }
      printf("frequency hopping: %s\n", has ? "yes" : "no");
      return;
    }
    if (!SetFreqHopMode(c.handle, *mode)) {
      *exitCode = commandFailed(c, "freqhop", "setting hopping mode " + std::to_string(*mode));
      return;
    }
    printf("hopping mode %d\n", *mode);
  });
}

}  // namespace qztool
