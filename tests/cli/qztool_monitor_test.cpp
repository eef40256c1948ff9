// qztool monitor against simulated controllers whose touch state the test changes: behind
// the vendor driver (notification requests) and on USB-HID (input reports).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "qztool_fixture.h"

namespace {

using qztooltest::eventually;
using qztooltest::Qztool;
using qztooltest::Result;
using qztooltest::slurp;

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  size_t i = 0, j;
  while ((j = text.find('\n', i)) != std::string::npos) {
    out.push_back(text.substr(i, j - i));
    i = j + 1;
  }
  if (i < text.size()) out.push_back(text.substr(i));
  return out;
}

bool readingInput(const qzsim::Device& d) {
  for (const auto& r : d.requests())
    if (r.op == qzsim::kReadInput) return true;
  return false;
}

class Monitor : public Qztool {
 protected:
  qzsim::Device* dev = nullptr;
  std::string transportOption;

  void serve(qzsim::Transport t) {
    if (t == qzsim::Transport::Driver) {
      dev = &sim.addDriverObject(qzsim::Controller{}, "QZUKRXM_API0");
      transportOption = "--driver";
    } else {
      dev = &sim.addHid(qzsim::Controller{});
      transportOption = "--hid";
    }
    sim.start();
    sim.exportEnvironment();
  }

  // True once the running monitor waits for reports.
  bool listening() const {
    return dev->transport() == qzsim::Transport::Driver ? dev->outstandingNotifications() > 0 : readingInput(*dev);
  }

  // A report once the monitor waits for one, so that none is folded into a later one.
  void raise(uint8_t state) {
    ASSERT_TRUE(eventually([&] { return listening(); }));
    if (dev->transport() == qzsim::Transport::Hid)
      dev->queueInput({state, 0, 0, 0, 0});
    else
      dev->raiseTouchState(state);
  }
};

const std::regex kStamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d )");

class MonitorOn : public Monitor, public ::testing::WithParamInterface<qzsim::Transport> {};

TEST_P(MonitorOn, CountsChangesIntoJsonAndTheLogFile) {
  serve(GetParam());
  { std::ofstream(work + "/touch.log") << "earlier line\n"; }
  pid_t pid = start({"monitor", transportOption, "--json", "--log", "touch.log", "--count", "3"});
  // A repeat of the present state and an unknown byte change nothing.
  for (uint8_t s : {0x8A, 0x8A, 0x55, 0x0A, 0x8A}) raise(s);
  Result r = finish(pid);
  ASSERT_EQ(r.rc, 0) << r.err;

  std::vector<std::string> lines = splitLines(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  std::vector<Json> j;
  for (const auto& l : lines) j.push_back(parse(l));
  EXPECT_EQ(j[0]["event"].text, "start");
  EXPECT_EQ(j[0]["transport"].text, GetParam() == qzsim::Transport::Driver ? "driver-usb" : "hid");
  EXPECT_EQ(j[0]["path"].text, dev->path());
  struct Want {
    const char* event;
    int report, changes, disabled, enabled;
  };
  const Want want[] = {{"disabled", 0x8A, 1, 1, 0}, {"enabled", 0x0A, 2, 1, 1}, {"disabled", 0x8A, 3, 2, 1}};
  for (int i = 0; i < 3; ++i) {
    const Json& e = j[size_t(i) + 1];
    EXPECT_EQ(e["event"].text, want[i].event) << i;
    EXPECT_EQ(e["report"].number, want[i].report) << i;
    EXPECT_EQ(e["changes"].number, want[i].changes) << i;
    EXPECT_EQ(e["disabledCount"].number, want[i].disabled) << i;
    EXPECT_EQ(e["enabledCount"].number, want[i].enabled) << i;
    EXPECT_TRUE(std::regex_search(e["time"].text + " ", kStamp)) << e["time"].text;
  }
  // The time disabled: the one finished period, counted once.
  EXPECT_FALSE(j[1].has("episodeSeconds"));
  EXPECT_GE(j[2]["episodeSeconds"].number, 0);
  EXPECT_EQ(j[2]["disabledSeconds"].number, j[2]["episodeSeconds"].number);
  EXPECT_EQ(j[3]["disabledSeconds"].number, j[2]["disabledSeconds"].number);
  const Json& end = j[4];
  EXPECT_EQ(end["event"].text, "end");
  EXPECT_EQ(end["reason"].text, "count");
  EXPECT_EQ(end["changes"].number, 3);
  EXPECT_EQ(end["reports"].number, 4);  // 0x55 is no report
  EXPECT_EQ(end["state"].text, "disabled");
  EXPECT_GE(end["disabledSeconds"].number, j[3]["disabledSeconds"].number);

  // The log keeps what was there and gains the same story as text.
  std::vector<std::string> log = splitLines(slurp(work + "/touch.log"));
  ASSERT_EQ(log.size(), 6u) << slurp(work + "/touch.log");
  EXPECT_EQ(log[0], "earlier line");
  const char* const says[] = {
      " watching QZ4321A (",
      " touch disabled (palm or water on the panel); changes 1, disabled 1, enabled 0, 0.000 s disabled in all",
      " touch enabled after ",
      " touch disabled (palm or water on the panel); changes 3, disabled 2, enabled 1, ",
      " end (count reached): 3 changes, disabled 2, enabled 1, ",
  };
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(std::regex_search(log[size_t(i) + 1], kStamp)) << log[size_t(i) + 1];
    EXPECT_NE(log[size_t(i) + 1].find(says[i]), std::string::npos) << log[size_t(i) + 1];
  }
  EXPECT_EQ(log[5].find("\r"), std::string::npos);
}

TEST_P(MonitorOn, SigtermEndsWithASummary) {
  serve(GetParam());
  pid_t pid = start({"monitor", transportOption});
  raise(0x8A);
  ASSERT_TRUE(eventually([&] { return slurp(work + "/stdout").find("touch disabled") != std::string::npos; }));
  kill(pid, SIGTERM);
  Result r = finish(pid);
  EXPECT_EQ(r.rc, 0) << r.err;
  std::vector<std::string> lines = splitLines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_NE(lines[1].find(" end (terminated): 1 changes, disabled 1, enabled 0, "), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("; touch disabled now"), std::string::npos) << lines[1];
  EXPECT_NE(r.err.find("watching QZ4321A"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Transports, MonitorOn,
                         ::testing::Values(qzsim::Transport::Driver, qzsim::Transport::Hid),
                         [](const auto& info) { return info.param == qzsim::Transport::Driver ? "Driver" : "Hid"; });

TEST_F(Monitor, EndsWhenTimeIsUpOrTheControllerGoes) {
  serve(qzsim::Transport::Driver);
  Result quiet = run({"monitor", "--for", "0.2", "--json"});
  ASSERT_EQ(quiet.rc, 0) << quiet.err;
  std::vector<std::string> lines = splitLines(quiet.out);
  ASSERT_EQ(lines.size(), 2u) << quiet.out;
  Json end = parse(lines[1]);
  EXPECT_EQ(end["reason"].text, "time");
  EXPECT_EQ(end["changes"].number, 0);
  EXPECT_EQ(end["state"].text, "unknown");

  pid_t pid = start({"monitor"});
  ASSERT_TRUE(eventually([&] { return listening(); }));
  dev->remove();
  Result gone = finish(pid);
  EXPECT_EQ(gone.rc, 1);
  EXPECT_NE(gone.err.find("went away"), std::string::npos) << gone.err;
  EXPECT_NE(gone.out.find(" end (the controller stopped reporting): 0 changes"), std::string::npos) << gone.out;
}

TEST_F(Monitor, RefusesWhatItCannotWatch) {
  auto& serial = sim.addSerial(qzsim::Controller{});
  sim.start();
  sim.exportEnvironment();
  struct Case {
    std::vector<std::string> args;
    int rc;
    const char* says;
  };
  const Case cases[] = {
      {{"monitor", "--serial", serial.path()}, 2, "sends no touch-state reports"},
      {{"monitor", "--driver"}, 3, "no controller found"},
      {{"monitor", "--count", "0"}, 2, ""},
      {{"monitor", "--for", "-1"}, 2, ""},
  };
  for (const auto& c : cases) {
    Result r = run(c.args);
    EXPECT_EQ(r.rc, c.rc) << c.args.back() << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
}

TEST_F(Monitor, UnwritableLogFileStopsBeforeWatching) {
  serve(qzsim::Transport::Hid);
  Result r = run({"monitor", "--log", "/nonexistent/dir/touch.log", "--for", "5"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("cannot open the log file /nonexistent/dir/touch.log"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

bool journalReachable() {
  struct stat st{};
  return stat("/run/systemd/journal/socket", &st) == 0 && S_ISSOCK(st.st_mode);
}

TEST_F(Monitor, SyslogReachesTheJournal) {
  if (!journalReachable()) GTEST_SKIP() << "no journald socket at /run/systemd/journal/socket";
  if (std::system("command -v journalctl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no journalctl to read it back";
  serve(qzsim::Transport::Hid);
  pid_t pid = start({"monitor", "--syslog", "--count", "1"});
  raise(0x8A);
  Result r = finish(pid);
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.err.find("system log cannot be reached"), std::string::npos) << r.err;
  // The entry carries the device as a field of its own; the journal may take a moment.
  const std::string query = "journalctl -q -o cat SYSLOG_IDENTIFIER=qztool QZ_EVENT=disabled 'QZ_DEVICE=" +
                            dev->path() + "' > '" + work + "/journal.txt' 2>/dev/null";
  EXPECT_TRUE(eventually([&] {
    return std::system(query.c_str()) == 0 && slurp(work + "/journal.txt").find("touch disabled") != std::string::npos;
  }));
}

TEST_F(Monitor, SyslogOutOfReachIsSaidOnceAndTheRestGoesOn) {
  if (journalReachable()) GTEST_SKIP() << "journald runs here; this is the machine without it";
  serve(qzsim::Transport::Hid);
  pid_t pid = start({"monitor", "--syslog", "--count", "2"});
  raise(0x8A);
  raise(0x0A);
  Result r = finish(pid);
  ASSERT_EQ(r.rc, 0) << r.err;
  size_t first = r.err.find("the system log cannot be reached");
  ASSERT_NE(first, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("the system log cannot be reached", first + 1), std::string::npos) << r.err;
  EXPECT_EQ(splitLines(r.out).size(), 3u) << r.out;
}

}  // namespace
