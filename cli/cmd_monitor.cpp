// qztool monitor: follows the controller's touch state (enabled, or disabled by a palm or
// water on the panel) and prints one timestamped line per change with running counts.
//
// Reports come on the road the tray program watches for the controller's transport: the
// vendor driver's touch-state notifications on a connection of our own to the device
// object (the tray's monitor thread does the waiting), or the input reports of the HID
// interface, whose byte after the report id is the touch state. Both roads hand their
// reports to the main thread, which alone formats and writes.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/raw_input.h"
#include "core/touch_monitor.h"
#include "hid/hid_layer.h"
#include "qztool.h"

namespace qztool {
namespace {

constexpr uint8_t kEnabled = 0x0A;
constexpr uint8_t kDisabled = 0x8A;

using Clock = std::chrono::steady_clock;

constexpr char kJournalSocket[] = "/run/systemd/journal/socket";

struct Options {
  DeviceChoice choice;
  std::string log;
  bool syslog = false;
  int count = 0;         // 0: no limit
  double seconds = 0;    // 0: no limit
};

// Work handed to the main thread, which wakes on the event descriptor.
class MainQueue : public qz::toolkit::Dispatcher {
 public:
  MainQueue() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~MainQueue() override {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }
  void post(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(fn));
    }
    uint64_t one = 1;
    (void)!write(fd_, &one, sizeof one);
  }
  void runPending() {
    uint64_t n;
    (void)!read(fd_, &n, sizeof n);
    for (;;) {
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty()) return;
        fn = std::move(queue_.front());
        queue_.pop_front();
      }
      fn();
    }
  }
  void drop() {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
  }

 private:
  int fd_;
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
};

// Input reports of one HID interface on a thread of its own, through the same HID layer the
// device access library uses (a second opening of the interface).
class HidWatch {
 public:
  HidWatch(MainQueue& queue, std::function<void(uint8_t)> report, std::function<void()> gone)
      : queue_(queue), report_(std::move(report)), gone_(std::move(gone)) {}
  ~HidWatch() { stop(); }

  bool start(const std::string& path) {
    handle_ = qz::hid::open(path.c_str());
    if (handle_ == qz::hid::kNoHandle) return false;
    ids_ = touchReportIds(path, &filter_);
    thread_ = std::thread([this] { loop(); });
    return true;
  }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (handle_ != qz::hid::kNoHandle) qz::hid::close(handle_);
    handle_ = qz::hid::kNoHandle;
  }

 private:
  // A hidraw interface's touch-screen collection, from its report descriptor: when it numbers
  // its reports, only those of the collection carry the touch state.
  static std::vector<uint8_t> touchReportIds(const std::string& path, bool* filter) {
    *filter = false;
    const size_t hash = path.rfind('#');
    const std::string node = hash == std::string::npos ? "" : path.substr(hash + 1);
    if (node.rfind("hidraw", 0) != 0 || node.find('/') != std::string::npos) return {};
    std::ifstream in("/sys/class/hidraw/" + node + "/device/report_descriptor", std::ios::binary);
    const std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const qz::toolkit::TouchCollection tc =
        qz::toolkit::parseReportDescriptor(reinterpret_cast<const uint8_t*>(d.data()), d.size());
    *filter = tc.present && tc.numbered;
    return tc.reportIds;
  }

  void loop() {
    uint8_t buf[1024];
    while (!stop_) {
      // A short wait, so that stop() is seen soon; an unanswered request stays pending.
      const int n = qz::hid::readInput(handle_, buf, sizeof buf, 100);
      if (n < 0) {
        queue_.post(gone_);
        return;
      }
      if (n < 2) continue;
      bool wanted = !filter_;
      for (uint8_t id : ids_) wanted = wanted || id == buf[0];
      if (wanted) {
        const uint8_t byte = buf[1];
        queue_.post([this, byte] { report_(byte); });
      }
    }
  }

  MainQueue& queue_;
  std::function<void(uint8_t)> report_;
  std::function<void()> gone_;
  intptr_t handle_ = qz::hid::kNoHandle;
  bool filter_ = false;
  std::vector<uint8_t> ids_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Local time with milliseconds and the offset from UTC: 2025-03-14T09:26:53.589+01:00.
std::string timestamp() {
  const auto now = std::chrono::system_clock::now();
  const time_t t = std::chrono::system_clock::to_time_t(now);
  const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  tm local{};
  localtime_r(&t, &local);
  char date[32], zone[8];
  strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  strftime(zone, sizeof zone, "%z", &local);  // +0100
  char out[48];
  snprintf(out, sizeof out, "%s.%03ld%.3s:%.2s", date, ms, zone, zone + 3);
  return out;
}

std::string seconds(double s) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.3f", s);
  return buf;
}

class Session {
 public:
  Session(const Options& o, const Controller& c) : o_(o), c_(c), start_(Clock::now()) {}
  ~Session() {
    if (log_) fclose(log_);
  }

  bool openLog() {
    // The journal library drops messages silently when journald does not run, so look first.
    struct stat st {};
    if (o_.syslog && (stat(kJournalSocket, &st) != 0 || !S_ISSOCK(st.st_mode))) {
      journalFailed_ = true;
      fprintf(stderr, "qztool monitor: the system log cannot be reached (journald does not run here: no %s); lines "
              "go to the other outputs only\n", kJournalSocket);
    }
    if (o_.log.empty()) return true;
    log_ = fopen(o_.log.c_str(), "a");
    if (!log_) {
      fprintf(stderr, "qztool monitor: cannot open the log file %s for appending: %s\n", o_.log.c_str(),
              strerror(errno));
      return false;
    }
    setvbuf(log_, nullptr, _IOLBF, 0);
    return true;
  }

  void begin() {
    const std::string now = timestamp();
    const std::string text = now + " watching " + c_.model + " (" + c_.path + ", " + c_.transport +
                             ") for touch-state changes";
    fprintf(stderr, "qztool monitor: watching %s (%s, %s); the touch state is unknown until the controller "
            "reports a change; Ctrl+C ends with a summary\n", c_.model.c_str(), c_.path.c_str(), c_.transport.c_str());
    if (o_.choice.json)
      emitJson("{\"time\":\"" + now + "\",\"event\":\"start\",\"path\":\"" + jsonEscape(c_.path) + "\",\"model\":\"" +
               jsonEscape(c_.model) + "\",\"transport\":\"" + c_.transport + "\"}");
    toLog(text);
    toJournal(text, LOG_INFO, "start");
  }

  // One touch-state report. Other values and repeats of the present state change nothing.
  void report(uint8_t byte) {
    if (byte != kEnabled && byte != kDisabled) return;
    ++reports_;
    const int state = byte == kDisabled ? 1 : 0;
    if (state == state_) return;
    const Clock::time_point now = Clock::now();
    double episode = -1;
    if (state_ == 1) {
      episode = std::chrono::duration<double>(now - disabledSince_).count();
      disabledTotal_ += episode;
    }
    state_ = state;
    ++changes_;
    if (state == 1) {
      ++disabledCount_;
      disabledSince_ = now;
    } else {
      ++enabledCount_;
    }
    const std::string time = timestamp();
    std::string text = time + (state == 1 ? " touch disabled (palm or water on the panel)" : " touch enabled");
    if (episode >= 0) text += " after " + seconds(episode) + " s disabled";
    text += "; changes " + std::to_string(changes_) + ", disabled " + std::to_string(disabledCount_) +
            ", enabled " + std::to_string(enabledCount_) + ", " + seconds(disabledTotal_) + " s disabled in all";
    if (o_.choice.json) {
      std::string j = "{\"time\":\"" + time + "\",\"event\":\"" + (state == 1 ? "disabled" : "enabled") +
                      "\",\"report\":" + std::to_string(byte) + ",\"changes\":" + std::to_string(changes_) +
                      ",\"disabledCount\":" + std::to_string(disabledCount_) +
                      ",\"enabledCount\":" + std::to_string(enabledCount_) +
                      ",\"disabledSeconds\":" + seconds(disabledTotal_);
      if (episode >= 0) j += ",\"episodeSeconds\":" + seconds(episode);
      emitJson(j + "}");
    } else {
      printf("%s\n", text.c_str());
      fflush(stdout);
    }
    toLog(text);
    toJournal(text, state == 1 ? LOG_NOTICE : LOG_INFO, state == 1 ? "disabled" : "enabled");
  }

  int changes() const { return changes_; }

  // The summary line; a disabled period still running counts up to now.
  void end(const char* reason, const char* why) {
    const Clock::time_point now = Clock::now();
    const double disabled = disabledTotal_ + (state_ == 1 ? std::chrono::duration<double>(now - disabledSince_).count() : 0);
    const double watched = std::chrono::duration<double>(now - start_).count();
    const char* stateName = state_ == 1 ? "disabled" : state_ == 0 ? "enabled" : "unknown";
    const std::string time = timestamp();
    const std::string text = time + " end (" + why + "): " + std::to_string(changes_) + " changes, disabled " +
                             std::to_string(disabledCount_) + ", enabled " + std::to_string(enabledCount_) + ", " +
                             seconds(disabled) + " s disabled in " + seconds(watched) + " s watched; touch " +
                             stateName + " now";
    if (o_.choice.json) {
      emitJson("{\"time\":\"" + time + "\",\"event\":\"end\",\"reason\":\"" + reason + "\",\"changes\":" +
               std::to_string(changes_) + ",\"reports\":" + std::to_string(reports_) +
               ",\"disabledCount\":" + std::to_string(disabledCount_) +
               ",\"enabledCount\":" + std::to_string(enabledCount_) + ",\"disabledSeconds\":" + seconds(disabled) +
               ",\"watchedSeconds\":" + seconds(watched) + ",\"state\":\"" + stateName + "\"}");
    } else {
      printf("%s\n", text.c_str());
      fflush(stdout);
    }
    toLog(text);
    toJournal(text, LOG_INFO, "end");
  }

 private:
  void emitJson(const std::string& line) {
    printf("%s\n", line.c_str());
    fflush(stdout);
  }
  void toLog(const std::string& text) {
    if (log_ && fprintf(log_, "%s\n", text.c_str()) < 0 && !logFailed_) {
      logFailed_ = true;
      fprintf(stderr, "qztool monitor: cannot write to %s: %s\n", o_.log.c_str(), strerror(errno));
    }
  }
  void toJournal(const std::string& text, int priority, const char* event) {
    if (!o_.syslog || journalFailed_) return;
    const int r = sd_journal_send("MESSAGE=qztool monitor: %s", text.c_str(), "PRIORITY=%d", priority,
                                  "SYSLOG_IDENTIFIER=qztool", "QZ_EVENT=%s", event, "QZ_DEVICE=%s", c_.path.c_str(),
                                  "QZ_MODEL=%s", c_.model.c_str(), nullptr);
    if (r < 0) {
      journalFailed_ = true;  // said once; the other outputs go on
      fprintf(stderr, "qztool monitor: the system log cannot be reached (%s); lines go to the other outputs only\n",
              strerror(-r));
    }
  }

  const Options& o_;
  const Controller& c_;
  FILE* log_ = nullptr;
  bool logFailed_ = false, journalFailed_ = false;
  Clock::time_point start_, disabledSince_;
  int state_ = -1;  // -1 unknown, 0 enabled, 1 disabled
  int changes_ = 0, disabledCount_ = 0, enabledCount_ = 0;
  long reports_ = 0;
  double disabledTotal_ = 0;
};

int run(const Options& o) {
  // SIGINT and SIGTERM arrive through a descriptor; threads started below inherit the mask.
  sigset_t sigs, old;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &sigs, &old);
  struct Restore {
    sigset_t mask;
    int fd;
    ~Restore() {
      if (fd >= 0) close(fd);
      pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    }
  } restore{old, signalfd(-1, &sigs, SFD_CLOEXEC | SFD_NONBLOCK)};
  if (restore.fd < 0) {
    fprintf(stderr, "qztool monitor: cannot watch for signals: %s\n", strerror(errno));
    return kFailure;
  }

  Controller c;
  if (int rc = openController(o.choice, "monitor", &c)) return rc;
  if (c.transport == "serial") {
    fprintf(stderr, "qztool monitor: %s on the serial line %s sends no touch-state reports; watch it through the "
            "vendor driver (--driver) or on USB-HID (--hid)\n", c.model.c_str(), c.path.c_str());
    return kUsage;
  }
  Session session(o, c);
  if (!session.openLog()) return kFailure;

  MainQueue queue;
  bool gone = false;
  auto onReport = [&session](uint8_t b) { session.report(b); };
  qz::toolkit::TouchMonitor driverWatch(queue, onReport);
  HidWatch hidWatch(queue, onReport, [&gone] { gone = true; });
  const bool driver = c.transport != "hid";
  if (driver) {
    driverWatch.start(c.handle);
  } else if (!hidWatch.start(c.path)) {
    fprintf(stderr, "qztool monitor: cannot open %s for its input reports: %s\n", c.path.c_str(),
            strerror(qz::hid::lastOpenError()));
    return qz::hid::lastOpenError() == EACCES ? kPermission : kFailure;
  }
  session.begin();

  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(o.seconds > 0 ? long(std::ceil(o.seconds * 1000)) : 0);
  const char* reason = nullptr;
  const char* why = nullptr;
  int rc = kOk;
  while (!reason) {
    int wait = 250;  // the driver watch's end is noticed by looking
    if (o.seconds > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        reason = "time", why = "time is up";
        break;
      }
      wait = int(std::min<long long>(wait, left + 1));
    }
    pollfd fds[2] = {{restore.fd, POLLIN, 0}, {queue.fd(), POLLIN, 0}};
    const int n = poll(fds, 2, wait);
    if (n < 0 && errno != EINTR) {
      reason = "error", why = "waiting failed", rc = kFailure;
      break;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      (void)!read(restore.fd, &info, sizeof info);
      reason = "signal", why = info.ssi_signo == SIGINT ? "interrupted" : "terminated";
      break;
    }
    if (fds[1].revents & POLLIN) queue.runPending();
    if (o.count > 0 && session.changes() >= o.count) {
      reason = "count", why = "count reached";
    } else if (gone || (driver && !driverWatch.active())) {
      reason = "gone", why = "the controller stopped reporting", rc = kFailure;
      fprintf(stderr, "qztool monitor: %s (%s) went away or stopped delivering touch-state reports\n", c.model.c_str(),
              c.path.c_str());
    }
  }
  driverWatch.stopAndJoin();
  hidWatch.stop();
  queue.drop();  // reports that came after the end are not counted
  session.end(reason, why);
  return rc;
}

}  // namespace

void addMonitorCommand(CLI::App& app, int* exitCode) {
  auto* cmd = app.add_subcommand("monitor", "Follow the touch state: one timestamped line per change (touch disabled "
                                            "by a palm or water, enabled again), with running counts");
  auto* o = optionStorage<Options>();
  addDeviceOptions(cmd, &o->choice);
  cmd->add_flag("--json", o->choice.json, "one JSON object per line instead of text (schema in the README)");
  cmd->add_option("--log", o->log, "also append the text lines to FILE")->type_name("FILE");
  cmd->add_flag("--syslog", o->syslog, "also send the lines to the system log (journald, identifier qztool)");
  cmd->add_option("--count", o->count, "end after N changes")->check(CLI::Range(1, 1000000000))->type_name("N");
  cmd->add_option("--for", o->seconds, "end after SECONDS (fractions allowed)")->check(CLI::PositiveNumber)->type_name("SECONDS");
  cmd->footer(
      "Watches the controller the device options choose: behind the vendor driver its touch-state\n"
      "notifications, on USB-HID its input reports. The state is unknown until the first report.\n"
      "Ends on Ctrl+C or SIGTERM, after --count changes or --for seconds, with a summary line\n"
      "(changes, times disabled and enabled, time spent disabled). Exit 0, or 1 when the controller\n"
      "goes away.\n\n"
      "Examples:\n"
      "  qztool monitor                              # until Ctrl+C\n"
      "  qztool monitor --log ~/touch.log --syslog   # keep a record, e.g. in a user service\n"
      "  qztool monitor --json --for 60 | jq -c 'select(.event==\"disabled\")'\n"
      "  qztool monitor --hid --count 2              # one palm on the panel and off again\n");
  cmd->callback([o, exitCode] { *exitCode = run(*o); });
}

}  // namespace qztool
