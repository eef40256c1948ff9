#include "log/firmware_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/texts.h"

namespace qz::toolkit::log {

namespace {

std::string printf_(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return {};
  if (size_t(n) < sizeof buf) return std::string(buf, size_t(n));
  std::string out(size_t(n) + 1, '\0');
  va_start(ap, fmt);
  vsnprintf(out.data(), out.size(), fmt, ap);
  va_end(ap);
  out.resize(size_t(n));
  return out;
}

// A fixed-size text field up to its first zero byte, never past its capacity.
template <size_t N>
std::string field(const char (&s)[N]) {
  return std::string(s, strnlen(s, N));
}

// Column labels of one block: every fifth column carries its number.
void appendLabels(std::string& out, int count) {
  for (int j = 1; j < count; ++j) out += j % 5 == 0 ? printf_("%d, ", j) : std::string(", ");
}

bool makeDirectories(const std::string& dir) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i == dir.size() || dir[i] == '/') {
      std::string part = dir.substr(0, i);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

template <typename Fn>
Fn bindFn(ToolKitCore& core, void* library, const char* name) {
  return library ? reinterpret_cast<Fn>(core.loader().symbol(library, name)) : nullptr;
}

}  // namespace

// ---- Environment -----------------------------------------------------------------------

std::string prettyNameFrom(const char* path) {
  FILE* f = fopen(path, "r");
  if (!f) return {};
  char line[512];
  std::string name;
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, "PRETTY_NAME=", 12) != 0) continue;
    name = line + 12;
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    if (name.size() >= 2 && (name.front() == '"' || name.front() == '\'') && name.back() == name.front())
      name = name.substr(1, name.size() - 2);
    break;
  }
  fclose(f);
  return name;
}

std::string SystemEnvironment::programDirectory() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string path(buf, size_t(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

std::string SystemEnvironment::dataDirectory() {
  const char* xdg = getenv("XDG_DATA_HOME");
  std::string base;
  if (xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = getenv("HOME");
    base = std::string(home && *home ? home : ".") + "/.local/share";
  }
  return base + "/Tarvanel ToolKit/";
}

std::string SystemEnvironment::osName() {
  std::string name = prettyNameFrom("/etc/os-release");
  return name.empty() ? prettyNameFrom("/usr/lib/os-release") : name;
}

std::tm SystemEnvironment::localTime() {
  time_t now = time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm;
}

// ---- Command ---------------------------------------------------------------------------

FirmwareLog::~FirmwareLog() { freeBuffers(); }

void FirmwareLog::freeBuffers() {
  if (file_) {
    file_->close();
    file_.reset();
    if (outcome_ == Outcome::Running) outcome_ = Outcome::Failed;
  }
  st_.parameterData = {};
  st_.savedBaseline = {};
  st_.mutualValues = {};
  st_.sectorValues = {};
  st_.totalDriveValues = {};
  st_.rawBuffer.mutualValues = st_.rawBuffer.sectorValues = st_.rawBuffer.totalDriveValues = nullptr;
  fn_ = {};  // the controller library goes with the clean-up
}

bool FirmwareLog::bind(ToolKitCore& core) {
  void* basic = core.basicLibrary();
  void* adv = core.advancedLibrary();
  using F = LogFunctions;
  fn_.GetDeviceType = bindFn<decltype(F::GetDeviceType)>(core, basic, "GetDeviceType");
  fn_.GetQZDriverVersion = bindFn<decltype(F::GetQZDriverVersion)>(core, basic, "GetQZDriverVersion");
  fn_.GetFWVersion = bindFn<decltype(F::GetFWVersion)>(core, adv, "GetFWVersion");
  fn_.GetParaList = bindFn<decltype(F::GetParaList)>(core, adv, "GetParaList");
  fn_.GetRawCount = bindFn<decltype(F::GetRawCount)>(core, adv, "GetRawCount");
  fn_.GetBaseLine = bindFn<decltype(F::GetBaseLine)>(core, adv, "GetBaseLine");
  fn_.GetModeDiff = bindFn<decltype(F::GetModeDiff)>(core, adv, "GetModeDiff");
  fn_.GetStateFlag = bindFn<decltype(F::GetStateFlag)>(core, adv, "GetStateFlag");
  fn_.GetFeatureFlag = bindFn<decltype(F::GetFeatureFlag)>(core, adv, "GetFeatureFlag");
  fn_.GetPanelInfo = bindFn<decltype(F::GetPanelInfo)>(core, adv, "GetPanelInfo");
  fn_.GetPanelSizeInfo = bindFn<decltype(F::GetPanelSizeInfo)>(core, adv, "GetPanelSizeInfo");
  fn_.GetCoverLensInfo = bindFn<decltype(F::GetCoverLensInfo)>(core, adv, "GetCoverLensInfo");
  fn_.GetParaListInfo = bindFn<decltype(F::GetParaListInfo)>(core, adv, "GetParaListInfo");
  fn_.GetRawCountBufferSize = bindFn<decltype(F::GetRawCountBufferSize)>(core, adv, "GetRawCountBufferSize");
  fn_.GetPinNumber = bindFn<decltype(F::GetPinNumber)>(core, adv, "GetPinNumber");
  fn_.EnablePCAPScan = bindFn<decltype(F::EnablePCAPScan)>(core, adv, "EnablePCAPScan");
  fn_.EnableDiagMode = bindFn<decltype(F::EnableDiagMode)>(core, adv, "EnableDiagMode");
  return core.findHidDevice() && fn_.GetFWVersion && fn_.GetParaList && fn_.GetRawCount &&
         fn_.GetBaseLine && fn_.GetModeDiff && fn_.GetStateFlag && fn_.GetFeatureFlag &&
         fn_.GetPanelInfo && fn_.GetPanelSizeInfo && fn_.GetCoverLensInfo && fn_.GetParaListInfo &&
         fn_.GetRawCountBufferSize && fn_.GetPinNumber && fn_.EnablePCAPScan && fn_.EnableDiagMode;
}

bool FirmwareLog::send(ToolKitCore& core, uint8_t packet[5]) {
  SendCmdFn sendCmd = core.sendCmd();
  return sendCmd && core.device() != kNoDevice && sendCmd(core.device(), packet, packet) != 0;
}

void FirmwareLog::run(ToolKitCore& core) {
  // A second run over the same file would interleave two logs.
  if (writing()) {
    core.view().showError(kBusy, kBusyCaption);
    return;
  }
  outcome_ = Outcome::Running;
  path_.clear();
  message_.clear();
  fallback_ = false;
  endedEarly_ = false;
  scanStopped_ = false;

  core.setMarkerTitle(text::kMarkerActive);
  st_.abnormalLevel = st_.hoppingMode = st_.abnormalScanHoppingMode = 255;
  DeviceHandle& device = core.device();
  if (core.monitorDevice() != kNoDevice) {
    device = core.monitorDevice();
  } else if (device != kNoDevice) {
    // A HID controller an earlier command left open; the run opens its own.
    if (core.closeDevice()) core.closeDevice()(device);
    device = kNoDevice;
  }
  core.loadAdvancedLibrary();

  int code = collect(core);
  if (code != 0) {
    fail(core, code, messageText(code));
    return;
  }
  if (!openFile(core)) return;
  writeHeader(core);
}

int FirmwareLog::collect(ToolKitCore& core) {
  if (!core.basicLibrary() || !core.advancedLibrary()) return kCodeNoLibrary;
  if (!bind(core)) return kCodeNoFunction;
  DeviceHandle& device = core.device();
  if (core.monitorDevice() == kNoDevice && !core.findHidDevice()(&device, core.modelName()))
    return kCodeNoDevice;
  if (!fn_.GetStateFlag(device, st_.stateFlags)) return kCodeStateFlag;
  if (!fn_.GetFeatureFlag(device, st_.featureFlags)) return kCodeFeatureFlag;
  if (!fn_.EnablePCAPScan(device, 0)) return kCodeDisableScan;
  scanStopped_ = true;
  if (!fn_.GetFWVersion(device, &st_.firmwareIdentity)) return kCodeVersion;
  if (!fn_.GetParaListInfo(device, &st_.parameterListInfo)) return kCodeParaListInfo;
  if (!fn_.GetPanelInfo(device, &st_.panelInfo)) return kCodePanelInfo;
  if (!fn_.GetPanelSizeInfo(device, st_.panelInfo.panelSizeCode, st_.panelSizeText)) return kCodePanelSize;
  if (!fn_.GetCoverLensInfo(device, st_.panelInfo.coverLensCode, st_.coverLensText)) return kCodeCoverLens;
  if (!fn_.GetRawCountBufferSize(device, &st_.rawBuffer)) return kCodeBufferSize;
  if (!fn_.GetPinNumber(device, &st_.pinCounts)) return kCodePinNumber;

  // Sizes, buffers and window.
  const ParaListInfo& pl = st_.parameterListInfo;
  size_t parameterSize = size_t(pl.apLength) + pl.bootLength + pl.debugLength;
  for (uint8_t bit : {0x01, 0x02, 0x04, 0x08})
    if (pl.sections & bit) parameterSize += pl.slaveLength;
  RawCountBuffer& rb = st_.rawBuffer;
  auto allocate = [](std::vector<uint16_t>& v, int32_t count) -> uint16_t* {
    v.assign(count > 0 ? size_t(count) : 0, 0);
    return v.empty() ? nullptr : v.data();
  };
  rb.mutualValues = allocate(st_.mutualValues, rb.mutualValueCount);
  rb.sectorValues = allocate(st_.sectorValues, rb.sectorValueCount);
  rb.totalDriveValues = allocate(st_.totalDriveValues, rb.totalDriveValueCount);
  // The baseline is kept in the table's shape, R rows of C values: counts that leave a block
  // out (sector values by the data flags) must not cost the columns after it their baseline.
  const PinNumberInfo& pc = st_.pinCounts;
  const size_t tableValues = size_t(pc.sensorCount) *
                             (size_t(pc.driverCount) + pc.sectorCount + (rb.totalDriveValueCount > 0 ? 1 : 0));
  st_.savedBaseline.assign(
      std::max(st_.mutualValues.size() + st_.sectorValues.size() + st_.totalDriveValues.size(), tableValues), 0);
  View& view = core.view();
  view.setTitle(kStr605);
  view.setItemText(kItemText, kStr605);
  itemText_ = kStr605;
  view.showItem(kItemHint, false);
  view.showItem(kItemPicture, false);
  view.showItem(kItemOkReset, false);
  view.resize(core.creationRect().width(), core.creationRect().height() - 50);
  view.setOpacity(255);

  if (!fn_.GetBaseLine(device, &st_.pinCounts, &rb)) return kCodeBaseLine;
  if (parameterSize == 0) return kCodeParaListInfo;
  st_.parameterData.assign(parameterSize, 0);
  if (!fn_.GetParaList(device, &st_.parameterListInfo, st_.parameterData.data())) return kCodeParaList;
  probe(core);
  return 0;
}

void FirmwareLog::probe(ToolKitCore& core) {
  uint8_t p[5] = {0xF5, 0x00, 0x0F, 0x00, 0x00};
  if (send(core, p)) st_.hoppingMode = p[4];
  if (!(st_.featureFlags[0] & 0x02)) return;
  uint8_t t[5] = {0xF5, 0x00, 0x04, 0x00, 0x00};
  if (send(core, t)) {
    st_.hoppingModeCount = t[2];
    st_.frequencyCount = t[4];
  }
  if (st_.featureFlags[3] & 0x20) {
    uint8_t a[5] = {0xF5, 0x00, 0x0E, 0x00, 0x00};
    if (send(core, a)) st_.abnormalScanHoppingMode = a[4];
  }
  if (st_.featureFlags[0] & 0x80) {
    uint8_t l[5] = {0xF6, 0x06, 0x01, 0x00, 0x00};
    if (send(core, l) && l[1] != 0xFF && l[2] != 0xFF) st_.abnormalLevel = l[4];
  }
}

void FirmwareLog::fail(ToolKitCore& core, int code, const std::string& text) {
  core.view().setOpacity(0);
  // The collection stopped the scanning; a failed run must not leave the panel dead.
  if (scanStopped_ && fn_.EnablePCAPScan) fn_.EnablePCAPScan(core.device(), 1);
  scanStopped_ = false;
  if (code != 0)
    core.showCommandError(code, code);
  else
    core.view().showError(text, text);
  message_ = text;
  outcome_ = Outcome::Failed;
  core.cleanUpCommand();
  core.setMarkerTitle(text::kMarkerIdle);
}

bool FirmwareLog::openFile(ToolKitCore& core) {
  std::string name = std::string(core.modelName(), strnlen(core.modelName(), kModelNameSize)) + kFileSuffix;
  path_ = env_.programDirectory() + name;
  FILE* f = qz::text::open(path_.c_str(), "a");
  if (!f) {
    std::string dir = env_.dataDirectory();
    std::string other = dir + name;
    if (makeDirectories(dir)) f = qz::text::open(other.c_str(), "a");
    if (f) {
      path_ = other;
      fallback_ = true;
    } else {
      std::string failed = path_;
      path_.clear();
      fail(core, 0, "Cannot write the log file " + failed + " nor " + other + ".");
      return false;
    }
  }
  file_ = std::make_unique<qz::text::Writer>(f);
  return true;
}

void FirmwareLog::put(const std::string& s) {
  if (file_) file_->put(s.data(), s.size());
}

void FirmwareLog::writeHeader(ToolKitCore& core) {
  DeviceHandle device = core.device();
  std::tm tm = env_.localTime();
  put(printf_("\nWrite Log Time : %d/%02d/%02d %02d:%02d:%02d\n", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
              tm.tm_hour, tm.tm_min, tm.tm_sec));
  std::string os = env_.osName();
  if (!os.empty()) put("\nOS Version : " + os + "\n");
  put(printf_("\nApplication Version : 1.1.%d\n", kApplicationBuild));

  uint8_t ef[5] = {0xEF, 0x00, 0x00, 0x00, 0x00};
  if (send(core, ef)) {
    static const char* const kInterfaces[4] = {"USB", "RS232 / UART", "I2C", "SPI"};
    put(printf_("\r\nDevice Interface : %s%s\n", kInterfaces[(st_.stateFlags[1] >> 4) & 3],
                (ef[2] & 0xC0) ? " (Auto Detect)" : ""));
  }

  int32_t type = 0;
  if (fn_.GetDeviceType) fn_.GetDeviceType(device, &type);
  if (type == 1) {
    put("\nHost Interface : USB (Hid Driver)\n");
  } else if (type == 4) {
    put("\nHost Interface : RS232 (Com Port)\n");
  } else if (fn_.GetQZDriverVersion && fn_.GetQZDriverVersion(device, st_.driverVersion)) {
    if (type == 2) put("\nHost Interface : USB");
    if (type == 3) put("\nHost Interface : RS232");
    put(printf_(" (Tarvanel Driver : %d.%d.%d)\n", st_.driverVersion[0], st_.driverVersion[1],
                st_.driverVersion[2]));
  }

  const FWVersionInfo& id = st_.firmwareIdentity;
  put((id.slaveCount > 0 ? "\r\nMaster   Version : " : "\r\nFirmware Version : ") + field(id.masterVersion) + "\n");
  for (int k = 1; k <= id.slaveCount && k <= QZ_MAX_SLAVES; ++k)
    put(printf_("Slave %d  Version : ", k) + field(id.slaveVersion[k - 1]) + "\n");
  put("\nPanel Information : " + field(st_.panelSizeText) + "\nCover Lens : " + field(st_.coverLensText) + "\n");
  const uint8_t* sf = st_.stateFlags;
  put(printf_("\r\nKRXM_FLAG = 0x%02X\tKRXM_STAT = 0x%02X\tKRXM_STAT2 = 0x%02X\tKRXM_DIAG = 0x%02X\t\n", sf[0], sf[1],
              sf[2], sf[3]));
  const uint8_t* ff = st_.featureFlags;
  put(printf_("\nFeature Flag1 = 0x%02X\tFeature Flag2 = 0x%02X\tFeature Flag3 = 0x%02X\tFeature Flag4 = 0x%02X\t\n",
              ff[0], ff[1], ff[2], ff[3]));
  if (st_.hoppingMode != 255) put(printf_("\r\nFrequence Hopping mode = 0x%02X\n", st_.hoppingMode));
  if (st_.abnormalScanHoppingMode != 255)
    put(printf_("\nAbnormal Scan Frequence Hopping mode = 0x%02X\n", st_.abnormalScanHoppingMode));
  if (st_.abnormalLevel != 255) put(printf_("\nAbnormal Level = %d\n", st_.abnormalLevel));
  writeParameterSections();

  st_.logStep = 0;
  core.timers().start(kTimerLog, kLogPeriodMs);
}

void FirmwareLog::writeParameterSections() {
  const ParaListInfo& pl = st_.parameterListInfo;
  const std::vector<uint8_t>& data = st_.parameterData;
  auto section = [&](const std::string& title, size_t start, size_t length) {
    put(title);
    for (size_t off = 0; off < length; off += 16) {
      std::string row = "\n";
      // A short last row shows only the section's own bytes.
      for (size_t i = 0; i < 16 && off + i < length; ++i) {
        size_t at = start + off + i;
        row += printf_("0x%02X, ", at < data.size() ? data[at] : 0);
      }
      put(row);
    }
    put("\n");
  };
  if (pl.apLength > 0 && (pl.sections & 0x80)) section("\r\nAP Parameter :\n", 0, pl.apLength);
  if (pl.bootLength > 0 && (pl.sections & 0x40)) section("\nBoot Parameter :\n", pl.apLength, pl.bootLength);
  if (pl.debugLength > 0 && (pl.sections & 0x20))
    section("\nDebug Parameter :\n", size_t(pl.apLength) + pl.bootLength, pl.debugLength);
  size_t slaveStart = size_t(pl.apLength) + pl.bootLength + pl.debugLength;
  static const uint8_t kSlaveBits[QZ_MAX_SLAVES] = {0x08, 0x04, 0x02, 0x01};
  for (int k = 1; k <= st_.firmwareIdentity.slaveCount && k <= QZ_MAX_SLAVES; ++k) {
    if (pl.slaveLength == 0 || !(pl.sections & kSlaveBits[k - 1])) continue;
    section(printf_("\nSlave%d Parameter :\n", k), slaveStart, pl.slaveLength);
    slaveStart += pl.slaveLength;
  }
}

// ---- Data phase ------------------------------------------------------------------------

uint16_t FirmwareLog::value(int r, int j) const {
  // Values the arrays do not hold (counts that do not match the pin counts) read as 0.
  const PinNumberInfo& pc = st_.pinCounts;
  const int x = pc.driverCount, y = pc.sectorCount;
  size_t at;
  const std::vector<uint16_t>* v;
  if (j < x) {
    v = &st_.mutualValues, at = size_t(r) * x + j;
  } else if (j < x + y) {
    v = &st_.sectorValues, at = size_t(r) * y + (j - x);
  } else {
    v = &st_.totalDriveValues, at = size_t(r);
  }
  return at < v->size() ? (*v)[at] : 0;
}

void FirmwareLog::writeRawTable(bool storeBaseline) {
  const PinNumberInfo& pc = st_.pinCounts;
  const int rows = pc.sensorCount, x = pc.driverCount, y = pc.sectorCount;
  const bool total = st_.rawBuffer.totalDriveValueCount > 0;
  const int c = x + y + (total ? 1 : 0);
  const int s = st_.logStep;
  const bool rawForm = !storeBaseline && s > 3;
  const bool diffForm = !storeBaseline && !rawForm;
  const bool reversed = st_.featureFlags[1] & 0x01;

  if (rawForm) put(printf_("\nRaw Count %d :\n", s < 9 ? s - 3 : s % 3));
  std::string labels;
  appendLabels(labels, x);
  labels += "Sector, ";
  appendLabels(labels, y);
  std::string header = "index, " + labels;
  if (rawForm) header += (total ? ",,index, " : ",index, ") + labels;
  put(header + "\n");

  for (int r = 0; r < rows; ++r) {
    std::string row = "\n";
    for (int j = 0; j < c; ++j) {
      uint16_t v = value(r, j);
      size_t at = size_t(r) * c + j;
      if (storeBaseline) {
        if (at < st_.savedBaseline.size()) st_.savedBaseline[at] = v;
        row += printf_("%d, ", v);
      } else if (diffForm) {
        row += printf_("%d, ", v > 32768 ? int(v) - 65536 : int(v));
      } else {
        row += printf_("%d, ", v);
      }
    }
    if (rawForm) {
      row += ", ";
      for (int j = 0; j < c; ++j) {
        size_t at = size_t(r) * c + j;
        int base = at < st_.savedBaseline.size() ? st_.savedBaseline[at] : 0;
        int v = value(r, j);
        int d = reversed ? base - v : v - base;
        if (d > 32768) d -= 65536;
        if (d < -32768) d += 65536;
        row += printf_("%d, ", d);
      }
    }
    put(row);
  }
  put("\n");
}

void FirmwareLog::onTimer(ToolKitCore& core) {
  if (!writing()) {  // the run was cut short by a clean-up
    core.timers().stop(kTimerLog);
    return;
  }
  int32_t& s = st_.logStep;
  DeviceHandle device = core.device();
  if (s == 0) {
    put("\r\nBase Line :\n");
    writeRawTable(true);
    s = 1;
  } else if (s >= 1 && s <= 3) {
    if (s < st_.hoppingModeCount && fn_.GetModeDiff(device, &st_.pinCounts, &st_.rawBuffer, s)) {
      put(printf_("\r\nFrequence Hopping Mode Diff %d :\n", s));
      writeRawTable(false);
    }
    ++s;
    if (s == 4) {
      fn_.EnableDiagMode(device, 1);
      if (!fn_.EnablePCAPScan(device, 1)) {
        core.showCommandError(kCodeEnableScan, kCodeEnableScan);
        message_ = messageText(kCodeEnableScan);
        endedEarly_ = true;
        s = 65535;
      }
    }
  } else if (s >= 4 && s <= 8) {
    rawCountStep(core);
  } else if (s >= 9 && s <= 35) {
    if (s % 3 == 0)
      hoppingStep(core);
    else
      rawCountStep(core);
  }

  const bool hopping = (st_.featureFlags[1] & 0x40) && (st_.featureFlags[0] & 0x02);
  if (s == 9 && !hopping) s = 65535;
  if (s >= 36) {
    finish(core);
    return;
  }
  itemText_ = kStr605;
  for (int i = 0; i < s % 10; ++i) itemText_ += "...";
  core.view().setItemText(kItemText, itemText_);
}

void FirmwareLog::rawCountStep(ToolKitCore& core) {
  if (!fn_.GetRawCount(core.device(), &st_.pinCounts, &st_.rawBuffer)) {
    itemText_ = "Get Raw Count failed.";
    core.view().setItemText(kItemText, itemText_);
    message_ = itemText_;
    endedEarly_ = true;
    st_.logStep = 65535;
    return;
  }
  writeRawTable(false);
  ++st_.logStep;
}

void FirmwareLog::hoppingStep(ToolKitCore& core) {
  int32_t& s = st_.logStep;
  const int q = (s - 9) / 9, variant = ((s - 9) % 9) / 3;
  if (q >= st_.hoppingModeCount) {
    s = 65535;
    return;
  }
  uint8_t v;
  const char* title;
  if (variant == 0) {
    v = uint8_t((st_.hoppingMode & ~3u) + q);
    title = "\r\nFrequence Hopping Mode %d :\n";
  } else if (variant == 1) {
    v = uint8_t(q);
    title = "\nFrequence Hopping Mode %d and use Minimum Frequence :\n";
  } else {
    v = uint8_t((st_.frequencyCount - 1) * 4 + q);
    title = "\nFrequence Hopping Mode %d and use Maximum Frequence :\n";
  }
  uint8_t p[5] = {0xF5, 0x00, 0xFF, 0x00, v};
  if (!send(core, p) || p[4] == 0xFF) {
    s = 65535;
    return;
  }
  put(printf_(title, q));
  ++s;
}

void FirmwareLog::finish(ToolKitCore& core) {
  if ((st_.featureFlags[1] & 0x40) && (st_.featureFlags[0] & 0x02)) {
    uint8_t p[5] = {0xF5, 0x00, 0xFF, 0x00, st_.hoppingMode};
    send(core, p);
  }
  core.timers().stop(kTimerLog);
  if (fn_.EnableDiagMode) fn_.EnableDiagMode(core.device(), 0);
  View& view = core.view();
  view.showItem(kItemPicture, false);
  view.showItem(kItemOkReset, true);
  bool ok = file_->close();
  file_.reset();
  if (!ok) {
    // Never a finished log for a file that did not take every byte.
    itemText_ = "Writing the log file " + path_ + " failed.";
    view.setItemText(kItemText, itemText_);
    message_ = itemText_;
    outcome_ = Outcome::Failed;
  } else {
    if (fallback_) {
      itemText_ += "\nLog written to " + path_;
      view.setItemText(kItemText, itemText_);
    }
    if (message_.empty()) message_ = itemText_;
    outcome_ = Outcome::Written;
  }
  core.cleanUpCommand();
  core.setMarkerTitle(text::kMarkerIdle);
}

}  // namespace qz::toolkit::log
