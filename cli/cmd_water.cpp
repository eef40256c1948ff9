// qztool water [on|off]: reads or switches the water mode, the two bits 0x80 and 0x08 of
// parameter byte 0x43 (both clear: on), as the tray program's "Device 0" item does.
#include <cstdio>
#include <cstring>
#include <string>

#include "qztool.h"

namespace qztool {
namespace {

bool send(DeviceHandle h, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t* reply) {
  uint8_t packet[5] = {b0, b1, b2, b3, b4};
  const bool ok = SendCmd(h, packet, packet);
  if (reply) memcpy(reply, packet, 5);
  return ok;
}

// -1 not supported (or the read failed), 0 off, 1 on; *byte the parameter byte.
int readWater(DeviceHandle h, uint8_t* byte) {
  uint8_t r[5];
  if (!send(h, 0xE0, 0x00, 0xF4, 0, 0, r) || !(r[1] & 0x02) || !(r[4] & 0x10)) return -1;
  if (!send(h, 0xE0, 0x00, 0x43, 0, 0, r)) return -1;
  *byte = r[4];
  return (r[4] & 0x88) ? 0 : 1;
}

int run(const DeviceChoice& choice, const std::string& want) {
  Controller c;
  if (int rc = openController(choice, "water", &c)) return rc;
  uint8_t byte = 0;
  const int state = readWater(c.handle, &byte);
  if (state < 0) {
    fprintf(stderr, "qztool water: %s (%s) has no water mode, or did not answer the read\n", c.model.c_str(),
            c.path.c_str());
    return kRefused;
  }
  if (want.empty()) {
    printf("water mode %s\n", state ? "on" : "off");
    return kOk;
  }
  const bool on = want == "on";
  uint8_t r[5];
  // The read is repeated inside the change window, and nothing is written unless it
  // answered: a value that was never read must not be written and stored.
  if (!send(c.handle, 0xF7, 0, 0, 0, 1, nullptr)) return commandFailed(c, "water", "opening the parameter change");
  if (!send(c.handle, 0xE0, 0x00, 0x43, 0, 0, r)) {
    send(c.handle, 0xF7, 0, 0, 0, 0, nullptr);
    fprintf(stderr, "qztool water: reading the parameter byte failed on %s (%s); nothing was written, the water mode "
            "is still %s\n", c.model.c_str(), c.path.c_str(), state ? "on" : "off");
    return kFailure;
  }
  uint8_t value = uint8_t(r[4] & ~0x88);
  if (!on) value |= 0x80;
  // The write names its index itself: a read reply need not echo the index (bytes 1..3
  // may carry a second value), and writing with them would change another parameter.
  const bool wrote = send(c.handle, 0xE1, 0x00, 0x43, 0x00, value, nullptr);
  const bool stored = wrote && send(c.handle, 0xEA, 0x00, 0xAA, 0, 0, r) && send(c.handle, r[0], r[1], r[2], r[3], r[4], nullptr);
  send(c.handle, 0xF7, 0, 0, 0, 0, nullptr);
  uint8_t after = 0;
  const int now = readWater(c.handle, &after);
  if (!wrote || !stored || now != (on ? 1 : 0)) {
    fprintf(stderr, "qztool water: switching the water mode %s failed on %s (%s): %s; the water mode now reads %s. "
            "Run `qztool water %s` again, or `qztool reset`\n", want.c_str(), c.model.c_str(), c.path.c_str(),
            !wrote ? "the write was not taken" : !stored ? "storing it failed (it is lost at the next restart)"
                                                         : "the byte did not change",
            now < 0 ? "nothing" : now ? "on" : "off", want.c_str());
    return kFailure;
  }
  printf("water mode %s (was %s)\n", want.c_str(), state ? "on" : "off");
  return kOk;
}

}  // namespace

void addWaterCommand(CLI::App& app, int* exitCode) {
  auto* cmd = app.add_subcommand("water", "Read the water mode, or switch it on or off (stored in the controller)");
  auto* choice = optionStorage<DeviceChoice>();
  auto* want = optionStorage<std::string>();
  addDeviceOptions(cmd, choice);
  cmd->add_option("STATE", *want, "on or off; without it the mode is only read")->check(CLI::IsMember({"on", "off"}));
  cmd->footer("The change is read back; a failure says what the mode reads now.\n");
  cmd->callback([choice, want, exitCode] { *exitCode = run(*choice, *want); });
}

}  // namespace qztool
