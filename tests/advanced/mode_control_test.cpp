// Mode controls against the simulator: the packets each sends, its result, and the state
// it leaves the controller in.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "rig.h"

using advtest::Rig;
using qzsim::Controller;
using qzsim::ModelState;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

struct ModeCase {
  const char* name;
  std::function<int32_t(DeviceHandle)> call;
  int32_t result;
  std::vector<std::string> sent;
  std::function<bool(const ModelState&)> state;
};

const ModeCase kModeCases[] = {
    {"data report off", [](DeviceHandle h) { return EnableDataReport(h, 0); }, 1, {"F0 00 00 00 01"},
     [](const ModelState& s) { return !s.reporting && s.scanning; }},
    {"data report on", [](DeviceHandle h) { return EnableDataReport(h, 7); }, 1, {"F1 00 00 00 01"},
     [](const ModelState& s) { return s.reporting; }},
    {"scanning off", [](DeviceHandle h) { return EnablePCAPScan(h, 0); }, 1, {"F0 00 00 00 00"},
     [](const ModelState& s) { return !s.scanning && s.reporting; }},
    {"scanning on", [](DeviceHandle h) { return EnablePCAPScan(h, 1); }, 1, {"F1 00 00 00 00"},
     [](const ModelState& s) { return s.scanning; }},
    {"diagnostic mode on answers 0", [](DeviceHandle h) { return EnableDiagMode(h, 1); }, 0, {"F9 00 00 80 01"},
     [](const ModelState& s) { return s.diagnostic; }},
    {"diagnostic mode off answers 0", [](DeviceHandle h) { return EnableDiagMode(h, 0); }, 0, {"F9 00 00 00 00"},
     [](const ModelState& s) { return !s.diagnostic; }},
    {"scan skip in an opened change", [](DeviceHandle h) { return SetDiagScanSkip(h, 0x107); }, 1,
     {"F7 00 00 00 01", "E1 00 4E 00 07", "F7 00 00 00 00"}, [](const ModelState& s) { return !s.changeOpen; }},
    {"boot mode", [](DeviceHandle h) { return EnterBootMode(h); }, 1,
     {"F0 00 00 00 00", "FF AA 55 AA 55", "FF 55 AA 55 AA"}, [](const ModelState& s) { return s.bootChip == 0; }},
    {"slave boot mode keeps the slave selected", [](DeviceHandle h) { return EnterSlaveBootMode(h, 1); }, 1,
     {"F4 00 01 00 01", "F0 00 00 00 00", "FF AA 55 AA 55", "FF 55 AA 55 AA"},
     [](const ModelState& s) { return s.selectedSlave == 1 && s.bootChip == 2; }},
    {"hopping mode 0x12", [](DeviceHandle h) { return SetFreqHopMode(h, 0x12); }, 1, {"F5 00 02 00 00"},
     [](const ModelState& s) { return s.hopSetting == 0x12; }},
    {"hopping mode 0x05", [](DeviceHandle h) { return SetFreqHopMode(h, 0x05); }, 1, {"F5 00 F5 00 00"},
     [](const ModelState& s) { return s.hopSetting == 0x05; }},
    {"reset", [](DeviceHandle h) { return ResetMPU(h); }, 1, {"FE 00 00 00 00", "FE 00 00 00 00"},
     [](const ModelState& s) { return s.resets == 1; }},
    {"echo",
     [](DeviceHandle h) {
       const uint8_t bytes[4] = {0x12, 0x34, 0x56, 0x78};
       return QZEcho(h, bytes);
     },
     1, {"FC 12 34 56 78"}, [](const ModelState&) { return true; }},
};

TEST(ModeControl, PacketsResultsAndState) {
  for (const auto& mc : kModeCases) {
    SCOPED_TRACE(mc.name);
    Rig rig;
    ASSERT_TRUE(rig.open(advtest::withSlaves({qzsim::Chip{}, qzsim::Chip{}})));
    EXPECT_EQ(mc.call(rig.handle()), mc.result);
    EXPECT_THAT(rig.sent(), ElementsAreArray(mc.sent));
    EXPECT_TRUE(mc.state(rig.state()));
  }
}

TEST(ModeControl, ScanSkipReadsBack) {
  Rig rig;
  ASSERT_TRUE(rig.open(Controller{}));
  ASSERT_EQ(SetDiagScanSkip(rig.handle(), 9), 1);
  uint8_t flags[5] = {};
  ASSERT_EQ(GetParameterFlag(rig.handle(), flags), 1);
  EXPECT_EQ(flags[4], 9);
}

TEST(ModeControl, RefusalsAndProbes) {
  Rig rig;
  Controller c;
  c.status.liveTest = 0x77;
  ASSERT_TRUE(rig.open(c));
  const DeviceHandle h = rig.handle();

  int32_t has = -1;
  ASSERT_EQ(IsFreqHop(h, &has), 1);
  EXPECT_EQ(has, 1);
  rig.device().addFault(qzsim::Fault::refuse(0xF5));
  has = -1;
  EXPECT_EQ(IsFreqHop(h, &has), 1);  // the refusal is the answer
  EXPECT_EQ(has, 0);

  rig.clear();
  rig.device().addFault(qzsim::Fault::refuse(0xF4));
  EXPECT_EQ(EnterSlaveBootMode(h, 0), 0);
  EXPECT_THAT(rig.sent(), ElementsAre("F4 00 00 00 01"));
  EXPECT_EQ(rig.state().bootChip, -1);

  rig.device().addFault(qzsim::Fault::refuse(0xE1));
  EXPECT_EQ(SetDiagScanSkip(h, 3), 0);
  EXPECT_TRUE(rig.state().changeOpen);  // left open: nothing is undone

  uint8_t live = 0;
  ASSERT_EQ(QZLiveTest(h, &live), 1);
  EXPECT_EQ(live, 0x77);
  rig.device().addFault(qzsim::Fault::refuse(0xE0));
  live = 0x11;
  EXPECT_EQ(QZLiveTest(h, &live), 0);
  EXPECT_EQ(live, 0x11);

  rig.device().addFault(qzsim::Fault::refuse(0xF0));
  EXPECT_EQ(EnablePCAPScan(h, 0), 0);
  EXPECT_TRUE(rig.state().scanning);

  rig.device().addFault(qzsim::Fault::refuse(0xF9));
  EXPECT_EQ(EnableDiagMode(h, 1), 0);
}

TEST(ModeControl, HoppingModeNeedsTheModeEchoed) {
  Rig rig;
  Controller c;
  c.hopping.present = false;  // every F5 refused
  ASSERT_TRUE(rig.open(c));
  EXPECT_EQ(SetFreqHopMode(rig.handle(), 0x12), 0);
  int32_t has = -1;
  EXPECT_EQ(IsFreqHop(rig.handle(), &has), 1);
  EXPECT_EQ(has, 0);
}

}  // namespace
