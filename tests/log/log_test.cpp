// The firmware information log end to end: the tray program's core and log component, the
// real libraries, and simulated controllers. Files are compared as stored bytes (CR LF).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/texts.h"
#include "log/headless.h"
#include "qzsim/simulator.h"

namespace qz::toolkit::log {
namespace {

class TestEnvironment : public LogEnvironment {
 public:
  std::string dir, data;
  std::string programDirectory() override { return dir; }
  std::string dataDirectory() override { return data; }
  std::string osName() override { return "Test OS 1"; }
  std::tm localTime() override {
    std::tm tm{};
    tm.tm_year = 124, tm.tm_mon = 2, tm.tm_mday = 5, tm.tm_hour = 6, tm.tm_min = 7, tm.tm_sec = 8;
    return tm;
  }
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The stored form of a text: every LF as CR LF.
std::string stored(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// The titles of the data phase, in file order.
std::vector<std::string> dataTitles(const std::string& file) {
  std::vector<std::string> out;
  std::istringstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("Base Line", 0) == 0 || line.rfind("Frequence Hopping Mode", 0) == 0 ||
        line.rfind("Raw Count", 0) == 0)
      out.push_back(line);
  }
  return out;
}

std::vector<std::string> rawCounts(int n) {
  std::vector<std::string> out;
  for (int i = 1; i <= n; ++i) out.push_back("Raw Count " + std::to_string(i) + " :");
  return out;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qzlog-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    env_.dir = root_ + "/bin/";
    env_.data = root_ + "/data/Tarvanel ToolKit/";
    mkdir(env_.dir.c_str(), 0755);
    sim_ = std::make_unique<qzsim::Simulator>();
  }
  void TearDown() override {
    sim_.reset();
    std::string cmd = "rm -rf '" + root_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  // Serves the scenario and runs one log; returns the file's bytes.
  std::string logOf(const std::string& scenario) {
    devices_ = sim_->loadScenarioText(scenario);
    sim_->start();
    sim_->exportEnvironment();
    run_ = std::make_unique<HeadlessLog>(env_);
    run_->run(false);
    return run_->log().filePath().empty() ? std::string() : readFile(run_->log().filePath());
  }

  std::string root_;
  TestEnvironment env_;
  std::unique_ptr<qzsim::Simulator> sim_;
  std::vector<qzsim::Device*> devices_;
  std::unique_ptr<HeadlessLog> run_;
};

constexpr char kPlainHid[] = R"([hid]
family = krxm
tail = plain
model = 4321
letter = A
sensor = 1x3
sectors = 2
features = 02 40 00 00
)";

std::string withKeys(const std::string& base, const std::string& keys) { return base + keys; }

TEST_F(LogTest, HeaderRowsOfAHidControllerAreStoredWithCrLf) {
  std::string file = logOf(kPlainHid);
  ASSERT_EQ(run_->log().outcome(), Outcome::Written) << run_->log().message();
  EXPECT_EQ(run_->log().filePath(), env_.dir + "QZ4321A Firmware Information.csv");
  EXPECT_EQ(file.rfind(stored("\nWrite Log Time : 2024/03/05 06:07:08\n\nOS Version : Test OS 1\n"
                              "\nApplication Version : 1.1.10\n\r\nDevice Interface : USB\n"
                              "\nHost Interface : USB (Hid Driver)\n\r\nFirmware Version : "),
                       0),
            0u)
      << file.substr(0, 300);
  EXPECT_NE(file.find(stored("\r\nKRXM_FLAG = 0x")), std::string::npos);
  EXPECT_NE(file.find(stored("\nFeature Flag1 = 0x02\tFeature Flag2 = 0x40\tFeature Flag3 = 0x00\t"
                             "Feature Flag4 = 0x00\t\n")),
            std::string::npos);
  EXPECT_EQ(file.find("Master"), std::string::npos);
  // Feature flag 4 lacks 0x20 and feature flag 1 lacks 0x80: neither row.
  EXPECT_EQ(file.find("Abnormal"), std::string::npos);
  // The HID controller the log opened is closed again.
  EXPECT_EQ(run_->core().device(), kNoDevice);
  EXPECT_EQ(run_->view().marker, toolkit::text::kMarkerIdle);
  EXPECT_TRUE(run_->view().shown[kItemOkReset]);
}

TEST_F(LogTest, TablesOfASmallPanelHoldExactValues) {
  // 1 row, 3 mutual values, 2 sector values, a total-drive value; no noise, no touch.
  std::string file = logOf(withKeys(kPlainHid, "hopping = 2 2\n"));
  ASSERT_EQ(run_->log().outcome(), Outcome::Written) << run_->log().message();
  const std::string baseline = stored(
      "\r\nBase Line :\nindex, , , Sector, , \n\n3000, 3003, 3006, 750, 751, 1500, \n\r\n");
  EXPECT_NE(file.find(baseline), std::string::npos);
  // Mode differences are signed: (j + 1) mod 9 - 4 for mode 1.
  EXPECT_NE(file.find(stored("\r\nFrequence Hopping Mode Diff 1 :\nindex, , , Sector, , \n\n"
                             "-3, -2, -1, 0, 1, 2, \n\nRaw Count 1 :")),
            std::string::npos);
  // Raw counts equal the baseline: differences 0; the header repeats after ",,index, ".
  EXPECT_NE(file.find(stored("\nRaw Count 1 :\nindex, , , Sector, , ,,index, , , Sector, , \n\n"
                             "3000, 3003, 3006, 750, 751, 1500, , 0, 0, 0, 0, 0, 0, \n\n")),
            std::string::npos);
}

TEST_F(LogTest, RawDifferenceDirectionFollowsFeatureFlag2) {
  struct Case {
    const char* features;
    const char* expected;
  } cases[] = {
      {"features = 02 00 00 00\n", "2990, 2993, 2996, 747, 748, 1495, , -10, -10, -10, -3, -3, -5, "},
      {"features = 02 01 00 00\n", "2990, 2993, 2996, 747, 748, 1495, , 10, 10, 10, 3, 3, 5, "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.features);
    TearDown();
    SetUp();
    std::string scenario = std::string(kPlainHid).replace(std::string(kPlainHid).find("features"), 24, c.features);
    devices_ = sim_->loadScenarioText(scenario);
    sim_->start();
    sim_->exportEnvironment();
    run_ = std::make_unique<HeadlessLog>(env_);
    run_->start();
    // The baseline was read at collection; later frames come 10 lower.
    devices_[0]->modify([](qzsim::ControllerModel& m) { m.desc().sensor.baseline = 2990; });
    while (run_->tick()) {
    }
    std::string file = readFile(run_->log().filePath());
    EXPECT_NE(file.find(stored(std::string("\nRaw Count 1 :\nindex, , , Sector, , ,,index, , , Sector, , \n\n") +
                               c.expected + "\n")),
              std::string::npos)
        << file;
  }
}

TEST_F(LogTest, DataPhaseFollowsTheHoppingSetup) {
  auto hopMode = [](int q) {
    std::vector<std::string> v;
    for (const char* t : {" :", " and use Minimum Frequence :", " and use Maximum Frequence :"}) {
      v.push_back("Frequence Hopping Mode " + std::to_string(q) + t);
      v.push_back("Raw Count 1 :");
      v.push_back("Raw Count 2 :");
    }
    return v;
  };
  auto concat = [](std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  struct Case {
    const char* keys;
    std::vector<std::string> titles;
    bool restore;
    size_t hopCommands;  // F5 00 FF settings sent, the restore included
  } cases[] = {
      {"hopping = 3 2\nhop-current = 0x05\n",
       concat({{"Base Line :", "Frequence Hopping Mode Diff 1 :", "Frequence Hopping Mode Diff 2 :"}, rawCounts(5),
               hopMode(0), hopMode(1), hopMode(2)}),
       true, 10},
      {"hopping = 2 2\nhop-current = 0x05\n",
       concat({{"Base Line :", "Frequence Hopping Mode Diff 1 :"}, rawCounts(5), hopMode(0), hopMode(1)}), true, 7},
      {"hopping = 1 2\nhop-current = 0x05\n", concat({{"Base Line :"}, rawCounts(5), hopMode(0)}), true, 4},
      // No mode at all: the first hopping step finishes the log, which still restores.
      {"hopping = 0 2\nhop-current = 0x05\n", concat({{"Base Line :"}, rawCounts(5)}), true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    TearDown();
    SetUp();
    std::string file = logOf(withKeys(kPlainHid, c.keys));
    ASSERT_EQ(run_->log().outcome(), Outcome::Written) << run_->log().message();
    EXPECT_EQ(dataTitles(file), c.titles);
    EXPECT_NE(file.find(stored("\r\nFrequence Hopping mode = 0x05\n")), std::string::npos);
    // The hopping setting read at collection is restored last.
    std::vector<qzsim::Packet> hops;
    for (const qzsim::Packet& p : devices_[0]->commands())
      if (p[0] == 0xF5 && p[2] == 0xFF) hops.push_back(p);
    ASSERT_EQ(hops.size(), c.hopCommands);
    EXPECT_EQ(hops.back(), (qzsim::Packet{0xF5, 0x00, 0xFF, 0x00, 0x05}));
    // Variant 0 keeps the frequency index, variant 2 takes the highest one.
    if (hops.size() > 2) {
      EXPECT_EQ(hops[0], (qzsim::Packet{0xF5, 0x00, 0xFF, 0x00, 0x04}));
      EXPECT_EQ(hops[2], (qzsim::Packet{0xF5, 0x00, 0xFF, 0x00, 0x04}));
    }
    EXPECT_FALSE(devices_[0]->state().diagnostic);
    EXPECT_TRUE(devices_[0]->state().scanning);
  }
}

TEST_F(LogTest, WithoutHoppingTheLogEndsAfterFiveRawCountsAndRestoresNothing) {
  std::string scenario = std::string(kPlainHid);
  scenario.replace(scenario.find("features = 02 40"), 16, "features = 00 40");
  std::string file = logOf(scenario);
  ASSERT_EQ(run_->log().outcome(), Outcome::Written) << run_->log().message();
  std::vector<std::string> expected = {"Base Line :", "Frequence Hopping Mode Diff 1 :",
                                       "Frequence Hopping Mode Diff 2 :"};
  for (auto& t : rawCounts(5)) expected.push_back(t);
  EXPECT_EQ(dataTitles(file), expected);
  for (const qzsim::Packet& p : devices_[0]->commands()) EXPECT_FALSE(p[0] == 0xF5 && p[2] == 0xFF);
  // The first probe still answers; the rows that need the hopping feature are left out.
  EXPECT_NE(file.find("Frequence Hopping mode = 0x"), std::string::npos);
  EXPECT_EQ(file.find("Abnormal"), std::string::npos);
}

TEST_F(LogTest, VendorDriverControllerWithSlavesIsUsedAndLeftOpen) {
  std::string file = logOf(readFile(QZ_SCENARIOS "/krxm-master-two-slaves.scenario"));
  ASSERT_EQ(run_->log().outcome(), Outcome::Written) << run_->log().message();
  EXPECT_NE(file.find(stored("\nHost Interface : USB (Tarvanel Driver : 2.4.0)\n")), std::string::npos);
  EXPECT_NE(file.find(stored("\r\nMaster   Version : ")), std::string::npos);
  EXPECT_NE(file.find(stored("\nSlave 1  Version : ")), std::string::npos);
  EXPECT_NE(file.find(stored("\nSlave 2  Version : ")), std::string::npos);
  EXPECT_EQ(file.find("Slave 3"), std::string::npos);
  EXPECT_EQ(file.find("Firmware Version"), std::string::npos);
  EXPECT_NE(file.find(stored("\nAbnormal Scan Frequence Hopping mode = 0x01\n\nAbnormal Level = 3\n")),
            std::string::npos);
  // The watched controller stays the program's, open.
  EXPECT_NE(run_->core().monitorDevice(), kNoDevice);
  EXPECT_EQ(run_->core().device(), run_->core().monitorDevice());
  EXPECT_GE(devices_[0]->connections(), 1u);
}

TEST_F(LogTest, AbnormalLevelAnsweredWithFFIsLeftOut) {
  std::string file = logOf(withKeys(kPlainHid, "features = 82 40 00 20\nabnormal-level = off\n"));
  ASSERT_EQ(run_->log().outcome(), Outcome::Written) << run_->log().message();
  EXPECT_NE(file.find("Abnormal Scan Frequence Hopping mode"), std::string::npos);
  EXPECT_EQ(file.find("Abnormal Level"), std::string::npos);
}

TEST_F(LogTest, ParameterSectionsShowOnlyTheirOwnBytes) {
  std::string items16 =
      "0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, ";
  struct Case {
    const char* keys;
    std::string expected;  // stored form of everything from the Boot title to the baseline
  } cases[] = {
      // 16 bytes are one row.
      {"boot-list = 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F\n"
       "debug = 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F\n",
       "\nBoot Parameter :\n\n" + items16 + "\n\nDebug Parameter :\n\n" + items16 + "\n\r\nBase Line"},
      // An empty list has no section at all.
      {"boot-list = 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F\ndebug =\n",
       "\nBoot Parameter :\n\n" + items16 + "\n\r\nBase Line"},
      // A short last row holds only the list's own bytes, not the next list's.
      {"sectioned = yes\nboot-list = 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 20 21 22 23\n"
       "debug = 40 41 42 43 44\n",
       "\nBoot Parameter :\n\n" + items16 + "\n0x20, 0x21, 0x22, 0x23, \n\nDebug Parameter :\n\n"
       "0x40, 0x41, 0x42, 0x43, 0x44, \n\r\nBase Line"},
      // The same at the end of the parameter data: a slave's list of 5 bytes.
      {"sectioned = yes\nboot-list = 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F\ndebug =\n"
       "[slave]\nparameters = 01 02 03 04 05\n",
       "\nBoot Parameter :\n\n" + items16 + "\n\nSlave1 Parameter :\n\n0x01, 0x02, 0x03, 0x04, 0x05, \n\r\nBase Line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    TearDown();
    SetUp();
    std::string file = logOf(withKeys(kPlainHid, c.keys));
    ASSERT_EQ(run_->log().outcome(), Outcome::Written) << run_->log().message();
    EXPECT_NE(file.find(stored(c.expected)), std::string::npos) << file.substr(0, 2000);
    EXPECT_NE(file.find(stored("\r\nAP Parameter :\n\n")), std::string::npos);
  }
}

TEST_F(LogTest, ValuesTheArraysDoNotHoldAreShownAsZero) {
  // 3 mutual values, 2 sector values and a total-drive value per row; baseline 3000.
  struct Case {
    const char* name;
    const char* keys;
    bool fewerRows;  // the buffer sizes are read while the controller reports one row of two
    int32_t counts[3];  // mutual, sector and total-drive values the arrays hold
    std::string baseline, rawCount1;  // the stored tables from their headers on
  } cases[] = {
      {"sector values left out by the data flags", "data-flags = 0x1A\n", false, {3, 0, 1},
       "index, , , Sector, , \n\n3000, 3003, 3006, 0, 0, 1500, \n",
       "index, , , Sector, , ,,index, , , Sector, , \n\n3000, 3003, 3006, 0, 0, 1500, , 0, 0, 0, 0, 0, 0, \n"},
      {"total-drive values left out by the data flags", "data-flags = 0x16\n", false, {3, 2, 0},
       "index, , , Sector, , \n\n3000, 3003, 3006, 750, 751, \n",
       "index, , , Sector, , ,index, , , Sector, , \n\n3000, 3003, 3006, 750, 751, , 0, 0, 0, 0, 0, \n"},
      {"counts for one row of a two-row frame", "sensor = 2x3\n", true, {3, 2, 1},
       "index, , , Sector, , \n\n3000, 3003, 3006, 750, 751, 1500, \n0, 0, 0, 0, 0, 0, \n",
       "index, , , Sector, , ,,index, , , Sector, , \n\n3000, 3003, 3006, 750, 751, 1500, , 0, 0, 0, 0, 0, 0, "
       "\n0, 0, 0, 0, 0, 0, , 0, 0, 0, 0, 0, 0, \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    devices_ = sim_->loadScenarioText(withKeys(kPlainHid, c.keys));
    // The first E5 is the buffer-size query's own pin count.
    if (c.fewerRows) devices_[0]->addFault(qzsim::Fault::replyWith(0xE5, {0xE5, 0x01, 0x03, 0x00, 0x20}));
    sim_->start();
    sim_->exportEnvironment();
    run_ = std::make_unique<HeadlessLog>(env_);
    run_->run(false);
    ASSERT_EQ(run_->log().outcome(), Outcome::Written) << run_->log().message();
    const RawCountBuffer& rb = run_->log().state().rawBuffer;
    ASSERT_EQ(rb.mutualValueCount, c.counts[0]);
    ASSERT_EQ(rb.sectorValueCount, c.counts[1]);
    ASSERT_EQ(rb.totalDriveValueCount, c.counts[2]);
    ASSERT_EQ(run_->log().state().pinCounts.sensorCount, c.fewerRows ? 2 : 1);
    std::string file = readFile(run_->log().filePath());
    EXPECT_NE(file.find(stored("\r\nBase Line :\n" + c.baseline)), std::string::npos) << file;
    EXPECT_NE(file.find(stored("\nRaw Count 1 :\n" + c.rawCount1)), std::string::npos) << file;
  }
}

TEST_F(LogTest, SignedAndUnsignedFormsOfOneValue) {
  // Frames come in bulk blocks carrying chosen values: 4 mutual, 2 sector, 1 total-drive.
  const std::vector<uint16_t> baseline = {32768, 32769, 65535, 1, 0, 1, 2};
  const std::vector<uint16_t> later = {32768, 1, 0, 32769, 65535, 32767, 40000};
  struct Case {
    const char* features;
    const char* differences;  // of the later frame from the baseline
  } cases[] = {
      // value - baseline: 32768 stays, -32768 stays, the rest wraps into the 16-bit range.
      {"features = 02 40 00 00\n", "0, -32768, 1, 32768, -1, 32766, -25538, "},
      {"features = 02 41 00 00\n", "0, 32768, -1, -32768, 1, -32766, 25538, "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.features);
    TearDown();
    SetUp();
    devices_ = sim_->loadScenarioText(withKeys(kPlainHid, std::string("sensor = 1x4\n") + c.features));
    devices_[0]->setBulkValues(baseline);
    sim_->start();
    sim_->exportEnvironment();
    run_ = std::make_unique<HeadlessLog>(env_);
    run_->start();
    ASSERT_EQ(run_->log().state().rawBuffer.bulkTransfer, 1);
    devices_[0]->setBulkValues(later);
    while (run_->tick()) {
    }
    ASSERT_EQ(run_->log().outcome(), Outcome::Written) << run_->log().message();
    std::string file = readFile(run_->log().filePath());
    // The baseline and raw counts unsigned, mode differences signed (32768 itself positive).
    EXPECT_NE(file.find(stored("\r\nBase Line :\nindex, , , , Sector, , \n\n"
                               "32768, 32769, 65535, 1, 0, 1, 2, \n")),
              std::string::npos)
        << file;
    EXPECT_NE(file.find(stored("\r\nFrequence Hopping Mode Diff 1 :\nindex, , , , Sector, , \n\n"
                               "32768, 1, 0, -32767, -1, 32767, -25536, \n")),
              std::string::npos)
        << file;
    EXPECT_NE(file.find(stored(std::string("\nRaw Count 1 :\nindex, , , , Sector, , ,,index, , , , Sector, , \n\n"
                                           "32768, 1, 0, 32769, 65535, 32767, 40000, , ") +
                               c.differences + "\n")),
              std::string::npos)
        << file;
  }
}

TEST_F(LogTest, TwoLogsAppendToOneFile) {
  std::string first = logOf(kPlainHid);
  ASSERT_EQ(run_->log().outcome(), Outcome::Written);
  run_->run(false);
  ASSERT_EQ(run_->log().outcome(), Outcome::Written) << run_->log().message();
  std::string both = readFile(run_->log().filePath());
  ASSERT_EQ(both.size(), 2 * first.size());
  EXPECT_EQ(both.substr(0, first.size()), first);
  EXPECT_EQ(both.substr(first.size(), 40), first.substr(0, 40));
}

TEST_F(LogTest, ColumnHeadersLabelEveryFifthColumn) {
  struct Case {
    const char* keys;
    const char* header;
  } cases[] = {
      {"sensor = 2x1\nsectors = 1\n", "index, Sector, \n"},
      {"sensor = 1x12\nsectors = 0\n", "index, , , , , 5, , , , , 10, , Sector, \n"},
      {"sensor = 0x4\nsectors = 1\n", "index, , , , Sector, \n\n"},  // R = 0: no rows
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    TearDown();
    SetUp();
    std::string scenario = std::string(kPlainHid);
    scenario.replace(scenario.find("sensor = 1x3\nsectors = 2\n"), 25, c.keys);
    std::string file = logOf(scenario);
    ASSERT_EQ(run_->log().outcome(), Outcome::Written) << run_->log().message();
    EXPECT_NE(file.find(stored(std::string("\r\nBase Line :\n") + c.header)), std::string::npos) << file;
  }
}

TEST_F(LogTest, FailedCollectionStepReportsItsCodeAndRestartsScanning) {
  struct Case {
    int opcode;  // refused from the start
    int code;
  } cases[] = {{0xEB, kCodeVersion}, {0xE3, kCodePanelInfo}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    TearDown();
    SetUp();
    devices_ = sim_->loadScenarioText(kPlainHid);
    devices_[0]->addFault(qzsim::Fault::refuse(c.opcode, qzsim::kForever));
    sim_->start();
    sim_->exportEnvironment();
    run_ = std::make_unique<HeadlessLog>(env_);
    run_->run(false);
    EXPECT_EQ(run_->log().outcome(), Outcome::Failed);
    ASSERT_EQ(run_->view().errors.size(), 1u);
    EXPECT_EQ(run_->view().errors[0].first, messageText(c.code));
    EXPECT_EQ(run_->view().errors[0].second, messageText(c.code));
    EXPECT_EQ(run_->view().opacity, 0);
    EXPECT_EQ(run_->view().marker, toolkit::text::kMarkerIdle);
    EXPECT_TRUE(devices_[0]->state().scanning);
    EXPECT_EQ(run_->core().device(), kNoDevice);
    struct stat st;
    EXPECT_NE(stat((env_.dir + "QZ4321A Firmware Information.csv").c_str(), &st), 0);
  }
}

TEST_F(LogTest, UnwritableProgramDirectoryFallsBackToTheDataDirectory) {
  env_.dir = root_ + "/missing/";
  std::string file = logOf(kPlainHid);
  ASSERT_EQ(run_->log().outcome(), Outcome::Written) << run_->log().message();
  EXPECT_TRUE(run_->log().usedDataDirectory());
  EXPECT_EQ(run_->log().filePath(), env_.data + "QZ4321A Firmware Information.csv");
  EXPECT_FALSE(file.empty());
  EXPECT_NE(run_->view().texts[kItemText].find(run_->log().filePath()), std::string::npos);
}

TEST_F(LogTest, NoWritableDirectoryIsAFailureNamingThePath) {
  env_.dir = root_ + "/missing/";
  std::string blocker = root_ + "/data";
  std::ofstream(blocker) << "a file where the directory would go";
  logOf(kPlainHid);
  EXPECT_EQ(run_->log().outcome(), Outcome::Failed);
  ASSERT_EQ(run_->view().errors.size(), 1u);
  EXPECT_NE(run_->view().errors[0].first.find(env_.dir + "QZ4321A Firmware Information.csv"), std::string::npos);
  EXPECT_TRUE(devices_[0]->state().scanning);
  EXPECT_TRUE(run_->log().filePath().empty());
}

TEST_F(LogTest, ASecondCommandDuringTheDataPhaseIsRefused) {
  devices_ = sim_->loadScenarioText(kPlainHid);
  sim_->start();
  sim_->exportEnvironment();
  run_ = std::make_unique<HeadlessLog>(env_);
  run_->start();
  ASSERT_TRUE(run_->tick());
  run_->core().runCommand(kCmdLog);
  ASSERT_EQ(run_->view().errors.size(), 1u);
  EXPECT_EQ(run_->view().errors[0].first, kBusy);
  while (run_->tick()) {
  }
  ASSERT_EQ(run_->log().outcome(), Outcome::Written);
  std::string file = readFile(run_->log().filePath());
  EXPECT_EQ(file.find("Write Log Time", 20), std::string::npos);
}

TEST_F(LogTest, RawCountFailureEndsTheLogKeepingWhatWasWritten) {
  devices_ = sim_->loadScenarioText(kPlainHid);
  sim_->start();
  sim_->exportEnvironment();
  run_ = std::make_unique<HeadlessLog>(env_);
  run_->start();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(run_->tick());  // baseline, 3 mode steps, raw count 1
  devices_[0]->addFault(qzsim::Fault::refuse(0xF9, qzsim::kForever));
  while (run_->tick()) {
  }
  EXPECT_EQ(run_->view().texts[kItemText], "Get Raw Count failed.");
  EXPECT_TRUE(run_->log().endedEarly());
  std::string file = readFile(run_->log().filePath());
  std::vector<std::string> titles = dataTitles(file);
  ASSERT_FALSE(titles.empty());
  EXPECT_EQ(titles.back(), "Raw Count 1 :");
}

}  // namespace
}  // namespace qz::toolkit::log
