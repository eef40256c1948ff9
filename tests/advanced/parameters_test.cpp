// Parameter lists against the simulator: what GetParaListInfo reports, images read and
// written on flat and sectioned controllers, the slave lists, storing and defaults.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "rig.h"

using advtest::Rig;
using advtest::withOpcode;
using qzsim::Chip;
using qzsim::Controller;
using qzsim::Transport;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint8_t first) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(first + i);
  return b;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A controller whose every list holds a distinct pattern.
Controller patterned(bool sectioned, bool paired, size_t slaves) {
  Controller c;
  c.parameters.sectioned = sectioned;
  c.parameters.pairedReads = paired;
  c.parameters.application = pattern(64, 0x01);
  c.parameters.boot = pattern(16, 0x81);
  c.parameters.debug = pattern(16, 0xC1);
  for (size_t n = 0; n < slaves; ++n) {
    Chip s;
    s.parameters = pattern(32, uint8_t(0x20 + 0x30 * n));
    c.chips.push_back(s);
  }
  return c;
}

// Opcodes in order with repeats collapsed: "E0 F0 F7 E1 ...".
std::string opcodeOutline(const std::vector<std::string>& sent) {
  std::string out, last;
  for (const auto& s : sent) {
    std::string op = s.substr(0, 2);
    if (op == last) continue;
    if (!out.empty()) out += ' ';
    out += op;
    last = op;
  }
  return out;
}

std::string info(const ParaListInfo& p) {
  char buf[64];
  snprintf(buf, sizeof buf, "%02X %u %u/%u/%u/%u", p.sections, p.addressing, p.apLength, p.bootLength, p.debugLength,
           p.slaveLength);
  return buf;
}

TEST(ParameterLists, ListInfo) {
  struct Case {
    const char* name;
    std::function<Controller()> make;
    const char* expected;
    std::vector<std::string> sent;
  };
  const Case cases[] = {
      {"flat with a debug list and two chips", [] { return patterned(false, false, 1); }, "E8 0 64/16/16/32",
       {"EF 00 00 00 00", "E0 00 FB 00 00", "E0 00 80 00 00"}},
      {"flat without debug list",
       [] {
         Controller c;
         c.parameters.debug.clear();
         return c;
       },
       "C0 0 64/16/0/0", {"EF 00 00 00 00", "E0 00 FB 00 00", "E0 00 80 00 00"}},
      {"flat with four slaves", [] { return patterned(false, false, 4); }, "EF 0 64/16/16/32",
       {"EF 00 00 00 00", "E0 00 FB 00 00", "E0 00 80 00 00"}},
      {"sectioned lengths",
       [] {
         Controller c = patterned(true, false, 2);
         c.parameters.application = pattern(48, 1);
         c.parameters.boot = pattern(12, 1);
         c.parameters.debug = pattern(8, 1);
         for (size_t n = 1; n < c.chips.size(); ++n) c.chips[n].parameters = pattern(20, 1);
         return c;
       },
       "EC 1 48/12/8/20", {"EF 00 00 00 00", "E0 00 FB 00 00"}},
      {"sectioned, all lengths zero",
       [] {
         Controller c;
         c.parameters.sectioned = true;
         c.parameters.application.clear();
         c.parameters.boot.clear();
         c.parameters.debug.clear();
         return c;
       },
       "C0 1 0/0/0/0", {"EF 00 00 00 00", "E0 00 FB 00 00"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Rig rig;
    ASSERT_TRUE(rig.open(k.make()));
    ParaListInfo p{};
    ASSERT_EQ(GetParaListInfo(rig.handle(), &p), 1);
    EXPECT_EQ(info(p), k.expected);
    EXPECT_THAT(rig.sent(), ElementsAreArray(k.sent));
  }
}

// A chip count of 0 (here 256 chips, reported in one byte) counts as one chip, not as 255
// slaves.
TEST(ParameterLists, ChipCountZeroCountsAsOneChip) {
  Controller c;
  c.chips.resize(256);
  Rig rig;
  ASSERT_TRUE(rig.open(c));
  ParaListInfo p{};
  ASSERT_EQ(GetParaListInfo(rig.handle(), &p), 1);
  EXPECT_EQ(info(p), "E0 0 64/16/16/0");
  PinNumberInfo pins{};
  rig.clear();
  ASSERT_EQ(GetPinNumber(rig.handle(), &pins), 1);
  EXPECT_EQ(pins.slaveSensorCount, 0);
  EXPECT_EQ(pins.masterSensorCount, pins.sensorCount);
  EXPECT_THAT(rig.sent(), ElementsAre("E5 00 00 00 01", "EF 00 00 00 00"));
  FWVersionInfo version{};
  ASSERT_EQ(GetFWVersion(rig.handle(), &version), 1);
  EXPECT_EQ(version.slaveCount, 0);
}

class ParameterTransfer : public ::testing::TestWithParam<Transport> {};

// Every list read back as the controller holds it, flat and sectioned, one or two values
// per reply; nothing is written past the image.
TEST_P(ParameterTransfer, ReadsEverySelectedList) {
  for (bool sectioned : {false, true}) {
    for (bool paired : {false, true}) {
      SCOPED_TRACE(std::string(sectioned ? "sectioned" : "flat") + (paired ? ", two values per reply" : ""));
      Rig rig(GetParam());
      const Controller c = patterned(sectioned, paired, 2);
      ASSERT_TRUE(rig.open(c));
      ParaListInfo p{};
      ASSERT_EQ(GetParaListInfo(rig.handle(), &p), 1);
      ASSERT_EQ(p.sections, 0xEC);
      const Bytes expected = concat({c.parameters.application, c.parameters.boot, c.parameters.debug,
                                     c.chips[1].parameters, c.chips[2].parameters});
      Bytes image(expected.size() + 8, 0x5A);
      ASSERT_EQ(GetParaList(rig.handle(), &p, image.data()), 1);
      EXPECT_EQ(Bytes(image.begin(), image.begin() + long(expected.size())), expected);
      EXPECT_EQ(Bytes(image.end() - 8, image.end()), Bytes(8, 0x5A));
      EXPECT_EQ(rig.state().selectedSlave, -1);
      EXPECT_TRUE(rig.state().scanning);
    }
  }
}

// Image written, then read back equal; the stored lists survive a reset.
TEST_P(ParameterTransfer, WrittenImageReadsBackAndSurvivesReset) {
  for (bool sectioned : {false, true}) {
    SCOPED_TRACE(sectioned ? "sectioned" : "flat");
    Rig rig(GetParam());
    ASSERT_TRUE(rig.open(patterned(sectioned, false, 0)));
    ParaListInfo p{};
    ASSERT_EQ(GetParaListInfo(rig.handle(), &p), 1);
    const Bytes written = concat({pattern(64, 0x11), pattern(16, 0x61), pattern(16, 0x91)});
    ASSERT_EQ(SetParaList(rig.handle(), &p, written.data()), 1);
    EXPECT_FALSE(rig.state().changeOpen);
    EXPECT_TRUE(rig.state().scanning);
    Bytes image(written.size());
    ASSERT_EQ(GetParaList(rig.handle(), &p, image.data()), 1);
    EXPECT_EQ(image, written);

    ASSERT_EQ(ResetMPU(rig.handle()), 1);
    ParaListInfo masterOnly = p;
    masterOnly.sections = 0xC0;
    Bytes stored(80);
    ASSERT_EQ(GetParaList(rig.handle(), &masterOnly, stored.data()), 1);
    EXPECT_EQ(stored, Bytes(written.begin(), written.begin() + 80));
  }
}

INSTANTIATE_TEST_SUITE_P(Transports, ParameterTransfer,
                         ::testing::Values(Transport::Hid, Transport::Driver, Transport::Serial),
                         [](const auto& info) { return std::string(advtest::transportName(info.param)); });

// A reply carrying two values for a list's last byte: only the first is stored.
TEST(ParameterLists, TwoValueReplyAtTheLastByte) {
  Rig rig;
  ASSERT_TRUE(rig.open(patterned(false, true, 0)));
  const ParaListInfo p{0x80, 0, 5, 16, 16, 0};
  Bytes image(8, 0x5A);
  ASSERT_EQ(GetParaList(rig.handle(), &p, image.data()), 1);
  EXPECT_EQ(image, (Bytes{1, 2, 3, 4, 5, 0x5A, 0x5A, 0x5A}));
  EXPECT_THAT(rig.sent(), ElementsAre("E0 00 00 00 00", "E0 00 02 00 00", "E0 00 04 00 00"));
}

uint64_t timeOf(qzsim::Device& dev, const std::string& command) {
  for (const auto& r : dev.requests()) {
    qzsim::Packet p;
    if (r.packet(&p) && advtest::hex(p) == command) return r.timeUs;
  }
  return 0;
}

// Slave lists only: scanning paused, 50 ms more before the first slave, each list at the
// next image position, then the master answers again and scanning restarts.
TEST(ParameterLists, SlaveListsOnly) {
  Rig rig;
  const Controller c = patterned(false, false, 2);
  ASSERT_TRUE(rig.open(c));
  const ParaListInfo p{0x0C, 0, 64, 16, 16, 32};
  Bytes image(64, 0);
  ASSERT_EQ(GetParaList(rig.handle(), &p, image.data()), 1);
  EXPECT_EQ(image, concat({c.chips[1].parameters, c.chips[2].parameters}));
  EXPECT_EQ(opcodeOutline(rig.sent()), "E0 F0 F4 E0 F4 E0 F4 F1");
  EXPECT_THAT(withOpcode(rig.sent(), 0xF4), ElementsAre("F4 00 00 00 01", "F4 00 01 00 01", "F4 00 00 00 00"));
  const uint64_t stop = timeOf(rig.device(), "F0 00 00 00 00"), select = timeOf(rig.device(), "F4 00 00 00 01");
  ASSERT_NE(stop, 0u);
  EXPECT_GE(select - stop, 100000u) << "settling after the pause and the wait before the first slave";
}

TEST(ParameterLists, MasterListsNeedNoPauseOrSelection) {
  Rig rig;
  ASSERT_TRUE(rig.open(patterned(false, false, 2)));
  const ParaListInfo p{0xE0, 0, 64, 16, 16, 32};
  Bytes image(96);
  ASSERT_EQ(GetParaList(rig.handle(), &p, image.data()), 1);
  EXPECT_EQ(opcodeOutline(rig.sent()), "E0");
}

// Flat addressing puts the boot list after the whole application list, also when only the
// boot list is asked for.
TEST(ParameterLists, FlatBootListAlone) {
  Rig rig;
  const Controller c = patterned(false, false, 0);
  ASSERT_TRUE(rig.open(c));
  const ParaListInfo p{0x40, 0, 64, 16, 16, 0};
  Bytes image(16);
  ASSERT_EQ(GetParaList(rig.handle(), &p, image.data()), 1);
  EXPECT_EQ(image, c.parameters.boot);
  EXPECT_EQ(rig.sent().front(), "E0 00 40 00 00");
  EXPECT_EQ(rig.sent().back(), "E0 00 4F 00 00");
}

// The write sequence, with E6 00 AA only when boot byte 4 changes.
TEST(ParameterLists, WriteSequence) {
  struct Case {
    const char* name;
    uint8_t boot4;
    const char* outline;
  };
  const Controller c = patterned(false, false, 0);
  const Case cases[] = {
      {"boot byte 4 unchanged", c.parameters.boot[4], "E0 F0 F7 E1 E0 E1 EA E1 F7 F1"},
      {"boot byte 4 changed", uint8_t(c.parameters.boot[4] + 1), "E0 F0 F7 E1 E0 E1 E6 EA E1 F7 F1"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Rig rig;
    ASSERT_TRUE(rig.open(c));
    Bytes image = concat({c.parameters.application, c.parameters.boot, c.parameters.debug});
    image[64 + 4] = k.boot4;
    const ParaListInfo p{0xE8, 0, 64, 16, 16, 32};  // slave bits are ignored
    ASSERT_EQ(SetParaList(rig.handle(), &p, image.data()), 1);
    const auto sent = rig.sent();
    EXPECT_EQ(opcodeOutline(sent), k.outline);
    EXPECT_THAT(withOpcode(sent, 0xE0), ElementsAre("E0 00 F0 00 00", "E0 00 44 00 00"));
    EXPECT_THAT(withOpcode(sent, 0xF7), ElementsAre("F7 00 00 00 01", "F7 00 00 00 00"));
    const auto stores = withOpcode(sent, 0xEA);
    ASSERT_EQ(stores.size(), 4u);
    EXPECT_EQ(stores[0], "EA 00 00 00 00");
    EXPECT_EQ(stores[2], "EA 00 AA 00 00");
    const auto writes = withOpcode(sent, 0xE1);
    ASSERT_EQ(writes.size(), 96u);
    EXPECT_EQ(writes[0], "E1 00 00 00 01");
    EXPECT_EQ(writes[64], "E1 00 40 00 81");
    EXPECT_EQ(writes[80], "E1 00 80 00 C1");
    if (k.boot4 != c.parameters.boot[4]) {
      EXPECT_THAT(withOpcode(sent, 0xE6), ElementsAre("E6 00 AA 00 00"));
    }
  }
}

// Sectioned writes address each list by its selector; a boot list too short to hold byte
// 4 has nothing to compare.
TEST(ParameterLists, SectionedWriteOfShortBootList) {
  Rig rig;
  Controller c = patterned(true, false, 0);
  c.parameters.application = pattern(3, 1);
  c.parameters.boot = pattern(4, 1);
  c.parameters.debug = pattern(2, 1);
  ASSERT_TRUE(rig.open(c));
  ParaListInfo p{};
  ASSERT_EQ(GetParaListInfo(rig.handle(), &p), 1);
  ASSERT_EQ(info(p), "E0 1 3/4/2/0");
  rig.clear();
  const Bytes written = {0x0A, 0x0B, 0x0C, 0x1A, 0x1B, 0x1C, 0x1D, 0x2A, 0x2B};
  ASSERT_EQ(SetParaList(rig.handle(), &p, written.data()), 1);
  EXPECT_THAT(withOpcode(rig.sent(), 0xE1),
              ElementsAre("E1 80 00 00 0A", "E1 80 01 00 0B", "E1 80 02 00 0C", "E1 90 00 00 1A", "E1 90 01 00 1B",
                          "E1 90 02 00 1C", "E1 90 03 00 1D", "E1 A0 00 00 2A", "E1 A0 01 00 2B"));
  EXPECT_THAT(withOpcode(rig.sent(), 0xE0), ElementsAre("E0 00 F0 00 00"));
  Bytes image(9);
  ASSERT_EQ(GetParaList(rig.handle(), &p, image.data()), 1);
  EXPECT_EQ(image, written);
}

TEST(ParameterLists, FlushAndReloadDefaults) {
  Rig rig;
  const Controller c = patterned(false, false, 0);
  ASSERT_TRUE(rig.open(c));
  const DeviceHandle h = rig.handle();
  ASSERT_EQ(FlushParameter(h, 1), 1);
  EXPECT_EQ(rig.sent().front(), "EA 00 00 00 00");
  rig.clear();
  ASSERT_EQ(FlushParameter(h, 0), 1);
  EXPECT_EQ(rig.sent().front(), "EA 00 AA 00 00");

  const ParaListInfo p{0xC0, 0, 64, 16, 0, 0};
  const Bytes changed = concat({pattern(64, 0x33), pattern(16, 0x77)});
  ASSERT_EQ(SetParaList(h, &p, changed.data()), 1);
  rig.clear();
  ASSERT_EQ(ReloadDefaultParameter(h, 1), 1);
  EXPECT_THAT(rig.sent(), ElementsAre("F7 00 00 00 01", "EC 00 00 00 00", "F7 00 00 00 00"));
  rig.clear();
  ASSERT_EQ(ReloadDefaultParameter(h, 0), 1);
  EXPECT_THAT(rig.sent(), ElementsAre("F7 00 00 00 01", "EC 00 AA 00 00", "F7 00 00 00 00"));
  Bytes image(80);
  ASSERT_EQ(GetParaList(h, &p, image.data()), 1);
  EXPECT_EQ(image, concat({c.parameters.application, c.parameters.boot}));
}

TEST(ParameterLists, FailedWriteUndoesNothing) {
  Rig rig;
  ASSERT_TRUE(rig.open(patterned(false, false, 0)));
  rig.device().addFault(qzsim::Fault::refuse(0xE1));
  const ParaListInfo p{0xC0, 0, 64, 16, 0, 0};
  const Bytes image(80, 1);
  EXPECT_EQ(SetParaList(rig.handle(), &p, image.data()), 0);
  EXPECT_EQ(rig.sent().back(), "E1 00 00 00 01");
  EXPECT_TRUE(rig.state().changeOpen);  // a half-written change is left as it is
}

// A slave read that fails still gives the master back and restarts scanning.
TEST(ParameterLists, FailedSlaveReadGivesTheMasterBack) {
  Rig rig;
  ASSERT_TRUE(rig.open(patterned(false, false, 1)));
  rig.device().addFault(qzsim::Fault::refuse(0xF4));
  const ParaListInfo p{0x08, 0, 64, 16, 16, 32};
  Bytes out(32);
  EXPECT_EQ(GetParaList(rig.handle(), &p, out.data()), 0);
  EXPECT_EQ(rig.state().selectedSlave, -1);
  EXPECT_TRUE(rig.state().scanning);
  const auto sent = rig.sent();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_THAT(std::vector<std::string>(sent.end() - 2, sent.end()), ElementsAre("F4 00 00 00 00", "F1 00 00 00 00"));
}

}  // namespace
