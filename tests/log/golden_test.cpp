// Whole logs of the shipped simulator scenarios, byte for byte: against files worked out
// independently of the program (golden/make_golden.py, from the scenario and the
// simulator's documented answers), and the tray program's way of running the log against
// `qztool log`'s. After a change to a scenario or to what the log writes, the script is
// changed and run again (python3 tests/log/golden/make_golden.py); the files are never taken
// from the program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "core/touch_monitor.h"
#include "log/headless.h"
#include "qzsim/simulator.h"

namespace qz::toolkit::log {
namespace {

const char* const kScenarios[] = {"krxm-one-chip", "krxm-master-two-slaves", "2k"};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The value of every row that starts with `label` (after a stored line end) becomes
// "<masked>".
std::string maskRow(std::string file, const std::string& label) {
  const std::string key = "\r\n" + label;
  for (size_t at = file.find(key); at != std::string::npos; at = file.find(key, at + 1)) {
    size_t from = at + key.size(), to = file.find("\r\n", from);
    if (to == std::string::npos) break;
    file.replace(from, to - from, "<masked>");
  }
  return file;
}

std::string maskTime(const std::string& file) { return maskRow(file, "Write Log Time : "); }
std::string masked(const std::string& file) { return maskRow(maskTime(file), "OS Version : "); }

// Where two files first differ, as a line number and both lines, for the failure message.
std::string firstDifference(const std::string& want, const std::string& got) {
  size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) ++i;
  if (i == want.size() && i == got.size()) return "identical";
  size_t lineStart = want.rfind('\n', i == 0 ? 0 : i - 1);
  lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
  int line = 1;
  for (size_t k = 0; k < lineStart; ++k) line += want[k] == '\n';
  auto lineAt = [&](const std::string& s) {
    if (lineStart >= s.size()) return std::string("<end of file>");
    size_t end = s.find('\n', lineStart);
    return s.substr(lineStart, end == std::string::npos ? std::string::npos : end - lineStart);
  };
  return "line " + std::to_string(line) + "\n  expected: " + lineAt(want) + "\n  written:  " + lineAt(got) +
         "\n  (sizes " + std::to_string(want.size()) + " and " + std::to_string(got.size()) + ")";
}

// The program's directory is the test's; the rest is the real system's.
class DirEnvironment : public SystemEnvironment {
 public:
  std::string dir;
  std::string programDirectory() override { return dir; }
  std::string dataDirectory() override { return dir + "data/"; }
};

class ScenarioTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qzgold-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
  }
  void TearDown() override {
    sim_.reset();
    std::string cmd = "rm -rf '" + root_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  // A fresh simulator serving the scenario (frames depend on how many were asked for).
  void serve() {
    sim_.reset();
    sim_ = std::make_unique<qzsim::Simulator>();
    sim_->loadScenario(std::string(QZ_SCENARIOS) + "/" + GetParam() + ".scenario");
    sim_->start();
    sim_->exportEnvironment();
  }

  // A directory of its own for one run's file.
  std::string freshDir(const char* name) {
    std::string dir = root_ + "/" + name + "/";
    mkdir(dir.c_str(), 0755);
    return dir;
  }

  std::string golden() { return readFile(std::string(QZ_LOG_GOLDEN) + "/" + GetParam() + ".csv"); }

  std::string root_;
  std::unique_ptr<qzsim::Simulator> sim_;
};

using GoldenLog = ScenarioTest;

TEST_P(GoldenLog, FileIsTheExpectedLogByteForByte) {
  const std::string want = golden();
  ASSERT_FALSE(want.empty()) << "no expected file for " << GetParam();
  serve();
  DirEnvironment env;
  env.dir = freshDir("bin");
  HeadlessLog run(env);
  run.run(false);
  ASSERT_EQ(run.log().outcome(), Outcome::Written) << run.log().message();
  EXPECT_FALSE(run.log().endedEarly()) << run.log().message();
  const std::string got = masked(readFile(run.log().filePath()));
  EXPECT_TRUE(got == want) << GetParam() << ": " << firstDifference(want, got);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, GoldenLog, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

// ---- The tray program's way -------------------------------------------------------------

// Window timers on a virtual clock, each due tick routed to the core as the window's timer
// handling routes it.
class ClockTimers : public Timers {
 public:
  ToolKitCore* core = nullptr;
  int64_t now = 0;
  std::map<int, std::pair<int, int64_t>> running;  // id -> period, due
  void start(int id, int periodMs) override { running[id] = {periodMs, now + periodMs}; }
  void stop(int id) override { running.erase(id); }
  // Fires the next due timer; false when none runs.
  bool fireNext() {
    auto next = running.end();
    for (auto it = running.begin(); it != running.end(); ++it)
      if (next == running.end() || it->second.second < next->second.second) next = it;
    if (next == running.end()) return false;
    now = next->second.second;
    next->second.second += next->second.first;
    core->onTimer(next->first);
    return true;
  }
};

// The user-interface thread's queue: the monitor thread and the notification callback post
// here, the test's loop runs what was posted.
class QueueDispatcher : public Dispatcher {
 public:
  void post(std::function<void()> fn) override {
    std::lock_guard<std::mutex> l(mu_);
    queue_.push_back(std::move(fn));
  }
  void runAll() {
    for (;;) {
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> l(mu_);
        if (queue_.empty()) return;
        fn = std::move(queue_.front());
        queue_.pop_front();
      }
      fn();
    }
  }

 private:
  std::mutex mu_;
  std::deque<std::function<void()>> queue_;
};

// The tray menu answers "&Log FW Info".
class TrayView : public HeadlessView {
 public:
  int menus = 0;
  int trackPopupMenu(const MenuState& m) override {
    ++menus;
    return m.logEnabled ? kCmdLog : 0;
  }
};

class OnSetting : public SettingStore {
 public:
  uint32_t read() override { return 1; }  // touch notifications on: the monitor runs
  void write(uint32_t) override {}
};

// The tray program's core as its window wires it: the real libraries, the monitor thread
// on the vendor-driver controller, the log started from the tray menu and ticked by timer 4.
struct TrayRun {
  TrayView view;
  ClockTimers timers;
  DlLibraryLoader loader;
  OnSetting setting;
  QueueDispatcher dispatcher;
  std::unique_ptr<ToolKitCore> core;
  TouchMonitor monitor{dispatcher, [this](uint8_t report) { core->onTouchStateMessage(report); }};
  FirmwareLog log;

  explicit TrayRun(LogEnvironment& env) : log(env) {
    core = std::make_unique<ToolKitCore>(CoreDeps{view, timers, loader, setting, monitor, dispatcher});
    timers.core = core.get();
    core->setLogComponent(&log);
    core->create(false, false);
  }
  ~TrayRun() {
    core->closeProgram();
    monitor.stopAndJoin();
    dispatcher.runAll();
    core.reset();  // before the log it refers to
  }
  // A right click on the icon, the menu's log command, then every tick until timer 4 stops.
  void logFromTrayMenu() {
    core->onTrayCallback(kRightButtonUp);
    while (timers.running.count(kTimerLog)) {
      dispatcher.runAll();
      timers.fireNext();
    }
    dispatcher.runAll();
  }
};

using TrayAndQztool = ScenarioTest;

TEST_P(TrayAndQztool, WriteTheSameFile) {
#ifndef QZTOOL_PATH
  GTEST_SKIP() << "qztool is not built";
#else
  serve();
  DirEnvironment trayEnv;
  trayEnv.dir = freshDir("tray");
  std::string trayFile;
  {
    TrayRun tray(trayEnv);
    tray.logFromTrayMenu();
    ASSERT_EQ(tray.view.menus, 1);
    // A vendor-driver controller is watched by the monitor thread while the log runs.
    if (tray.core->monitorDevice() != kNoDevice) {
      EXPECT_TRUE(tray.monitor.active());
    }
    ASSERT_EQ(tray.log.outcome(), Outcome::Written) << tray.log.message();
    trayFile = readFile(tray.log.filePath());
  }

  serve();
  const std::string cliDir = freshDir("cli");
  const std::string cmd = std::string("'") + QZTOOL_PATH + "' log --dir '" + cliDir + "' > '" + root_ + "/out' 2>&1";
  int status = system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(root_ + "/out");
  const std::string printed = readFile(root_ + "/out");
  ASSERT_EQ(printed.rfind(cliDir, 0), 0u) << printed;
  const std::string cliFile = readFile(printed.substr(0, printed.find('\n')));

  ASSERT_FALSE(trayFile.empty());
  EXPECT_TRUE(maskTime(trayFile) == maskTime(cliFile)) << firstDifference(maskTime(cliFile), maskTime(trayFile));
  // And both are the expected log.
  EXPECT_TRUE(masked(trayFile) == golden()) << firstDifference(golden(), masked(trayFile));
#endif
}

INSTANTIATE_TEST_SUITE_P(Scenarios, TrayAndQztool, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

}  // namespace
}  // namespace qz::toolkit::log
