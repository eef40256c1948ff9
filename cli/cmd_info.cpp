// qztool info: what the controller says about itself, in one page (or one JSON object).
#include <cstdio>
#include <string>

#include "qztool.h"

namespace qztool {
namespace {

std::string hexList(const uint8_t* b, int n, bool json) {
  std::string out;
  char item[16];
  for (int i = 0; i < n; ++i) {
    snprintf(item, sizeof item, json ? "%s%u" : "%s0x%02X", i ? (json ? "," : " ") : "", b[i]);
    out += item;
  }
  return json ? "[" + out + "]" : out;
}

int run(const DeviceChoice& choice) {
  Controller c;
  if (int rc = openController(choice, "info", &c)) return rc;

  FWVersionInfo ver{};
  if (!GetFWVersion(c.handle, &ver)) return commandFailed(c, "info", "reading the firmware version");
  FWInfo fw{};
  const bool haveFw = GetFWInfo(c.handle, &fw);
  PanelInfo panel{};
  char panelText[40] = {}, lensText[40] = {};
  bool havePanel = GetPanelInfo(c.handle, &panel);
  if (havePanel) {
    if (!GetPanelSizeInfo(c.handle, panel.panelSizeCode, panelText)) panelText[0] = 0;
    if (!GetCoverLensInfo(c.handle, panel.coverLensCode, lensText)) lensText[0] = 0;
  }
  uint8_t state[4] = {}, feature[4] = {}, paramFlags[5] = {};
  uint32_t thresholds[3] = {};
  const bool haveState = GetStateFlag(c.handle, state);
  const bool haveFeature = GetFeatureFlag(c.handle, feature);
  const bool haveParamFlags = GetParameterFlag(c.handle, paramFlags);
  const bool haveThresholds = GetThreshold(c.handle, thresholds);
  PinNumberInfo pins{};
  const bool havePins = GetPinNumber(c.handle, &pins);
  int32_t driver[3] = {-1, -1, -1};
  const bool haveDriver = GetQZDriverVersion(c.handle, driver);
  panelText[sizeof panelText - 1] = lensText[sizeof lensText - 1] = 0;
  fw.modelText[sizeof fw.modelText - 1] = fw.releaseSuffix[sizeof fw.releaseSuffix - 1] = 0;
  ver.masterVersion[QZ_VERSION_TEXT_SIZE - 1] = 0;
  const int slaves = ver.slaveCount < 0 ? 0 : ver.slaveCount > QZ_MAX_SLAVES ? QZ_MAX_SLAVES : ver.slaveCount;
  for (int i = 0; i < slaves; ++i) ver.slaveVersion[i][QZ_VERSION_TEXT_SIZE - 1] = 0;

  if (choice.json) {
    printf("{\"path\":\"%s\",\"model\":\"%s\",\"family\":\"%s\",\"transport\":\"%s\",", jsonEscape(c.path).c_str(),
           jsonEscape(c.model).c_str(), c.family.c_str(), c.transport.c_str());
    printf("\"master\":\"%s\",\"slaves\":[", jsonEscape(ver.masterVersion).c_str());
    for (int i = 0; i < slaves; ++i) printf("%s\"%s\"", i ? "," : "", jsonEscape(ver.slaveVersion[i]).c_str());
    printf("]");
    if (haveFw)
      printf(",\"fwinfo\":{\"model\":\"%s\",\"version\":\"%d.%d\",\"build\":%d,\"suffix\":\"%s\",\"panelSize\":%.1f,"
             "\"coverLens\":%.1f,\"sensorPins\":%d,\"driverPins\":%d}",
             jsonEscape(fw.modelText).c_str(), fw.versionMajor, fw.versionMinor, fw.buildNumber,
             jsonEscape(fw.releaseSuffix).c_str(), double(fw.panelSize), double(fw.coverLens), fw.sensorPinNumber,
             fw.driverPinNumber);
    if (havePanel)
      printf(",\"panel\":\"%s\",\"coverLens\":\"%s\"", jsonEscape(panelText).c_str(), jsonEscape(lensText).c_str());
    if (haveState) printf(",\"stateFlags\":%s", hexList(state, 4, true).c_str());
    if (haveFeature) printf(",\"featureFlags\":%s", hexList(feature, 4, true).c_str());
    if (haveParamFlags) printf(",\"parameterFlags\":%s", hexList(paramFlags, 5, true).c_str());
    if (haveThresholds) printf(",\"thresholds\":[%u,%u,%u]", thresholds[0], thresholds[1], thresholds[2]);
    if (havePins)
      printf(",\"pins\":{\"sensors\":%u,\"drivers\":%u,\"sectors\":%u,\"masterSensors\":%u,\"slaveSensors\":%u}",
             pins.sensorCount, pins.driverCount, pins.sectorCount, pins.masterSensorCount, pins.slaveSensorCount);
    if (haveDriver) printf(",\"driverVersion\":[%d,%d,%d]", driver[0], driver[1], driver[2]);
    printf("}\n");
    return kOk;
  }
  printf("Controller      : %s (%s, %s) %s\n", c.model.c_str(), c.family.c_str(), c.transport.c_str(),
         c.path.c_str());
  printf("Master firmware : %s\n", ver.masterVersion);
  for (int i = 0; i < slaves; ++i) printf("Slave %d firmware: %s\n", i + 1, ver.slaveVersion[i]);
  if (haveFw) {
    printf("FW info         : %s %d.%d build %d%s%s\n", fw.modelText, fw.versionMajor, fw.versionMinor,
           fw.buildNumber, fw.releaseSuffix[0] ? " " : "", fw.releaseSuffix);
    printf("Panel size      : %.1f\"   cover lens %.1f mm\n", double(fw.panelSize), double(fw.coverLens));
  }
  if (havePanel) {
    printf("Panel           : %s\n", panelText);
    printf("Cover lens      : %s\n", lensText);
  }
  if (haveState) printf("State flags     : %s (flag, stat, stat2, diag)\n", hexList(state, 4, false).c_str());
  if (haveFeature) printf("Feature flags   : %s\n", hexList(feature, 4, false).c_str());
  if (haveParamFlags) printf("Parameter flags : %s\n", hexList(paramFlags, 5, false).c_str());
  if (haveThresholds) printf("Thresholds      : %u %u %u\n", thresholds[0], thresholds[1], thresholds[2]);
  if (havePins)
    printf("Pins            : %u sensor x %u driver lines, %u sectors (master %u, slaves %u sensor lines)\n",
           pins.sensorCount, pins.driverCount, pins.sectorCount, pins.masterSensorCount, pins.slaveSensorCount);
  if (haveDriver) printf("Driver version  : %d.%d.%d\n", driver[0], driver[1], driver[2]);
  return kOk;
}

}  // namespace

void addInfoCommand(CLI::App& app, int* exitCode) {
  auto* cmd = app.add_subcommand("info", "Firmware versions, identity, panel, flags, thresholds, pins, driver version");
  auto* choice = optionStorage<DeviceChoice>();
  addDeviceOptions(cmd, choice);
  cmd->add_flag("--json", choice->json, "print one JSON object (schema below)");
  cmd->footer(
      "JSON: {\"path\",\"model\",\"family\":\"KRXM\"|\"2K\",\"transport\",\"master\":version text,\n"
      "  \"slaves\":[version text...], and when the controller answers them: \"fwinfo\":{\"model\",\"version\",\n"
      "  \"build\",\"suffix\",\"panelSize\",\"coverLens\",\"sensorPins\",\"driverPins\"}, \"panel\", \"coverLens\" (texts),\n"
      "  \"stateFlags\":[4 bytes], \"featureFlags\":[4], \"parameterFlags\":[5], \"thresholds\":[3],\n"
      "  \"pins\":{\"sensors\",\"drivers\",\"sectors\",\"masterSensors\",\"slaveSensors\"},\n"
      "  \"driverVersion\":[major,minor,third] (vendor-driver controllers only)}\n"
      "A part the controller refuses is left out; only a failed firmware version read fails the command.\n");
  cmd->callback([choice, exitCode] { *exitCode = run(*choice); });
}

}  // namespace qztool
