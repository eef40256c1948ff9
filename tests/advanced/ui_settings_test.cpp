// Parameter UI settings: the record read from the simulated controller, and the record
// written back into parameter images at its positions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "rig.h"

using advtest::Rig;
using qzsim::Controller;
using ::testing::ElementsAre;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kFill = 0xA5;

ParaUISetting baseSetting() {
  ParaUISetting ui{};
  ui.boot4Span = 4;
  ui.boot4Value = 12;
  for (int k = 0; k < 4; ++k) {
    ui.nibbleHigh[k] = uint8_t(0x11 * (k + 1));  // only the low four bits count
    ui.nibbleLow[k] = uint8_t(5 + k);
  }
  ui.interfaceSetting = 0x0D;
  ui.baudRate = 57600;
  ui.featureKind = 2;
  ui.selection = 3;
  ui.rangeMin = 10;
  ui.rangeMax = 40;
  ui.rangeValue = 20;
  ui.panel = {1, 3, 1, 2};
  ui.orientation = 180;
  ui.boot3Bit7 = 1;
  return ui;
}

// The bytes the base setting writes into a full flat image (application 64, boot 16).
std::map<size_t, uint8_t> baseWrites() {
  const size_t b = 64;
  return {{0x1F, 20},      {0x34, 0x15},    {0x35, 0x26},    {0x36, 0x37},   {0x37, 0x48},
          {b + 0, 0xD1},   {b + 3, 0x23},   {b + 4, 10},     {b + 5, 3},     {b + 6, 20},
          {b + 10, 1},     {b + 11, 1}};
}

struct UpdateCase {
  const char* name;
  std::function<void(ParaUISetting&, ParaListInfo&)> change;
  std::function<void(std::map<size_t, uint8_t>&)> expect;
  uint8_t boot3Before = kFill;
};

const UpdateCase kUpdateCases[] = {
    {"base setting", [](ParaUISetting&, ParaListInfo&) {}, [](auto&) {}},
    {"baud 4800 is written as code 2", [](auto& ui, auto&) { ui.baudRate = 4800; }, [](auto& w) { w[64] = 0xD2; }},
    {"baud 115200", [](auto& ui, auto&) { ui.baudRate = 115200; }, [](auto& w) { w[64] = 0xD0; }},
    {"baud 19200 and interface 3", [](auto& ui, auto&) {
       ui.baudRate = 19200;
       ui.interfaceSetting = 0x03;
     },
     [](auto& w) { w[64] = 0x33; }},
    {"range value clamped to the maximum", [](auto& ui, auto&) { ui.rangeValue = 50; },
     [](auto& w) { w[0x1F] = w[64 + 6] = 40; }},
    {"range value clamped to the minimum", [](auto& ui, auto&) { ui.rangeValue = 5; },
     [](auto& w) { w[0x1F] = w[64 + 6] = 10; }},
    {"no range writes nothing", [](auto& ui, auto&) {
       ui.rangeMax = 0;
       ui.rangeMin = 0xFF;
       ui.rangeValue = 7;
     },
     [](auto& w) {
       w.erase(0x1F);
       w.erase(64 + 6);
     }},
    {"panel codes beyond their tables", [](auto& ui, auto&) { ui.panel = {5, 3, 2, 2}; },
     [](auto& w) {
       w[64 + 10] = 0;
       w[64 + 11] = 1;
     }},
    {"cover lens beyond a table of one", [](auto& ui, auto&) { ui.panel = {5, 3, 2, 1}; },
     [](auto& w) {
       w[64 + 10] = 0;
       w[64 + 11] = 0;
     }},
    {"orientation 630 is code 1", [](auto& ui, auto&) { ui.orientation = 630; }, [](auto& w) { w[64 + 3] = 0x21; }},
    {"orientation 45 keeps the code", [](auto& ui, auto&) { ui.orientation = 45; }, [](auto& w) { w[64 + 3] = 0x25; }},
    {"orientation 720 keeps the code", [](auto& ui, auto&) { ui.orientation = 720; }, [](auto& w) { w[64 + 3] = 0x25; }},
    {"boot3Bit7 0 sets bit 7", [](auto& ui, auto&) { ui.boot3Bit7 = 0; }, [](auto& w) { w[64 + 3] = 0xA3; },
     0x25},
    {"boot3Bit7 unavailable keeps bit 7", [](auto& ui, auto&) { ui.boot3Bit7 = 0xFF; },
     [](auto& w) { w[64 + 3] = 0x23; }, 0x25},
    {"selection 1 of kind 1 sets bit 3", [](auto& ui, auto&) {
       ui.featureKind = 1;
       ui.selection = 1;
     },
     [](auto& w) {
       w[64 + 3] = 0x2B;
       w.erase(64 + 5);
     }},
    {"selection 2 of kind 1 clears bit 3", [](auto& ui, auto&) {
       ui.featureKind = 1;
       ui.selection = 2;
     },
     [](auto& w) {
       w[64 + 3] = 0x23;
       w.erase(64 + 5);
     },
     0xAD},
    {"application list only", [](auto&, auto& info) { info.sections = 0x80; },
     [](auto& w) {
       std::map<size_t, uint8_t> only;
       for (size_t k = 0x34; k <= 0x37; ++k) only[k] = w[k];
       w = only;
     }},
    {"boot list only", [](auto&, auto& info) { info.sections = 0x40; },
     [](auto& w) {
       std::map<size_t, uint8_t> boot;
       for (auto [k, v] : w)
         if (k >= 64 && k != 64 + 6) boot[k - 64] = v;
       w = boot;
     }},
    {"writes outside short lists are skipped", [](auto&, auto& info) {
       info.apLength = 0x30;
       info.bootLength = 8;
     },
     [](auto& w) {
       std::map<size_t, uint8_t> kept{{0x1F, 20}};
       for (auto [k, v] : w)
         if (k >= 64 && k < 64 + 8) kept[k - 64 + 0x30] = v;
       w = kept;
     }},
};

TEST(UiSettings, UpdateWritesEachSettingAtItsPosition) {
  for (const auto& uc : kUpdateCases) {
    SCOPED_TRACE(uc.name);
    ParaUISetting ui = baseSetting();
    ParaListInfo info{0xC0, 0, 64, 16, 0, 0};
    uc.change(ui, info);
    const ParaUISetting before = ui;
    // Room past the image shows any write outside it.
    Bytes image(96, kFill);
    const size_t bootAt = (info.sections & 0x80) ? info.apLength : 0;
    if (info.sections & 0x40) image[bootAt + 3] = uc.boot3Before;
    ASSERT_EQ(UpdateParaUISetting(QZ_NO_DEVICE, &ui, &info, image.data()), 1);
    auto writes = baseWrites();
    uc.expect(writes);
    Bytes expected(96, kFill);
    if (info.sections & 0x40) expected[bootAt + 3] = uc.boot3Before;
    for (auto [k, v] : writes) expected[k] = v;
    EXPECT_EQ(image, expected);
    if (before.rangeMax > before.rangeMin && (info.sections & 0xC0) == 0xC0)
      EXPECT_EQ(ui.rangeValue, expected[0x1F]) << "clamped in the record too";
    else
      EXPECT_EQ(ui.rangeValue, before.rangeValue);
  }
}

TEST(UiSettings, UpdateRefusesMissingRecords) {
  ParaUISetting ui = baseSetting();
  ParaListInfo info{0xC0, 0, 64, 16, 0, 0};
  Bytes image(80);
  EXPECT_EQ(UpdateParaUISetting(QZ_NO_DEVICE, nullptr, &info, image.data()), 0);
  EXPECT_EQ(UpdateParaUISetting(QZ_NO_DEVICE, &ui, nullptr, image.data()), 0);
  EXPECT_EQ(UpdateParaUISetting(QZ_NO_DEVICE, &ui, &info, nullptr), 0);
}

Controller settingsController() {
  Controller c;
  auto& app = c.parameters.application;
  auto& boot = c.parameters.boot;
  app[0x34] = 0x12;
  app[0x35] = 0x34;
  app[0x36] = 0x56;
  app[0x37] = 0x78;
  app[0x0E] = 0x00;
  boot[0] = 0xC1;
  boot[3] = 0x0A;  // orientation code 2, bit 3 set, bit 7 clear
  boot[5] = 4;
  c.status.stat = 0x10;
  c.status.features = {0x0A, 0, 0, 0};  // kind 3, bit 3: boot byte 3 bit 7 available
  c.status.selectionCount = 6;
  c.efBytes = {0xC5, 0, 0};
  return c;
}

TEST(UiSettings, ReadDecodesEverySetting) {
  Rig rig;
  ASSERT_TRUE(rig.open(settingsController()));
  ParaUISetting ui{};
  ASSERT_EQ(GetParaUISetting(rig.handle(), &ui), 1);
  EXPECT_THAT(ui.nibbleHigh, ElementsAre(1, 3, 5, 7));
  EXPECT_THAT(ui.nibbleLow, ElementsAre(2, 4, 6, 8));
  EXPECT_THAT(ui.capabilityFlags, ElementsAre(1, 1, 0, 1, 0, 1));
  EXPECT_EQ(ui.baudRate, 57600);
  EXPECT_EQ(ui.interfaceSetting, 0x0D);
  EXPECT_EQ(ui.featureKind, 3);
  EXPECT_EQ(ui.selectionCount, 6);
  EXPECT_EQ(ui.selection, 4);
  EXPECT_EQ(ui.orientation, 450);
  EXPECT_EQ(ui.boot3Bit7, 1);
  EXPECT_EQ(ui.panel.panelSizeCount, 2);
  EXPECT_EQ(ui.panel.coverLensCount, 2);
}

TEST(UiSettings, ReadDefaultsNeverFailTheCall) {
  Controller c = settingsController();
  c.status.selectionCount = 0;  // F7 refused
  Rig rig;
  ASSERT_TRUE(rig.open(c));
  ParaUISetting ui{};
  ASSERT_EQ(GetParaUISetting(rig.handle(), &ui), 1);
  EXPECT_EQ(ui.selectionCount, 5);

  rig.device().addFault(qzsim::Fault::refuse(0xE0));
  EXPECT_EQ(GetParaUISetting(rig.handle(), &ui), 0);  // boot byte 3 is required
}

TEST(UiSettings, KindOneSelectionComesFromBootByteThree) {
  Controller c = settingsController();
  c.status.features = {0x00, 0, 0, 0};
  Rig rig;
  ASSERT_TRUE(rig.open(c));
  ParaUISetting ui{};
  ASSERT_EQ(GetParaUISetting(rig.handle(), &ui), 1);
  EXPECT_EQ(ui.featureKind, 1);
  EXPECT_EQ(ui.selection, 1);
  EXPECT_EQ(ui.selectionCount, 2);
  EXPECT_EQ(ui.boot3Bit7, 0xFF);  // feature flag 1 bit 3 clear
  EXPECT_THAT(advtest::withOpcode(rig.sent(), 0xE0),
              ::testing::Not(::testing::Contains("E0 00 F7 00 00")));
}

// Read, write back into the image, store, read again: boot byte 0 now carries the host
// interface taken from KRXM_STAT.
TEST(UiSettings, RoundTripThroughTheController) {
  Rig rig;
  ASSERT_TRUE(rig.open(settingsController()));
  const DeviceHandle h = rig.handle();
  ParaListInfo info{};
  ASSERT_EQ(GetParaListInfo(h, &info), 1);
  info.sections = 0xC0;
  Bytes image(80);
  ASSERT_EQ(GetParaList(h, &info, image.data()), 1);
  ParaUISetting ui{};
  ASSERT_EQ(GetParaUISetting(h, &ui), 1);
  ASSERT_EQ(UpdateParaUISetting(h, &ui, &info, image.data()), 1);
  EXPECT_EQ(image[64], 0xD1);
  ASSERT_EQ(SetParaList(h, &info, image.data()), 1);
  Bytes back(80);
  ASSERT_EQ(GetParaList(h, &info, back.data()), 1);
  EXPECT_EQ(back, image);
  ParaUISetting again{};
  ASSERT_EQ(GetParaUISetting(h, &again), 1);
  EXPECT_EQ(again.baudRate, 57600);
  EXPECT_EQ(again.interfaceSetting, 0x0D);
}

}  // namespace
