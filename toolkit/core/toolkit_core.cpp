#include "core/toolkit_core.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/texts.h"

namespace qz::toolkit {
namespace {

const char* const kMessages[kMessageCount] = {
    "Tarvanel DLL not found.",
    "Get Tarvanel DLL function pointer failed.",
    "No Tarvanel KRX Device found.",
    "Get FW state and flag failed.",
    "Disable PCAP scan failed.",
    "Get FW Version failed.",
    "Get Parameter List Information failed.",
    "Get Panel Information failed.",
    "Get Panel Size failed.",
    "Get Cover Lens failed.",
    "Get Raw Count Buffer Size failed",
    "Get Pin Number failed",
    "Get Base Line failed",
    "Get Parameter List failed",
    "Enable PCAP scan failed",
    "Reset Base Line failed",
    "Get Feature Flag failed.",
};

// Reset command codes.
constexpr int kCodeNoLibrary = 1;
constexpr int kCodeNoFunction = 2;
constexpr int kCodeNoDevice = 3;
constexpr int kCodeResetFailed = 16;

// Largest device broadcast record handed on to the user-interface thread; a valid one
// (header, 260 wide characters and the end) is far smaller.
constexpr uint32_t kMaxRecord = 4096;

template <typename Fn>
Fn bind(LibraryLoader& loader, void* library, const char* name) {
  return library ? reinterpret_cast<Fn>(loader.symbol(library, name)) : nullptr;
}

std::string versionText() {
  char buf[32];
  snprintf(buf, sizeof buf, text::kVersionFormat, text::kBuildNumber);
  return buf;
}

}  // namespace

const char* messageText(int code) {
  return code >= 1 && code <= kMessageCount ? kMessages[code - 1] : text::kUndefinedError;
}

ToolKitCore::ToolKitCore(const CoreDeps& deps)
    : view_(deps.view),
      timers_(deps.timers),
      loader_(deps.loader),
      setting_(deps.setting),
      monitor_(deps.monitor),
      dispatcher_(deps.dispatcher) {}

ToolKitCore::~ToolKitCore() {
  if (created_ && !closed_) closeProgram();
}

// ---- Creation and shut-down ------------------------------------------------------------

void ToolKitCore::create(bool waterOffAtStart, bool siblingActive) {
  created_ = true;
  marqueeStep_ = 0;
  showNotification_ = 0;
  waterModeState_ = kWaterNotRead;
  windowShown_ = resetDone_ = confirmOpen_ = ctrlDown_ = shiftDown_ = false;
  enablePending_ = disablePending_ = siblingActive_ = false;
  device_ = kNoDevice;
  monitorDevice_ = kNoDevice;

  basicLibrary_ = loader_.load(kBasicLibraryFile);
  otherLibrary_ = loader_.load(kOtherLibraryFile);
  advancedLibrary_ = nullptr;

  view_.showItem(kItemPicture, false);
  markerTitle_ = text::kMarkerIdle;
  view_.createMarker(markerTitle_);
  creationRect_ = view_.windowRect();

  menu_ = MenuState{};
  menu_.version = versionText();

  showNotification_ = setting_.read();
  menu_.notifyChecked = showNotification_ != 0;

  view_.setOpacity(0);

  bindBasicFunctions();
  bindOtherFunctions();

  if (!view_.registerRawInput()) {
    closeProgram();
    return;
  }

  trayIcon_ = TrayIcon{text::kTip, "", kIconNormal};
  view_.addTrayIcon(trayIcon_);

  if (siblingActive) setSiblingActive(true);
  if (waterOffAtStart) timers_.start(kTimerWaterOff, kWaterOffDelayMs);
}

void ToolKitCore::bindBasicFunctions() {
  findQZDevice_ = bind<FindQZDeviceFn>(loader_, basicLibrary_, "FindQZDevice");
  findHidDevice_ = bind<FindHidDeviceFn>(loader_, basicLibrary_, "FindHidDevice");
  closeDevice_ = bind<CloseDeviceFn>(loader_, basicLibrary_, "CloseDevice");
  sendCmd_ = bind<SendCmdFn>(loader_, basicLibrary_, "SendCmd");
  if (findQZDevice_) {
    monitorDevice_ = kNoDevice;
    findQZDevice_(&monitorDevice_, modelName_.data());
    if (monitorDevice_ != kNoDevice && showNotification_) startMonitor();
  }
}

void ToolKitCore::bindOtherFunctions() {
  qzDeviceChange_ = bind<QZDeviceChangeFn>(loader_, otherLibrary_, "QZDeviceChange");
  registerNotify_ = bind<RegisterNotifyFn>(loader_, otherLibrary_, "RegisterNotify");
  unRegisterNotify_ = bind<UnRegisterNotifyFn>(loader_, otherLibrary_, "UnRegisterNotify");
  if (registerNotify_) registerNotify_(&ToolKitCore::deviceEventThunk, this, registrations_);
}

void ToolKitCore::deviceEventThunk(void* context, uint32_t event, const void* record) {
  auto* self = static_cast<ToolKitCore*>(context);
  // The record lives for the call only and the callback runs on a thread of the library:
  // copy it and decide on the user-interface thread.
  std::shared_ptr<std::vector<uint8_t>> copy;
  if (record) {
    uint32_t size;
    memcpy(&size, record, sizeof size);
    if (size < sizeof size || size > kMaxRecord) return;
    copy = std::make_shared<std::vector<uint8_t>>(static_cast<const uint8_t*>(record),
                                                  static_cast<const uint8_t*>(record) + size);
  }
  self->dispatcher_.post([self, event, copy] {
    if (!self->closed_) self->onDeviceChange(event, copy ? copy->data() : nullptr);
  });
}

void ToolKitCore::closeProgram() {
  if (closed_) return;
  closed_ = true;
  view_.destroyMarker();
  if (unRegisterNotify_) unRegisterNotify_(registrations_);
  stopMonitor();
  forgetMonitorDevice();
  closeCommandDevice();
  if (log_) log_->freeBuffers();
  for (void** lib : {&basicLibrary_, &advancedLibrary_, &otherLibrary_}) {
    if (*lib) loader_.unload(*lib);
    *lib = nullptr;
  }
  findQZDevice_ = nullptr;
  findHidDevice_ = nullptr;
  closeDevice_ = nullptr;
  sendCmd_ = nullptr;
  qzDeviceChange_ = nullptr;
  registerNotify_ = nullptr;
  unRegisterNotify_ = nullptr;
  enablePCAPScan_ = nullptr;
  for (int id : {kTimerHint, kTimerDisable, kTimerEnable, kTimerLog, kTimerWaterOff, kTimerArrival}) timers_.stop(id);
  view_.unregisterRawInput();
  view_.deleteTrayIcon();
  view_.endRun();
}

// ---- Monitor ---------------------------------------------------------------------------

void ToolKitCore::startMonitor() {
  monitor_.start(monitorDevice_);
  monitorRunning_ = true;
}

void ToolKitCore::stopMonitor() {
  if (monitorRunning_) monitor_.signalStop();
  monitorRunning_ = false;
}

// Closes the vendor-driver controller. A command handle that was the same controller goes
// with it, so nothing later closes a descriptor number the library may have reused.
void ToolKitCore::forgetMonitorDevice() {
  if (monitorDevice_ == kNoDevice) return;
  if (closeDevice_) closeDevice_(monitorDevice_);
  if (device_ == monitorDevice_) device_ = kNoDevice;
  monitorDevice_ = kNoDevice;
}

void ToolKitCore::closeCommandDevice() {
  if (device_ != kNoDevice && device_ != monitorDevice_) {
    if (closeDevice_) closeDevice_(device_);
    device_ = kNoDevice;
  }
}

// ---- Library support -------------------------------------------------------------------

void ToolKitCore::loadAdvancedLibrary() {
  if (!advancedLibrary_) advancedLibrary_ = loader_.load(kAdvancedLibraryFile);
}

void ToolKitCore::cleanUpCommand() {
  closeCommandDevice();
  if (log_) log_->freeBuffers();
  if (advancedLibrary_) loader_.unload(advancedLibrary_);
  advancedLibrary_ = nullptr;
  enablePCAPScan_ = nullptr;
}

void ToolKitCore::showCommandError(int code, int captionCode) {
  if (code >= 1 && code <= kMessageCount)
    view_.showError(messageText(code), messageText(captionCode));
  else
    view_.showError(text::kUndefinedError, text::kUndefinedError);
}

void ToolKitCore::setMarkerTitle(const char* title) {
  markerTitle_ = title;
  view_.setMarkerTitle(markerTitle_);
}

bool ToolKitCore::exchange(uint8_t packet[5]) {
  return sendCmd_ && device_ != kNoDevice && sendCmd_(device_, packet, packet) != 0;
}

// ---- Tray ------------------------------------------------------------------------------

void ToolKitCore::setTray(const char* tip, const char* info, int icon) {
  trayIcon_.tip = tip;
  trayIcon_.info = info;
  trayIcon_.icon = icon;
  view_.modifyTrayIcon(trayIcon_);
}

void ToolKitCore::onTaskbarCreated() {
  if (created_ && !closed_) view_.addTrayIcon(trayIcon_);
}

void ToolKitCore::setSiblingActive(bool active) {
  menu_.resetEnabled = menu_.logEnabled = menu_.notifyEnabled = !active;
  siblingActive_ = active;
}

void ToolKitCore::onHandsOff(int32_t wparam, int32_t /*lparam*/) { setSiblingActive(wparam != 0); }

void ToolKitCore::onTrayCallback(uint32_t mouseMessage) {
  if (closed_) return;
  view_.bringToFront();
  if (mouseMessage != kLeftButtonUp && mouseMessage != kRightButtonUp) return;
  if (!siblingActive_) waterModeState_ = readWaterMode();
  if (waterModeState_ == kWaterNoController || siblingActive_) {
    menu_.waterEnabled = false;
  } else {
    menu_.waterEnabled = true;
    if (waterModeState_ == kWaterUnsupported) {
      menu_.device0Enabled = false;
    } else {
      menu_.device0Enabled = true;
      menu_.device0Checked = waterModeState_ != kWaterOff;
    }
  }
  runCommand(view_.trackPopupMenu(menu_));
}

void ToolKitCore::runCommand(int command) {
  if (closed_) return;
  switch (command) {
    case kCmdReset:
      if (!menu_.resetEnabled) return;
      // The program may have been ended while the box was open.
      if (view_.askYesNo(text::kStr608, text::kStr607) && !closed_) {
        resetTouchPanel();
        if (resetDone_) view_.setOpacity(255);
      }
      return;
    case kCmdLog:
      if (menu_.logEnabled && log_) log_->run(*this);
      return;
    case kCmdNotify:
      if (!menu_.notifyEnabled) return;
      showNotification_ = showNotification_ ? 0 : 1;
      menu_.notifyChecked = showNotification_ != 0;
      setting_.write(showNotification_);
      if (monitorDevice_ != kNoDevice) {
        if (showNotification_)
          startMonitor();
        else
          stopMonitor();
      }
      return;
    case kCmdExit:
      closeProgram();
      return;
    case kCmdDevice0:
      if (!menu_.waterEnabled || !menu_.device0Enabled) return;
      if (waterModeState_ != kWaterOff)
        switchWaterModeOff();
      else
        writeWaterMode(true);
      return;
    default:
      return;
  }
}

// ---- Timers ----------------------------------------------------------------------------

void ToolKitCore::onTimer(int id) {
  if (closed_) return;
  switch (id) {
    case kTimerHint: {
      ++marqueeStep_;
      int r = marqueeStep_ % 14;
      int indent = r <= 7 ? r : 14 - r;
      view_.setItemText(kItemHint, std::string(size_t(indent), ' ') + text::kStr604);
      return;
    }
    case kTimerDisable:
      timers_.stop(kTimerDisable);
      disablePending_ = false;
      showAbnormalState();
      return;
    case kTimerEnable:
      timers_.stop(kTimerEnable);
      enablePending_ = false;
      hideAbnormalState();
      return;
    case kTimerLog:
      if (log_)
        log_->onTimer(*this);
      else
        timers_.stop(kTimerLog);
      return;
    case kTimerWaterOff:
      timers_.stop(kTimerWaterOff);
      switchWaterModeOff();
      return;
    case kTimerArrival:
      if (monitorDevice_ != kNoDevice || !findQZDevice_ || findArrivedController() || --arrivalRetries_ <= 0)
        timers_.stop(kTimerArrival);
      return;
    default:
      return;
  }
}

// ---- Touch state -----------------------------------------------------------------------

void ToolKitCore::onTouchStateMessage(uint32_t wparam) {
  if (!closed_ && showNotification_) applyTouchState(uint8_t(wparam & 0xFF));
}

void ToolKitCore::onTouchReport(const uint8_t* report, size_t length) {
  // The touch state is the byte after the report id.
  if (!closed_ && report && length >= 2) applyTouchState(report[1]);
}

void ToolKitCore::applyTouchState(uint8_t report) {
  if (report == kTouchDisabled) {
    setTray(text::kTipDisabled, showNotification_ ? text::kInfoDisabled : "", kIconDisabled);
    if (enablePending_) {
      enablePending_ = false;
      timers_.stop(kTimerEnable);
    } else if (!disablePending_) {
      disablePending_ = true;
      timers_.start(kTimerDisable, kDisableDelayMs);
    }
  } else if (report == kTouchEnabled) {
    setTray(text::kTipEnabled, showNotification_ ? text::kInfoEnabled : "", kIconNormal);
    if (disablePending_) {
      disablePending_ = false;
      timers_.stop(kTimerDisable);
    } else if (!enablePending_) {
      enablePending_ = true;
      timers_.start(kTimerEnable, kEnableDelayMs);
    }
  }
}

void ToolKitCore::showAbnormalState() {
  view_.resize(creationRect_.width(), creationRect_.height());
  view_.setTitle(text::kStr603);
  view_.setItemText(kItemText, text::kStr601);
  view_.setItemText(kItemHint, text::kStr604);
  marqueeStep_ = 0;
  if (showNotification_) {
    view_.showItem(kItemOkAbnormal, true);
    view_.showItem(kItemHint, true);
    view_.showItem(kItemPicture, true);
    view_.showItem(kItemOkReset, false);
    view_.setOpacity(255);
    windowShown_ = true;
    timers_.start(kTimerHint, kHintPeriodMs);
  }
}

void ToolKitCore::hideAbnormalState() {
  if (!windowShown_) return;
  timers_.stop(kTimerHint);
  windowShown_ = false;
  view_.setOpacity(0);
}

void ToolKitCore::onOkButton() {
  view_.showItem(kItemOkAbnormal, false);
  view_.showItem(kItemWait, false);
  view_.showItem(kItemPicture, false);
  view_.setOpacity(0);
  view_.resize(creationRect_.width(), creationRect_.height());
}

// ---- Keyboard --------------------------------------------------------------------------

void ToolKitCore::onKey(int virtualKey, bool pressed) {
  if (closed_) return;
  if (!pressed) {
    if (virtualKey == kKeyCtrl) ctrlDown_ = false;
    if (virtualKey == kKeyShift) shiftDown_ = false;
    return;
  }
  if (virtualKey == kKeyR && ctrlDown_ && shiftDown_) {
    confirmAndReset();
  } else if (virtualKey == kKeyL && ctrlDown_ && shiftDown_) {
    if (log_) log_->run(*this);
  } else if (virtualKey == kKeyCtrl) {
    ctrlDown_ = true;
  } else if (virtualKey == kKeyShift) {
    shiftDown_ = true;
  }
}

void ToolKitCore::onResetKeys() {
  if (!closed_) confirmAndReset();
}

void ToolKitCore::onLogKeys() {
  if (!closed_ && log_) log_->run(*this);
}

void ToolKitCore::confirmAndReset() {
  view_.bringToFront();
  if (confirmOpen_) return;
  confirmOpen_ = true;
  if (view_.askYesNo(text::kStr608, text::kStr607) && !closed_) {
    resetTouchPanel();
    if (resetDone_) view_.setOpacity(255);
  }
  confirmOpen_ = false;
}

// ---- Device changes --------------------------------------------------------------------

void ToolKitCore::onDeviceChange(uint32_t event, const void* record) {
  if (closed_ || !qzDeviceChange_) return;
  int32_t code = -1;
  if (!qzDeviceChange_(event, record, &code)) return;
  if (code == kChangeRemoved) {
    // Closed and forgotten whatever the setting, so the controller is found again when it
    // comes back.
    stopMonitor();
    forgetMonitorDevice();
    timers_.stop(kTimerArrival);
    setTray(text::kTip, "", kIconNormal);
    hideAbnormalState();
  } else if (code == kChangeArrived && monitorDevice_ == kNoDevice && findQZDevice_) {
    // A device object's name appears a moment before it takes connections: one not found
    // at its arrival is looked for again for a while instead of being missed for good.
    if (!findArrivedController()) {
      arrivalRetries_ = kArrivalRetries;
      timers_.start(kTimerArrival, kArrivalRetryMs);
    }
  }
}

bool ToolKitCore::findArrivedController() {
  findQZDevice_(&monitorDevice_, modelName_.data());
  if (monitorDevice_ == kNoDevice) return false;
  if (showNotification_) startMonitor();
  return true;
}

// ---- Panel commands --------------------------------------------------------------------

void ToolKitCore::resetTouchPanel() {
  setMarkerTitle(text::kMarkerActive);
  view_.setTitle(text::kStr607);
  view_.setItemText(kItemText, text::kStr607);
  if (windowShown_) {
    timers_.stop(kTimerHint);
    windowShown_ = false;
  }
  resetDone_ = false;
  loadAdvancedLibrary();
  enablePCAPScan_ = bind<EnablePCAPScanFn>(loader_, advancedLibrary_, "EnablePCAPScan");
  if (monitorDevice_ != kNoDevice) device_ = monitorDevice_;

  int code = 0;
  if (!basicLibrary_ || !advancedLibrary_) {
    code = kCodeNoLibrary;
  } else if (!findHidDevice_ || !enablePCAPScan_) {
    code = kCodeNoFunction;
  } else {
    if (monitorDevice_ == kNoDevice) {
      closeCommandDevice();  // a HID controller a water-mode read left open
      if (!findHidDevice_(&device_, modelName_.data())) code = kCodeNoDevice;
    }
    if (code == 0 && !enablePCAPScan_(device_, 1)) code = kCodeResetFailed;
  }

  cleanUpCommand();
  if (code != 0) {
    showCommandError(code, kCodeResetFailed);
  } else {
    view_.resize(creationRect_.width(), creationRect_.height() - 50);
    view_.setItemText(kItemText, text::kStr609);
    view_.showItem(kItemOkAbnormal, false);
    view_.showItem(kItemWait, false);
    view_.showItem(kItemHint, false);
    view_.showItem(kItemPicture, false);
    view_.showItem(kItemOkReset, true);
    resetDone_ = true;
    setTray(text::kTipEnabled, "", kIconNormal);
  }
  setMarkerTitle(text::kMarkerIdle);
}

int ToolKitCore::readWaterMode() {
  closeCommandDevice();
  if (monitorDevice_ != kNoDevice)
    device_ = monitorDevice_;
  else if (device_ == kNoDevice && findHidDevice_)
    findHidDevice_(&device_, modelName_.data());
  if (device_ == kNoDevice || !sendCmd_) return kWaterNoController;

  uint8_t feature[5] = {0xE0, 0x00, 0xF4, 0x00, 0x00};
  if (!exchange(feature) || !(feature[1] & 0x02) || !(feature[4] & 0x10)) return kWaterUnsupported;
  uint8_t mode[5] = {0xE0, 0x00, 0x43, 0x00, 0x00};
  if (!exchange(mode)) return kWaterUnsupported;
  return (mode[4] & 0x88) == 0 ? kWaterOn : kWaterOff;
}

void ToolKitCore::switchWaterModeOff() {
  if (waterModeState_ == kWaterNotRead) waterModeState_ = readWaterMode();
  if (waterModeState_ == kWaterOn) writeWaterMode(false);
}

void ToolKitCore::writeWaterMode(bool on) {
  if (device_ == kNoDevice || !sendCmd_) return;
  setMarkerTitle(text::kMarkerActive);
  uint8_t open[5] = {0xF7, 0x00, 0x00, 0x00, 0x01};
  exchange(open);
  uint8_t value[5] = {0xE0, 0x00, 0x43, 0x00, 0x00};
  // Only a value that was read is written back; a failed read writes nothing.
  if (exchange(value)) {
    value[4] &= uint8_t(~0x88);
    if (!on) value[4] |= 0x80;
    value[0] = 0xE1;
    exchange(value);
    uint8_t store[5] = {0xEA, 0x00, 0xAA, 0x00, 0x00};
    if (exchange(store)) exchange(store);
  }
  // The parameter change is closed whatever happened; a refused opening leaves 0xAA in
  // byte 0 of its packet, which must not go out as an opcode.
  open[0] = 0xF7;
  open[4] = 0x00;
  exchange(open);
  setMarkerTitle(text::kMarkerIdle);
}

}  // namespace qz::toolkit
