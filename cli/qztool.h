// Shared pieces of the qztool commands: exit codes, the device choice, output helpers.
#pragma once
#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "qz/basic.h"

namespace qztool {

// Exit codes, documented in `qztool --help` and the README.
enum Exit : int {
  kOk = 0,
  kFailure = 1,         // the controller or the system failed in another way
  kUsage = 2,           // bad command line
  kNoController = 3,    // no controller answered
  kPermission = 4,      // a controller exists but cannot be opened (udev rule missing)
  kRefused = 5,         // the controller refused a command (0xAA)
  kBadFile = 6,         // an input file is missing or malformed
};

// A serial port as given on the command line: "3", "3@19200" or "/dev/ttyUSB0@115200".
struct SerialPort {
  std::string device;  // the port number or a device path
  int baud = 38400;
};
bool parseSerialPort(const std::string& text, SerialPort* out, std::string* error);

// Options every command that talks to a controller shares.
struct DeviceChoice {
  bool driver = false;
  bool hid = false;
  std::vector<std::string> serial;
  bool json = false;
};
void addDeviceOptions(CLI::App* cmd, DeviceChoice* choice);

// Hidraw devices of vendor 7a3d that this user may not open; one line each for a message.
std::vector<std::string> inaccessibleControllers();
// The hint that ends a permission message.
extern const char* const kUdevHint;

std::string jsonEscape(const std::string& s);

// Each command adds itself to the application; the action runs after parsing and sets
// the exit code.
void addListCommand(CLI::App& app, int* exitCode);
void addLogCommand(CLI::App& app, int* exitCode);

}  // namespace qztool
