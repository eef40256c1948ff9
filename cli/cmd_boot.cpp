// qztool boot [--slave N]: the master (or a slave) enters its boot loader, ready for new
// firmware. Touch stops until firmware is written, so it asks first.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "qztool.h"

namespace qztool {

void addBootCommand(CLI::App& app, int* exitCode) {
  auto* cmd = app.add_subcommand("boot", "Put the master (or slave N) into its boot loader; asks unless --yes");
  auto* choice = optionStorage<DeviceChoice>();
  auto* slave = optionStorage<int>(0);
  auto* yes = optionStorage<bool>(false);
  addDeviceOptions(cmd, choice);
  cmd->add_option("--slave", *slave, "slave chip 1 to 4 instead of the master")->check(CLI::Range(1, 4));
  cmd->add_flag("--yes,-y", *yes, "do not ask");
  cmd->callback([choice, slave, yes, exitCode] {
    Controller c;
    if ((*exitCode = openController(*choice, "boot", &c))) return;
    const std::string chip = *slave ? "slave " + std::to_string(*slave) : std::string("the master");
    if (!*yes) {
      if (!isatty(0)) {
        fprintf(stderr, "qztool boot: not asking without a terminal; add --yes to put %s of %s into its boot loader\n",
                chip.c_str(), c.model.c_str());
        *exitCode = kUsage;
        return;
      }
      fprintf(stderr, "Put %s of %s (%s) into its boot loader? Touch stops until new firmware is written. [y/N] ",
              chip.c_str(), c.model.c_str(), c.path.c_str());
      char line[16] = {};
      if (!fgets(line, sizeof line, stdin) || (line[0] != 'y' && line[0] != 'Y')) {
        fprintf(stderr, "qztool boot: nothing sent\n");
        *exitCode = kFailure;
        return;
      }
    }
    const bool ok = *slave ? EnterSlaveBootMode(c.handle, *slave) : EnterBootMode(c.handle);
    if (!ok) {
      *exitCode = commandFailed(c, "boot", "entering the boot loader of " + chip);
      return;
    }
    printf("%s is in its boot loader\n", chip.c_str());
  });
}

}  // namespace qztool
