// qztool log: the tray program's firmware information log, written without a display by the
// same component, so both write the same bytes.
#include <cstdio>
#include <string>

#include "log/headless.h"
#include "qztool.h"

namespace qztool {
namespace {

// The program's environment, with the log's directory chosen on the command line.
class CliEnvironment : public qz::toolkit::log::SystemEnvironment {
 public:
  std::string directory;
  std::string programDirectory() override {
    if (directory.empty()) return SystemEnvironment::programDirectory();
    return directory.back() == '/' ? directory : directory + "/";
  }
};

int runLog(CliEnvironment& env) {
  using qz::toolkit::log::Outcome;
  qz::toolkit::log::HeadlessLog run(env);
  run.run(true);
  const auto& log = run.log();
  if (log.outcome() != Outcome::Written) {
    fprintf(stderr, "qztool log: %s\n", log.message().c_str());
    if (log.message() == qz::toolkit::messageText(qz::toolkit::log::kCodeNoDevice)) return kNoController;
    return kFailure;
  }
  if (log.endedEarly()) {
    fprintf(stderr, "qztool log: %s The log ends early: %s\n", log.message().c_str(), log.filePath().c_str());
    return kFailure;
  }
  if (log.usedDataDirectory())
    fprintf(stderr, "qztool log: the program's directory cannot be written; the log went to the data directory\n");
  printf("%s\n", log.filePath().c_str());
  return kOk;
}

}  // namespace

void addLogCommand(CLI::App& app, int* exitCode) {
  auto env = std::make_shared<CliEnvironment>();
  CLI::App* cmd = app.add_subcommand(
      "log",
      "Write the firmware information log of the controller (the vendor-driver controller, else "
      "the first HID controller), as the tray program's \"&Log FW Info\" does, and print the "
      "file's path. The log is appended to \"<model> Firmware Information.csv\" in the "
      "program's directory, or in $XDG_DATA_HOME/Tarvanel ToolKit/ when that cannot be written.");
  cmd->add_option("--dir", env->directory, "write the log into this directory instead of the program's");
  cmd->callback([env, exitCode] { *exitCode = runLog(*env); });
}

}  // namespace qztool
