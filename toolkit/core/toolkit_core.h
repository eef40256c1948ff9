// The behaviour of the resident tray program without any display: its state, timers,
// library slots, tray menu, touch-state machine and panel commands. The Qt widgets, the tray
// icon, the key grabs and the bus adaptor are views that forward events here and carry out
// what the View interface asks; tests drive the same object with fakes.
//
// Everything here runs on the user-interface thread. Nothing blocks except the View's
// boxes and menu, which run their own event loop as the desktop's do.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "core/lib_api.h"

namespace qz::toolkit {

// Controls of the main window.
enum Item : int {
  kItemOkReset = 400,     // OK button of the reset display
  kItemOkAbnormal = 401,  // OK button of the abnormal-state display
  kItemWait = 402,        // never shown
  kItemText = 500,
  kItemHint = 501,
  kItemPicture = 502,
};

// Tray menu commands.
enum Command : int {
  kCmdNone = 0,
  kCmdReset = 300,
  kCmdLog = 301,
  kCmdNotify = 302,
  kCmdExit = 303,
  kCmdVersion = 304,
  kCmdDevice0 = 305,
};

// Window timers: id and period.
enum TimerId : int {
  kTimerHint = 1,
  kTimerDisable = 2,
  kTimerEnable = 3,
  kTimerLog = 4,
  kTimerWaterOff = 5,
  kTimerArrival = 6,  // a controller announced but not found yet is looked for again
};
constexpr int kHintPeriodMs = 1000;
constexpr int kDisableDelayMs = 1500;
constexpr int kEnableDelayMs = 500;
constexpr int kLogPeriodMs = 100;
constexpr int kWaterOffDelayMs = 100;
constexpr int kArrivalRetryMs = 100;
constexpr int kArrivalRetries = 20;

constexpr int kIconNormal = 128;
constexpr int kIconDisabled = 129;

// Mouse messages of the tray callback.
constexpr uint32_t kMouseMove = 0x200;
constexpr uint32_t kLeftButtonUp = 0x202;
constexpr uint32_t kRightButtonUp = 0x205;

// Virtual keys of keyboard records.
constexpr int kKeyShift = 0x10;
constexpr int kKeyCtrl = 0x11;
constexpr int kKeyL = 0x4C;
constexpr int kKeyR = 0x52;

// Touch-state report bytes.
constexpr uint8_t kTouchEnabled = 0x0A;
constexpr uint8_t kTouchDisabled = 0x8A;

// Water-mode states.
constexpr int kWaterNotRead = -3;
constexpr int kWaterNoController = -2;
constexpr int kWaterUnsupported = -1;
constexpr int kWaterOff = 0;
constexpr int kWaterOn = 1;

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  int32_t width() const { return right - left; }
  int32_t height() const { return bottom - top; }
};

// What the notification-area icon shows. The balloon title is always "QZToolKit"; an
// update with a non-empty info text shows it as a balloon.
struct TrayIcon {
  std::string tip;
  std::string info;
  int icon = kIconNormal;
};

// The state of the tray menu when it opens.
struct MenuState {
  bool resetEnabled = true;
  bool logEnabled = true;
  bool notifyEnabled = true;
  bool notifyChecked = false;
  bool waterEnabled = true;
  bool device0Enabled = true;
  bool device0Checked = false;
  std::string version;
};

// Message table: text of a failure code, "Undefine error." outside 1..17.
const char* messageText(int code);
constexpr int kMessageCount = 17;

class View {
 public:
  virtual ~View() = default;
  // Main window. Opacity 0 leaves nothing visible, 255 shows it above other windows.
  virtual void setOpacity(int alpha) = 0;
  virtual void setTitle(const std::string& title) = 0;
  virtual void setItemText(int item, const std::string& text) = 0;
  virtual void showItem(int item, bool shown) = 0;
  virtual Rect windowRect() const = 0;
  virtual void resize(int width, int height) = 0;  // keeps the position
  virtual void bringToFront() = 0;
  // Modal boxes owned by the main window.
  virtual bool askYesNo(const std::string& text, const std::string& caption) = 0;
  virtual void showError(const std::string& text, const std::string& caption) = 0;
  // Notification-area icon and its menu; trackPopupMenu returns the chosen command or 0.
  virtual void addTrayIcon(const TrayIcon& icon) = 0;
  virtual void modifyTrayIcon(const TrayIcon& icon) = 0;
  virtual void deleteTrayIcon() = 0;
  virtual int trackPopupMenu(const MenuState& menu) = 0;
  // Marker window seen by sibling programs.
  virtual void createMarker(const std::string& title) = 0;
  virtual void setMarkerTitle(const std::string& title) = 0;
  virtual void destroyMarker() = 0;
  // Touch-screen and keyboard input; false when the desktop refuses it.
  virtual bool registerRawInput() = 0;
  virtual void unregisterRawInput() = 0;
  // Ends the program's run.
  virtual void endRun() = 0;
};

// Window timers. start restarts a running timer with the new period; every timer repeats
// until stopped (a one-shot timer is stopped by its own first tick).
class Timers {
 public:
  virtual ~Timers() = default;
  virtual void start(int id, int periodMs) = 0;
  virtual void stop(int id) = 0;
};

class LibraryLoader {
 public:
  virtual ~LibraryLoader() = default;
  virtual void* load(const char* file) = 0;  // nullptr when it cannot be loaded
  virtual void* symbol(void* library, const char* name) = 0;
  virtual void unload(void* library) = 0;
};

// The persisted notification setting.
class SettingStore {
 public:
  virtual ~SettingStore() = default;
  virtual uint32_t read() = 0;             // 0 when missing or unreadable
  virtual void write(uint32_t value) = 0;  // failures are not reported
};

// The monitor thread on the vendor-driver controller.
class MonitorControl {
 public:
  virtual ~MonitorControl() = default;
  // Starts watching the handle's device object; a thread still running is ended first.
  virtual void start(DeviceHandle handle) = 0;
  // Asks the running thread to end; does not wait.
  virtual void signalStop() = 0;
};

// Runs a function on the user-interface thread, later.
class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  virtual void post(std::function<void()> fn) = 0;
};

class ToolKitCore;

// The firmware information log plugs in here: the "&Log FW Info" command, Ctrl+Shift+L,
// the ticks of timer 4 and the freeing of its buffers in the command clean-up.
class LogComponent {
 public:
  virtual ~LogComponent() = default;
  virtual void run(ToolKitCore& core) = 0;
  virtual void onTimer(ToolKitCore& core) = 0;
  virtual void freeBuffers() = 0;
};

struct CoreDeps {
  View& view;
  Timers& timers;
  LibraryLoader& loader;
  SettingStore& setting;
  MonitorControl& monitor;
  Dispatcher& dispatcher;
};

class ToolKitCore {
 public:
  explicit ToolKitCore(const CoreDeps& deps);
  ~ToolKitCore();
  ToolKitCore(const ToolKitCore&) = delete;
  ToolKitCore& operator=(const ToolKitCore&) = delete;

  void setLogComponent(LogComponent* log) { log_ = log; }

  // Creation of the main window. siblingActive: the sibling program's lock was held.
  void create(bool waterOffAtStart, bool siblingActive);
  // The one shut-down sequence, for every way of ending. Runs once.
  void closeProgram();
  bool closed() const { return closed_; }

  // Events.
  void onTrayCallback(uint32_t mouseMessage);
  void onTimer(int id);
  void onTouchStateMessage(uint32_t wparam);  // from the monitor thread
  void onTouchReport(const uint8_t* report, size_t length);  // HID input report, id first
  void onKey(int virtualKey, bool pressed);
  void onDeviceChange(uint32_t event, const void* record);
  void onHandsOff(int32_t wparam, int32_t lparam);
  void onTaskbarCreated();
  void onOkButton();
  // Ctrl+Shift+R and Ctrl+Shift+L where the keys reach the program only as a combination
  // (key grabs, or the running instance asked over the bus).
  void onResetKeys();
  void onLogKeys();
  // A command chosen in the tray menu.
  void runCommand(int command);

  // Touch-state machine and displays.
  void applyTouchState(uint8_t report);
  void showAbnormalState();
  void hideAbnormalState();

  // Panel commands.
  void resetTouchPanel();
  int readWaterMode();
  void switchWaterModeOff();
  void writeWaterMode(bool on);

  // Library binding and command support, shared with the log.
  void loadAdvancedLibrary();
  void cleanUpCommand();
  void showCommandError(int code, int captionCode);
  void setMarkerTitle(const char* title);

  // State, read by views, tests and the log.
  View& view() { return view_; }
  Timers& timers() { return timers_; }
  LibraryLoader& loader() { return loader_; }
  void* basicLibrary() const { return basicLibrary_; }
  void* otherLibrary() const { return otherLibrary_; }
  void* advancedLibrary() const { return advancedLibrary_; }
  DeviceHandle monitorDevice() const { return monitorDevice_; }
  DeviceHandle& device() { return device_; }
  char* modelName() { return modelName_.data(); }
  const Rect& creationRect() const { return creationRect_; }
  const TrayIcon& trayIcon() const { return trayIcon_; }
  const MenuState& menu() const { return menu_; }
  const std::string& markerTitle() const { return markerTitle_; }
  FindHidDeviceFn findHidDevice() const { return findHidDevice_; }
  CloseDeviceFn closeDevice() const { return closeDevice_; }
  SendCmdFn sendCmd() const { return sendCmd_; }
  EnablePCAPScanFn enablePCAPScan() const { return enablePCAPScan_; }
  uint32_t showNotification() const { return showNotification_; }
  int waterModeState() const { return waterModeState_; }
  int marqueeStep() const { return marqueeStep_; }
  bool windowShown() const { return windowShown_; }
  bool resetDone() const { return resetDone_; }
  bool enablePending() const { return enablePending_; }
  bool disablePending() const { return disablePending_; }
  bool siblingActive() const { return siblingActive_; }
  bool monitorRunning() const { return monitorRunning_; }

 private:
  void bindBasicFunctions();
  void bindOtherFunctions();
  void startMonitor();
  void stopMonitor();
  bool findArrivedController();
  void forgetMonitorDevice();
  void closeCommandDevice();
  void setTray(const char* tip, const char* info, int icon);
  bool exchange(uint8_t packet[5]);
  void confirmAndReset();
  void setSiblingActive(bool active);
  static void deviceEventThunk(void* context, uint32_t event, const void* record);

  View& view_;
  Timers& timers_;
  LibraryLoader& loader_;
  SettingStore& setting_;
  MonitorControl& monitor_;
  Dispatcher& dispatcher_;
  LogComponent* log_ = nullptr;

  MenuState menu_;
  TrayIcon trayIcon_;
  std::string markerTitle_;
  int marqueeStep_ = 0;
  int arrivalRetries_ = 0;
  uint32_t showNotification_ = 0;
  int waterModeState_ = kWaterNotRead;
  bool windowShown_ = false;
  bool resetDone_ = false;
  bool confirmOpen_ = false;
  bool ctrlDown_ = false;
  bool shiftDown_ = false;
  bool enablePending_ = false;
  bool disablePending_ = false;
  bool siblingActive_ = false;
  bool monitorRunning_ = false;
  bool created_ = false;
  bool closed_ = false;
  Rect creationRect_;

  void* basicLibrary_ = nullptr;
  void* otherLibrary_ = nullptr;
  void* advancedLibrary_ = nullptr;
  FindQZDeviceFn findQZDevice_ = nullptr;
  FindHidDeviceFn findHidDevice_ = nullptr;
  CloseDeviceFn closeDevice_ = nullptr;
  SendCmdFn sendCmd_ = nullptr;
  QZDeviceChangeFn qzDeviceChange_ = nullptr;
  RegisterNotifyFn registerNotify_ = nullptr;
  UnRegisterNotifyFn unRegisterNotify_ = nullptr;
  EnablePCAPScanFn enablePCAPScan_ = nullptr;

  DeviceHandle monitorDevice_ = kNoDevice;
  DeviceHandle device_ = kNoDevice;
  std::array<char, kModelNameSize> modelName_{};
  void* registrations_[3] = {nullptr, nullptr, nullptr};
};

}  // namespace qz::toolkit
