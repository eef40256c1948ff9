// Firmware identity through the exported functions, against the simulator, once per
// transport.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "rig.h"

using advtest::Rig;
using qzsim::Chip;
using qzsim::Controller;
using qzsim::Transport;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

class Identity : public ::testing::TestWithParam<Transport> {
 protected:
  void open(const Controller& c) {
    if (c.family == qzsim::Family::TwoK && GetParam() == Transport::Serial)
      GTEST_SKIP() << "a serial line does not tell the 2K family";
    ASSERT_TRUE(rig.open(c)) << "the simulated controller was not found";
  }
  Rig rig{GetParam()};
};

Chip slaveChip(uint16_t model, uint8_t letter, uint8_t release, uint8_t major, uint8_t minor, uint16_t build,
               uint8_t bootMajor, uint8_t bootLetter, uint8_t bootMinor, bool shortForm = false) {
  Chip c;
  c.modelNumber = model;
  c.modelLetter = letter;
  c.releaseCode = release;
  c.major = major;
  c.minor = minor;
  c.build = build;
  c.bootMajor = bootMajor;
  c.bootLetter = bootLetter;
  c.bootMinor = bootMinor;
  c.shortForm = shortForm;
  return c;
}

struct VersionCase {
  const char* name;
  std::function<Controller()> make;
  const char* master;
  int32_t masterShort;
  std::vector<std::string> slaves;
  std::vector<int32_t> slaveShort;
};

Controller plain() { return Controller{}; }

const VersionCase kVersionCases[] = {
    {"one chip", plain, "QZ4321A.D03.2.5.120 Boot : 1.0 ", 0, {}, {}},
    {"boot letter",
     [] {
       Controller c;
       c.chips[0].bootMajor = 3;
       c.chips[0].bootMinor = 7;
       c.chips[0].bootLetter = 2;
       return c;
     },
     "QZ4321A.D03.2.5.120 Boot : 3.7 B", 0, {}, {}},
    {"no model letter, no release",
     [] {
       Controller c;
       c.chips[0].modelLetter = 0;
       c.chips[0].releaseCode = 0;
       return c;
     },
     "QZ4321.2.5.120 Boot : 1.0 ", 0, {}, {}},
    {"master keeps bit 15",
     [] {
       Controller c;
       c.chips[0].modelNumber = 0x8000 + 4321;
       return c;
     },
     "QZ37089A.D03.2.5.120 Boot : 1.0 ", 0, {}, {}},
    {"short-form master",
     [] {
       Controller c;
       c.chips[0].shortForm = true;
       return c;
     },
     "QZ4321A.D03.2.5", 1, {}, {}},
    {"two slaves through selection",
     [] {
       return advtest::withSlaves({slaveChip(1234, 2, 0, 1, 2, 7, 2, 0, 1),
                                   slaveChip(5678, 0, 250, 3, 4, 0, 0, 0, 0, true)});
     },
     "QZ4321A.D03.2.5.120 Boot : 1.0 ", 0, {"QZ1234B.1.2.7 Boot : 2.1 ", "QZ5678.T.3.4"}, {0, 1}},
    {"two slaves through addressed queries",
     [] {
       return advtest::withSlaves({slaveChip(1234, 2, 0, 1, 2, 7, 2, 0, 1),
                                   slaveChip(5678, 0, 250, 3, 4, 0, 0, 0, 0, true)},
                                  true);
     },
     "QZ4321A.D03.2.5.120 Boot : 1.0 ", 0, {"QZ1234B.1.2.7 Boot : 2.1 ", "QZ5678.T.3.4"}, {0, 1}},
    {"slave loses bit 15",
     [] { return advtest::withSlaves({slaveChip(0x8000 + 4321, 1, 3, 2, 5, 120, 1, 0, 0)}); },
     "QZ4321A.D03.2.5.120 Boot : 1.0 ", 0, {"QZ4321A.D03.2.5.120 Boot : 1.0 "}, {0}},
    {"2K controller",
     [] {
       Controller c = Controller::twoK();
       c.chips[0].modelNumber = 2150;
       c.chips[0].modelLetter = 0;
       c.chips[0].releaseCode = 0;
       c.chips[0].major = 1;
       c.chips[0].minor = 8;
       c.chips[0].build = 300;
       return c;
     },
     "QZ2150.1.8.300 Boot : 1.0 ", 0, {}, {}},
    {"2K controller with the marker",
     [] {
       Controller c = Controller::twoK();
       c.chips[0].modelNumber = 2150;
       c.chips[0].modelLetter = 0;
       c.chips[0].releaseCode = 0;
       c.chips[0].major = 1;
       c.chips[0].minor = 8;
       c.chips[0].shortForm = true;
       return c;
     },
     "QZ2150.1.8", 1, {}, {}},
};

TEST_P(Identity, VersionTexts) {
  for (const auto& vc : kVersionCases) {
    SCOPED_TRACE(vc.name);
    Rig rig(GetParam());
    Controller c = vc.make();
    if (c.family == qzsim::Family::TwoK && GetParam() == Transport::Serial) continue;  // family unknown there
    ASSERT_TRUE(rig.open(c));
    FWVersionInfo info;
    memset(&info, 0x5A, sizeof info);
    ASSERT_EQ(GetFWVersion(rig.handle(), &info), 1);
    EXPECT_STREQ(info.masterVersion, vc.master);
    EXPECT_EQ(info.masterShortForm, vc.masterShort);
    ASSERT_EQ(info.slaveCount, int32_t(vc.slaves.size()));
    for (size_t n = 0; n < vc.slaves.size(); ++n) {
      EXPECT_STREQ(info.slaveVersion[n], vc.slaves[n].c_str()) << "slave " << n + 1;
      EXPECT_EQ(info.slaveShortForm[n], vc.slaveShort[n]) << "slave " << n + 1;
    }
    EXPECT_EQ(rig.state().selectedSlave, -1);
    EXPECT_TRUE(rig.state().scanning);
  }
}

// Release codes in both suffix rules: the version text always has the dot, FWInfo not for
// D codes.
TEST_P(Identity, ReleaseSuffixes) {
  struct Case {
    uint8_t code;
    const char* version;
    const char* info;
  };
  const Case cases[] = {{1, "QZ4321A.D01.2.5", "D01"},     {199, "QZ4321A.D199.2.5", "D199"},
                        {200, "QZ4321A.A01.2.5", ".A01"},  {249, "QZ4321A.A50.2.5", ".A50"},
                        {250, "QZ4321A.T.2.5", ".T"},      {251, "QZ4321A.T1.2.5", ".T1"},
                        {255, "QZ4321A.T5.2.5", ".T5"},    {0, "QZ4321A.2.5", ""}};
  for (const auto& k : cases) {
    SCOPED_TRACE(int(k.code));
    Rig rig(GetParam());
    Controller c;
    c.chips[0].releaseCode = k.code;
    c.chips[0].shortForm = true;
    ASSERT_TRUE(rig.open(c));
    FWVersionInfo version{};
    ASSERT_EQ(GetFWVersion(rig.handle(), &version), 1);
    EXPECT_STREQ(version.masterVersion, k.version);
    FWInfo info{};
    ASSERT_EQ(GetFWInfo(rig.handle(), &info), 1);
    EXPECT_STREQ(info.releaseSuffix, k.info);
  }
}

struct SequenceCase {
  const char* name;
  std::function<Controller()> make;
  bool scanning;
  std::vector<std::string> sent;
};

const SequenceCase kSequences[] = {
    {"one chip", plain, true,
     {"ED 00 00 00 00", "EF 00 00 00 00", "EE 00 00 00 00", "EB 00 00 00 00"}},
    {"short form stops after EE",
     [] {
       Controller c = advtest::withSlaves({Chip{}});
       c.chips[0].shortForm = true;
       return c;
     },
     true, {"ED 00 00 00 00", "EF 00 00 00 00", "EE 00 00 00 00"}},
    {"2K with the marker skips EF",
     [] {
       Controller c = Controller::twoK();
       c.chips[0].shortForm = true;
       return c;
     },
     true, {"ED 00 00 00 00", "EE 00 00 00 00"}},
    {"2K reads its boot version with E7", [] { return Controller::twoK(); }, true,
     {"ED 00 00 00 00", "EF 00 00 00 00", "EE 00 00 00 00", "E7 00 00 00 00"}},
    {"slaves by selection pause and resume scanning",
     [] { return advtest::withSlaves({Chip{}, Chip{}}); }, true,
     {"ED 00 00 00 00", "EF 00 00 00 00", "EE F0 00 00 00", "E0 00 F0 00 00", "F0 00 00 00 00",
      "EE 00 00 00 00", "EB 00 00 00 00", "F4 00 00 00 01", "ED 00 00 00 00", "EE 00 00 00 00",
      "EB 00 00 00 00", "F4 00 01 00 01", "ED 00 00 00 00", "EE 00 00 00 00", "EB 00 00 00 00",
      "F4 00 00 00 00", "F1 00 00 00 00"}},
    {"slaves by selection with scanning stopped",
     [] { return advtest::withSlaves({Chip{}}); }, false,
     {"ED 00 00 00 00", "EF 00 00 00 00", "EE F0 00 00 00", "E0 00 F0 00 00", "EE 00 00 00 00",
      "EB 00 00 00 00", "F4 00 00 00 01", "ED 00 00 00 00", "EE 00 00 00 00", "EB 00 00 00 00",
      "F4 00 00 00 00"}},
    {"addressed queries need no pause and no selection",
     [] { return advtest::withSlaves({Chip{}, Chip{}}, true); }, true,
     {"ED 00 00 00 00", "EF 00 00 00 00", "EE F0 00 00 00", "EE 00 00 00 00", "EB 00 00 00 00",
      "ED F0 00 00 00", "EE F0 00 00 00", "EB F0 00 00 00", "ED F1 00 00 00", "EE F1 00 00 00",
      "EB F1 00 00 00"}},
};

TEST_P(Identity, CommandSequences) {
  for (const auto& sc : kSequences) {
    SCOPED_TRACE(sc.name);
    Rig rig(GetParam());
    Controller c = sc.make();
    if (c.family == qzsim::Family::TwoK && GetParam() == Transport::Serial) continue;
    ASSERT_TRUE(rig.open(c));
    if (!sc.scanning) {
      ASSERT_EQ(EnablePCAPScan(rig.handle(), 0), 1);
      rig.clear();
    }
    FWVersionInfo info{};
    ASSERT_EQ(GetFWVersion(rig.handle(), &info), 1);
    EXPECT_THAT(rig.sent(), ElementsAreArray(sc.sent));
    EXPECT_EQ(rig.state().scanning, sc.scanning);
  }
}

// The record holds four slaves: a controller reporting more chips gets four read, and
// nothing lands beyond the slave texts.
TEST_P(Identity, AtMostFourSlavesAreRead) {
  std::vector<Chip> slaves(5);
  for (size_t n = 0; n < slaves.size(); ++n) slaves[n].modelNumber = uint16_t(1000 + n);
  open(advtest::withSlaves(slaves));
  FWVersionInfo info;
  memset(&info, 0x5A, sizeof info);
  ASSERT_EQ(GetFWVersion(rig.handle(), &info), 1);
  EXPECT_EQ(info.slaveCount, 4);
  EXPECT_EQ(info.masterShortForm, 0);
  for (int n = 0; n < 4; ++n) EXPECT_EQ(std::string(info.slaveVersion[n]).substr(0, 6), "QZ" + std::to_string(1000 + n));
  EXPECT_THAT(advtest::withOpcode(rig.sent(), 0xF4),
              ElementsAre("F4 00 00 00 01", "F4 00 01 00 01", "F4 00 02 00 01", "F4 00 03 00 01", "F4 00 00 00 00"));
}

// A short-form master reads no slave: the entries its count promises are empty, not stale.
TEST_P(Identity, ShortFormMasterLeavesSlaveEntriesEmpty) {
  Controller c = advtest::withSlaves({Chip{}, Chip{}});
  c.chips[0].shortForm = true;
  open(c);
  FWVersionInfo info;
  memset(&info, 0x5A, sizeof info);
  ASSERT_EQ(GetFWVersion(rig.handle(), &info), 1);
  EXPECT_EQ(info.slaveCount, 2);
  EXPECT_STREQ(info.slaveVersion[0], "");
  EXPECT_STREQ(info.slaveVersion[1], "");
  EXPECT_EQ(info.slaveShortForm[0], 0);
  EXPECT_EQ(info.slaveShortForm[1], 0);
}

TEST_P(Identity, FailingFirstCommandSendsNothingElse) {
  open(Controller{});
  rig.device().addFault(qzsim::Fault::refuse(0xED));
  FWVersionInfo info;
  memset(&info, 0x5A, sizeof info);
  EXPECT_EQ(GetFWVersion(rig.handle(), &info), 0);
  EXPECT_THAT(rig.sent(), ElementsAre("ED 00 00 00 00"));
  EXPECT_EQ(info.masterVersion[0], 0x5A);
}

// A selection that fails after the pause still hands the master back and restarts
// scanning, so the next call neither reaches a slave nor finds the panel dead.
TEST_P(Identity, FailureDuringSlaveReadRestoresMasterAndScanning) {
  open(advtest::withSlaves({Chip{}}));
  rig.device().addFault(qzsim::Fault::refuse(0xF4));
  FWVersionInfo info{};
  EXPECT_EQ(GetFWVersion(rig.handle(), &info), 0);
  const auto sent = rig.sent();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_THAT(std::vector<std::string>(sent.end() - 2, sent.end()), ElementsAre("F4 00 00 00 00", "F1 00 00 00 00"));
  EXPECT_EQ(rig.state().selectedSlave, -1);
  EXPECT_TRUE(rig.state().scanning);
}

TEST_P(Identity, FWInfoRecord) {
  struct Case {
    const char* name;
    bool driverFirst;
    uint8_t letter;
    int32_t sensors, drivers;
    const char* model;
  };
  const Case cases[] = {{"sensor count first", false, 1, 12, 16, "QZ4321A"},
                        {"driver count first", true, 0, 12, 16, "QZ4321"}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Rig rig(GetParam());
    Controller c;
    c.chips[0].modelLetter = k.letter;
    c.sensor.sensorLines = 12;
    c.sensor.driverLines = 16;
    c.sensor.driverFirst = k.driverFirst;
    c.parameters.application[0x3A] = 1;
    c.parameters.application[0x3B] = 0;
    c.panels[1].inches = 0x15;
    c.panels[1].tenthsWide = 0x60;
    c.coverLenses[0].thickness = 0x11;
    ASSERT_TRUE(rig.open(c));
    FWInfo info;
    memset(&info, 0x5A, sizeof info);
    ASSERT_EQ(GetFWInfo(rig.handle(), &info), 1);
    EXPECT_STREQ(info.modelText, k.model);
    EXPECT_EQ(info.versionMajor, 2);
    EXPECT_EQ(info.versionMinor, 5);
    EXPECT_EQ(info.buildNumber, 120);
    EXPECT_STREQ(info.releaseSuffix, "D03");
    EXPECT_FLOAT_EQ(info.panelSize, 15.6f);
    EXPECT_FLOAT_EQ(info.coverLens, 1.1f);
    EXPECT_EQ(info.sensorPinNumber, k.sensors);
    EXPECT_EQ(info.driverPinNumber, k.drivers);
    EXPECT_THAT(advtest::withOpcode(rig.sent(), 0xE3), ElementsAre("E3 01 01 00 02", "E3 02 00 00 00"));
  }
}

TEST_P(Identity, SingleValues) {
  Controller c;
  c.parameters.application[0x3E] = 0x17;
  c.status.flag = 0x40;
  c.status.stat = 0x10;
  open(c);
  uint8_t v = 0;
  ASSERT_EQ(GetParameterVersion(rig.handle(), &v), 1);
  EXPECT_EQ(v, 0x17);
  struct Case {
    uint32_t selector;
    uint8_t expected;
  };
  const Case cases[] = {{0xF003, 0x41}, {0xF002, 0x10}, {0xABCDF002, 0x10}, {0x3E03, 0x17}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.selector);
    ASSERT_EQ(GetFirmwareFlag(rig.handle(), k.selector, &v), 1);
    EXPECT_EQ(v, k.expected);
  }
  rig.device().addFault(qzsim::Fault::refuse(0xE0));
  v = 0x99;
  EXPECT_EQ(GetParameterVersion(rig.handle(), &v), 0);
  EXPECT_EQ(v, 0x99);
}

INSTANTIATE_TEST_SUITE_P(Transports, Identity,
                         ::testing::Values(Transport::Hid, Transport::Driver, Transport::Serial),
                         [](const auto& info) { return std::string(advtest::transportName(info.param)); });

}  // namespace
