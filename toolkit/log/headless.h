// The log without a display: a window that only remembers what it was asked to show, window
// timers run by a loop of the caller, and the libraries loaded with dlopen. `qztool log`, the
// tests and the benchmark drive the tray program's core and the log component through it.
#pragma once
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "core/toolkit_core.h"
#include "log/firmware_log.h"

namespace qz::toolkit::log {

class HeadlessView : public View {
 public:
  std::map<int, std::string> texts;
  std::map<int, bool> shown;
  std::string title, marker;
  int opacity = 0;
  Rect rect{0, 0, 294, 180};
  int width = 294, height = 180;
  std::vector<std::pair<std::string, std::string>> errors;

  void setOpacity(int alpha) override { opacity = alpha; }
  void setTitle(const std::string& t) override { title = t; }
  void setItemText(int item, const std::string& t) override { texts[item] = t; }
  void showItem(int item, bool s) override { shown[item] = s; }
  Rect windowRect() const override { return rect; }
  void resize(int w, int h) override { width = w, height = h; }
  void bringToFront() override {}
  bool askYesNo(const std::string&, const std::string&) override { return false; }
  void showError(const std::string& text, const std::string& caption) override { errors.emplace_back(text, caption); }
  void addTrayIcon(const TrayIcon&) override {}
  void modifyTrayIcon(const TrayIcon&) override {}
  void deleteTrayIcon() override {}
  int trackPopupMenu(const MenuState&) override { return 0; }
  void createMarker(const std::string& t) override { marker = t; }
  void setMarkerTitle(const std::string& t) override { marker = t; }
  void destroyMarker() override {}
  bool registerRawInput() override { return true; }
  void unregisterRawInput() override {}
  void endRun() override {}
};

class HeadlessTimers : public Timers {
 public:
  std::map<int, int> running;  // id -> period
  void start(int id, int periodMs) override { running[id] = periodMs; }
  void stop(int id) override { running.erase(id); }
};

class DlLibraryLoader : public LibraryLoader {
 public:
  void* load(const char* file) override;
  void* symbol(void* library, const char* name) override;
  void unload(void* library) override;
};

class NoSetting : public SettingStore {
 public:
  uint32_t read() override { return 0; }
  void write(uint32_t) override {}
};

class NoMonitor : public MonitorControl {
 public:
  void start(DeviceHandle) override {}
  void signalStop() override {}
};

// Device notifications are of no use to a one-shot run.
class DroppingDispatcher : public Dispatcher {
 public:
  void post(std::function<void()>) override {}
};

// One log from start to end.
class HeadlessLog {
 public:
  explicit HeadlessLog(LogEnvironment& env);
  ~HeadlessLog();

  // Runs the command, then the data phase until timer 4 stops. With realTime the ticks come
  // every 100 ms as a window timer's do (a step that takes longer delays the next one);
  // without, they follow each other at once.
  void run(bool realTime);
  // The same in single steps: the command, then one tick while timer 4 runs (false once
  // it has stopped).
  void start();
  bool tick();

  FirmwareLog& log() { return log_; }
  ToolKitCore& core() { return *core_; }
  HeadlessView& view() { return view_; }
  int ticks() const { return ticks_; }
  // Time spent inside the steps (collection and ticks), and the whole run.
  std::chrono::nanoseconds busy() const { return busy_; }
  std::chrono::nanoseconds wall() const { return wall_; }
  std::chrono::nanoseconds collection() const { return collection_; }
  std::chrono::nanoseconds longestTick() const { return longestTick_; }

 private:
  HeadlessView view_;
  HeadlessTimers timers_;
  DlLibraryLoader loader_;
  NoSetting setting_;
  NoMonitor monitor_;
  DroppingDispatcher dispatcher_;
  FirmwareLog log_;
  std::unique_ptr<ToolKitCore> core_;
  int ticks_ = 0;
  std::chrono::nanoseconds busy_{0}, wall_{0}, collection_{0}, longestTick_{0};
};

}  // namespace qz::toolkit::log
