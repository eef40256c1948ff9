#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_impl.h"

namespace qzsim {

struct Simulator::Impl {
  std::string dir, hidDir, driverDir;
  bool ownsDir = false, madeHidDir = false, madeDriverDir = false;
  mutable std::mutex mu;
  bool running = false;
  std::vector<std::unique_ptr<Device>> devices;

  // Timeline: scheduled reports, run on a thread of their own.
  std::mutex timeMu;
  std::condition_variable timeCv;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> events;
  bool timelineStop = false;
  std::thread timeline;
  std::vector<std::shared_ptr<std::function<void(uint8_t)>>> cycles;  // repeating touch states

  Device& add(std::unique_ptr<Device::Impl> impl);
  void schedule(std::chrono::milliseconds after, std::function<void()> fn);
  void timelineLoop();
  // Makes the socket or the pseudo-terminal of a device (transport.cpp).
  static void openEndpoint(Device::Impl& d);
  // Waits up to ms, returning early (false) when the device stops serving.
  static bool pause(Device::Impl& d, int ms);
};

}  // namespace qzsim
