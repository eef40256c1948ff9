// Panel and status information against the simulator: the display texts of the panel-size
// and cover-lens tables and the status, feature, flag and threshold bytes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "rig.h"

using advtest::Rig;
using qzsim::Controller;
using ::testing::ElementsAre;

namespace {

TEST(PanelStatus, PanelSizeTexts) {
  struct Case {
    const char* name;
    std::array<char, 8> panel;
    uint8_t inches, tenthsWide;
    const char* text;
  };
  const Case cases[] = {
      {"name and diagonal", {'S', 'I', 'M', 'P', 'A', 'N', 'E', 'L'}, 0x15, 0x60, "SIMPANEL 15.6\""},
      {"zero bytes are blanks", {0, 0, 0, 0, 0, 0, 0, 0}, 0x07, 0x00, "         7.0\""},
      {"wide screen", {'W', 'I', 'D', 'E', 0, 'X', 0, 0}, 0x21, 0x51, "WIDE X   21.5\" (W)"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Rig rig;
    Controller c;
    c.panels[1].name = k.panel;
    c.panels[1].inches = k.inches;
    c.panels[1].tenthsWide = k.tenthsWide;
    ASSERT_TRUE(rig.open(c));
    char text[40];
    memset(text, 0x5A, sizeof text);
    ASSERT_EQ(GetPanelSizeInfo(rig.handle(), 1, text), 1);
    EXPECT_STREQ(text, k.text);
    EXPECT_THAT(rig.sent(), ElementsAre("E3 01 01 00 00", "E3 01 01 00 01", "E3 01 01 00 02"));
  }
}

TEST(PanelStatus, CoverLensTexts) {
  struct Case {
    uint8_t thickness, maxThickness;
    char material;
    const char* text;
  };
  const Case cases[] = {
      {0x11, 0xFF, 'G', "1.1 mm Glass"},     {0x07, 0x12, 'p', "0.7 ~ 1.2 mm PMMA"},
      {0x20, 0xFF, 'g', "2.0 mm Glass"},     {0x15, 0xFF, 'P', "1.5 mm PMMA"},
      {0x33, 0x44, 'a', "AFFF"},             {0x11, 0xFF, 'A', "AFFF"},
      {0x11, 0xFF, 'X', "1.1 mm "},          {0xFA, 0xFB, 0, "15.10 ~ 15.11 mm "},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.text);
    Rig rig;
    Controller c;
    c.coverLenses[1] = {k.thickness, k.maxThickness, k.material};
    ASSERT_TRUE(rig.open(c));
    char text[40];
    memset(text, 0x5A, sizeof text);
    ASSERT_EQ(GetCoverLensInfo(rig.handle(), 1, text), 1);
    EXPECT_STREQ(text, k.text);
    EXPECT_THAT(rig.sent(), ElementsAre("E3 02 01 00 00"));
  }
}

TEST(PanelStatus, TextUntouchedWhenRefused) {
  Rig rig;
  ASSERT_TRUE(rig.open(Controller{}));
  char text[40];
  memset(text, 0x5A, sizeof text);
  rig.device().addFault(qzsim::Fault::refuse(0xE3));
  EXPECT_EQ(GetPanelSizeInfo(rig.handle(), 0, text), 0);
  EXPECT_EQ(rig.sent().size(), 1u);
  rig.device().addFault(qzsim::Fault::refuse(0xE3));
  EXPECT_EQ(GetCoverLensInfo(rig.handle(), 0, text), 0);
  EXPECT_EQ(text[0], 0x5A);
  EXPECT_EQ(text[39], 0x5A);
}

TEST(PanelStatus, PanelInfoUsesThePairedRead) {
  for (bool paired : {false, true}) {
    SCOPED_TRACE(paired ? "two values per reply" : "one value per reply");
    Rig rig;
    Controller c;
    c.parameters.pairedReads = paired;
    c.parameters.application[0x3A] = 1;
    c.parameters.application[0x3B] = 2;
    c.panels.resize(4);
    c.coverLenses.resize(3);
    ASSERT_TRUE(rig.open(c));
    PanelInfo p{};
    ASSERT_EQ(GetPanelInfo(rig.handle(), &p), 1);
    EXPECT_EQ(p.panelSizeCode, 1);
    EXPECT_EQ(p.panelSizeCount, 4);
    EXPECT_EQ(p.coverLensCode, 2);
    EXPECT_EQ(p.coverLensCount, 3);
    if (paired)
      EXPECT_THAT(rig.sent(), ElementsAre("E0 00 3A 00 00", "E3 00 00 00 00"));
    else
      EXPECT_THAT(rig.sent(), ElementsAre("E0 00 3A 00 00", "E0 00 3B 00 00", "E3 00 00 00 00"));
  }
}

TEST(PanelStatus, StatusFeatureAndParameterBytes) {
  Rig rig;
  Controller c;
  c.status.flag = 0x40;
  c.status.stat = 0x10;
  c.status.stat2 = 0x22;
  c.status.diag = 0x33;
  c.status.features = {0x0B, 0x40, 0x05, 0x80};
  auto& app = c.parameters.application;
  auto& boot = c.parameters.boot;
  app[0x00] = 0x01;
  app[0x33] = 0x02;
  boot[0x0] = 0x03;
  boot[0x3] = 0x04;
  boot[0xE] = 0x05;
  app[0x01] = 10;
  app[0x02] = 20;
  app[0x03] = 30;
  ASSERT_TRUE(rig.open(c));

  uint8_t state[4] = {};
  ASSERT_EQ(GetStateFlag(rig.handle(), state), 1);
  EXPECT_THAT(state, ElementsAre(0x41, 0x10, 0x22, 0x33));  // bit 0: scanning
  ASSERT_EQ(EnablePCAPScan(rig.handle(), 0), 1);
  ASSERT_EQ(GetStateFlag(rig.handle(), state), 1);
  EXPECT_EQ(state[0], 0x40);

  uint8_t features[4] = {};
  ASSERT_EQ(GetFeatureFlag(rig.handle(), features), 1);
  EXPECT_THAT(features, ElementsAre(0x0B, 0x40, 0x05, 0x80));

  uint8_t flags[5] = {};
  rig.clear();
  ASSERT_EQ(GetParameterFlag(rig.handle(), flags), 1);
  EXPECT_THAT(flags, ElementsAre(1, 2, 3, 4, 5));
  EXPECT_THAT(rig.sent(), ElementsAre("E0 00 00 00 00", "E0 00 33 00 00", "E0 00 40 00 00", "E0 00 43 00 00",
                                      "E0 00 4E 00 00"));

  uint32_t thresholds[3] = {};
  ASSERT_EQ(GetThreshold(rig.handle(), thresholds), 1);
  EXPECT_THAT(thresholds, ElementsAre(10u, 20u, 30u));
}

TEST(PanelStatus, ThresholdsFromTwoValueReplies) {
  Rig rig;
  Controller c;
  c.parameters.pairedReads = true;
  c.parameters.application[0x01] = 0xF1;
  c.parameters.application[0x02] = 0xF2;
  c.parameters.application[0x03] = 0xF3;
  ASSERT_TRUE(rig.open(c));
  uint32_t thresholds[3] = {};
  ASSERT_EQ(GetThreshold(rig.handle(), thresholds), 1);
  EXPECT_THAT(thresholds, ElementsAre(0xF1u, 0xF2u, 0xF3u));
  EXPECT_THAT(rig.sent(), ElementsAre("E0 00 01 00 00", "E0 00 02 00 00"));
}

TEST(PanelStatus, RefusalKeepsWhatWasRead) {
  Rig rig;
  Controller c;
  c.status.flag = 0x40;
  ASSERT_TRUE(rig.open(c));
  rig.device().addFault(qzsim::Fault::refuse(0xE0));
  uint8_t state[4] = {9, 9, 9, 9};
  EXPECT_EQ(GetStateFlag(rig.handle(), state), 0);
  EXPECT_THAT(state, ElementsAre(9, 9, 9, 9));
  EXPECT_EQ(rig.sent().size(), 1u);
}

}  // namespace
