// The tray program's behaviour, driven without a display through fakes of its window,
// timers, libraries and controller.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "core/texts.h"
#include "fakes.h"

namespace qz::toolkit::testing {
namespace {

using ::testing::ElementsAre;

const Packet kF7Open{0xF7, 0x00, 0x00, 0x00, 0x01};
const Packet kF7Close{0xF7, 0x00, 0x00, 0x00, 0x00};
const Packet kE0Water{0xE0, 0x00, 0x43, 0x00, 0x00};
const Packet kEA{0xEA, 0x00, 0xAA, 0x00, 0x00};
Packet e1(uint8_t v) { return {0xE1, 0x00, 0x43, 0x00, v}; }

// ---- Touch-state machine ----------------------------------------------------------------

struct TimelineCase {
  const char* name;
  std::vector<std::pair<int64_t, uint8_t>> reports;  // time, report byte
  std::vector<std::pair<int64_t, bool>> visible;     // time, window visible after that time
};

class TouchTimeline : public ::testing::TestWithParam<TimelineCase> {};

TEST_P(TouchTimeline, WindowFollowsTheDelays) {
  Rig rig;
  rig.setting.value = 1;
  rig.core.create(false, false);
  const TimelineCase& tc = GetParam();
  // Merge reports and checks by time; at equal times the report comes first.
  size_t r = 0, v = 0;
  while (r < tc.reports.size() || v < tc.visible.size()) {
    bool report = r < tc.reports.size() &&
                  (v == tc.visible.size() || tc.reports[r].first <= tc.visible[v].first);
    int64_t at = report ? tc.reports[r].first : tc.visible[v].first;
    rig.timers.advance(at - rig.timers.now);
    if (report) {
      const uint8_t rep[2] = {0x00, tc.reports[r++].second};
      rig.core.onTouchReport(rep, sizeof rep);
    } else {
      EXPECT_EQ(rig.view.opacity == 255, tc.visible[v].second) << "at " << at << " ms";
      EXPECT_EQ(rig.core.windowShown(), tc.visible[v].second) << "at " << at << " ms";
      ++v;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Core, TouchTimeline,
    ::testing::Values(
        TimelineCase{"DisabledThenEnabledAfterOneSecond",
                     {{0, 0x8A}, {1000, 0x0A}},
                     {{1499, false}, {1500, false}, {5000, false}}},
        TimelineCase{"DisabledForOneAndAHalfSecondsShowsEnabledHidesHalfASecondLater",
                     {{0, 0x8A}, {3000, 0x0A}},
                     {{1499, false}, {1500, true}, {3499, true}, {3500, false}}},
        TimelineCase{"SecondDisabledKeepsTheFirstDeadline",
                     {{0, 0x8A}, {1000, 0x8A}},
                     {{1499, false}, {1500, true}}},
        TimelineCase{"EnabledThenDisabledWithinHalfASecondKeepsTheWindow",
                     {{0, 0x8A}, {2000, 0x0A}, {2300, 0x8A}},
                     {{1500, true}, {2600, true}, {3000, true}, {3799, true}}},
        TimelineCase{"OtherBytesChangeNothing",
                     {{0, 0x8B}, {10, 0x00}, {20, 0xFF}},
                     {{5000, false}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Core, TipIconAndBalloonFollowEveryReport) {
  Rig rig;
  rig.setting.value = 1;
  rig.core.create(false, false);
  const uint8_t off[2] = {0, 0x8A}, on[2] = {0, 0x0A};
  rig.core.onTouchReport(off, 2);
  EXPECT_EQ(rig.view.tray.tip, "Tarvanel Tool Kit (Touch Disabled)");
  EXPECT_EQ(rig.view.tray.info, "KRX Device Touch Disabled.");
  EXPECT_EQ(rig.view.tray.icon, kIconDisabled);
  rig.timers.advance(1000);
  rig.core.onTouchReport(on, 2);
  EXPECT_EQ(rig.view.tray.tip, "Tarvanel Tool Kit (Touch Enabled)");
  EXPECT_EQ(rig.view.tray.info, "KRX Device Touch Enabled.");
  EXPECT_EQ(rig.view.tray.icon, kIconNormal);
  EXPECT_EQ(rig.view.trayUpdates.size(), 2u);
}

TEST(Core, DisplayedWindowCarriesItsTextsAndAnimates) {
  Rig rig;
  rig.setting.value = 1;
  rig.core.create(false, false);
  const uint8_t off[2] = {0, 0x8A};
  rig.core.onTouchReport(off, 2);
  rig.timers.advance(1500);
  EXPECT_EQ(rig.view.title, "QZToolKit : KRX Device Touch Disabled");
  EXPECT_EQ(rig.view.texts[kItemText], "Tarvanel Device touch disabled at abnormal state.");
  EXPECT_EQ(rig.view.texts[kItemHint], "Please remove palm or water.");
  EXPECT_TRUE(rig.view.shown[kItemOkAbnormal]);
  EXPECT_TRUE(rig.view.shown[kItemHint]);
  EXPECT_TRUE(rig.view.shown[kItemPicture]);
  EXPECT_FALSE(rig.view.shown[kItemOkReset]);
  EXPECT_EQ(rig.view.width, 294);
  EXPECT_EQ(rig.view.height, 180);
  std::vector<size_t> indents;
  for (int tick = 0; tick < 16; ++tick) {
    rig.timers.advance(1000);
    const std::string& t = rig.view.texts[kItemHint];
    indents.push_back(t.find_first_not_of(' '));
    EXPECT_EQ(t.substr(indents.back()), "Please remove palm or water.");
  }
  EXPECT_THAT(indents, ElementsAre(1, 2, 3, 4, 5, 6, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2));
}

TEST(Core, SettingOffChangesTipAndIconOnly) {
  Rig rig;
  rig.core.create(false, false);
  const uint8_t off[2] = {0, 0x8A};
  rig.core.onTouchReport(off, 2);
  EXPECT_EQ(rig.view.tray.tip, "Tarvanel Tool Kit (Touch Disabled)");
  EXPECT_EQ(rig.view.tray.icon, kIconDisabled);
  EXPECT_EQ(rig.view.tray.info, "");
  rig.timers.advance(3000);
  EXPECT_EQ(rig.view.title, "QZToolKit : KRX Device Touch Disabled");  // set, but unseen
  EXPECT_EQ(rig.view.opacity, 0);
  EXPECT_FALSE(rig.core.windowShown());
  EXPECT_FALSE(rig.timers.isRunning(kTimerHint));
  // The monitor's road is closed while the setting is off.
  rig.core.onTouchStateMessage(0x0A);
  EXPECT_EQ(rig.view.tray.tip, "Tarvanel Tool Kit (Touch Disabled)");
}

TEST(Core, OkHidesWhileTheAnimationGoesOnUntilEnabled) {
  Rig rig;
  rig.setting.value = 1;
  rig.core.create(false, false);
  const uint8_t off[2] = {0, 0x8A}, on[2] = {0, 0x0A};
  rig.core.onTouchReport(off, 2);
  rig.timers.advance(1500);
  rig.core.onOkButton();
  EXPECT_EQ(rig.view.opacity, 0);
  EXPECT_FALSE(rig.view.shown[kItemOkAbnormal]);
  EXPECT_FALSE(rig.view.shown[kItemPicture]);
  EXPECT_TRUE(rig.core.windowShown());
  EXPECT_TRUE(rig.timers.isRunning(kTimerHint));
  rig.core.onTouchReport(on, 2);
  rig.timers.advance(500);
  EXPECT_FALSE(rig.core.windowShown());
  EXPECT_FALSE(rig.timers.isRunning(kTimerHint));
}

TEST(Core, RemovalWhileShownHidesAndResetsTheTip) {
  Rig rig;
  rig.setting.value = 1;
  rig.controller.driverPresent = true;
  rig.core.create(false, false);
  rig.core.onTouchStateMessage(0x8A);
  rig.timers.advance(1500);
  ASSERT_EQ(rig.view.opacity, 255);
  rig.controller.changeCode = kChangeRemoved;
  rig.core.onDeviceChange(kDeviceRemoveComplete, nullptr);
  EXPECT_EQ(rig.view.opacity, 0);
  EXPECT_FALSE(rig.core.windowShown());
  EXPECT_FALSE(rig.timers.isRunning(kTimerHint));
  EXPECT_EQ(rig.view.tray.tip, "Tarvanel Tool Kit");
  EXPECT_EQ(rig.view.tray.info, "");
  EXPECT_EQ(rig.view.tray.icon, kIconNormal);
  EXPECT_EQ(rig.monitor.stops, 1);
  EXPECT_THAT(rig.controller.closed, ElementsAre(FakeController::kDriverHandle));
  EXPECT_EQ(rig.core.monitorDevice(), kNoDevice);
}

// ---- Monitor thread control and device changes ------------------------------------------

TEST(Core, MonitorRunsOnlyWithTheDriverControllerAndTheSettingOn) {
  struct Case {
    bool driver;
    uint32_t setting;
    size_t starts;
  } cases[] = {{true, 1, 1}, {true, 0, 0}, {false, 1, 0}, {true, 42, 1}};
  for (const Case& c : cases) {
    Rig rig;
    rig.controller.driverPresent = c.driver;
    rig.setting.value = c.setting;
    rig.core.create(false, false);
    EXPECT_EQ(rig.monitor.starts.size(), c.starts) << c.driver << " " << c.setting;
  }
}

TEST(Core, TogglingTheSettingStartsAndStopsTheMonitorAndStoresIt) {
  Rig rig;
  rig.controller.driverPresent = true;
  rig.core.create(false, false);
  rig.core.runCommand(kCmdNotify);
  EXPECT_TRUE(rig.core.menu().notifyChecked);
  EXPECT_THAT(rig.monitor.starts, ElementsAre(FakeController::kDriverHandle));
  rig.core.runCommand(kCmdNotify);
  EXPECT_FALSE(rig.core.menu().notifyChecked);
  EXPECT_EQ(rig.monitor.stops, 1);
  EXPECT_THAT(rig.setting.writes, ElementsAre(1u, 0u));
}

TEST(Core, RemovedControllerIsForgottenWhateverTheSettingAndFoundAgain) {
  for (uint32_t setting : {0u, 1u}) {
    Rig rig;
    rig.setting.value = setting;
    rig.controller.driverPresent = true;
    rig.core.create(false, false);
    rig.controller.changeCode = kChangeRemoved;
    rig.core.onDeviceChange(kDeviceRemoveComplete, nullptr);
    EXPECT_EQ(rig.core.monitorDevice(), kNoDevice) << setting;
    EXPECT_THAT(rig.controller.closed, ElementsAre(FakeController::kDriverHandle)) << setting;
    rig.controller.changeCode = kChangeArrived;
    rig.core.onDeviceChange(kDeviceArrival, nullptr);
    EXPECT_EQ(rig.core.monitorDevice(), FakeController::kDriverHandle) << setting;
    EXPECT_EQ(rig.monitor.starts.size(), setting ? 2u : 0u);
  }
}

// The arrival can come a moment before the device object takes connections.
TEST(Core, ControllerNotReadyAtItsArrivalIsLookedForAgainForAWhile) {
  struct Case {
    int readyAfterMs;  // -1: never
    bool found;
  };
  for (const Case c : {Case{250, true}, Case{kArrivalRetries * kArrivalRetryMs - 50, true}, Case{-1, false}}) {
    Rig rig;
    rig.setting.value = 1;
    rig.core.create(false, false);
    rig.controller.changeCode = kChangeArrived;
    rig.core.onDeviceChange(kDeviceArrival, nullptr);
    EXPECT_EQ(rig.core.monitorDevice(), kNoDevice);
    if (c.readyAfterMs >= 0) {
      rig.timers.advance(c.readyAfterMs);
      rig.controller.driverPresent = true;
    }
    rig.timers.advance(kArrivalRetries * kArrivalRetryMs + 1000);
    EXPECT_EQ(rig.core.monitorDevice(), c.found ? FakeController::kDriverHandle : kNoDevice) << c.readyAfterMs;
    EXPECT_EQ(rig.monitor.starts.size(), c.found ? 1u : 0u) << c.readyAfterMs;
    EXPECT_FALSE(rig.timers.isRunning(kTimerArrival)) << "still looking, " << c.readyAfterMs;
  }
}

TEST(Core, RemovalEndsTheSearchForAnArrivedController) {
  Rig rig;
  rig.core.create(false, false);
  rig.controller.changeCode = kChangeArrived;
  rig.core.onDeviceChange(kDeviceArrival, nullptr);
  EXPECT_TRUE(rig.timers.isRunning(kTimerArrival));
  rig.controller.changeCode = kChangeRemoved;
  rig.core.onDeviceChange(kDeviceRemoveComplete, nullptr);
  EXPECT_FALSE(rig.timers.isRunning(kTimerArrival));
  rig.controller.driverPresent = true;
  rig.timers.advance(5000);
  EXPECT_EQ(rig.core.monitorDevice(), kNoDevice);
}

TEST(Core, ArrivalLeavesAWatchedControllerAloneAndIgnoresOtherDevices) {
  Rig rig;
  rig.setting.value = 1;
  rig.controller.driverPresent = true;
  rig.core.create(false, false);
  rig.controller.changeCode = kChangeArrived;
  rig.core.onDeviceChange(kDeviceArrival, nullptr);
  rig.controller.changeCode = -1;
  rig.core.onDeviceChange(kDeviceRemoveComplete, nullptr);
  EXPECT_EQ(rig.monitor.starts.size(), 1u);
  EXPECT_TRUE(rig.controller.closed.empty());
  EXPECT_EQ(rig.core.monitorDevice(), FakeController::kDriverHandle);
}

TEST(Core, RemovalDropsACommandHandleThatWasTheWatchedController) {
  Rig rig;
  rig.controller.driverPresent = true;
  rig.core.create(false, false);
  rig.core.readWaterMode();  // the command handle becomes the watched controller
  ASSERT_EQ(rig.core.device(), FakeController::kDriverHandle);
  rig.controller.changeCode = kChangeRemoved;
  rig.core.onDeviceChange(kDeviceRemoveComplete, nullptr);
  EXPECT_EQ(rig.core.device(), kNoDevice);
  rig.core.readWaterMode();  // must not close the old descriptor number a second time
  EXPECT_THAT(rig.controller.closed, ElementsAre(FakeController::kDriverHandle));
}

TEST(Core, DeviceEventsFromTheLibraryThreadAreDecidedOnTheUserInterfaceThread) {
  Rig rig;
  rig.core.create(false, false);
  ASSERT_NE(rig.controller.notifyCallback, nullptr);
  uint8_t record[40] = {};
  record[0] = sizeof record;
  record[4] = 5;
  std::thread library([&] {
    rig.controller.notifyCallback(rig.controller.notifyContext, kDeviceArrival, record);
  });
  library.join();
  memset(record, 0xEE, sizeof record);  // the library's record is gone after the call
  EXPECT_TRUE(rig.controller.deviceChanges.empty());
  rig.dispatcher.runAll();
  EXPECT_THAT(rig.controller.deviceChanges, ElementsAre(kDeviceArrival));
}

// ---- Keyboard ---------------------------------------------------------------------------

TEST(Core, CtrlShiftRTwiceOpensOneConfirmation) {
  Rig rig;
  rig.core.create(false, false);
  rig.view.answer = [&] {
    // A second press while the box is open only brings the window forward.
    rig.core.onKey(kKeyR, true);
    rig.core.onKey(kKeyR, false);
    return false;
  };
  rig.core.onKey(kKeyCtrl, true);
  rig.core.onKey(kKeyShift, true);
  rig.core.onKey(kKeyR, true);
  ASSERT_EQ(rig.view.questions.size(), 1u);
  EXPECT_EQ(rig.view.questions[0].first, "Do you want to reset touch panel?");
  EXPECT_EQ(rig.view.questions[0].second, "QZToolKit : Reset Touch Panel");
  EXPECT_EQ(rig.view.fronts, 2);
  // Once answered, the next press asks again.
  rig.view.answer = [] { return false; };
  rig.core.onKey(kKeyR, true);
  EXPECT_EQ(rig.view.questions.size(), 2u);
}

TEST(Core, CombinationNeedsBothModifiersHeld) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, bool>> keys;
    size_t questions;
  } cases[] = {
      {"ctrl held, shift pressed and released", {{kKeyCtrl, true}, {kKeyShift, true}, {kKeyShift, false}, {kKeyR, true}}, 0},
      {"shift only", {{kKeyShift, true}, {kKeyR, true}}, 0},
      {"ctrl released", {{kKeyCtrl, true}, {kKeyShift, true}, {kKeyCtrl, false}, {kKeyR, true}}, 0},
      {"both held", {{kKeyShift, true}, {kKeyCtrl, true}, {kKeyR, true}}, 1},
      {"other key", {{kKeyCtrl, true}, {kKeyShift, true}, {0x53, true}}, 0},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.core.create(false, false);
    for (auto [key, down] : c.keys) rig.core.onKey(key, down);
    EXPECT_EQ(rig.view.questions.size(), c.questions) << c.name;
  }
}

class RecordingLog : public LogComponent {
 public:
  int runs = 0, ticks = 0, frees = 0;
  void run(ToolKitCore& core) override {
    ++runs;
    core.timers().start(kTimerLog, kLogPeriodMs);
  }
  void onTimer(ToolKitCore&) override { ++ticks; }
  void freeBuffers() override { ++frees; }
};

TEST(Core, LogCommandReachesTheLogComponent) {
  RecordingLog log;  // outlives the core, which frees its buffers at the end
  Rig rig;
  rig.core.setLogComponent(&log);
  rig.core.create(false, false);
  rig.core.onKey(kKeyCtrl, true);
  rig.core.onKey(kKeyShift, true);
  rig.core.onKey(kKeyL, true);
  rig.core.runCommand(kCmdLog);
  EXPECT_EQ(log.runs, 2);
  rig.timers.advance(250);
  EXPECT_EQ(log.ticks, 2);
  rig.core.cleanUpCommand();
  EXPECT_EQ(log.frees, 1);
}

// ---- Water mode -------------------------------------------------------------------------

TEST(Core, ReadWaterMode) {
  struct Case {
    const char* name;
    bool hid, driver, feature;
    uint8_t byte;
    std::set<uint8_t> failing;
    int expected;
  } cases[] = {
      {"0x08 reads off", true, false, true, 0x08, {}, kWaterOff},
      {"0x80 reads off", true, false, true, 0x80, {}, kWaterOff},
      {"0x00 reads on", true, false, true, 0x00, {}, kWaterOn},
      {"other bits read on", false, true, true, 0x77, {}, kWaterOn},
      {"no feature", true, false, false, 0x00, {}, kWaterUnsupported},
      {"failed exchange", true, false, true, 0x00, {0xE0}, kWaterUnsupported},
      {"no controller", false, false, true, 0x00, {}, kWaterNoController},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.controller.hidPresent = c.hid;
    rig.controller.driverPresent = c.driver;
    rig.controller.waterFeature = c.feature;
    rig.controller.waterByte = c.byte;
    rig.controller.failing = c.failing;
    rig.core.create(false, false);
    EXPECT_EQ(rig.core.readWaterMode(), c.expected) << c.name;
  }
}

TEST(Core, WaterModeMenuSwitchesBackAndForth) {
  Rig rig;
  rig.controller.hidPresent = true;
  rig.controller.waterByte = 0x08;
  rig.core.create(false, false);
  rig.view.choose = [](const MenuState&) { return kCmdDevice0; };

  rig.core.onTrayCallback(kRightButtonUp);
  EXPECT_TRUE(rig.view.menus.back().waterEnabled);
  EXPECT_FALSE(rig.view.menus.back().device0Checked);
  EXPECT_EQ(rig.controller.waterByte, 0x00);
  // The packets on the wire after the menu's read.
  std::vector<Packet> write(rig.controller.sent.end() - 6, rig.controller.sent.end());
  EXPECT_THAT(write, ElementsAre(kF7Open, kE0Water, e1(0x00), kEA, kEA, kF7Close));

  rig.core.onTrayCallback(kLeftButtonUp);
  EXPECT_TRUE(rig.view.menus.back().device0Checked);
  EXPECT_EQ(rig.controller.waterByte, 0x80);
  EXPECT_EQ(rig.core.markerTitle(), "Tarvanel KRX Resident Application Window");
  EXPECT_THAT(rig.view.markerTitles,
              ElementsAre("Tarvanel KRX Resident Application Active", "Tarvanel KRX Resident Application Window",
                          "Tarvanel KRX Resident Application Active", "Tarvanel KRX Resident Application Window"));
}

TEST(Core, WaterModeWriteKeepsTheOtherBits) {
  for (auto [before, on, after] : {std::tuple<uint8_t, bool, uint8_t>{0x1C, true, 0x14},
                                   {0x1C, false, 0x94}, {0x7F, false, 0xF7}}) {
    Rig rig;
    rig.controller.hidPresent = true;
    rig.controller.waterByte = before;
    rig.core.create(false, false);
    rig.core.readWaterMode();
    rig.core.writeWaterMode(on);
    EXPECT_EQ(rig.controller.waterByte, after) << int(before) << " " << on;
  }
}

TEST(Core, WaterModeWriteAfterAFailedReadWritesNothingButCloses) {
  struct Case {
    const char* name;
    std::set<uint8_t> refused, failing;
    std::vector<Packet> wire;
  } cases[] = {
      {"read fails", {}, {0xE0}, {kF7Open, kE0Water, kF7Close}},
      {"read refused", {0xE0}, {}, {kF7Open, kE0Water, kF7Close}},
      {"opening refused", {0xF7}, {}, {kF7Open, kE0Water, e1(0x80), kEA, kEA, kF7Close}},
      {"first store refused", {0xEA}, {}, {kF7Open, kE0Water, e1(0x80), kEA, kF7Close}},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.controller.hidPresent = true;
    rig.controller.waterByte = 0x00;
    rig.core.create(false, false);
    ASSERT_EQ(rig.core.readWaterMode(), kWaterOn);
    rig.controller.sent.clear();
    rig.controller.refused = c.refused;
    rig.controller.failing = c.failing;
    rig.core.writeWaterMode(false);
    EXPECT_EQ(rig.controller.sent, c.wire) << c.name;
    EXPECT_EQ(rig.core.markerTitle(), "Tarvanel KRX Resident Application Window") << c.name;
  }
}

TEST(Core, WaterOffAtStart) {
  struct Case {
    uint8_t byte;
    bool writes;
  } cases[] = {{0x00, true}, {0x80, false}, {0x08, false}};
  for (const Case& c : cases) {
    Rig rig;
    rig.controller.hidPresent = true;
    rig.controller.waterByte = c.byte;
    rig.core.create(true, false);
    rig.timers.advance(99);
    EXPECT_TRUE(rig.controller.sent.empty());
    rig.timers.advance(1);
    EXPECT_FALSE(rig.timers.isRunning(kTimerWaterOff));
    EXPECT_EQ(rig.controller.sentWith(0xE1).size(), c.writes ? 1u : 0u) << int(c.byte);
    EXPECT_EQ(rig.controller.sentWith(0xF7).size(), c.writes ? 2u : 0u) << int(c.byte);
    if (c.writes) {
      EXPECT_EQ(rig.controller.waterByte, 0x80);
    }
    rig.timers.advance(1000);
    EXPECT_EQ(rig.controller.sentWith(0xE1).size(), c.writes ? 1u : 0u);
  }
}

// ---- Reset ------------------------------------------------------------------------------

TEST(Core, ResetCodes) {
  struct Case {
    const char* name;
    const char* missingLibrary;
    const char* missingFunction;
    bool hid, driver, pcapOk;
    const char* error;
  } cases[] = {
      {"no basic library", kBasicLibraryFile, nullptr, true, false, true, "Tarvanel DLL not found."},
      {"no advanced library", kAdvancedLibraryFile, nullptr, true, false, true, "Tarvanel DLL not found."},
      {"no FindHidDevice", nullptr, "FindHidDevice", true, false, true, "Get Tarvanel DLL function pointer failed."},
      {"no EnablePCAPScan", nullptr, "EnablePCAPScan", true, false, true, "Get Tarvanel DLL function pointer failed."},
      {"no controller", nullptr, nullptr, false, false, true, "No Tarvanel KRX Device found."},
      {"scan refused", nullptr, nullptr, true, false, false, "Reset Base Line failed"},
      {"hid controller", nullptr, nullptr, true, false, true, nullptr},
      {"driver controller", nullptr, nullptr, false, true, true, nullptr},
  };
  for (const Case& c : cases) {
    Rig rig;
    if (c.missingLibrary) rig.loader.libraries.erase(c.missingLibrary);
    if (c.missingFunction)
      for (auto& [file, fns] : rig.loader.libraries) fns.erase(c.missingFunction);
    rig.controller.hidPresent = c.hid;
    rig.controller.driverPresent = c.driver;
    rig.controller.pcapOk = c.pcapOk;
    rig.core.create(false, false);
    rig.view.answer = [] { return true; };
    rig.core.runCommand(kCmdReset);
    if (c.error) {
      ASSERT_EQ(rig.view.errors.size(), 1u) << c.name;
      EXPECT_EQ(rig.view.errors[0].first, c.error) << c.name;
      EXPECT_EQ(rig.view.errors[0].second, "Reset Base Line failed") << c.name;
      EXPECT_FALSE(rig.core.resetDone()) << c.name;
      EXPECT_EQ(rig.view.opacity, 0) << c.name;
    } else {
      EXPECT_TRUE(rig.view.errors.empty()) << c.name;
      EXPECT_TRUE(rig.core.resetDone()) << c.name;
      EXPECT_EQ(rig.view.opacity, 255) << c.name;
      EXPECT_EQ(rig.view.title, "QZToolKit : Reset Touch Panel") << c.name;
      EXPECT_EQ(rig.view.texts[kItemText], "Reset touch panel finish.") << c.name;
      EXPECT_TRUE(rig.view.shown[kItemOkReset]) << c.name;
      EXPECT_FALSE(rig.view.shown[kItemOkAbnormal]) << c.name;
      EXPECT_FALSE(rig.view.shown[kItemHint]) << c.name;
      EXPECT_FALSE(rig.view.shown[kItemPicture]) << c.name;
      EXPECT_EQ(rig.view.width, 294) << c.name;
      EXPECT_EQ(rig.view.height, 130) << c.name;
      EXPECT_EQ(rig.view.tray.tip, "Tarvanel Tool Kit (Touch Enabled)") << c.name;
      EXPECT_EQ(rig.view.tray.info, "") << c.name;
      ASSERT_EQ(rig.controller.pcap.size(), 1u) << c.name;
      EXPECT_EQ(rig.controller.pcap[0].second, 1) << c.name;
    }
    // Clean-up and the marker title on every path.
    EXPECT_EQ(rig.core.advancedLibrary(), nullptr) << c.name;
    EXPECT_EQ(rig.core.markerTitle(), "Tarvanel KRX Resident Application Window") << c.name;
    EXPECT_EQ(rig.view.markerTitles.front(), "Tarvanel KRX Resident Application Active") << c.name;
    if (c.driver) {
      EXPECT_TRUE(rig.controller.closed.empty()) << c.name;
      EXPECT_EQ(rig.core.device(), FakeController::kDriverHandle) << c.name;
    } else {
      EXPECT_EQ(rig.controller.closed, rig.controller.opened) << c.name;
      EXPECT_EQ(rig.core.device(), kNoDevice) << c.name;
    }
  }
}

TEST(Core, AllLibrariesMissingStillStartsAndTheResetSaysSo) {
  Rig rig;
  rig.loader.libraries.clear();
  rig.core.create(false, false);
  EXPECT_TRUE(rig.view.trayPresent);
  EXPECT_EQ(rig.view.tray.tip, "Tarvanel Tool Kit");
  rig.view.choose = [](const MenuState&) { return kCmdReset; };
  rig.view.answer = [] { return true; };
  rig.core.onTrayCallback(kRightButtonUp);
  ASSERT_EQ(rig.view.menus.size(), 1u);
  EXPECT_FALSE(rig.view.menus[0].waterEnabled);
  ASSERT_EQ(rig.view.errors.size(), 1u);
  EXPECT_EQ(rig.view.errors[0], std::make_pair(std::string("Tarvanel DLL not found."),
                                               std::string("Reset Base Line failed")));
}

TEST(Core, EachCommandLoadsAndUnloadsTheControllerFunctions) {
  Rig rig;
  rig.controller.hidPresent = true;
  rig.core.create(false, false);
  rig.view.answer = [] { return true; };
  rig.core.runCommand(kCmdReset);
  rig.core.runCommand(kCmdReset);
  EXPECT_EQ(std::count(rig.loader.loads.begin(), rig.loader.loads.end(), kAdvancedLibraryFile), 2);
  EXPECT_EQ(std::count(rig.loader.unloads.begin(), rig.loader.unloads.end(), kAdvancedLibraryFile), 2);
  EXPECT_THAT(rig.loader.loads[0], kBasicLibraryFile);
  EXPECT_THAT(rig.loader.loads[1], kOtherLibraryFile);
}

TEST(Core, ResetClosesTheHandleAWaterModeReadLeftOpen) {
  Rig rig;
  rig.controller.hidPresent = true;
  rig.core.create(false, false);
  rig.core.readWaterMode();
  ASSERT_THAT(rig.controller.opened, ElementsAre(100));
  rig.view.answer = [] { return true; };
  rig.core.runCommand(kCmdReset);
  EXPECT_THAT(rig.controller.opened, ElementsAre(100, 101));
  EXPECT_THAT(rig.controller.closed, ElementsAre(100, 101));
  ASSERT_EQ(rig.controller.pcap.size(), 1u);
  EXPECT_EQ(rig.controller.pcap[0].first, 101);
}

TEST(Core, ResetDuringTheAbnormalDisplayStopsTheAnimation) {
  Rig rig;
  rig.setting.value = 1;
  rig.controller.hidPresent = true;
  rig.core.create(false, false);
  rig.core.applyTouchState(0x8A);
  rig.timers.advance(1500);
  rig.view.answer = [] { return true; };
  rig.core.runCommand(kCmdReset);
  EXPECT_FALSE(rig.core.windowShown());
  EXPECT_FALSE(rig.timers.isRunning(kTimerHint));
  EXPECT_EQ(rig.view.opacity, 255);
  // OK on the reset display hides it.
  rig.core.onOkButton();
  EXPECT_EQ(rig.view.opacity, 0);
  EXPECT_EQ(rig.view.height, 180);
}

TEST(Core, NoToTheConfirmationDoesNothing) {
  Rig rig;
  rig.controller.hidPresent = true;
  rig.core.create(false, false);
  rig.core.runCommand(kCmdReset);
  EXPECT_EQ(rig.view.questions.size(), 1u);
  EXPECT_TRUE(rig.controller.pcap.empty());
  EXPECT_EQ(rig.loader.loads.size(), 2u);
}

TEST(Core, MessageTable) {
  EXPECT_STREQ(messageText(1), "Tarvanel DLL not found.");
  EXPECT_STREQ(messageText(11), "Get Raw Count Buffer Size failed");
  EXPECT_STREQ(messageText(17), "Get Feature Flag failed.");
  EXPECT_STREQ(messageText(0), "Undefine error.");
  EXPECT_STREQ(messageText(18), "Undefine error.");
  Rig rig;
  rig.core.create(false, false);
  rig.core.showCommandError(18, 16);
  rig.core.showCommandError(7, 7);
  EXPECT_THAT(rig.view.errors,
              ElementsAre(std::make_pair(std::string("Undefine error."), std::string("Undefine error.")),
                          std::make_pair(std::string("Get Parameter List Information failed."),
                                         std::string("Get Parameter List Information failed."))));
}

// ---- Menu and coexistence ---------------------------------------------------------------

TEST(Core, MenuStates) {
  struct Case {
    const char* name;
    bool hid;
    bool feature;
    uint8_t byte;
    uint32_t setting;
    bool sibling;
    MenuState expected;
  } cases[] = {
      {"fresh account, no controller", false, true, 0, 0, false, {true, true, true, false, false, true, false, "APP ver : 1.1.10"}},
      {"any non-zero setting marks the item", false, true, 0, 7, false, {true, true, true, true, false, true, false, "APP ver : 1.1.10"}},
      {"controller without the feature", true, false, 0, 0, false, {true, true, true, false, true, false, false, "APP ver : 1.1.10"}},
      {"water mode on", true, true, 0x00, 0, false, {true, true, true, false, true, true, true, "APP ver : 1.1.10"}},
      {"water mode off", true, true, 0x08, 0, false, {true, true, true, false, true, true, false, "APP ver : 1.1.10"}},
      {"sibling active", true, true, 0x00, 1, true, {false, false, false, true, false, true, false, "APP ver : 1.1.10"}},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.controller.hidPresent = c.hid;
    rig.controller.waterFeature = c.feature;
    rig.controller.waterByte = c.byte;
    rig.setting.value = c.setting;
    rig.core.create(false, c.sibling);
    rig.core.onTrayCallback(kRightButtonUp);
    ASSERT_EQ(rig.view.menus.size(), 1u) << c.name;
    const MenuState& m = rig.view.menus[0];
    EXPECT_EQ(m.resetEnabled, c.expected.resetEnabled) << c.name;
    EXPECT_EQ(m.logEnabled, c.expected.logEnabled) << c.name;
    EXPECT_EQ(m.notifyEnabled, c.expected.notifyEnabled) << c.name;
    EXPECT_EQ(m.notifyChecked, c.expected.notifyChecked) << c.name;
    EXPECT_EQ(m.waterEnabled, c.expected.waterEnabled) << c.name;
    EXPECT_EQ(m.device0Enabled, c.expected.device0Enabled) << c.name;
    EXPECT_EQ(m.device0Checked, c.expected.device0Checked) << c.name;
    EXPECT_EQ(m.version, c.expected.version) << c.name;
    if (c.sibling) {
      EXPECT_TRUE(rig.controller.sent.empty()) << "no read while the sibling is active";
    }
  }
}

TEST(Core, HandsOffDisablesAndEnablesTheControllerCommands) {
  Rig rig;
  rig.controller.hidPresent = true;
  rig.core.create(false, false);
  rig.core.onHandsOff(1, 0);
  rig.core.onTrayCallback(kLeftButtonUp);
  EXPECT_FALSE(rig.view.menus.back().resetEnabled);
  EXPECT_FALSE(rig.view.menus.back().logEnabled);
  EXPECT_FALSE(rig.view.menus.back().notifyEnabled);
  EXPECT_FALSE(rig.view.menus.back().waterEnabled);
  EXPECT_TRUE(rig.controller.sent.empty());
  rig.core.runCommand(kCmdNotify);  // not selectable while disabled
  EXPECT_TRUE(rig.setting.writes.empty());
  rig.core.onHandsOff(0, 0);
  rig.core.onTrayCallback(kLeftButtonUp);
  EXPECT_TRUE(rig.view.menus.back().resetEnabled);
  EXPECT_TRUE(rig.view.menus.back().waterEnabled);
  // The keyboard's reset is not affected by the sibling.
  rig.core.onHandsOff(-5, 0);
  rig.core.onResetKeys();
  EXPECT_EQ(rig.view.questions.size(), 1u);
}

TEST(Core, OnlyAButtonReleaseOpensTheMenu) {
  Rig rig;
  rig.core.create(false, false);
  for (uint32_t msg : {kMouseMove, 0x201u, 0x204u, 0x203u}) rig.core.onTrayCallback(msg);
  EXPECT_TRUE(rig.view.menus.empty());
  EXPECT_EQ(rig.view.fronts, 4);
}

TEST(Core, ExitRunsTheShutDownOnce) {
  Rig rig;
  rig.setting.value = 1;
  rig.controller.driverPresent = true;
  rig.core.create(false, false);
  ASSERT_TRUE(rig.view.markerPresent);
  ASSERT_TRUE(rig.view.rawInputRegistered);
  rig.view.choose = [](const MenuState&) { return kCmdExit; };
  rig.core.onTrayCallback(kRightButtonUp);
  EXPECT_TRUE(rig.view.ended);
  EXPECT_FALSE(rig.view.trayPresent);
  EXPECT_FALSE(rig.view.markerPresent);
  EXPECT_FALSE(rig.view.rawInputRegistered);
  EXPECT_EQ(rig.controller.unregisters, 1);
  EXPECT_EQ(rig.monitor.stops, 1);
  EXPECT_THAT(rig.controller.closed, ElementsAre(FakeController::kDriverHandle));
  EXPECT_TRUE(rig.loader.loaded.empty());
  rig.core.closeProgram();
  EXPECT_EQ(rig.controller.unregisters, 1);
  // Events after the end are ignored.
  rig.core.onTrayCallback(kRightButtonUp);
  EXPECT_EQ(rig.view.menus.size(), 1u);
}

TEST(Core, RefusedRawInputEndsTheProgramDuringCreation) {
  Rig rig;
  rig.view.rawInputOk = false;
  rig.core.create(true, false);
  EXPECT_TRUE(rig.view.ended);
  EXPECT_EQ(rig.view.trayAdds, 0);
  EXPECT_FALSE(rig.timers.isRunning(kTimerWaterOff));
}

TEST(Core, TaskbarRecreationAddsTheIconWithItsCurrentContents) {
  Rig rig;
  rig.setting.value = 1;
  rig.core.create(false, false);
  rig.core.applyTouchState(0x8A);
  rig.core.onTaskbarCreated();
  EXPECT_EQ(rig.view.trayAdds, 2);
  EXPECT_EQ(rig.view.tray.tip, "Tarvanel Tool Kit (Touch Disabled)");
  EXPECT_EQ(rig.view.tray.icon, kIconDisabled);
  EXPECT_EQ(rig.view.tray.info, "KRX Device Touch Disabled.");
}

TEST(Core, CreationState) {
  Rig rig;
  rig.core.create(false, false);
  EXPECT_EQ(rig.view.opacity, 0);
  EXPECT_EQ(rig.view.marker, "Tarvanel KRX Resident Application Window");
  EXPECT_FALSE(rig.view.shown[kItemPicture]);
  EXPECT_EQ(rig.view.tray.tip, "Tarvanel Tool Kit");
  EXPECT_EQ(rig.view.tray.info, "");
  EXPECT_EQ(rig.view.tray.icon, kIconNormal);
  EXPECT_EQ(rig.core.waterModeState(), kWaterNotRead);
  EXPECT_EQ(rig.controller.registers, 1);
  EXPECT_FALSE(rig.timers.isRunning(kTimerWaterOff));
}

}  // namespace
}  // namespace qz::toolkit::testing
