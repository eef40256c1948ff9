// The firmware information log: collects the controller's identity, flags, panel and
// parameter lists, writes them as the header of "<model> Firmware Information.csv", then
// writes one sensor table per tick of timer 4 (baseline, mode differences, raw counts,
// frequency-hopping raw counts) and restores the controller at the end.
//
// The tray program and `qztool log` drive the same object through ToolKitCore, so both
// write the same bytes. Everything runs on the user-interface thread.
#pragma once
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "core/toolkit_core.h"
#include "qz/advanced.h"
#include "textfile/textfile.h"

namespace qz::toolkit::log {

inline constexpr char kStr605[] = "QZToolKit : Write log. Please wait.";
inline constexpr char kBusy[] = "A log is being written. Please wait until it has finished.";
inline constexpr char kBusyCaption[] = "QZToolKit : Write log.";
inline constexpr char kFileSuffix[] = " Firmware Information.csv";
inline constexpr int kApplicationBuild = 10;

// Failure codes of the message table the log uses.
enum Code : int {
  kCodeNoLibrary = 1,
  kCodeNoFunction = 2,
  kCodeNoDevice = 3,
  kCodeStateFlag = 4,
  kCodeDisableScan = 5,
  kCodeVersion = 6,
  kCodeParaListInfo = 7,
  kCodePanelInfo = 8,
  kCodePanelSize = 9,
  kCodeCoverLens = 10,
  kCodeBufferSize = 11,
  kCodePinNumber = 12,
  kCodeBaseLine = 13,
  kCodeParaList = 14,
  kCodeEnableScan = 15,
  kCodeFeatureFlag = 17,
};

// What the host supplies: where the file goes, and the time and system rows.
class LogEnvironment {
 public:
  virtual ~LogEnvironment() = default;
  // The running program's directory, ending in '/'.
  virtual std::string programDirectory() = 0;
  // Where the log goes when the program's directory cannot be written, ending in '/'.
  virtual std::string dataDirectory() = 0;
  // The system's pretty name; empty writes no OS row.
  virtual std::string osName() = 0;
  virtual std::tm localTime() = 0;
};

// The environment of a real process: /proc/self/exe, $XDG_DATA_HOME (or ~/.local/share)
// with "Tarvanel ToolKit/", PRETTY_NAME of /etc/os-release (or /usr/lib/os-release).
class SystemEnvironment : public LogEnvironment {
 public:
  std::string programDirectory() override;
  std::string dataDirectory() override;
  std::string osName() override;
  std::tm localTime() override;
};

// Reads PRETTY_NAME from an os-release file; empty when missing.
std::string prettyNameFrom(const char* path);

// Library calls the log binds for each run.
struct LogFunctions {
  int32_t (*GetDeviceType)(DeviceHandle, int32_t*) = nullptr;
  int32_t (*GetQZDriverVersion)(DeviceHandle, int32_t*) = nullptr;
  int32_t (*GetFWVersion)(DeviceHandle, FWVersionInfo*) = nullptr;
  int32_t (*GetParaList)(DeviceHandle, const ParaListInfo*, uint8_t*) = nullptr;
  int32_t (*GetRawCount)(DeviceHandle, const PinNumberInfo*, RawCountBuffer*) = nullptr;
  int32_t (*GetBaseLine)(DeviceHandle, const PinNumberInfo*, RawCountBuffer*) = nullptr;
  int32_t (*GetModeDiff)(DeviceHandle, const PinNumberInfo*, RawCountBuffer*, int32_t) = nullptr;
  int32_t (*GetStateFlag)(DeviceHandle, uint8_t*) = nullptr;
  int32_t (*GetFeatureFlag)(DeviceHandle, uint8_t*) = nullptr;
  int32_t (*GetPanelInfo)(DeviceHandle, PanelInfo*) = nullptr;
  int32_t (*GetPanelSizeInfo)(DeviceHandle, int32_t, char*) = nullptr;
  int32_t (*GetCoverLensInfo)(DeviceHandle, int32_t, char*) = nullptr;
  int32_t (*GetParaListInfo)(DeviceHandle, ParaListInfo*) = nullptr;
  int32_t (*GetRawCountBufferSize)(DeviceHandle, RawCountBuffer*) = nullptr;
  int32_t (*GetPinNumber)(DeviceHandle, PinNumberInfo*) = nullptr;
  int32_t (*EnablePCAPScan)(DeviceHandle, int32_t) = nullptr;
  int32_t (*EnableDiagMode)(DeviceHandle, int32_t) = nullptr;
};

// The log's state; kept between runs where the fields say so.
struct FirmwareLogState {
  int32_t logStep = 0;
  uint8_t abnormalLevel = 255;
  uint8_t hoppingMode = 255;
  uint8_t abnormalScanHoppingMode = 255;
  uint8_t frequencyCount = 2;    // kept between runs
  uint8_t hoppingModeCount = 3;  // kept between runs
  std::vector<uint16_t> savedBaseline;
  std::vector<uint8_t> parameterData;
  char panelSizeText[40] = {};
  char coverLensText[40] = {};
  FWVersionInfo firmwareIdentity{};
  int32_t driverVersion[3] = {};
  uint8_t stateFlags[4] = {};
  uint8_t featureFlags[4] = {};
  ParaListInfo parameterListInfo{};
  RawCountBuffer rawBuffer{};
  PinNumberInfo pinCounts{};
  PanelInfo panelInfo{};
  std::vector<uint16_t> mutualValues, sectorValues, totalDriveValues;
};

// How the last run ended, for `qztool log` and the tests.
enum class Outcome { None, Running, Written, Failed };

class FirmwareLog : public LogComponent {
 public:
  explicit FirmwareLog(LogEnvironment& env) : env_(env) {}
  ~FirmwareLog() override;

  // The "&Log FW Info" command: collection, header and parameter sections, then timer 4.
  // Refused with a box while an earlier run's data phase goes on.
  void run(ToolKitCore& core) override;
  // One step of the data phase.
  void onTimer(ToolKitCore& core) override;
  // Frees the buffers and forgets the bound functions (the command clean-up); a file still
  // open is closed, so a run cut short never leaves it open.
  void freeBuffers() override;

  bool writing() const { return file_ != nullptr; }
  Outcome outcome() const { return outcome_; }
  // The file of the last run (empty before the file was opened).
  const std::string& filePath() const { return path_; }
  // True when the program's directory could not be written and the data directory was used.
  bool usedDataDirectory() const { return fallback_; }
  // The failure text of the last run, or the item-500 text it ended with.
  const std::string& message() const { return message_; }
  // True when the data phase ended early (a raw-count read or the scan restart failed).
  bool endedEarly() const { return endedEarly_; }
  const FirmwareLogState& state() const { return st_; }

  // Writes one table from the arrays (the table writer, exposed for tests).
  void writeRawTable(bool storeBaseline);
  // Writes the parameter sections.
  void writeParameterSections();

 private:
  bool bind(ToolKitCore& core);
  int collect(ToolKitCore& core);
  void probe(ToolKitCore& core);
  bool openFile(ToolKitCore& core);
  void writeHeader(ToolKitCore& core);
  void fail(ToolKitCore& core, int code, const std::string& text);
  void rawCountStep(ToolKitCore& core);
  void hoppingStep(ToolKitCore& core);
  void finish(ToolKitCore& core);
  bool send(ToolKitCore& core, uint8_t packet[5]);
  void put(const std::string& s);
  uint16_t value(int r, int j) const;

  LogEnvironment& env_;
  FirmwareLogState st_;
  LogFunctions fn_;
  std::unique_ptr<qz::text::Writer> file_;
  bool scanStopped_ = false;
  bool fallback_ = false;
  bool endedEarly_ = false;
  Outcome outcome_ = Outcome::None;
  std::string path_;
  std::string message_;
  std::string itemText_;
};

}  // namespace qz::toolkit::log
