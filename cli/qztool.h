// Shared pieces of the qztool commands: exit codes, the device choice, output helpers.
#pragma once
#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qz/advanced.h"
#include "qz/basic.h"

namespace qztool {

// Keeps a value alive until the program ends, for option storage CLI11 points into; freed
// at exit so leak checkers stay quiet.
void retainUntilExit(std::shared_ptr<void> value);
template <typename T, typename... Args>
T* optionStorage(Args&&... args) {
  auto value = std::make_shared<T>(std::forward<Args>(args)...);
  retainUntilExit(value);
  return value.get();
}

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
  std::string device;  // a path as `qztool list` prints it
  bool json = false;
};
void addDeviceOptions(CLI::App* cmd, DeviceChoice* choice);

// Hidraw devices of vendor 7a3d that this user may not open; one line each for a message.
std::vector<std::string> inaccessibleControllers();
// The hint that ends a permission message.
extern const char* const kUdevHint;

std::string jsonEscape(const std::string& s);

// The controller a command works on.
struct Controller {
  DeviceHandle handle = QZ_NO_DEVICE;
  std::string model, path, family, transport;
  ~Controller();
};
// Opens the controller the options choose (default: vendor driver first, then HID). On
// failure prints "qztool <cmd>: ..." with what to do and returns the exit code, else kOk.
int openController(const DeviceChoice& choice, const char* cmd, Controller* out);
// After a library call failed: refused (the controller still answers) or gone. Prints
// "qztool <cmd>: <what> failed on <model> (<path>): ..." and returns kRefused or kFailure.
int commandFailed(const Controller& c, const char* cmd, const std::string& what);
const char* transportName(int32_t type);

// A progress bar on stderr, drawn only when stderr is a terminal.
class Progress {
 public:
  Progress(const char* label, int total);
  ~Progress();
  void step();

 private:
  std::string label_;
  int total_, done_ = 0;
  bool tty_;
};

// Parses a byte written in hexadecimal: 0x1F or 1F.
bool parseByte(const std::string& text, uint8_t* out);

// Each command adds itself to the application; the action runs after parsing and sets
// the exit code.
void addListCommand(CLI::App& app, int* exitCode);
void addInfoCommand(CLI::App& app, int* exitCode);
void addResetCommand(CLI::App& app, int* exitCode);
void addWaterCommand(CLI::App& app, int* exitCode);
void addSwitchCommands(CLI::App& app, int* exitCode);  // scan, report, diag
void addFreqHopCommand(CLI::App& app, int* exitCode);
void addEchoCommand(CLI::App& app, int* exitCode);
void addLiveCommand(CLI::App& app, int* exitCode);
void addBootCommand(CLI::App& app, int* exitCode);
void addMpuResetCommand(CLI::App& app, int* exitCode);
void addParamsCommand(CLI::App& app, int* exitCode);
void addRawCommand(CLI::App& app, int* exitCode);
void addMonitorCommand(CLI::App& app, int* exitCode);
void addPackageCommand(CLI::App& app, int* exitCode);
void addGoldenCommand(CLI::App& app, int* exitCode);
void addLogCommand(CLI::App& app, int* exitCode);

}  // namespace qztool
