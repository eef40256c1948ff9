#include "core/touch_monitor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>

#include "driver/driver_client.h"

namespace qz::toolkit {

struct TouchMonitor::Run {
  int stopFd = -1;
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};
  std::mutex mutex;
  std::condition_variable handled;
  uint64_t delivered = 0;  // reports the user-interface thread has handled

  ~Run() {
    if (stopFd >= 0) close(stopFd);
  }
  void requestStop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
    }
    handled.notify_all();
    uint64_t one = 1;
    if (stopFd >= 0) (void)!write(stopFd, &one, sizeof one);
  }
};

namespace {

constexpr size_t kReportSize = 5;
using ObjectPath = std::array<char, sizeof(sockaddr_un::sun_path)>;

std::atomic<int> g_running{0};
std::atomic<int> g_most{0};

// Counts the thread in for as long as it runs.
struct Running {
  Running() {
    int now = ++g_running;
    int most = g_most.load();
    while (now > most && !g_most.compare_exchange_weak(most, now)) {
    }
  }
  ~Running() { --g_running; }
};

struct Request {
  uint32_t code;
  uint32_t tag = 0;  // 0: not outstanding
  bool failed = false;
  uint8_t buffer[kReportSize] = {};
};

// Hands one report to the user-interface thread and waits until it has run there, or until
// the thread is told to stop.
void deliver(const std::shared_ptr<TouchMonitor::Run>& run, Dispatcher& dispatcher,
             const std::function<void(uint8_t)>& fn, uint8_t report) {
  uint64_t target;
  {
    std::lock_guard<std::mutex> lock(run->mutex);
    target = run->delivered + 1;
  }
  dispatcher.post([run, fn, report] {
    if (!run->stop) fn(report);
    {
      std::lock_guard<std::mutex> lock(run->mutex);
      ++run->delivered;
    }
    run->handled.notify_all();
  });
  std::unique_lock<std::mutex> lock(run->mutex);
  run->handled.wait(lock, [&] { return run->stop || run->delivered >= target; });
}

void monitorThread(std::shared_ptr<TouchMonitor::Run> run, Dispatcher& dispatcher,
                   std::function<void(uint8_t)> fn, ObjectPath path) {
  Running counted;
  int conn = run->stop ? -1 : driver::connectObject(path.data());
  if (conn < 0) {
    run->finished = true;
    return;
  }
  Request requests[2] = {{driver::kNotify1}, {driver::kNotify2}};
  while (!run->stop) {
    bool outstanding = false;
    for (Request& r : requests) {
      if (r.tag == 0 && !r.failed) {
        memset(r.buffer, 0, sizeof r.buffer);
        r.tag = driver::nextTag();
        if (!driver::sendRequest(conn, r.tag, r.code, nullptr, 0, kReportSize)) r.failed = true, r.tag = 0;
      }
      outstanding = outstanding || r.tag != 0;
    }
    if (!outstanding) break;  // the driver refuses both: nothing left to wait for

    pollfd fds[2] = {{run->stopFd, POLLIN, 0}, {conn, POLLIN, 0}};
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || run->stop || (fds[0].revents & POLLIN)) break;
    if (fds[1].revents & (POLLERR | POLLNVAL)) break;
    if (!(fds[1].revents & POLLIN)) break;  // hung up with nothing to read

    // Every completion that has arrived, in order; the stop event is looked at before each.
    for (int waitMs = 0; !run->stop;) {
      driver::Completion c{};
      uint8_t out[kReportSize] = {};
      driver::Wait w = driver::receiveCompletion(conn, waitMs, &c, out, sizeof out);
      if (w == driver::Wait::kTimedOut) break;
      if (w == driver::Wait::kBroken) {
        run->stop = true;
        break;
      }
      for (Request& r : requests) {
        if (r.tag == 0 || c.tag != r.tag) continue;
        r.tag = 0;
        if (c.status != 0) {
          r.failed = true;  // not issued again, so a failing driver cannot make us spin
          break;
        }
        memcpy(r.buffer, out, c.returned < kReportSize ? c.returned : kReportSize);
        uint8_t report = c.returned > 0 ? r.buffer[0] : 0;
        if ((report == kTouchEnabled || report == kTouchDisabled) && !run->stop)
          deliver(run, dispatcher, fn, report);
        break;
      }
    }
  }
  close(conn);  // cancels the requests still outstanding
  run->finished = true;
}

}  // namespace

TouchMonitor::TouchMonitor(Dispatcher& dispatcher, std::function<void(uint8_t)> deliver)
    : dispatcher_(dispatcher), deliver_(std::move(deliver)) {}

TouchMonitor::~TouchMonitor() { stopAndJoin(); }

void TouchMonitor::start(DeviceHandle handle) {
  stopAndJoin();  // never two monitor threads at once
  // The handle is the library's and the user-interface thread may close it (a removal) the
  // moment this returns, and its number be reused: the object is named here, and the
  // thread connects by name, never looking at the handle.
  ObjectPath path{};
  if (handle < 0 || handle > INT32_MAX || !driver::objectPath(int(handle), path.data(), path.size())) return;
  auto run = std::make_shared<Run>();
  run->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (run->stopFd < 0) return;
  try {
    thread_ = std::thread(monitorThread, run, std::ref(dispatcher_), deliver_, path);
  } catch (const std::system_error&) {
    return;  // no thread: the touch state goes unwatched, as without a controller
  }
  run_ = run;
}

void TouchMonitor::signalStop() {
  if (run_) run_->requestStop();
}

void TouchMonitor::stopAndJoin() {
  signalStop();
  if (thread_.joinable()) thread_.join();
  run_.reset();
}

bool TouchMonitor::active() const { return run_ && !run_->finished; }

int TouchMonitor::runningThreads() { return g_running.load(); }
int TouchMonitor::mostThreadsAtOnce() { return g_most.load(); }

}  // namespace qz::toolkit
