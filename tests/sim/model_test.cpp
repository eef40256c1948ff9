// The controller model alone: what it answers to each command and how its state moves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "qzsim/model.h"

using qzsim::Controller;
using qzsim::ControllerModel;
using qzsim::Packet;
using ::testing::ElementsAre;

namespace {

Packet ask(ControllerModel& m, const Packet& cmd) {
  Packet r{};
  EXPECT_TRUE(m.command(cmd, &r)) << "no reply";
  return r;
}

struct ReplyCase {
  const char* what;
  std::function<void(Controller&)> change;
  Packet cmd;
  Packet want;
};

const ReplyCase kReplies[] = {
    {"KRXM identity: model low, high, major, letter", nullptr, {0xEE, 0, 0, 0, 0}, {0xEE, 0xE1, 0x10, 0x02, 0x01}},
    {"KRXM model number with bit 15",
     [](Controller& c) { c.chips[0].modelNumber = 0x84D2; c.chips[0].modelLetter = 0; },
     {0xEE, 0, 0, 0, 0}, {0xEE, 0xD2, 0x84, 0x02, 0x00}},
    {"2K identity: model high, low, then major in byte 4",
     [](Controller& c) { c = Controller::twoK(); c.chips[0].modelNumber = 0x04D2; c.chips[0].major = 3; },
     {0xEE, 0, 0, 0, 0}, {0xEE, 0x04, 0xD2, 0x00, 0x03}},
    {"KRXM minor, release, build low first", nullptr, {0xED, 0, 0, 0, 0}, {0xED, 0x05, 0x03, 0x78, 0x00}},
    {"KRXM short-form marker", [](Controller& c) { c.chips[0].shortForm = true; },
     {0xED, 0, 0, 0, 0}, {0xED, 0x05, 0x03, 0x55, 0xAA}},
    {"2K minor in byte 2, build high first",
     [](Controller& c) { c = Controller::twoK(); c.chips[0].build = 0x3344; },
     {0xED, 0, 0, 0, 0}, {0xED, 0x03, 0x05, 0x33, 0x44}},
    {"2K short-form marker keeps 55 AA on the wire",
     [](Controller& c) { c = Controller::twoK(); c.chips[0].shortForm = true; },
     {0xED, 0, 0, 0, 0}, {0xED, 0x03, 0x05, 0x55, 0xAA}},
    {"KRXM boot version", [](Controller& c) { c.chips[0].bootMajor = 4; c.chips[0].bootLetter = 2; c.chips[0].bootMinor = 7; },
     {0xEB, 0, 0, 0, 0}, {0xEB, 4, 2, 7, 0}},
    {"2K boot version is asked with E7",
     [](Controller& c) { c = Controller::twoK(); c.chips[0].bootMajor = 4; },
     {0xE7, 0, 0, 0, 0}, {0xE7, 4, 0, 0, 0}},
    {"2K has no EB", [](Controller& c) { c = Controller::twoK(); }, {0xEB, 0, 0, 0, 0}, {0xAA, 0, 0, 0, 0}},
    {"KRXM E7 most significant byte first", nullptr, {0xE7, 0, 0, 0, 0}, {0xE7, 1, 2, 3, 4}},
    {"chip count and capability bytes",
     [](Controller& c) { c.chips.resize(3); c.efBytes = {0xC5, 6, 7}; },
     {0xEF, 0, 0, 0, 0}, {0xEF, 3, 0xC5, 6, 7}},
    {"unknown but accepted opcode is echoed", nullptr, {0xE2, 0x12, 0x34, 0x56, 0x78}, {0xE2, 0x12, 0x34, 0x56, 0x78}},
    {"refused opcode: AA and the rest of the command", nullptr, {0x12, 1, 2, 3, 4}, {0xAA, 1, 2, 3, 4}},
    {"refusal set is configurable", [](Controller& c) { c.refused.set(0xE2); },
     {0xE2, 9, 8, 7, 6}, {0xAA, 9, 8, 7, 6}},
    {"F4 00 00 00 00 is taken", nullptr, {0xF4, 0, 0, 0, 0}, {0xF4, 0, 0, 0, 0}},
    {"D2 size low first, wait in byte 4", [](Controller& c) { c.d2Size = 0x012C; c.d2Wait = 10; },
     {0xD2, 0, 0, 0, 0}, {0xD2, 0x2C, 0x01, 0x00, 10}},
    {"D3 report size", [](Controller& c) { c.d3Size = 0x40; }, {0xD3, 0, 0, 0, 1}, {0xD3, 0x40, 0, 0, 0}},
    {"D4 first packet answers the settings", [](Controller& c) { c.d4Reply = {1, 2, 3, 0x14}; },
     {0xD4, 0, 0, 0, 0}, {0xD4, 1, 2, 3, 0x14}},
    {"D4 confirmation is echoed", [](Controller& c) { c.d4Reply = {1, 2, 3, 0x14}; },
     {0xD4, 1, 0xAA, 3, 0x14}, {0xD4, 1, 0xAA, 3, 0x14}},
    {"FC echo", nullptr, {0xFC, 0x11, 0x22, 0x33, 0x44}, {0xFC, 0x11, 0x22, 0x33, 0x44}},
    {"FA block size low first", [](Controller& c) { c.blockSize = 0x0120; }, {0xFA, 0, 0, 0, 0}, {0xFA, 0x20, 0x01, 0, 0}},
    {"sensor counts first, sectors in the high nibble",
     [](Controller& c) { c.sensor.sensorLines = 30; c.sensor.driverLines = 20; c.sensor.sectors = 4; c.sensor.driverFirst = true; },
     {0xE5, 0, 0, 0, 1}, {0xE5, 20, 30, 0, 0x41}},
    {"master and slave sensor lines",
     [](Controller& c) { c.chips.resize(2); c.chips[1].sensorLines = 5; c.sensor.sensorLines = 12; },
     {0xE5, 0, 0, 0, 2}, {0xE5, 2, 0, 5, 7}},
    {"panel table sizes", nullptr, {0xE3, 0, 0, 0, 0}, {0xE3, 0, 2, 2, 0}},
    {"panel diagonal item", nullptr, {0xE3, 1, 1, 0, 2}, {0xE3, 0x15, 0x60, 0, 0}},
    {"panel code past the table is refused", nullptr, {0xE3, 1, 2, 0, 0}, {0xAA, 1, 2, 0, 0}},
    {"cover lens entry", nullptr, {0xE3, 2, 0, 0, 0}, {0xE3, 0x11, 0xFF, 'G', 0}},
    {"status F0: STAT in byte 3, FLAG with the live scanning bit",
     [](Controller& c) { c.status.flag = 0x80; c.status.stat = 0x10; },
     {0xE0, 0, 0xF0, 0, 0}, {0xE0, 0, 0, 0x10, 0x81}},
    {"feature flags", [](Controller& c) { c.status.features = {1, 2, 3, 4}; },
     {0xE0, 0, 0xF4, 0, 0}, {0xE0, 1, 2, 3, 4}},
    {"flat controller refuses 0xFB", nullptr, {0xE0, 0, 0xFB, 0, 0}, {0xAA, 0, 0xFB, 0, 0}},
    {"sectioned controller: debug, slave, boot, application lengths",
     [](Controller& c) { c.parameters.sectioned = true; c.chips.resize(2); c.chips[1].parameters.resize(24); },
     {0xE0, 0, 0xFB, 0, 0}, {0xE0, 16, 24, 16, 64}},
    {"hopping table", [](Controller& c) { c.hopping.modeCount = 3; c.hopping.frequencyCount = 4; },
     {0xF5, 0, 0x04, 0, 0}, {0xF5, 0, 3, 0, 4}},
    {"hopping mode setting answers the argument plus 16", nullptr, {0xF5, 0, 0x02, 0, 0}, {0xF5, 0, 0x02, 0, 0x12}},
    {"hopping selection out of the table answers FF", nullptr, {0xF5, 0, 0xFF, 0, 0x0B}, {0xF5, 0, 0xFF, 0, 0xFF}},
    {"no hopping: F5 refused", [](Controller& c) { c.hopping.present = false; },
     {0xF5, 0, 0x0F, 0, 0}, {0xAA, 0, 0x0F, 0, 0}},
    {"abnormal level", [](Controller& c) { c.hopping.abnormalLevel = 9; }, {0xF6, 6, 1, 0, 0}, {0xF6, 0, 0, 0, 9}},
    {"no abnormal level", [](Controller& c) { c.hopping.hasAbnormalLevel = false; },
     {0xF6, 6, 1, 0, 0}, {0xF6, 0xFF, 0xFF, 0, 0}},
    {"leaving diagnostic mode reports the data flags", [](Controller& c) { c.sensor.dataFlags = 0x1A; },
     {0xF9, 0, 0, 0, 0}, {0xF9, 0, 0, 0x1A, 0}},
};

TEST(SimModel, RepliesByFamilyAndCommand) {
  for (const ReplyCase& rc : kReplies) {
    Controller c;
    if (rc.change) rc.change(c);
    ControllerModel m(c);
    EXPECT_EQ(ask(m, rc.cmd), rc.want) << rc.what;
  }
}

TEST(SimModel, RepliesOffFromD0UntilD1WhichReportsWhatWasTaken) {
  ControllerModel m;
  EXPECT_EQ(ask(m, {0xD0, 0x02, 0x01, 0x04, 0x03}), (Packet{0xD0, 0x02, 0x01, 0x04, 0x03}));
  Packet r{9, 9, 9, 9, 9};
  EXPECT_FALSE(m.command({0xE0, 0, 0xF0, 0, 0}, &r));
  EXPECT_FALSE(m.command({0xF0, 0, 0, 0, 0}, &r));  // still carried out: scanning stops
  EXPECT_EQ(r, (Packet{9, 9, 9, 9, 9}));
  EXPECT_FALSE(m.state().scanning);
  EXPECT_TRUE(m.state().repliesOff);
  // Two commands, byte sum 0x1D0 + 0xF0 = 0x2C0.
  EXPECT_EQ(ask(m, {0xD1, 0, 0, 0, 0}), (Packet{0xD1, 2, 0, 0, 0xC0}));
  EXPECT_FALSE(m.state().repliesOff);
  EXPECT_EQ(ask(m, {0xFC, 1, 2, 3, 4}), (Packet{0xFC, 1, 2, 3, 4}));
}

TEST(SimModel, BulkBlocksByBlockSize) {
  struct Case {
    uint16_t announced;
    size_t bytes;
    std::vector<uint8_t> first, second;
  } cases[] = {
      {0, 8, {1, 0, 2, 0, 3, 0, 4, 0}, {5, 0, 6, 0, 7, 0, 8, 0}},
      {1, 1, {0}, {0}},  // no value fits: the transfer carries nothing
      {7, 7, {1, 0, 2, 0, 3, 0, 0}, {4, 0, 5, 0, 6, 0, 0}},
      {8, 8, {1, 0, 2, 0, 3, 0, 4, 0}, {5, 0, 6, 0, 7, 0, 8, 0}},
  };
  for (const Case& k : cases) {
    Controller c;
    c.blockSize = k.announced;
    ControllerModel m(c);
    m.setBulkValues({1, 2, 3, 4, 5, 6, 7, 8, 9, 0x1234});
    ask(m, {0xFA, 0, 0, 0, 0});
    ASSERT_TRUE(m.bulkActive());
    std::vector<uint8_t> a(k.bytes + 3, 0xEE), b(k.bytes + 3, 0xEE);
    EXPECT_EQ(m.nextBlock(a.data(), k.bytes), k.bytes);
    EXPECT_EQ(m.nextBlock(b.data(), k.bytes), k.bytes);
    EXPECT_EQ(std::vector<uint8_t>(a.begin(), a.begin() + long(k.bytes)), k.first) << k.announced;
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + long(k.bytes)), k.second) << k.announced;
    EXPECT_EQ(a[k.bytes], 0xEE) << "wrote past the block";
    ask(m, {0xEE, 0, 0, 0, 0});
    EXPECT_FALSE(m.bulkActive());
  }
  // Large blocks: values past the end are 0, a short buffer gets only its capacity.
  Controller c;
  c.blockSize = 64;
  ControllerModel m(c);
  m.setBulkValues({0x0102, 0x0304});
  ask(m, {0xFA, 0, 0, 0, 0});
  std::vector<uint8_t> big(64, 0xEE);
  m.nextBlock(big.data(), 64);
  EXPECT_THAT(std::vector<uint8_t>(big.begin(), big.begin() + 6), ElementsAre(2, 1, 4, 3, 0, 0));
  EXPECT_EQ(big[63], 0);
}

TEST(SimModel, BulkDefaultsToTheSelectedFrame) {
  Controller c;
  c.blockSize = 8;
  ControllerModel m(c);
  ask(m, {0xF9, 0, 0xAA, 0, 0});  // baseline
  ask(m, {0xFA, 0, 0, 0, 0});
  std::vector<uint16_t> frame = m.frame();
  uint8_t b[8];
  m.nextBlock(b, 8);
  m.nextBlock(b, 8);  // second block: values 4..7
  EXPECT_EQ(b[0] | b[1] << 8, frame[4]);
  EXPECT_EQ(b[6] | b[7] << 8, frame[7]);
}

TEST(SimModel, ParameterWritesNeedAnOpenChangeAndSurviveResetOnlyWhenStored) {
  Controller c;
  c.parameters.requireOpen = true;
  ControllerModel m(c);
  EXPECT_EQ(ask(m, {0xE1, 0, 0x05, 0, 7})[0], 0xAA);
  ask(m, {0xF7, 0, 0, 0, 1});
  EXPECT_EQ(ask(m, {0xE1, 0, 0x05, 0, 7})[0], 0xE1);
  EXPECT_EQ(ask(m, {0xE1, 0, 0x41, 0, 9})[0], 0xE1);  // boot byte 1, flat index
  EXPECT_EQ(ask(m, {0xE0, 0, 0x05, 0, 0}), (Packet{0xE0, 0, 0, 0, 7}));
  // EA is taken on its repeated packet.
  ask(m, {0xEA, 0, 0, 0, 0});
  EXPECT_EQ(m.state().applicationStores, 0u);
  ask(m, {0xEA, 0, 0, 0, 0});
  EXPECT_EQ(m.state().applicationStores, 1u);
  ask(m, {0xE1, 0, 0x05, 0, 8});
  ask(m, {0xF7, 0, 0, 0, 0});
  ask(m, {0xFE, 0, 0, 0, 0});
  ask(m, {0xFE, 0, 0, 0, 0});
  EXPECT_EQ(m.state().resets, 1u);
  EXPECT_EQ(ask(m, {0xE0, 0, 0x05, 0, 0})[4], 7) << "stored value comes back after reset";
  EXPECT_EQ(ask(m, {0xE0, 0, 0x41, 0, 0})[4], 0) << "unstored boot byte is lost";
  ControllerModel loose;  // by default writes need no open change
  EXPECT_EQ(ask(loose, {0xE1, 0, 0x05, 0, 7})[0], 0xE1);
  // Defaults come back with EC inside an open change.
  ask(m, {0xF7, 0, 0, 0, 1});
  ask(m, {0xEC, 0, 0, 0, 0});
  EXPECT_EQ(ask(m, {0xE0, 0, 0x05, 0, 0})[4], 0);
}

TEST(SimModel, ParameterAddressing) {
  Controller c;
  c.parameters.boot[3] = 0x33;
  c.parameters.application[2] = 0x22;
  c.parameters.application[3] = 0x23;
  c.parameters.debug[1] = 0xD1;
  {
    ControllerModel flat(c);
    EXPECT_EQ(ask(flat, {0xE0, 0, 0x43, 0, 0})[4], 0x33);
    EXPECT_EQ(ask(flat, {0xE0, 0, 0x81, 0, 0})[4], 0xD1);
    EXPECT_EQ(ask(flat, {0xE0, 0x90, 0x03, 0, 0})[0], 0xAA) << "selectors need sectioned addressing";
    EXPECT_EQ(ask(flat, {0xE0, 0x12, 0x02, 0, 0})[4], 0x22) << "an unknown selector is ignored";
    EXPECT_EQ(ask(flat, {0xE0, 0, 0x50, 0, 0})[0], 0xAA) << "past the boot list";
  }
  c.parameters.sectioned = true;
  c.parameters.pairedReads = true;
  ControllerModel sec(c);
  EXPECT_EQ(ask(sec, {0xE0, 0x90, 0x03, 0, 0}), (Packet{0xE0, 1, 0, 0, 0x33}));
  EXPECT_EQ(ask(sec, {0xE0, 0x80, 0x02, 0, 0}), (Packet{0xE0, 1, 0, 0x23, 0x22}));
  EXPECT_EQ(ask(sec, {0xE0, 0xA0, 0x0F, 0, 0}), (Packet{0xE0, 0, 0, 0, 0})) << "last byte: one value";
  c.parameters.debug.clear();
  ControllerModel noDebug(c);
  EXPECT_EQ(ask(noDebug, {0xE0, 0, 0x80, 0, 0})[0], 0xAA);
}

TEST(SimModel, SlavesBySelectionAndByAddress) {
  Controller c;
  c.chips.resize(3);
  c.chips[1].modelNumber = 1111;
  c.chips[2].modelNumber = 2222;
  c.chips[2].build = 0x0203;
  c.chips[2].parameters[4] = 0x44;
  ControllerModel m(c);
  // Selected slave answers identity (bit 15 marks it) and parameters.
  ask(m, {0xF4, 0, 1, 0, 1});
  EXPECT_EQ(ask(m, {0xEE, 0, 0, 0, 0}), (Packet{0xEE, uint8_t(2222 & 0xFF), uint8_t(0x80 | 2222 >> 8), 2, 1}));
  EXPECT_EQ(ask(m, {0xE0, 0, 4, 0, 0})[4], 0x44);
  EXPECT_EQ(ask(m, {0xE0, 0, 0xF0, 0, 0})[4] & 1, 1) << "status stays the master's";
  ask(m, {0xF4, 0, 0, 0, 0});
  EXPECT_EQ(ask(m, {0xEE, 0, 0, 0, 0}), (Packet{0xEE, 0xE1, 0x10, 2, 1}));
  // Without addressed queries the master answers EE F1 for itself.
  EXPECT_EQ(ask(m, {0xEE, 0xF1, 0, 0, 0}), (Packet{0xEE, 0xE1, 0x10, 2, 1}));

  c.addressedQueries = true;
  ControllerModel a(c);
  ask(a, {0xEF, 0, 0, 0, 0});
  EXPECT_EQ(ask(a, {0xEE, 0xF0, 0, 0, 0}), (Packet{0xEE, 0x55, 0xAA, 0, 0})) << "probe right after EF";
  EXPECT_EQ(ask(a, {0xED, 0xF1, 0, 0, 0}), (Packet{0xED, 5, 3, 0x03, 0x02}));
  EXPECT_EQ(ask(a, {0xEE, 0xF0, 0, 0, 0}), (Packet{0xEE, uint8_t(1111 & 0xFF), uint8_t(0x80 | 1111 >> 8), 2, 1}));
  EXPECT_EQ(ask(a, {0xEE, 0xF5, 0, 0, 0}), (Packet{0xEE, 0xE1, 0x10, 2, 1})) << "no such slave: the master";
}

TEST(SimModel, BootLoaderEntryNeedsBothPackets) {
  struct Case {
    Controller c;
    std::vector<Packet> seq;
    int bootChip;
  };
  Controller two;
  two.chips.resize(2);
  std::vector<Case> cases = {
      {Controller{}, {{0xFF, 0xAA, 0x55, 0xAA, 0x55}, {0xFF, 0x55, 0xAA, 0x55, 0xAA}}, 0},
      {Controller{}, {{0xFF, 0x55, 0xAA, 0x55, 0xAA}}, -1},
      {Controller{}, {{0xFF, 0xAA, 0x55, 0xAA, 0x55}, {0xE0, 0, 0xF0, 0, 0}, {0xFF, 0x55, 0xAA, 0x55, 0xAA}}, -1},
      {two, {{0xF4, 0, 0, 0, 1}, {0xFF, 0xAA, 0x55, 0xAA, 0x55}, {0xFF, 0x55, 0xAA, 0x55, 0xAA}}, 1},
      {Controller::twoK(), {{0xE8, 0xAA, 0x55, 0xAA, 0x55}, {0xE8, 0x55, 0xAA, 0x55, 0xAA}}, 0},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    ControllerModel m(cases[i].c);
    for (const Packet& p : cases[i].seq) ask(m, p);
    EXPECT_EQ(m.state().bootChip, cases[i].bootChip) << "case " << i;
  }
  ControllerModel m;
  ask(m, {0xFF, 0xAA, 0x55, 0xAA, 0x55});
  ask(m, {0xFF, 0x55, 0xAA, 0x55, 0xAA});
  EXPECT_EQ(ask(m, {0xE0, 0, 0xF0, 0, 0})[0], 0xAA) << "the boot loader knows no parameters";
  EXPECT_EQ(ask(m, {0xEE, 0, 0, 0, 0})[0], 0xEE);
  ask(m, {0xFE, 0, 0, 0, 0});
  ask(m, {0xFE, 0, 0, 0, 0});
  EXPECT_EQ(m.state().bootChip, -1);
}

TEST(SimModel, FramesByPairsAndSelection) {
  Controller c;
  c.sensor.sensorLines = 4;
  c.sensor.driverLines = 5;
  c.sensor.sectors = 1;
  c.sensor.readyAfterPolls = 2;
  c.sensor.touch = true;
  c.sensor.touchRow = 2;
  c.sensor.touchColumn = 2;
  c.sensor.touchRadius = 0.6f;
  ControllerModel m(c);
  Packet r = ask(m, {0xF9, 0, 0, 0xC0, 1});
  EXPECT_NE(r[3], 0) << "polling offered";
  EXPECT_NE(r[1], r[2]);
  r = ask(m, {0xF9, 0, 0, 0x80, 1});
  EXPECT_NE(r[1], r[2]) << "not ready after one poll";
  r = ask(m, {0xF9, 0, 0, 0x80, 1});
  EXPECT_EQ(r[1], r[2]) << "ready after two polls";
  std::vector<uint16_t> raw = m.frame();
  ASSERT_EQ(raw.size(), 4u * 7u);
  Packet pair = ask(m, {0xE8, 2, 1, 2, 2});
  EXPECT_EQ(pair[1] | pair[2] << 8, raw[2 * 7 + 1]);
  EXPECT_EQ(pair[3] | pair[4] << 8, raw[2 * 7 + 2]);
  Packet single = ask(m, {0xE8, 3, 6, 0, 0});
  EXPECT_EQ(single[1] | single[2], 0);
  EXPECT_EQ(single[3] | single[4] << 8, raw[3 * 7 + 6]);

  ask(m, {0xF9, 0, 0xAA, 0, 0});
  std::vector<uint16_t> base = m.frame();
  EXPECT_LT(raw[2 * 7 + 2] + 200, base[2 * 7 + 2]) << "the touch lowers the counts under it";
  EXPECT_EQ(raw[0], base[0]) << "far from the touch, without noise, raw equals baseline";
  ask(m, {0xF9, 0, 0xAA, 0, 2});
  EXPECT_EQ(m.state().selection, qzsim::DataSelection::ModeDiff);
  EXPECT_NE(m.frame(), base);
}

TEST(SimModel, NoiseIsBoundedAndRepeatableBySeed) {
  Controller c;
  c.sensor.noise = 5;
  ControllerModel a(c), b(c);
  ask(a, {0xF9, 0, 0, 0xC0, 1});
  ask(b, {0xF9, 0, 0, 0xC0, 1});
  EXPECT_EQ(a.frame(), b.frame());
  std::vector<uint16_t> first = a.frame();
  ask(a, {0xF9, 0, 0, 0xC0, 1});
  EXPECT_NE(a.frame(), first) << "each fresh frame has its own noise";
  ask(a, {0xF9, 0, 0xAA, 0, 0});
  std::vector<uint16_t> base = a.frame();
  for (size_t i = 0; i < first.size(); ++i) EXPECT_LE(std::abs(int(first[i]) - int(base[i])), 5) << i;
}

}  // namespace
