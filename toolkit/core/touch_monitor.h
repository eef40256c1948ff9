// The monitor thread: watches the touch state of the vendor-driver controller on a
// connection of its own to the controller's device object, and hands every touch-state
// report to the user-interface thread, waiting until it has been handled there.
//
// The thread keeps one notification request of each kind outstanding, waits on them and on
// its stop event (the stop event first), and ends when told to, when the connection breaks
// or when the driver fails both requests. Closing its connection cancels whatever is still
// outstanding, before the thread ends, so no completion can arrive for a buffer that is gone.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "core/toolkit_core.h"

namespace qz::toolkit {

class TouchMonitor : public MonitorControl {
 public:
  // deliver runs on the user-interface thread (through dispatcher) with each report byte.
  TouchMonitor(Dispatcher& dispatcher, std::function<void(uint8_t)> deliver);
  ~TouchMonitor() override;  // stops and joins

  void start(DeviceHandle handle) override;
  void signalStop() override;
  // Stops and waits for the thread; bounded, as the stop event also ends a wait for the
  // user-interface thread.
  void stopAndJoin();
  // True while a thread runs (it may be on its way out).
  bool active() const;
  // Monitor threads of the process running now, and the most that ever ran at once.
  static int runningThreads();
  static int mostThreadsAtOnce();

  struct Run;

 private:
  Dispatcher& dispatcher_;
  std::function<void(uint8_t)> deliver_;
  std::shared_ptr<Run> run_;
  std::thread thread_;
};

}  // namespace qz::toolkit
