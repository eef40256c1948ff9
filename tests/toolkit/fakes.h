// Stand-ins for everything the tray program's core talks to: a window that records what it
// was asked to show, timers on a virtual clock, and three libraries whose functions answer
// from one simulated controller.
#pragma once
#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/toolkit_core.h"

namespace qz::toolkit::testing {

using Packet = std::array<uint8_t, 5>;

class FakeView : public View {
 public:
  int opacity = -1;
  std::string title;
  std::map<int, std::string> texts;
  std::map<int, bool> shown;
  Rect rect{100, 200, 100 + 294, 200 + 180};
  int width = 294, height = 180;
  TrayIcon tray;
  std::vector<TrayIcon> trayUpdates;
  int trayAdds = 0;
  bool trayPresent = false;
  std::string marker;
  bool markerPresent = false;
  std::vector<std::string> markerTitles;
  std::vector<std::pair<std::string, std::string>> errors;
  std::vector<std::pair<std::string, std::string>> questions;
  std::function<bool()> answer = [] { return false; };
  std::function<int(const MenuState&)> choose = [](const MenuState&) { return 0; };
  std::vector<MenuState> menus;
  bool rawInputOk = true;
  bool rawInputRegistered = false;
  bool ended = false;
  int fronts = 0;

  void setOpacity(int alpha) override { opacity = alpha; }
  void setTitle(const std::string& t) override { title = t; }
  void setItemText(int item, const std::string& t) override { texts[item] = t; }
  void showItem(int item, bool s) override { shown[item] = s; }
  Rect windowRect() const override { return rect; }
  void resize(int w, int h) override { width = w, height = h; }
  void bringToFront() override { ++fronts; }
  bool askYesNo(const std::string& text, const std::string& caption) override {
    questions.emplace_back(text, caption);
    return answer();
  }
  void showError(const std::string& text, const std::string& caption) override {
    errors.emplace_back(text, caption);
  }
  void addTrayIcon(const TrayIcon& icon) override {
    tray = icon;
    ++trayAdds;
    trayPresent = true;
  }
  void modifyTrayIcon(const TrayIcon& icon) override {
    tray = icon;
    trayUpdates.push_back(icon);
  }
  void deleteTrayIcon() override { trayPresent = false; }
  int trackPopupMenu(const MenuState& menu) override {
    menus.push_back(menu);
    return choose(menu);
  }
  void createMarker(const std::string& t) override {
    marker = t;
    markerPresent = true;
  }
  void setMarkerTitle(const std::string& t) override {
    marker = t;
    markerTitles.push_back(t);
  }
  void destroyMarker() override { markerPresent = false; }
  bool registerRawInput() override { return rawInputRegistered = rawInputOk; }
  void unregisterRawInput() override { rawInputRegistered = false; }
  void endRun() override { ended = true; }
};

// Timers on a virtual clock: advance() fires every tick that falls due, in time order.
class FakeTimers : public Timers {
 public:
  ToolKitCore* core = nullptr;
  int64_t now = 0;
  struct Entry {
    int period;
    int64_t due;
  };
  std::map<int, Entry> running;

  void start(int id, int periodMs) override { running[id] = {periodMs, now + periodMs}; }
  void stop(int id) override { running.erase(id); }
  bool isRunning(int id) const { return running.count(id) != 0; }

  void advance(int64_t ms) {
    const int64_t end = now + ms;
    for (;;) {
      auto next = std::min_element(running.begin(), running.end(), [](auto& a, auto& b) {
        return a.second.due < b.second.due || (a.second.due == b.second.due && a.first < b.first);
      });
      if (next == running.end() || next->second.due > end) break;
      now = next->second.due;
      next->second.due += next->second.period;
      core->onTimer(next->first);
    }
    now = end;
  }
};

class FakeSetting : public SettingStore {
 public:
  uint32_t value = 0;
  std::vector<uint32_t> writes;
  uint32_t read() override { return value; }
  void write(uint32_t v) override {
    value = v;
    writes.push_back(v);
  }
};

class FakeMonitor : public MonitorControl {
 public:
  std::vector<DeviceHandle> starts;
  int stops = 0;
  bool running = false;
  void start(DeviceHandle h) override {
    starts.push_back(h);
    running = true;
  }
  void signalStop() override {
    ++stops;
    running = false;
  }
};

class QueueDispatcher : public Dispatcher {
 public:
  std::deque<std::function<void()>> queue;
  void post(std::function<void()> fn) override { queue.push_back(std::move(fn)); }
  void runAll() {
    while (!queue.empty()) {
      auto fn = std::move(queue.front());
      queue.pop_front();
      fn();
    }
  }
};

// One simulated controller behind the library functions.
struct FakeController {
  bool driverPresent = false;  // found by FindQZDevice
  bool hidPresent = false;     // found by FindHidDevice
  bool waterFeature = true;    // E0 00 F4 reports the water mode
  uint8_t waterByte = 0x00;    // parameter byte 0x43
  bool pcapOk = true;
  std::set<uint8_t> refused;   // opcodes answered with 0xAA
  std::set<uint8_t> failing;   // opcodes whose exchange fails outright
  std::vector<Packet> sent;
  std::vector<DeviceHandle> closed;
  std::vector<DeviceHandle> opened;
  std::vector<std::pair<DeviceHandle, int32_t>> pcap;
  std::vector<uint32_t> deviceChanges;
  int32_t changeCode = -1;
  int hidOpens = 0;
  DeviceEventCallback notifyCallback = nullptr;
  void* notifyContext = nullptr;
  int registers = 0, unregisters = 0;

  static constexpr DeviceHandle kDriverHandle = 7;
  std::vector<Packet> sentWith(uint8_t opcode) const {
    std::vector<Packet> out;
    for (const Packet& p : sent)
      if (p[0] == opcode) out.push_back(p);
    return out;
  }
};

inline FakeController* g_controller = nullptr;

namespace fns {
inline int32_t FindQZDevice(DeviceHandle* h, char* name) {
  if (!g_controller->driverPresent) return 0;
  *h = FakeController::kDriverHandle;
  strcpy(name, "QZ7480");
  return 1;
}
inline int32_t FindHidDevice(DeviceHandle* h, char* name) {
  if (!g_controller->hidPresent) return 0;
  *h = 100 + g_controller->hidOpens++;
  g_controller->opened.push_back(*h);
  strcpy(name, "QZ7413");
  return 1;
}
inline int32_t CloseDevice(DeviceHandle h) {
  g_controller->closed.push_back(h);
  return 1;
}
inline int32_t SendCmd(DeviceHandle, const uint8_t* cmd, uint8_t* reply) {
  FakeController& c = *g_controller;
  Packet p;
  std::copy(cmd, cmd + 5, p.begin());
  c.sent.push_back(p);
  if (c.failing.count(p[0])) return 0;
  if (c.refused.count(p[0])) {
    reply[0] = 0xAA;
    return 0;
  }
  Packet r = p;
  if (p[0] == 0xE0 && p[2] == 0xF4) {
    r[1] = c.waterFeature ? 0x02 : 0x00;
    r[4] = c.waterFeature ? 0x10 : 0x00;
  } else if (p[0] == 0xE0 && p[2] == 0x43) {
    r[4] = c.waterByte;
  } else if (p[0] == 0xE1 && p[2] == 0x43) {
    c.waterByte = p[4];
  }
  std::copy(r.begin(), r.end(), reply);
  return 1;
}
inline int32_t EnablePCAPScan(DeviceHandle h, int32_t on) {
  g_controller->pcap.emplace_back(h, on);
  return g_controller->pcapOk ? 1 : 0;
}
inline int32_t QZDeviceChange(uint32_t event, const void*, int32_t* result) {
  g_controller->deviceChanges.push_back(event);
  *result = g_controller->changeCode;
  return 1;
}
inline int32_t RegisterNotify(DeviceEventCallback cb, void* ctx, void* regs[3]) {
  g_controller->notifyCallback = cb;
  g_controller->notifyContext = ctx;
  ++g_controller->registers;
  regs[0] = regs[1] = regs[2] = reinterpret_cast<void*>(1);
  return 1;
}
inline int32_t UnRegisterNotify(void*[3]) {
  ++g_controller->unregisters;
  return 1;
}
}  // namespace fns

// The three libraries, each present or missing, each function present or missing.
class FakeLoader : public LibraryLoader {
 public:
  std::map<std::string, std::map<std::string, void*>> libraries;
  std::vector<std::string> loads, unloads;
  std::set<std::string> loaded;

  FakeLoader() {
    libraries[kBasicLibraryFile] = {
        {"FindQZDevice", reinterpret_cast<void*>(&fns::FindQZDevice)},
        {"FindHidDevice", reinterpret_cast<void*>(&fns::FindHidDevice)},
        {"CloseDevice", reinterpret_cast<void*>(&fns::CloseDevice)},
        {"SendCmd", reinterpret_cast<void*>(&fns::SendCmd)},
    };
    libraries[kOtherLibraryFile] = {
        {"QZDeviceChange", reinterpret_cast<void*>(&fns::QZDeviceChange)},
        {"RegisterNotify", reinterpret_cast<void*>(&fns::RegisterNotify)},
        {"UnRegisterNotify", reinterpret_cast<void*>(&fns::UnRegisterNotify)},
    };
    libraries[kAdvancedLibraryFile] = {
        {"EnablePCAPScan", reinterpret_cast<void*>(&fns::EnablePCAPScan)},
    };
  }
  void* load(const char* file) override {
    loads.emplace_back(file);
    auto it = libraries.find(file);
    if (it == libraries.end()) return nullptr;
    loaded.insert(file);
    return &it->second;
  }
  void* symbol(void* library, const char* name) override {
    auto* fns = static_cast<std::map<std::string, void*>*>(library);
    auto it = fns->find(name);
    return it == fns->end() ? nullptr : it->second;
  }
  void unload(void* library) override {
    for (auto& [file, fns] : libraries)
      if (&fns == library) {
        unloads.push_back(file);
        loaded.erase(file);
      }
  }
};

// A core wired to the fakes.
struct Rig {
  FakeController controller;
  FakeView view;
  FakeTimers timers;
  FakeLoader loader;
  FakeSetting setting;
  FakeMonitor monitor;
  QueueDispatcher dispatcher;
  ToolKitCore core{CoreDeps{view, timers, loader, setting, monitor, dispatcher}};

  Rig() {
    g_controller = &controller;
    timers.core = &core;
  }
  ~Rig() {
    core.closeProgram();
    g_controller = nullptr;
  }
};

}  // namespace qz::toolkit::testing
