// qztool echo B0 B1 B2 B3: the controller echoes four bytes; a line check.
#include <cstdio>
#include <string>
#include <vector>

#include "qztool.h"

namespace qztool {

void addEchoCommand(CLI::App& app, int* exitCode) {
  auto* cmd = app.add_subcommand("echo", "Send four bytes (hexadecimal) that the controller must echo unchanged");
  auto* choice = optionStorage<DeviceChoice>();
  auto* bytes = optionStorage<std::vector<std::string>>();
  addDeviceOptions(cmd, choice);
  cmd->add_option("BYTES", *bytes, "four bytes, e.g. 12 34 56 78 or 0x12 ...")->required()->expected(4);
  cmd->callback([choice, bytes, exitCode] {
    uint8_t b[4];
    for (int i = 0; i < 4; ++i)
      if (!parseByte((*bytes)[i], &b[i])) {
        fprintf(stderr, "qztool echo: '%s' is not a byte (00 to FF, hexadecimal)\n", (*bytes)[i].c_str());
        *exitCode = kUsage;
        return;
      }
    Controller c;
    if ((*exitCode = openController(*choice, "echo", &c))) return;
    if (!QZEcho(c.handle, b)) {
      *exitCode = commandFailed(c, "echo", "the echo");
      return;
    }
    printf("echo %02X %02X %02X %02X ok\n", b[0], b[1], b[2], b[3]);
  });
}

}  // namespace qztool
