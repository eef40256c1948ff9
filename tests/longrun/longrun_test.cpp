// QZToolKit left running for a long stretch on a throw-away desktop (Xvfb, session bus,
// trayer) against simulated controllers, with a scripted stream of touch-state reports
// (palm: a short disable; water: one held until the window shows; enabled), controllers
// removed and added back on both transports, resets and logs. Its resident memory and open
// descriptors must come back to where they were after the warm-up, and every log must be
// whole. QZ_LONGRUN_SECONDS sets the length (default from the build, 600).
#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <sstream>

#include "desktop_session.h"
#include "qzsim/simulator.h"

namespace qz::toolkit::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kAbnormalTitle = "^QZToolKit : KRX Device Touch Disabled$";
const char* const kResetTitle = "^QZToolKit : Reset Touch Panel$";
const char* const kLogTitle = "^QZToolKit : Write log\\. Please wait\\.$";
constexpr char kObjectName[] = "QZUKRXM_API0";

long statusKb(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return atol(line.c_str() + strlen(key));
  return -1;
}

int openDescriptors(pid_t pid) {
  int n = 0;
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Waits stretch under a wrapping tool, which slows the program down.
int g_slowdown = 1;
bool waitFor(int ms, const std::function<bool()>& cond) { return eventually(ms * g_slowdown, cond); }

int seconds() {
  const char* s = getenv("QZ_LONGRUN_SECONDS");
  int v = s && *s ? atoi(s) : QZ_LONGRUN_DEFAULT_SECONDS;
  return v > 0 ? v : QZ_LONGRUN_DEFAULT_SECONDS;
}

std::string firstVisible(const char* title) {
  auto w = DesktopSession::windows(title);
  return w.empty() ? std::string() : w.front();
}

class LongRun : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop_ = std::make_unique<DesktopSession>();
    if (!desktop_->skipWhy.empty()) GTEST_SKIP() << desktop_->skipWhy;
    // The program runs from a directory of its own, so its logs land there and not in the
    // build tree; its libraries are found through ../lib as when installed.
    const std::string& d = desktop_->dir;
    mkdir((d + "/bin").c_str(), 0700);
    program_ = d + "/bin/QZToolKit";
    ASSERT_EQ(shell("cp '" QZTOOLKIT_PATH "' '" + program_ + "' && ln -s '" QZ_LIB_DIR "' '" + d + "/lib' && echo ok"),
              "ok\n");
    mkdir((d + "/config/Tarvanel").c_str(), 0700);
    std::ofstream(d + "/config/Tarvanel/ToolKit.conf")
        << "[General]\nToolKit%20Show%20Disable%20Touch%20Message%20Window=1\n";
    sim_ = std::make_unique<qzsim::Simulator>(qzsim::SimulatorOptions{d + "/sim", {}, {}});
    driver_ = &sim_->addDriverObject(qzsim::Controller{}, kObjectName);
    hid_ = &sim_->addHid(qzsim::Controller{});
    sim_->start();
    sim_->exportEnvironment();
    log_ = d + "/toolkit.log";
    // QZ_LONGRUN_WRAPPER runs the program under a tool, e.g. "heaptrack -o /tmp/toolkit" to
    // see where memory goes; the figures are then the program's, found as the tool's child.
    // Two runs of different lengths compared (heaptrack_print --diff) show what grows.
    std::vector<std::string> argv;
    if (const char* w = getenv("QZ_LONGRUN_WRAPPER"); w && *w) {
      std::istringstream words(w);
      for (std::string word; words >> word;) argv.push_back(word);
    }
    argv.push_back(program_);
    // A tool that wraps dlopen hides the program's run path from it.
    if (argv.size() > 1) {
      setenv("LD_LIBRARY_PATH", QZ_LIB_DIR, 1);
      g_slowdown = 5;
    }
    toolkit_ = spawn(argv, false, log_);
    pid_ = toolkit_.pid;
    if (argv.size() > 1) {
      ASSERT_TRUE(waitFor(15000, [&] {
        pid_ = atoi(shell("pgrep -P " + std::to_string(toolkit_.pid) + " -x QZToolKit").c_str());
        return pid_ > 0;
      })) << "the program did not start under " << argv.front();
    }
    ASSERT_TRUE(waitFor(15000, [&] { return watched(); })) << "the monitor thread never waited; see " << log_;
    ASSERT_TRUE(waitFor(15000, [&] { return readsInput(*hid_); })) << "no input reports read; see " << log_;
  }
  void TearDown() override {
    if (pid_ > 0 && pid_ != toolkit_.pid) {
      // Killed, not ended: the tool then sees every block still held as one that leaked.
      kill(pid_, SIGKILL);
      toolkit_.wait(60000);
    }
    toolkit_.stop();
    sim_.reset();
    desktop_.reset();
  }

  bool watched() { return driver_->outstandingNotifications() == 2; }
  static bool readsInput(qzsim::Device& d) {
    for (const qzsim::Request& r : d.requests())
      if (r.op == qzsim::kReadInput) return true;
    return false;
  }
  void raise(bool onHid, uint8_t state) { (onHid ? hid_ : driver_)->raiseTouchState(state); }

  // Every event waits for what the program must show, so a stuck program fails here.
  void palm(bool onHid) {
    raise(onHid, 0x8A);
    std::this_thread::sleep_for(milliseconds(300));
    raise(onHid, 0x0A);
    std::this_thread::sleep_for(milliseconds(700));
    ++counts_["palm"];
    ++counts_["enabled"];
  }
  void water(bool onHid) {
    raise(onHid, 0x8A);
    ASSERT_TRUE(waitFor(6000, [] { return !firstVisible(kAbnormalTitle).empty(); })) << "no abnormal window";
    raise(onHid, 0x0A);
    ASSERT_TRUE(waitFor(6000, [] { return firstVisible(kAbnormalTitle).empty(); })) << "abnormal window stays";
    ++counts_["water"];
    ++counts_["enabled"];
  }
  void burst() {
    for (int i = 0; i < 20; ++i) {
      raise(i % 2, i % 4 < 2 ? 0x8A : 0x0A);
      std::this_thread::sleep_for(milliseconds(20));
    }
    raise(false, 0x0A);
    raise(true, 0x0A);
    counts_["burst reports"] += 22;
    std::this_thread::sleep_for(milliseconds(700));
  }

  // The OK button of the reset and log displays, then the window goes. The pointer comes
  // from elsewhere each time, so the button sees it enter.
  void pressOk(const std::string& window) {
    auto gone = [&] {
      auto v = DesktopSession::windows(".*");
      return std::find(v.begin(), v.end(), window) == v.end();
    };
    for (int attempt = 0; attempt < 3 && !gone(); ++attempt) {
      DesktopSession::Geometry g = DesktopSession::geometry(window);
      const int x = 156 * g.w / 196, y = 54 * (g.h + 50) / 111;
      shell("xdotool mousemove 0 0 sleep 0.1 mousemove --window " + window + " " + std::to_string(x) + " " +
            std::to_string(y) + " sleep 0.1 click 1 2>/dev/null");
      waitFor(2000, gone);
    }
    ASSERT_TRUE(gone()) << "OK did not close the display";
  }

  void reset() {
    int status = -1;
    shell("'" + program_ + "' --reset 2>>'" + log_ + "'", &status);
    ASSERT_EQ(status, 0);
    std::string confirm;
    ASSERT_TRUE(waitFor(6000, [&] { return !(confirm = firstVisible(kResetTitle)).empty(); }))
        << "no confirmation";
    shell("xdotool windowfocus --sync " + confirm + " 2>/dev/null; xdotool key Return");
    std::string done;
    ASSERT_TRUE(waitFor(6000, [&] {
      for (const std::string& w : DesktopSession::windows(kResetTitle))
        if (w != confirm) done = w;
      return !done.empty();
    })) << "the reset did not finish";
    pressOk(done);
    ++counts_["reset"];
  }

  std::string logFile() {
    std::string found;
    if (DIR* d = opendir((desktop_->dir + "/bin").c_str())) {
      while (dirent* e = readdir(d))
        if (strstr(e->d_name, " Firmware Information.csv")) found = desktop_->dir + "/bin/" + e->d_name;
      closedir(d);
    }
    return found;
  }
  void writeLog() {
    const int before = logs_;
    int status = -1;
    shell("'" + program_ + "' --log 2>>'" + log_ + "'", &status);
    ASSERT_EQ(status, 0);
    std::string window;
    ASSERT_TRUE(waitFor(10000, [&] { return !(window = firstVisible(kLogTitle)).empty(); })) << "no log display";
    ASSERT_TRUE(waitFor(30000, [&] {
      std::string f = logFile();
      return !f.empty() && occurrences(readAll(f), "Raw Count 5 :") == before + 1;
    })) << "the log did not end";
    logs_ = before + 1;
    pressOk(window);
    ++counts_["log"];
  }

  void replaceDriver() {
    driver_->remove();
    ++counts_["removal"];
    std::this_thread::sleep_for(milliseconds(500));
    // Reports while it is away go nowhere.
    driver_ = &sim_->addDriverObject(qzsim::Controller{}, kObjectName);
    ++counts_["arrival"];
    ASSERT_TRUE(waitFor(10000, [&] { return watched(); })) << "the controller is not watched again";
  }
  void replaceHid() {
    hid_->remove();
    ++counts_["removal"];
    std::this_thread::sleep_for(milliseconds(500));
    hid_ = &sim_->addHid(qzsim::Controller{});
    ++counts_["arrival"];
    ASSERT_TRUE(waitFor(10000, [&] { return readsInput(*hid_); })) << "the touch screen is not read again";
  }

  void cycle() {
    for (bool onHid : {false, true}) {
      palm(onHid);
      water(onHid);
      palm(onHid);
    }
    burst();
    writeLog();
    reset();
    replaceDriver();
    palm(false);
    replaceHid();
    palm(true);
  }

  // Steady state: both controllers present and watched, no display, nothing running.
  void settle() {
    raise(false, 0x0A);
    raise(true, 0x0A);
    ASSERT_TRUE(waitFor(5000, [&] { return watched(); }));
    std::this_thread::sleep_for(milliseconds(3000));
  }

  std::unique_ptr<DesktopSession> desktop_;
  std::unique_ptr<qzsim::Simulator> sim_;
  qzsim::Device* driver_ = nullptr;
  qzsim::Device* hid_ = nullptr;
  std::string program_, log_;
  Child toolkit_;
  pid_t pid_ = -1;  // the program itself
  std::map<std::string, int> counts_;
  int logs_ = 0;
};

TEST_F(LongRun, MemoryAndDescriptorsStayFlatAndEveryLogIsWhole) {
  const pid_t pid = pid_;
  const int length = seconds();
  ASSERT_NO_FATAL_FAILURE(cycle());  // warm-up: every path once
  ASSERT_NO_FATAL_FAILURE(settle());
  const long rssStart = statusKb(pid, "VmRSS:");
  const int fdStart = openDescriptors(pid);

  std::atomic<bool> sampling{true};
  std::atomic<long> rssPeak{rssStart};
  std::thread sampler([&] {
    while (sampling) {
      long v = statusKb(pid, "VmRSS:");
      if (v > rssPeak) rssPeak = v;
      std::this_thread::sleep_for(milliseconds(500));
    }
  });
  struct Stop {
    std::atomic<bool>& flag;
    std::thread& t;
    ~Stop() {
      flag = false;
      if (t.joinable()) t.join();
    }
  } stop{sampling, sampler};

  const auto end = Clock::now() + std::chrono::seconds(length);
  int cycles = 0;
  std::vector<long> trend;  // after each cycle
  while (Clock::now() < end) {
    ASSERT_TRUE(toolkit_.running()) << "the program ended; see " << log_;
    ASSERT_NO_FATAL_FAILURE(cycle()) << "cycle " << cycles;
    ++cycles;
    trend.push_back(statusKb(pid, "VmRSS:"));
  }
  ASSERT_NO_FATAL_FAILURE(settle());
  const long rssEnd = statusKb(pid, "VmRSS:");
  const int fdEnd = openDescriptors(pid);
  sampling = false;
  sampler.join();

  std::ostringstream figures;
  figures << "QZToolKit long run: " << length << " s, " << cycles << " cycles after the warm-up\n"
          << "  RSS start " << rssStart << " kB, end " << rssEnd << " kB, peak " << rssPeak << " kB, growth "
          << rssEnd - rssStart << " kB\n"
          << "  descriptors start " << fdStart << ", end " << fdEnd << "\n  RSS after cycles (kB):";
  const size_t step = std::max<size_t>(1, trend.size() / 30);
  for (size_t i = step - 1; i < trend.size(); i += step) figures << " " << i + 1 << ":" << trend[i];
  figures << "\n  events:";
  for (const auto& [what, n] : counts_) figures << " " << what << " " << n << ";";
  figures << "\n";
  printf("%s", figures.str().c_str());
  std::ofstream(QZ_LONGRUN_REPORT) << figures.str();

  EXPECT_TRUE(toolkit_.running());
  EXPECT_LT(rssEnd - rssStart, 8 * 1024) << "resident memory grew";
  EXPECT_EQ(fdEnd, fdStart) << "descriptors leaked";
  const std::string text = readAll(logFile());
  EXPECT_EQ(occurrences(text, "Write Log Time"), logs_);
  EXPECT_EQ(occurrences(text, "Raw Count 5 :"), logs_) << "a log without its last table";
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

}  // namespace
}  // namespace qz::toolkit::testing
