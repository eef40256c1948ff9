// The tray program's threads together against the simulator: its user-interface thread (a
// loop running the core's posted work, its timers and its touch-screen input), the monitor
// thread on the vendor-driver controller, the library's device-change thread, and the
// simulator serving both. The test thread plays the user and the hardware at once. Built
// with ThreadSanitizer these tests also prove that the threads share nothing unguarded.
#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/raw_input.h"
#include "core/toolkit_core.h"
#include "core/touch_monitor.h"
#include "log/firmware_log.h"
#include "log/headless.h"
#include "qzsim/simulator.h"

namespace qz::toolkit::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool eventually(std::chrono::milliseconds limit, const std::function<bool()>& cond) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return cond();
}

int openDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    --n;  // the directory's own descriptor
  }
  return n;
}

// The user-interface thread: posted work first, then due timers, then readable touch
// screens, sleeping in poll in between as the desktop's event loop does.
class UiLoop : public Dispatcher, public Timers {
 public:
  std::function<void(int)> onTick;
  RawInputReader::ReportFn onReport;

  UiLoop() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    thread_ = std::thread([this] { loop(); });
  }
  ~UiLoop() { quit(); }

  void quit() {
    {
      std::lock_guard<std::mutex> l(m_);
      quit_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    reader_.closeAll();
    if (wake_ >= 0) close(wake_);
    wake_ = -1;
  }

  void post(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> l(m_);
      queue_.push_back(std::move(fn));
    }
    wake();
  }

  // Runs fn on the loop and waits for its result.
  template <typename F>
  auto invoke(F fn) -> decltype(fn()) {
    std::packaged_task<decltype(fn())()> task(std::move(fn));
    auto result = task.get_future();
    post([&task] { task(); });
    return result.get();
  }

  // Timers and touch screens belong to the loop thread: the core calls these there.
  void start(int id, int periodMs) override { timers_[id] = {periodMs, Clock::now() + std::chrono::milliseconds(periodMs)}; }
  void stop(int id) override { timers_.erase(id); }
  void refreshRawInput() {
    for (int fd : reader_.refresh()) rawFds_.push_back(fd);
  }
  void closeRawInput() {
    reader_.closeAll();
    rawFds_.clear();
  }

 private:
  struct Timer {
    int period;
    Clock::time_point due;
  };

  void wake() {
    uint64_t one = 1;
    if (wake_ >= 0) (void)!write(wake_, &one, sizeof one);
  }

  void loop() {
    for (;;) {
      std::deque<std::function<void()>> work;
      {
        std::lock_guard<std::mutex> l(m_);
        if (quit_) return;
        work.swap(queue_);
      }
      for (auto& fn : work) fn();

      const auto now = Clock::now();
      std::vector<int> due;
      for (auto& [id, t] : timers_)
        if (t.due <= now) due.push_back(id);
      for (int id : due) {
        auto it = timers_.find(id);
        if (it == timers_.end()) continue;  // stopped by an earlier tick
        it->second.due = now + std::chrono::milliseconds(it->second.period);
        if (onTick) onTick(id);
      }

      int timeout = -1;
      for (auto& [id, t] : timers_) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.due - Clock::now()).count() + 1;
        ms = ms < 0 ? 0 : ms;
        if (timeout < 0 || ms < timeout) timeout = int(ms);
      }
      std::vector<pollfd> fds{{wake_, POLLIN, 0}};
      for (int fd : rawFds_) fds.push_back({fd, POLLIN, 0});
      {
        std::lock_guard<std::mutex> l(m_);
        if (!queue_.empty() || quit_) timeout = 0;
      }
      if (poll(fds.data(), fds.size(), timeout) <= 0) continue;
      uint64_t drained;
      if (fds[0].revents) (void)!read(wake_, &drained, sizeof drained);
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        if (!reader_.readable(fds[i].fd, onReport))
          rawFds_.erase(std::find(rawFds_.begin(), rawFds_.end(), fds[i].fd));
      }
    }
  }

  int wake_;
  std::mutex m_;
  bool quit_ = false;
  std::deque<std::function<void()>> queue_;
  std::map<int, Timer> timers_;
  RawInputReader reader_;
  std::vector<int> rawFds_;
  std::thread thread_;
};

// The window: answers Yes to every question and chooses what the test says from the menu.
class TestView : public log::HeadlessView {
 public:
  explicit TestView(UiLoop& ui) : ui_(ui) {}
  int choice = kCmdNone;
  int questions = 0;
  bool askYesNo(const std::string&, const std::string&) override { return ++questions, true; }
  int trackPopupMenu(const MenuState&) override { return choice; }
  bool registerRawInput() override {
    ui_.refreshRawInput();
    return true;
  }
  void unregisterRawInput() override { ui_.closeRawInput(); }

 private:
  UiLoop& ui_;
};

class MemorySetting : public SettingStore {
 public:
  uint32_t value = 0;
  int writes = 0;
  uint32_t read() override { return value; }
  void write(uint32_t v) override { value = v, ++writes; }
};

class TestLogEnvironment : public log::LogEnvironment {
 public:
  explicit TestLogEnvironment(std::string dir) : dir_(std::move(dir)) {}
  std::string programDirectory() override { return dir_ + "/"; }
  std::string dataDirectory() override { return dir_ + "/data/"; }
  std::string osName() override { return "Test OS"; }
  std::tm localTime() override {
    std::tm t{};
    t.tm_year = 126, t.tm_mon = 0, t.tm_mday = 2;
    return t;
  }

 private:
  std::string dir_;
};

// Touch-state reports raised as fast as the simulator takes them, palm and water alike.
class ReportStream {
 public:
  explicit ReportStream(std::function<void(uint8_t)> raise) : raise_(std::move(raise)) {
    thread_ = std::thread([this] {
      for (uint8_t b = kTouchDisabled; !stop_; b = b == kTouchDisabled ? kTouchEnabled : kTouchDisabled) {
        raise_(b);
        ++raised_;
        std::this_thread::sleep_for(200us);
      }
    });
  }
  ~ReportStream() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int raised() const { return raised_; }

 private:
  std::function<void(uint8_t)> raise_;
  std::atomic<bool> stop_{false};
  std::atomic<int> raised_{0};
  std::thread thread_;
};

constexpr char kObjectName[] = "QZUKRXM_API0";

struct TrayRig {
  qzsim::Simulator sim;
  std::atomic<qzsim::Device*> driver{nullptr};
  qzsim::Device* hid = nullptr;
  UiLoop ui;
  TestView view{ui};
  log::DlLibraryLoader loader;
  MemorySetting setting;
  std::atomic<int> delivered{0};
  TouchMonitor monitor{ui, [this](uint8_t b) {
                         ++delivered;
                         core->onTouchStateMessage(b);
                       }};
  TestLogEnvironment logEnvironment{sim.dir()};
  log::FirmwareLog log{logEnvironment};
  std::unique_ptr<ToolKitCore> core;
  int logsWritten = 0;

  TrayRig(bool onDriver, bool onHid, bool settingOn) {
    if (onDriver) driver = &sim.addDriverObject(qzsim::Controller{}, kObjectName);
    if (onHid) hid = &sim.addHid(qzsim::Controller{});
    sim.start();
    sim.exportEnvironment();
    setenv("QZ_NO_REAL_HID", "1", 1);
    setting.value = settingOn ? 1 : 0;
    ui.onTick = [this](int id) { core->onTimer(id); };
    ui.onReport = [this](const uint8_t* r, size_t n) { core->onTouchReport(r, n); };
    ui.invoke([this] {
      core = std::make_unique<ToolKitCore>(CoreDeps{view, ui, loader, setting, monitor, ui});
      core->setLogComponent(&log);
      core->create(false, false);
    });
  }
  ~TrayRig() { shutDown(); }

  void shutDown() {
    if (!core) return;
    ui.invoke([this] { core->closeProgram(); });
    monitor.stopAndJoin();
    ui.quit();
    core.reset();
  }

  template <typename F>
  auto onUi(F fn) {
    return ui.invoke(std::move(fn));
  }
  bool watching() {
    return onUi([this] { return core->monitorDevice() != kNoDevice; });
  }
  size_t outstanding() {
    qzsim::Device* d = driver;
    return d ? d->outstandingNotifications() : 0;
  }

  // The menu opened (a water-mode read), the water mode switched twice, a reset, and a
  // whole log, one after the other as a user would.
  void commands() {
    onUi([this] {
      view.choice = kCmdNone;
      core->onTrayCallback(kRightButtonUp);
    });
    for (int i = 0; i < 2; ++i)
      onUi([this] {
        view.choice = kCmdDevice0;
        core->onTrayCallback(kRightButtonUp);
      });
    onUi([this] { core->runCommand(kCmdReset); });
    onUi([this] { core->onLogKeys(); });
    ASSERT_TRUE(eventually(20s, [&] { return onUi([this] { return !log.writing(); }); })) << "the log never ended";
    if (onUi([this] { return log.outcome() == log::Outcome::Written; })) ++logsWritten;
  }
};

// Every log appended to the file is whole: each header is followed by its last table, and
// the file ends with a row end.
void expectCompleteLogs(const std::string& path, int logs) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str();
  auto count = [&](const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("Write Log Time"), logs) << path;
  EXPECT_EQ(count("Raw Count 5 :"), logs) << path;
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

struct CommandCase {
  const char* name;
  bool onDriver, onHid;
};

class CommandsDuringReports : public ::testing::TestWithParam<CommandCase> {};

// Touch-state reports keep arriving while the user's commands talk to the same controller:
// every command still succeeds and the reports still arrive.
TEST_P(CommandsDuringReports, EveryCommandSucceedsAndReportsKeepArriving) {
  const CommandCase& tc = GetParam();
  TrayRig rig(tc.onDriver, tc.onHid, true);
  if (tc.onDriver) {
    ASSERT_TRUE(eventually(5s, [&] { return rig.outstanding() == 2; }));
  }
  std::atomic<int> handled{0};
  rig.onUi([&] {
    rig.ui.onReport = [&](const uint8_t* r, size_t n) {
      ++handled;
      rig.core->onTouchReport(r, n);
    };
  });
  qzsim::Device& dev = tc.onDriver ? *rig.driver.load() : *rig.hid;
  {
    ReportStream stream([&](uint8_t b) { dev.raiseTouchState(b); });
    for (int round = 0; round < 3; ++round) rig.commands();
    stream.stop();
    EXPECT_GT(stream.raised(), 0);
  }
  const std::vector<std::pair<std::string, std::string>> errors = rig.onUi([&] { return rig.view.errors; });
  for (const auto& [text, caption] : errors) ADD_FAILURE() << "error box: " << caption << ": " << text;
  EXPECT_EQ(rig.logsWritten, 3);
  expectCompleteLogs(rig.onUi([&] { return rig.log.filePath(); }), 3);
  EXPECT_EQ(rig.onUi([&] { return rig.view.questions; }), 3);
  if (tc.onDriver) {
    EXPECT_GT(rig.delivered.load(), 0) << "no report reached the user-interface thread";
    EXPECT_TRUE(eventually(5s, [&] { return rig.outstanding() == 2; }));
  } else {
    EXPECT_GT(handled.load(), 0) << "no input report was read";
    EXPECT_EQ(TouchMonitor::runningThreads(), 0) << "a monitor thread without a driver controller";
  }
  rig.shutDown();
  EXPECT_TRUE(eventually(5s, [&] { return rig.outstanding() == 0; })) << "requests left outstanding";
  EXPECT_EQ(TouchMonitor::runningThreads(), 0);
  EXPECT_LE(TouchMonitor::mostThreadsAtOnce(), 1);
}

INSTANTIATE_TEST_SUITE_P(Threads, CommandsDuringReports,
                         ::testing::Values(CommandCase{"DriverTransport", true, false},
                                           CommandCase{"Hid", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// "&Show Notification" chosen over and over, faster than the monitor thread starts, while
// reports arrive: one monitor thread at most, none once off, and its requests go with it.
TEST(Threads, SettingToggledRapidly) {
  TrayRig rig(true, false, true);
  ASSERT_TRUE(eventually(5s, [&] { return rig.outstanding() == 2; }));
  {
    ReportStream stream([&](uint8_t b) { rig.driver.load()->raiseTouchState(b); });
    for (int i = 0; i < 200; ++i) {
      rig.ui.post([&] { rig.core->runCommand(kCmdNotify); });
      if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100 * (i % 7)));
      if (i % 50 == 0) {
        // Settled in the off state: no thread, nothing outstanding.
        EXPECT_EQ(rig.onUi([&] { return rig.setting.value; }), 0u);
        EXPECT_TRUE(eventually(5s, [&] { return TouchMonitor::runningThreads() == 0; })) << i;
        EXPECT_TRUE(eventually(5s, [&] { return rig.outstanding() == 0; })) << i;
      }
    }
  }
  EXPECT_EQ(rig.onUi([&] { return rig.setting.value; }), 1u);
  EXPECT_EQ(rig.onUi([&] { return rig.setting.writes; }), 200);
  EXPECT_TRUE(eventually(5s, [&] { return rig.outstanding() == 2; }));
  EXPECT_EQ(TouchMonitor::runningThreads(), 1);
  rig.shutDown();
  EXPECT_TRUE(eventually(5s, [&] { return rig.outstanding() == 0; }));
  EXPECT_EQ(TouchMonitor::runningThreads(), 0);
  EXPECT_EQ(TouchMonitor::mostThreadsAtOnce(), 1);
}

// The controller taken away and put back while reports arrive and the menu reads it: the
// controller is watched again each time, by one thread, and nothing is left open.
TEST(Threads, ControllerRemovedAndAddedBack) {
  TrayRig rig(true, false, true);
  ASSERT_TRUE(eventually(5s, [&] { return rig.outstanding() == 2; }));
  const int steady = openDescriptors();
  std::atomic<bool> stop{false};
  std::atomic<int> raised{0};
  std::thread hardware([&] {
    while (!stop) {
      if (qzsim::Device* d = rig.driver) d->raiseTouchState(raised++ % 2 ? kTouchEnabled : kTouchDisabled);
      std::this_thread::sleep_for(200us);
    }
  });
  std::thread user([&] {
    while (!stop) {
      rig.ui.post([&] {
        rig.view.choice = kCmdNone;
        rig.core->onTrayCallback(kRightButtonUp);
      });
      std::this_thread::sleep_for(3ms);
    }
  });
  struct Joined {
    std::atomic<bool>& stop;
    std::thread &a, &b;
    ~Joined() {
      stop = true;
      if (a.joinable()) a.join();
      if (b.joinable()) b.join();
    }
  } joined{stop, hardware, user};
  for (int pass = 0; pass < 8; ++pass) {
    qzsim::Device* old = rig.driver;
    old->remove();
    ASSERT_TRUE(eventually(5s, [&] { return !rig.watching(); })) << "removal not seen, pass " << pass;
    EXPECT_TRUE(eventually(5s, [&] { return TouchMonitor::runningThreads() == 0; })) << pass;
    rig.driver = &rig.sim.addDriverObject(qzsim::Controller{}, kObjectName);
    ASSERT_TRUE(eventually(5s, [&] { return rig.watching(); })) << "arrival not seen, pass " << pass;
    EXPECT_TRUE(eventually(5s, [&] { return rig.outstanding() == 2; })) << "not watched again, pass " << pass;
    EXPECT_EQ(old->outstandingNotifications(), 0u);
  }
  stop = true;
  hardware.join();
  user.join();
  // The user's last menus have been handled.
  rig.onUi([] {});
  EXPECT_GT(rig.delivered.load(), 0);
  EXPECT_LE(TouchMonitor::mostThreadsAtOnce(), 1);
  EXPECT_TRUE(eventually(5s, [&] { return openDescriptors() == steady; }))
      << openDescriptors() << " descriptors open, " << steady << " before";
  rig.shutDown();
  EXPECT_EQ(TouchMonitor::runningThreads(), 0);
}

}  // namespace
}  // namespace qz::toolkit::testing
