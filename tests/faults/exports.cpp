#include "exports.h"

#include <cstring>

// Each row names only what differs from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace qzfault {
namespace {

using qzsim::Packet;
using Outs = uint8_t* const*;

template <typename T>
T* as(Outs o, int k) {
  return reinterpret_cast<T*>(o[k]);
}

// ---- What calls take from the controller beforehand

size_t imageSize(const ParaListInfo& i) {
  size_t n = 0;
  if (i.sections & 0x80) n += i.apLength;
  if (i.sections & 0x40) n += i.bootLength;
  if (i.sections & 0x20) n += i.debugLength;
  for (int k = 0; k < 4; ++k)
    if (i.sections & (0x08 >> k)) n += i.slaveLength;
  return n;
}

bool prepFrame(DeviceHandle h, Args& a) { return GetPinNumber(h, &a.pins) && GetRawCountBufferSize(h, &a.frame); }
bool prepLists(DeviceHandle h, Args& a) {
  if (!GetParaListInfo(h, &a.lists)) return false;
  a.image.assign(imageSize(a.lists), 0);
  return true;
}
bool prepImage(DeviceHandle h, Args& a) { return prepLists(h, a) && GetParaList(h, &a.lists, a.image.data()); }
// The boot list alone (a caller may select fewer lists than the controller has): every
// write waits for its reply, so the whole image would make each case slow.
bool prepBootImage(DeviceHandle h, Args& a) {
  if (!GetParaListInfo(h, &a.lists)) return false;
  a.lists.sections &= 0x40;
  a.image.assign(imageSize(a.lists), 0);
  return GetParaList(h, &a.lists, a.image.data());
}
bool prepUi(DeviceHandle h, Args& a) {
  memset(&a.ui, 0, sizeof a.ui);  // its padding goes into the output as well
  return prepImage(h, a) && GetParaUISetting(h, &a.ui);
}
// FindPreDevice searches on the transport of the current device.
bool prepSelect(DeviceHandle h, Args&) {
  int32_t type;
  return GetDeviceType(h, &type) != 0;
}

void initUi(const Args& a, Outs o) {
  memcpy(o[0], &a.ui, sizeof a.ui);
  if (!a.image.empty()) memcpy(o[1], a.image.data(), a.image.size());
}

std::vector<size_t> frameSizes(const Args& a) {
  return {size_t(a.frame.mutualValueCount) * 2, size_t(a.frame.sectorValueCount) * 2,
          size_t(a.frame.totalDriveValueCount) * 2};
}

// The caller's buffer record for a frame, pointing at the three outputs.
RawCountBuffer frameRecord(const Args& a, Outs o) {
  RawCountBuffer b = a.frame;
  b.mutualValues = b.mutualValueCount ? as<uint16_t>(o, 0) : nullptr;
  b.sectorValues = b.sectorValueCount ? as<uint16_t>(o, 1) : nullptr;
  b.totalDriveValues = b.totalDriveValueCount ? as<uint16_t>(o, 2) : nullptr;
  return b;
}

// ---- Cleanup: what a successful call opened

void closeFound(const Args&, Outs o) { CloseDevice(*as<DeviceHandle>(o, 0)); }

std::vector<std::string>* g_found = nullptr;
void Found(const char*, const char* name) {
  if (g_found) g_found->push_back(name);
}
std::vector<std::string> g_paths;
void FoundPath(const char* path, const char* name) {
  g_paths.push_back(path);
  Found(path, name);
}

// ---- Commands a call takes a refusal or failure of as an answer

bool isRead(const Packet& c, uint8_t index) { return c[0] == 0xE0 && c[1] == 0 && c[2] == index; }
bool tolFeatureReads(const Packet& c) { return isRead(c, 0xF4) || isRead(c, 0xF7); }
bool tolListProbes(const Packet& c) { return isRead(c, 0xFB) || isRead(c, 0x80); }
bool tolBootSteps(const Packet& c) { return c[0] == 0xF0 || ((c[0] == 0xFF || c[0] == 0xE8) && c[1] == 0x55); }
bool tolD3(const Packet& c) { return c[0] == 0xD3; }
bool tolBulkProbe(const Packet& c) { return isRead(c, 0xF0) || c[0] == 0xFA; }

#define OUTS(...) [](const Args&) { return std::vector<size_t>{__VA_ARGS__}; }
#define CALL(...) [](DeviceHandle h, Args& a, Outs o) -> int32_t { (void)h; (void)a; (void)o; __VA_ARGS__ }

constexpr uint32_t kAll = ~0u;

std::vector<Export> makeTable() {
  std::vector<Export> t;
  auto basic = [&](Export e) {
    e.advanced = false;
    if (e.untouched == 0) e.untouched = kAll;  // the device library writes only on success
    t.push_back(std::move(e));
  };
  auto partial = [&](Export e) {  // values stored before a failing step stay
    e.advanced = false;
    t.push_back(std::move(e));
  };
  auto adv = [&](Export e) {
    e.advanced = true;
    t.push_back(std::move(e));
  };

  // ---- device table
  basic({.name = "OpenDevice", .needs = Needs::Closed, .sizes = OUTS(sizeof(DeviceHandle)),
         .call = CALL(return OpenDevice(a.path.c_str(), as<DeviceHandle>(o, 0));), .cleanup = closeFound,
         .volatileOuts = 1, .goneFails = true});
  basic({.name = "CloseDevice", .sizes = OUTS(), .call = CALL(return CloseDevice(h);), .failure = 1});
  basic({.name = "GetDeviceType", .sizes = OUTS(4), .call = CALL(return GetDeviceType(h, as<int32_t>(o, 0));)});
  basic({.name = "IsQZ2K", .sizes = OUTS(4), .call = CALL(return IsQZ2K(h, as<int32_t>(o, 0));)});
  // ---- finders
  basic({.name = "FindHidDevice", .needs = Needs::Finds, .sizes = OUTS(sizeof(DeviceHandle), QZ_MODEL_NAME_SIZE),
         .call = CALL(return FindHidDevice(as<DeviceHandle>(o, 0), as<char>(o, 1));), .cleanup = closeFound,
         .volatileOuts = 1, .core = true});
  basic({.name = "EnumerateHidDevices", .needs = Needs::Finds, .sizes = OUTS(),
         .call = CALL(g_found = &a.found; int32_t r = EnumerateHidDevices(FoundPath); g_found = nullptr; return r;)});
  basic({.name = "SendCmd", .sizes = OUTS(5), .call = CALL(const uint8_t cmd[5] = {0xE0, 0, 0x3A, 0, 0};
                                                            return SendCmd(h, cmd, o[0]);),
         .refusalByte0 = true, .core = true});
  basic({.name = "SetOutputReport", .sizes = OUTS(), .call = CALL(const uint8_t b[4] = {1, 2, 3, 4};
                                                                   return SetOutputReport(h, 4, b);),
         .goneFails = true});
  basic({.name = "FindQZDevice", .needs = Needs::Finds, .sizes = OUTS(sizeof(DeviceHandle), QZ_MODEL_NAME_SIZE),
         .call = CALL(return FindQZDevice(as<DeviceHandle>(o, 0), as<char>(o, 1));), .cleanup = closeFound,
         .volatileOuts = 1, .core = true});
  basic({.name = "EnumerateQZDevices", .needs = Needs::Finds, .sizes = OUTS(),
         .call = CALL(g_found = &a.found; int32_t r = EnumerateQZDevices(FoundPath); g_found = nullptr; return r;)});
  // The three queries fail on a device that is gone; the call still reports 1.
  basic({.name = "GetQZDriverVersion", .sizes = OUTS(12), .call = CALL(return GetQZDriverVersion(h, as<int32_t>(o, 0));),
         .failure = 1, .goneFails = true});
  basic({.name = "FindRSDevice", .needs = Needs::Finds, .sizes = OUTS(sizeof(DeviceHandle), QZ_MODEL_NAME_SIZE),
         .call = CALL(return FindRSDevice(a.serialPort, 38400, as<DeviceHandle>(o, 0), as<char>(o, 1));),
         .cleanup = closeFound, .volatileOuts = 1, .core = true});
  basic({.name = "FindPreDevice", .sizes = OUTS(sizeof(DeviceHandle), QZ_MODEL_NAME_SIZE), .prepare = prepSelect,
         .call = CALL(return FindPreDevice(as<DeviceHandle>(o, 0), as<char>(o, 1));), .cleanup = closeFound,
         .volatileOuts = 1});
  // ---- catalogue
  basic({.name = "SendE0", .sizes = OUTS(4), .call = CALL(return SendE0(h, 0, 0x3A, o[0]);), .core = true});
  basic({.name = "SendE1", .sizes = OUTS(), .call = CALL(return SendE1(h, 0, 0x20, 0x11);), .core = true});
  basic({.name = "SendE2", .sizes = OUTS(), .call = CALL(return SendE2(h);)});
  basic({.name = "SendE3", .sizes = OUTS(4), .call = CALL(return SendE3(h, 1, 0, 2, o[0]);)});
  basic({.name = "SendE5", .sizes = OUTS(4), .call = CALL(return SendE5(h, 1, o[0]);)});
  basic({.name = "SendE6", .sizes = OUTS(3), .call = CALL(return SendE6(h, 1, 0, o[0]);)});
  basic({.name = "SendE7", .sizes = OUTS(4), .call = CALL(return SendE7(h, as<int32_t>(o, 0));)});
  basic({.name = "SendE8", .sizes = OUTS(4), .call = CALL(const uint8_t A[2] = {1, 1}, B[2] = {2, 3};
                                                           return SendE8(h, A, B, as<uint16_t>(o, 0));)});
  basic({.name = "SendEA", .sizes = OUTS(), .call = CALL(return SendEA(h, 0);), .core = true});
  basic({.name = "SendEB", .sizes = OUTS(1, 1, 1, 1), .call = CALL(return SendEB(h, o[0], o[1], o[2], o[3]);)});
  basic({.name = "SendEC", .sizes = OUTS(), .call = CALL(return SendEC(h, 0, 0);)});
  basic({.name = "SendED", .sizes = OUTS(1, 1, 2), .call = CALL(return SendED(h, o[0], o[1], as<uint16_t>(o, 2));)});
  basic({.name = "SendEE", .sizes = OUTS(2, 1, 1), .call = CALL(return SendEE(h, as<uint16_t>(o, 0), o[1], o[2]);)});
  basic({.name = "SendEF", .sizes = OUTS(1, 1, 1, 1), .call = CALL(return SendEF(h, o[0], o[1], o[2], o[3]);)});
  basic({.name = "NewSlvEB", .sizes = OUTS(1, 1, 1, 1), .call = CALL(return NewSlvEB(h, 0, o[0], o[1], o[2], o[3]);)});
  basic({.name = "NewSlvED", .sizes = OUTS(1, 1, 2), .call = CALL(return NewSlvED(h, 0, o[0], o[1], as<uint16_t>(o, 2));)});
  basic({.name = "NewSlvEE", .sizes = OUTS(2, 1, 1), .call = CALL(return NewSlvEE(h, 0, as<uint16_t>(o, 0), o[1], o[2]);)});
  basic({.name = "SendF0", .sizes = OUTS(), .call = CALL(return SendF0(h, 1);)});
  basic({.name = "SendF1", .sizes = OUTS(), .call = CALL(return SendF1(h, 1);)});
  basic({.name = "SendF3", .sizes = OUTS(), .call = CALL(return SendF3(h, 0, 0);)});
  basic({.name = "SendF4", .sizes = OUTS(), .call = CALL(return SendF4(h, 0, 0);)});
  basic({.name = "SendF5", .sizes = OUTS(4), .call = CALL(return SendF5(h, 0x0F, o[0]);)});
  basic({.name = "SendF6", .sizes = OUTS(), .call = CALL(return SendF6(h, 0);)});
  basic({.name = "SendF7", .sizes = OUTS(), .call = CALL(return SendF7(h, 0);)});
  basic({.name = "SendF8", .sizes = OUTS(), .call = CALL(return SendF8(h, 0);)});
  basic({.name = "SendF9", .sizes = OUTS(1, 1, 1), .call = CALL(return SendF9(h, 0, 0, 0, o[0], o[1], o[2]);)});
  basic({.name = "SendFA", .sizes = OUTS(1), .call = CALL(return SendFA(h, 0, 0, o[0]);)});
  basic({.name = "ChkFACmd", .sizes = OUTS(), .call = CALL(return ChkFACmd(h);), .core = true});
  basic({.name = "SendFB", .sizes = OUTS(1), .call = CALL(return SendFB(h, o[0]);)});
  basic({.name = "SendFC", .sizes = OUTS(), .call = CALL(const uint8_t d[4] = {9, 8, 7, 6}; return SendFC(h, d);)});
  basic({.name = "SendFD", .sizes = OUTS(), .call = CALL(return SendFD(h, 0);)});
  basic({.name = "SendFE", .sizes = OUTS(), .call = CALL(return SendFE(h);)});
  basic({.name = "SendFF", .sizes = OUTS(), .call = CALL(return SendFF(h);), .tolerates = tolBootSteps, .core = true});
  basic({.name = "SendD0", .sizes = OUTS(), .call = CALL(return SendD0(h, 258, 772);)});
  basic({.name = "SendD1", .sizes = OUTS(2, 1), .call = CALL(return SendD1(h, 300, as<uint16_t>(o, 0), o[1]);),
         .core = true});
  basic({.name = "SendD2", .sizes = OUTS(4), .call = CALL(return SendD2(h, as<int32_t>(o, 0));)});
  basic({.name = "SendD3", .sizes = OUTS(2), .call = CALL(return SendD3(h, as<uint16_t>(o, 0));)});
  basic({.name = "SendD4", .sizes = OUTS(), .call = CALL(return SendD4(h);), .fixedMs = 255});
  basic({.name = "SendD5", .sizes = OUTS(1), .call = CALL(return SendD5(h, 0, o[0]);)});
  basic({.name = "SendD6", .sizes = OUTS(1), .call = CALL(return SendD6(h, 0, 0, o[0]);)});
  basic({.name = "SendD7", .sizes = OUTS(), .call = CALL(return SendD7(h, 0);)});
  basic({.name = "SendD8", .sizes = OUTS(), .call = CALL(return SendD8(h);)});
  // ---- bulk transfer: values stored before a failing block stay
  partial({.name = "ReceiveRawCount", .sizes = OUTS(2 * 100),
           .call = CALL(return ReceiveRawCount(h, 100, as<uint16_t>(o, 0));), .core = true});
  basic({.name = "GetBufferSize", .sizes = OUTS(4, 2),
         .call = CALL(return GetBufferSize(h, 0, as<int32_t>(o, 0), as<uint16_t>(o, 1));), .tolerates = tolD3});

  // ---- controller functions: outputs may be partly written by a failing call, unless
  // the row says otherwise
  constexpr size_t kSlaveText = offsetof(FWVersionInfo, slaveVersion) + QZ_VERSION_TEXT_SIZE;
  constexpr size_t kSlaveFlag = offsetof(FWVersionInfo, slaveShortForm) + 4;
  adv({.name = "GetFWVersion", .sizes = OUTS(sizeof(FWVersionInfo)),
       .call = CALL(return GetFWVersion(h, as<FWVersionInfo>(o, 0));), .fixedMs = 50,
       // one slave: the entries of slaves 2 to 4 are never written
       .kept = {{0, kSlaveText, 3 * QZ_VERSION_TEXT_SIZE}, {0, kSlaveFlag, 3 * 4}}});
  adv({.name = "GetFWInfo", .sizes = OUTS(sizeof(FWInfo)), .call = CALL(return GetFWInfo(h, as<FWInfo>(o, 0));)});
  adv({.name = "GetParameterVersion", .sizes = OUTS(1), .call = CALL(return GetParameterVersion(h, o[0]);),
       .untouched = 1});
  adv({.name = "GetFirmwareFlag", .sizes = OUTS(1), .call = CALL(return GetFirmwareFlag(h, 0xF003, o[0]);),
       .untouched = 1});
  adv({.name = "GetParaListInfo", .sizes = OUTS(sizeof(ParaListInfo)),
       .call = CALL(return GetParaListInfo(h, as<ParaListInfo>(o, 0));), .tolerates = tolListProbes});
  adv({.name = "GetParaList", .sizes = [](const Args& a) { return std::vector<size_t>{a.image.size()}; },
       .prepare = prepLists, .call = CALL(return GetParaList(h, &a.lists, o[0]);), .fixedMs = 100});
  adv({.name = "SetParaList", .sizes = OUTS(), .prepare = prepBootImage,
       .call = CALL(return SetParaList(h, &a.lists, a.image.data());), .fixedMs = 50});
  adv({.name = "FlushParameter", .sizes = OUTS(), .call = CALL(return FlushParameter(h, 1);)});
  adv({.name = "ReloadDefaultParameter", .sizes = OUTS(), .call = CALL(return ReloadDefaultParameter(h, 1);)});
  adv({.name = "GetParaUISetting", .sizes = OUTS(sizeof(ParaUISetting)),
       .call = CALL(return GetParaUISetting(h, as<ParaUISetting>(o, 0));), .tolerates = tolFeatureReads});
  adv({.name = "UpdateParaUISetting",
       .sizes = [](const Args& a) { return std::vector<size_t>{sizeof(ParaUISetting), a.image.size()}; },
       .prepare = prepUi, .init = initUi,
       .call = CALL(return UpdateParaUISetting(h, as<ParaUISetting>(o, 0), &a.lists, o[1]);)});
  adv({.name = "GetPinNumber", .sizes = OUTS(sizeof(PinNumberInfo)),
       .call = CALL(return GetPinNumber(h, as<PinNumberInfo>(o, 0));)});
  adv({.name = "GetRawCountBufferSize", .sizes = OUTS(sizeof(RawCountBuffer)),
       .call = CALL(return GetRawCountBufferSize(h, as<RawCountBuffer>(o, 0));), .tolerates = tolBulkProbe,
       // the caller's array references
       .kept = {{0, offsetof(RawCountBuffer, mutualValues), 3 * sizeof(uint16_t*)}}});
  adv({.name = "GetRawCount", .sizes = frameSizes, .prepare = prepFrame,
       .call = CALL(RawCountBuffer b = frameRecord(a, o); return GetRawCount(h, &a.pins, &b);),
       .fixedMs = 100 * 50 + 500});
  adv({.name = "GetBaseLine", .sizes = frameSizes, .prepare = prepFrame,
       .call = CALL(RawCountBuffer b = frameRecord(a, o); return GetBaseLine(h, &a.pins, &b);), .fixedMs = 150});
  adv({.name = "GetModeDiff", .sizes = frameSizes, .prepare = prepFrame,
       .call = CALL(RawCountBuffer b = frameRecord(a, o); return GetModeDiff(h, &a.pins, &b, 1);), .fixedMs = 50});
  adv({.name = "GetScanCount", .sizes = OUTS(4, 4),
       .call = CALL(return GetScanCount(h, as<uint32_t>(o, 0), as<uint32_t>(o, 1));)});
  adv({.name = "GetPanelInfo", .sizes = OUTS(sizeof(PanelInfo)), .call = CALL(return GetPanelInfo(h, as<PanelInfo>(o, 0));)});
  adv({.name = "GetPanelSizeInfo", .sizes = OUTS(40), .call = CALL(return GetPanelSizeInfo(h, 0, as<char>(o, 0));),
       .untouched = 1});
  adv({.name = "GetCoverLensInfo", .sizes = OUTS(40), .call = CALL(return GetCoverLensInfo(h, 0, as<char>(o, 0));),
       .untouched = 1});
  adv({.name = "GetStateFlag", .sizes = OUTS(4), .call = CALL(return GetStateFlag(h, o[0]);)});
  adv({.name = "GetFeatureFlag", .sizes = OUTS(4), .call = CALL(return GetFeatureFlag(h, o[0]);), .untouched = 1});
  adv({.name = "GetParameterFlag", .sizes = OUTS(5), .call = CALL(return GetParameterFlag(h, o[0]);)});
  adv({.name = "GetThreshold", .sizes = OUTS(12), .call = CALL(return GetThreshold(h, as<uint32_t>(o, 0));)});
  adv({.name = "EnableDataReport", .sizes = OUTS(), .call = CALL(return EnableDataReport(h, 1);)});
  adv({.name = "EnablePCAPScan", .sizes = OUTS(), .call = CALL(return EnablePCAPScan(h, 1);)});
  adv({.name = "EnableDiagMode", .sizes = OUTS(), .call = CALL(return EnableDiagMode(h, 1);)});
  adv({.name = "SetDiagScanSkip", .sizes = OUTS(), .call = CALL(return SetDiagScanSkip(h, 3);)});
  adv({.name = "EnterBootMode", .sizes = OUTS(), .call = CALL(return EnterBootMode(h);), .tolerates = tolBootSteps});
  adv({.name = "EnterSlaveBootMode", .sizes = OUTS(), .call = CALL(return EnterSlaveBootMode(h, 0);),
       .tolerates = tolBootSteps});
  adv({.name = "SetFreqHopMode", .sizes = OUTS(), .call = CALL(return SetFreqHopMode(h, 0x11);)});
  adv({.name = "IsFreqHop", .sizes = OUTS(4), .call = CALL(return IsFreqHop(h, as<int32_t>(o, 0));), .failure = 1,
       .failedOutputZero = true});
  adv({.name = "ResetMPU", .sizes = OUTS(), .call = CALL(return ResetMPU(h);)});
  adv({.name = "QZEcho", .sizes = OUTS(), .call = CALL(const uint8_t b[4] = {1, 2, 3, 4}; return QZEcho(h, b);)});
  adv({.name = "QZLiveTest", .sizes = OUTS(1), .call = CALL(return QZLiveTest(h, o[0]);), .untouched = 1});
  return t;
}

}  // namespace

// The enumerations' devices stay open in their slots; the runner closes them by path.
std::vector<std::string>& enumeratedPaths() { return g_paths; }

const std::vector<Export>& exports() {
  static const std::vector<Export> table = makeTable();
  return table;
}

}  // namespace qzfault
