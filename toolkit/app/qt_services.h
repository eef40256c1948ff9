// The core's services on a Qt desktop: window timers, run-time library loading, the
// user-interface thread's queue and the per-user setting.
#pragma once
#include <QObject>
#include <QTimer>
#include <map>
#include <memory>

#include "core/toolkit_core.h"
#include "desktop/settings_store.h"

namespace qz::toolkit {

class QtTimers : public Timers {
 public:
  explicit QtTimers(std::function<void(int)> onTick) : onTick_(std::move(onTick)) {}
  void start(int id, int periodMs) override;
  void stop(int id) override;

 private:
  std::function<void(int)> onTick_;
  std::map<int, std::unique_ptr<QTimer>> timers_;
};

class DlLoader : public LibraryLoader {
 public:
  void* load(const char* file) override;
  void* symbol(void* library, const char* name) override;
  void unload(void* library) override;
};

class QtDispatcher : public Dispatcher {
 public:
  explicit QtDispatcher(QObject* receiver) : receiver_(receiver) {}
  void post(std::function<void()> fn) override;

 private:
  QObject* receiver_;
};

class QtSetting : public SettingStore {
 public:
  uint32_t read() override { return store_.read(); }
  void write(uint32_t value) override { store_.write(value); }

 private:
  desktop::NotificationSetting store_;
};

}  // namespace qz::toolkit
