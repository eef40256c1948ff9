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
  cmd->add_option("MODE", *mode, "hopping mode (not 15, 20, 30 or 31)")->check(CLI::Range(0, 255));
  cmd->footer("Examples:\n  qztool freqhop        # frequency hopping: yes\n  qztool freqhop 18     # sets mode 18 (F5 00 02)\n");
  cmd->callback([choice, mode, exitCode] {
    // The mode goes out as F5 00 (mode - 16): four modes would send the controller's own
    // queries and its frequency setter instead, and report a refusal for a mode never set.
    const int argument = (*mode - 16) & 0xFF;
    if (*mode >= 0 && (argument == 0x0F || argument == 0x04 || argument == 0x0E || argument == 0xFF)) {
      fprintf(stderr, "qztool freqhop: mode %d cannot be set: it goes out as F5 00 %02X, which the controller takes "
              "as another request (modes 15, 20, 30 and 31 are not settable)\n", *mode, argument);
      *exitCode = kUsage;
      return;
    }
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
