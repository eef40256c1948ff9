// The monitor thread against a device object served by the test, speaking the driver's
// request and completion packets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "core/touch_monitor.h"
#include "driver/driver_client.h"

namespace qz::toolkit::testing {
namespace {

using namespace std::chrono_literals;

bool eventually(std::chrono::milliseconds limit, const std::function<bool()>& cond) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return cond();
}

// The user-interface thread's queue, filled from the monitor thread.
class ThreadDispatcher : public Dispatcher {
 public:
  void post(std::function<void()> fn) override {
    std::lock_guard<std::mutex> l(m_);
    q_.push_back(std::move(fn));
  }
  size_t pending() {
    std::lock_guard<std::mutex> l(m_);
    return q_.size();
  }
  void runAll() {
    for (;;) {
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> l(m_);
        if (q_.empty()) return;
        fn = std::move(q_.front());
        q_.pop_front();
      }
      fn();
    }
  }

 private:
  std::mutex m_;
  std::deque<std::function<void()>> q_;
};

// A device object: accepts connections, keeps their notification requests, and completes
// them when the test says so.
class DeviceObject {
 public:
  struct Request {
    int conn;
    uint32_t tag, code, capacity;
  };

  DeviceObject() {
    char tmpl[] = "/tmp/qz-monitor-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/QZUKRXM_API0";
    listen_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_, 8);
    thread_ = std::thread([this] { serve(); });
  }
  ~DeviceObject() {
    stop_ = true;
    thread_.join();
    std::lock_guard<std::mutex> l(m_);
    for (int fd : conns_) close(fd);
    close(listen_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_; }

  std::vector<Request> outstanding() {
    std::lock_guard<std::mutex> l(m_);
    return outstanding_;
  }
  int requestsSeen() const { return seen_; }
  int connectionsOpened() const { return opened_; }
  int connectionsOpen() {
    std::lock_guard<std::mutex> l(m_);
    return int(conns_.size()) - 1;  // less the test's own handle
  }

  // Completes the oldest outstanding notification request; status 0 carries the report.
  bool complete(uint8_t report, int32_t status = 0) {
    std::lock_guard<std::mutex> l(m_);
    if (outstanding_.empty()) return false;
    Request r = outstanding_.front();
    outstanding_.erase(outstanding_.begin());
    uint8_t pkt[8 + 5] = {};
    memcpy(pkt, &r.tag, 4);
    memcpy(pkt + 4, &status, 4);
    pkt[8] = report;
    size_t len = status == 0 ? sizeof pkt : 8;
    return send(r.conn, pkt, len, MSG_NOSIGNAL) == ssize_t(len);
  }
  // The device goes away: every connection but the test's own handle is closed.
  void dropMonitorConnections(int keep) {
    std::lock_guard<std::mutex> l(m_);
    for (int& fd : conns_)
      if (fd != keep) close(fd), fd = -1;
    conns_.erase(std::remove(conns_.begin(), conns_.end(), -1), conns_.end());
    outstanding_.clear();
  }
  int serverSideOf(int n) {
    std::lock_guard<std::mutex> l(m_);
    return n < int(conns_.size()) ? conns_[size_t(n)] : -1;
  }

 private:
  void serve() {
    while (!stop_) {
      std::vector<pollfd> fds{{listen_, POLLIN, 0}};
      {
        std::lock_guard<std::mutex> l(m_);
        for (int fd : conns_) fds.push_back({fd, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), 10) <= 0) continue;
      std::lock_guard<std::mutex> l(m_);
      if (fds[0].revents & POLLIN) {
        int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) conns_.push_back(fd), ++opened_;
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        int fd = fds[i].fd;
        if (std::find(conns_.begin(), conns_.end(), fd) == conns_.end()) continue;
        uint8_t buf[64];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
          // Closing a connection cancels what is outstanding on it.
          outstanding_.erase(std::remove_if(outstanding_.begin(), outstanding_.end(),
                                            [fd](const Request& r) { return r.conn == fd; }),
                             outstanding_.end());
          close(fd);
          conns_.erase(std::find(conns_.begin(), conns_.end(), fd));
          continue;
        }
        if (n < 12) continue;
        Request r{fd, 0, 0, 0};
        memcpy(&r.tag, buf, 4);
        memcpy(&r.code, buf + 4, 4);
        memcpy(&r.capacity, buf + 8, 4);
        ++seen_;
        outstanding_.push_back(r);
      }
    }
  }

  std::string dir_, path_;
  int listen_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> seen_{0}, opened_{0};
  std::mutex m_;
  std::vector<int> conns_;
  std::vector<Request> outstanding_;
  std::thread thread_;
};

struct MonitorRig {
  DeviceObject object;
  ThreadDispatcher ui;
  std::mutex m;
  std::vector<uint8_t> delivered;
  TouchMonitor monitor{ui, [this](uint8_t b) {
                         std::lock_guard<std::mutex> l(m);
                         delivered.push_back(b);
                       }};
  int handle = -1;  // what the library's handle would be: a connection to the object

  MonitorRig() { handle = driver::connectObject(object.path().c_str()); }
  ~MonitorRig() {
    monitor.stopAndJoin();
    if (handle >= 0) close(handle);
  }
  std::vector<uint8_t> got() {
    std::lock_guard<std::mutex> l(m);
    return delivered;
  }
  bool bothOutstanding() {
    auto o = object.outstanding();
    return o.size() == 2 && o[0].code != o[1].code;
  }
};

TEST(Monitor, KeepsOneRequestOfEachKindAndReportsInOrder) {
  MonitorRig rig;
  rig.monitor.start(rig.handle);
  ASSERT_TRUE(eventually(2s, [&] { return rig.bothOutstanding(); }));
  for (const auto& r : rig.object.outstanding()) {
    EXPECT_NE(r.conn, rig.object.serverSideOf(0)) << "the monitor uses a connection of its own";
    EXPECT_EQ(r.capacity, 5u);
    EXPECT_TRUE(r.code == driver::kNotify1 || r.code == driver::kNotify2);
  }
  const uint8_t reports[] = {0x8A, 0x0A, 0x8A, 0x8A, 0x0A, 0x0A, 0x8A, 0x0A};
  for (uint8_t b : reports) {
    ASSERT_TRUE(rig.object.complete(b));
    ASSERT_TRUE(eventually(2s, [&] { return rig.ui.pending() == 1; }));
    // Synchronous: nothing is asked again until the user-interface thread has handled it.
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(rig.object.outstanding().size(), 1u);
    rig.ui.runAll();
    ASSERT_TRUE(eventually(2s, [&] { return rig.bothOutstanding(); }));
  }
  EXPECT_THAT(rig.got(), ::testing::ElementsAreArray(reports));
  EXPECT_EQ(rig.object.requestsSeen(), 2 + int(sizeof reports));
}

TEST(Monitor, OtherBytesAreNotReportedButTheRequestIsRenewed) {
  MonitorRig rig;
  rig.monitor.start(rig.handle);
  ASSERT_TRUE(eventually(2s, [&] { return rig.bothOutstanding(); }));
  for (uint8_t b : {0x00, 0x8B, 0xFF, 0x0B}) {
    ASSERT_TRUE(rig.object.complete(b));
    ASSERT_TRUE(eventually(2s, [&] { return rig.bothOutstanding(); }));
  }
  EXPECT_EQ(rig.ui.pending(), 0u);
  EXPECT_TRUE(rig.got().empty());
}

TEST(Monitor, StopCancelsEverythingOutstandingBeforeTheThreadEnds) {
  MonitorRig rig;
  rig.monitor.start(rig.handle);
  ASSERT_TRUE(eventually(2s, [&] { return rig.bothOutstanding(); }));
  rig.monitor.signalStop();
  ASSERT_TRUE(eventually(2s, [&] { return !rig.monitor.active(); }));
  EXPECT_TRUE(eventually(2s, [&] { return rig.object.outstanding().empty(); }));
  EXPECT_EQ(rig.object.connectionsOpen(), 0);
}

TEST(Monitor, StopWinsOverAReportWaitingForTheUserInterface) {
  MonitorRig rig;
  rig.monitor.start(rig.handle);
  ASSERT_TRUE(eventually(2s, [&] { return rig.bothOutstanding(); }));
  ASSERT_TRUE(rig.object.complete(0x8A));
  ASSERT_TRUE(eventually(2s, [&] { return rig.ui.pending() == 1; }));
  auto t0 = std::chrono::steady_clock::now();
  rig.monitor.stopAndJoin();  // must not wait for the user-interface thread
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  rig.ui.runAll();
  EXPECT_TRUE(rig.got().empty()) << "a report of a stopped thread was delivered";
}

TEST(Monitor, EndsWhenTheDriverFailsBothRequests) {
  MonitorRig rig;
  rig.monitor.start(rig.handle);
  ASSERT_TRUE(eventually(2s, [&] { return rig.bothOutstanding(); }));
  ASSERT_TRUE(rig.object.complete(0, -1));
  ASSERT_TRUE(eventually(2s, [&] { return rig.object.outstanding().size() == 1; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(rig.object.requestsSeen(), 2) << "a failed request was issued again";
  EXPECT_TRUE(rig.monitor.active());
  ASSERT_TRUE(rig.object.complete(0, -1));
  EXPECT_TRUE(eventually(2s, [&] { return !rig.monitor.active(); }));
  EXPECT_EQ(rig.object.requestsSeen(), 2);
}

TEST(Monitor, EndsWhenTheDeviceGoesAway) {
  MonitorRig rig;
  rig.monitor.start(rig.handle);
  ASSERT_TRUE(eventually(2s, [&] { return rig.bothOutstanding(); }));
  rig.object.dropMonitorConnections(rig.object.serverSideOf(0));
  EXPECT_TRUE(eventually(2s, [&] { return !rig.monitor.active(); }));
  EXPECT_EQ(rig.object.requestsSeen(), 2);
}

TEST(Monitor, NeverTwoThreadsAtOnce) {
  MonitorRig rig;
  for (int i = 0; i < 5; ++i) {
    rig.monitor.signalStop();  // told to end, then started again at once
    rig.monitor.start(rig.handle);
    ASSERT_TRUE(eventually(2s, [&] { return rig.object.connectionsOpened() == 2 + i && rig.bothOutstanding(); }));
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(rig.object.connectionsOpen(), 1) << "pass " << i;
  }
  EXPECT_EQ(rig.object.connectionsOpened(), 1 + 5);
}

// A removal closes the library's handle right after the monitor was started, and the number
// comes back at once for another connection: the monitor still watches the first object.
TEST(Monitor, WatchesTheObjectTheHandleHadWhenStarted) {
  DeviceObject first, other;
  ThreadDispatcher ui;
  TouchMonitor monitor(ui, [](uint8_t) {});
  for (int pass = 0; pass < 20; ++pass) {
    int handle = driver::connectObject(first.path().c_str());
    ASSERT_GE(handle, 0);
    monitor.start(handle);
    close(handle);
    int reused = driver::connectObject(other.path().c_str());
    ASSERT_GE(reused, 0);
    ASSERT_TRUE(eventually(2s, [&] { return first.outstanding().size() == 2; })) << "pass " << pass;
    EXPECT_TRUE(other.outstanding().empty()) << "pass " << pass << ": watched the reused number";
    monitor.stopAndJoin();
    close(reused);
    ASSERT_TRUE(eventually(2s, [&] { return first.outstanding().empty(); }));
  }
  EXPECT_EQ(TouchMonitor::mostThreadsAtOnce(), 1);
}

TEST(Monitor, AHandleWithoutADeviceObjectEndsAtOnce) {
  ThreadDispatcher ui;
  TouchMonitor monitor(ui, [](uint8_t) {});
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  for (DeviceHandle h : {DeviceHandle(-1), DeviceHandle(fds[0]), DeviceHandle(1) << 40}) {
    monitor.start(h);
    EXPECT_TRUE(eventually(2s, [&] { return !monitor.active(); })) << h;
  }
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace qz::toolkit::testing
