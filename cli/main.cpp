// qztool: the command line for service work on KRX touch controllers.
#include <cstdio>

#include "qztool.h"

int main(int argc, char** argv) {
  CLI::App app{
      "qztool: service tool for Tarvanel KRX touch controllers.\n"
      "Finds controllers on USB-HID (hidraw), behind the vendor driver's device objects\n"
      "($QZ_DRIVER_DIR, default /run/qz) and on serial ports (--serial PORT[@BAUD]).\n\n"
      "Exit codes: 0 success, 1 other failure, 2 usage, 3 no controller,\n"
      "4 permission denied (install the udev rule), 5 command refused by the controller,\n"
      "6 bad input file.\n\n"
      "Try it without hardware: start `qzsim --hid krxm` in another terminal, export the\n"
      "QZ_VIRTUAL_HID_DIR it prints, then run `qztool list`.",
      "qztool"};
  app.set_version_flag("--version", "qztool 1.1.10");
  app.require_subcommand(1);
  int exitCode = qztool::kOk;
  qztool::addListCommand(app, &exitCode);
  qztool::addInfoCommand(app, &exitCode);
  qztool::addResetCommand(app, &exitCode);
  qztool::addWaterCommand(app, &exitCode);
  qztool::addSwitchCommands(app, &exitCode);
  qztool::addFreqHopCommand(app, &exitCode);
  qztool::addEchoCommand(app, &exitCode);
  qztool::addLiveCommand(app, &exitCode);
  qztool::addBootCommand(app, &exitCode);
  qztool::addMpuResetCommand(app, &exitCode);
  qztool::addParamsCommand(app, &exitCode);
  qztool::addRawCommand(app, &exitCode);
  qztool::addMonitorCommand(app, &exitCode);
  qztool::addPackageCommand(app, &exitCode);
  qztool::addGoldenCommand(app, &exitCode);
  qztool::addLogCommand(app, &exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return qztool::kUsage;
  }
  return exitCode;
}
