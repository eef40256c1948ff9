// Raw data against the simulator: sensor dimensions, buffer sizes, and frames of raw
// counts, baselines and mode differences, in bulk and pair by pair.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
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

using Values = std::vector<uint16_t>;

// The caller's side of a frame: the records and arrays sized by GetRawCountBufferSize,
// with room past each array that must stay untouched.
struct Frame {
  static constexpr size_t kGuard = 4;
  static constexpr uint16_t kFill = 0xBEEF;
  PinNumberInfo pins{};
  RawCountBuffer buf{};
  Values mutual, sector, total;

  bool prepare(DeviceHandle h) {
    if (!GetPinNumber(h, &pins) || !GetRawCountBufferSize(h, &buf)) return false;
    mutual.assign(size_t(buf.mutualValueCount) + kGuard, kFill);
    sector.assign(size_t(buf.sectorValueCount) + kGuard, kFill);
    total.assign(size_t(buf.totalDriveValueCount) + kGuard, kFill);
    buf.mutualValues = mutual.data();
    buf.sectorValues = sector.data();
    buf.totalDriveValues = total.data();
    return true;
  }
  Values part(const Values& v, int32_t n) const { return Values(v.begin(), v.begin() + n); }
  bool guardsIntact() const {
    for (const Values* v : {&mutual, &sector, &total})
      for (size_t k = v->size() - kGuard; k < v->size(); ++k)
        if ((*v)[k] != kFill) return false;
    return true;
  }
};

// The blocks of a model frame, as the arrays should hold them.
struct Blocks {
  Values mutual, sector, total;
};
Blocks blocksOf(const Values& frame, const PinNumberInfo& p) {
  Blocks b;
  const size_t L = size_t(p.driverCount) + p.sectorCount + 1;
  for (size_t r = 0; r < p.sensorCount; ++r) {
    const auto row = frame.begin() + long(r * L);
    b.mutual.insert(b.mutual.end(), row, row + p.driverCount);
    b.sector.insert(b.sector.end(), row + p.driverCount, row + long(L - 1));
    b.total.push_back(row[long(L - 1)]);
  }
  return b;
}

Values modelFrame(qzsim::Device& dev) {
  Values f;
  dev.modify([&](qzsim::ControllerModel& m) { f = m.frame(); });
  return f;
}

Controller sensorController(uint8_t sensors, uint8_t drivers, uint8_t sectors) {
  Controller c;
  c.sensor.sensorLines = sensors;
  c.sensor.driverLines = drivers;
  c.sensor.sectors = sectors;
  c.sensor.touch = true;
  return c;
}

TEST(RawData, PinNumbers) {
  struct Case {
    const char* name;
    std::function<Controller()> make;
    PinNumberInfo expected;
  };
  const Case cases[] = {
      {"one chip, driver count first",
       [] {
         Controller c = sensorController(30, 20, 4);
         c.sensor.driverFirst = true;
         return c;
       },
       {30, 20, 4, 30, 0, 0}},
      {"one chip, sensor count first", [] { return sensorController(12, 16, 2); }, {12, 16, 2, 12, 0, 1}},
      {"master with a slave serving sensor lines",
       [] {
         Controller c = sensorController(40, 30, 4);
         Chip s;
         s.sensorLines = 16;
         c.chips.push_back(s);
         return c;
       },
       {40, 30, 4, 24, 16, 1}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Rig rig;
    ASSERT_TRUE(rig.open(k.make()));
    PinNumberInfo p{};
    ASSERT_EQ(GetPinNumber(rig.handle(), &p), 1);
    EXPECT_EQ(p.sensorCount, k.expected.sensorCount);
    EXPECT_EQ(p.driverCount, k.expected.driverCount);
    EXPECT_EQ(p.sectorCount, k.expected.sectorCount);
    EXPECT_EQ(p.masterSensorCount, k.expected.masterSensorCount);
    EXPECT_EQ(p.slaveSensorCount, k.expected.slaveSensorCount);
    EXPECT_EQ(p.sensorFirst, k.expected.sensorFirst);
  }
}

TEST(RawData, BufferSizesFollowTheDataFlags) {
  struct Case {
    uint8_t flags;
    int32_t mutual, sector, total;
  };
  const Case cases[] = {{0x12, 12 * 16, 12 * 2, 12}, {0x1E, 12 * 16, 0, 0}, {0x08, 12 * 16, 0, 12}, {0x04, 12 * 16, 24, 0}};
  for (const auto& k : cases) {
    SCOPED_TRACE(int(k.flags));
    Rig rig;
    Controller c = sensorController(12, 16, 2);
    c.sensor.dataFlags = k.flags;
    ASSERT_TRUE(rig.open(c));
    RawCountBuffer buf{};
    ASSERT_EQ(GetRawCountBufferSize(rig.handle(), &buf), 1);
    EXPECT_EQ(buf.dataFlags, k.flags);
    EXPECT_EQ(buf.bulkTransfer, 1);
    EXPECT_EQ(buf.mutualValueCount, k.mutual);
    EXPECT_EQ(buf.sectorValueCount, k.sector);
    EXPECT_EQ(buf.totalDriveValueCount, k.total);
    EXPECT_FALSE(rig.state().diagnostic);
  }
}

class Frames : public ::testing::TestWithParam<Transport> {};

// A raw-count frame lands in the three arrays, block by block, as the controller holds it;
// bulk (HID, driver) and pair by pair (serial, or when the caller turns bulk off) agree.
TEST_P(Frames, RawCountsInBulkAndPairByPair) {
  Rig rig(GetParam());
  Controller c = sensorController(12, 16, 2);
  c.sensor.noise = 0;
  ASSERT_TRUE(rig.open(c));
  Frame f;
  ASSERT_TRUE(f.prepare(rig.handle()));
  EXPECT_EQ(f.buf.bulkTransfer, GetParam() == Transport::Serial ? 0 : 1);
  Values bulkMutual;
  for (int32_t bulk : {f.buf.bulkTransfer, 0}) {
    SCOPED_TRACE(bulk ? "bulk" : "pair by pair");
    f.buf.bulkTransfer = bulk;
    rig.clear();
    ASSERT_EQ(GetRawCount(rig.handle(), &f.pins, &f.buf), 1);
    const Blocks want = blocksOf(modelFrame(rig.device()), f.pins);
    EXPECT_EQ(f.part(f.mutual, f.buf.mutualValueCount), want.mutual);
    EXPECT_EQ(f.part(f.sector, f.buf.sectorValueCount), want.sector);
    EXPECT_EQ(f.part(f.total, f.buf.totalDriveValueCount), want.total);
    EXPECT_TRUE(f.guardsIntact());
    EXPECT_EQ(withOpcode(rig.sent(), 0xE8).empty(), bulk != 0);
    if (bulkMutual.empty())
      bulkMutual = want.mutual;
    else
      EXPECT_EQ(want.mutual, bulkMutual) << "the same frame both ways";
  }
}

INSTANTIATE_TEST_SUITE_P(Transports, Frames, ::testing::Values(Transport::Hid, Transport::Driver, Transport::Serial),
                         [](const auto& info) { return std::string(advtest::transportName(info.param)); });

// Pair by pair: two positions per E8; with L odd the last position goes alone with 0, 0.
TEST(RawData, PairAddressing) {
  struct Case {
    const char* name;
    uint8_t drivers, sectors;
    std::vector<std::string> e8;
  };
  const Case cases[] = {
      {"odd row length", 3, 1,
       {"E8 00 00 00 01", "E8 00 02 00 03", "E8 00 04 00 00", "E8 01 00 01 01", "E8 01 02 01 03", "E8 01 04 00 00"}},
      {"even row length", 4, 1,
       {"E8 00 00 00 01", "E8 00 02 00 03", "E8 00 04 00 05", "E8 01 00 01 01", "E8 01 02 01 03", "E8 01 04 01 05"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Rig rig;
    ASSERT_TRUE(rig.open(sensorController(2, k.drivers, k.sectors)));
    Frame f;
    ASSERT_TRUE(f.prepare(rig.handle()));
    f.buf.bulkTransfer = 0;
    rig.clear();
    ASSERT_EQ(GetRawCount(rig.handle(), &f.pins, &f.buf), 1);
    EXPECT_THAT(withOpcode(rig.sent(), 0xE8), ElementsAreArray(k.e8));
    const Blocks want = blocksOf(modelFrame(rig.device()), f.pins);
    EXPECT_EQ(f.part(f.mutual, f.buf.mutualValueCount), want.mutual);
    EXPECT_EQ(f.part(f.total, f.buf.totalDriveValueCount), want.total);
  }
}

// Sector values left out: the frame still has their positions, but nothing is copied.
TEST(RawData, SectorsLeftOut) {
  Rig rig;
  Controller c = sensorController(6, 5, 3);
  c.sensor.dataFlags = 0x1A;
  ASSERT_TRUE(rig.open(c));
  Frame f;
  ASSERT_TRUE(f.prepare(rig.handle()));
  ASSERT_EQ(f.buf.sectorValueCount, 0);
  for (int32_t bulk : {1, 0}) {
    f.buf.bulkTransfer = bulk;
    ASSERT_EQ(GetRawCount(rig.handle(), &f.pins, &f.buf), 1);
    const Blocks want = blocksOf(modelFrame(rig.device()), f.pins);
    EXPECT_EQ(f.part(f.mutual, f.buf.mutualValueCount), want.mutual);
    EXPECT_EQ(f.part(f.total, f.buf.totalDriveValueCount), want.total);
    EXPECT_THAT(f.sector, ::testing::Each(Frame::kFill));
  }
}

TEST(RawData, FreshFrameWaitsOrPolls) {
  struct Case {
    const char* name;
    uint16_t readyAfterPolls;
    size_t polls;
  };
  const Case cases[] = {{"ready at once: one F9 and the 500 ms wait", 0, 0}, {"three polls", 3, 3}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Rig rig;
    Controller c = sensorController(4, 4, 1);
    c.sensor.readyAfterPolls = k.readyAfterPolls;
    ASSERT_TRUE(rig.open(c));
    Frame f;
    ASSERT_TRUE(f.prepare(rig.handle()));
    rig.clear();
    ASSERT_EQ(GetRawCount(rig.handle(), &f.pins, &f.buf), 1);
    std::vector<std::string> f9 = {"F9 00 00 C0 01"};
    f9.insert(f9.end(), k.polls, "F9 00 00 80 01");
    EXPECT_THAT(withOpcode(rig.sent(), 0xF9), ElementsAreArray(f9));
    EXPECT_TRUE(rig.state().diagnostic);
  }
}

// A frame that never gets ready is given up after 100 polls, and no frame is read.
TEST(RawData, StatusPollIsBounded) {
  Rig rig;
  Controller c = sensorController(4, 4, 1);
  c.sensor.readyAfterPolls = 1000;
  ASSERT_TRUE(rig.open(c));
  Frame f;
  ASSERT_TRUE(f.prepare(rig.handle()));
  rig.clear();
  EXPECT_EQ(GetRawCount(rig.handle(), &f.pins, &f.buf), 0);
  const auto sent = rig.sent();
  EXPECT_EQ(withOpcode(sent, 0xF9).size(), 101u);
  EXPECT_EQ(withOpcode(sent, 0xF9).size(), sent.size()) << "nothing but status polls";
}

TEST(RawData, Baseline) {
  struct Case {
    const char* name;
    bool slave;
    uint8_t flags;
    std::vector<std::string> around;  // commands other than the frame's
  };
  const Case cases[] = {
      {"slave sensor lines pause scanning", true, 0x12,
       {"E0 00 F0 00 00", "F0 00 00 00 00", "F9 00 AA 00 00", "F1 00 00 00 00"}},
      {"one chip selects baseline data", false, 0x12, {"F9 00 AA 00 00"}},
      {"no baseline selection", false, 0x10, {}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Rig rig;
    Controller c = sensorController(8, 6, 2);
    c.sensor.dataFlags = k.flags;
    if (k.slave) {
      Chip s;
      s.sensorLines = 3;
      c.chips.push_back(s);
    }
    ASSERT_TRUE(rig.open(c));
    Frame f;
    ASSERT_TRUE(f.prepare(rig.handle()));
    f.buf.bulkTransfer = 0;
    rig.clear();
    ASSERT_EQ(GetBaseLine(rig.handle(), &f.pins, &f.buf), 1);
    std::vector<std::string> around;
    for (const auto& s : rig.sent())
      if (s.compare(0, 2, "E8") != 0) around.push_back(s);
    EXPECT_THAT(around, ElementsAreArray(k.around));
    const Blocks want = blocksOf(modelFrame(rig.device()), f.pins);
    EXPECT_EQ(f.part(f.mutual, f.buf.mutualValueCount), want.mutual);
    if (k.flags & 0x02) {
      EXPECT_EQ(rig.state().selection, qzsim::DataSelection::Baseline);
    }
    EXPECT_TRUE(rig.state().scanning);
  }
}

TEST(RawData, BaselineFailureRestartsScanning) {
  Rig rig;
  Controller c = sensorController(8, 6, 2);
  Chip s;
  s.sensorLines = 3;
  c.chips.push_back(s);
  ASSERT_TRUE(rig.open(c));
  Frame f;
  ASSERT_TRUE(f.prepare(rig.handle()));
  f.buf.bulkTransfer = 0;
  rig.device().addFault(qzsim::Fault::refuse(0xE8));
  rig.clear();
  EXPECT_EQ(GetBaseLine(rig.handle(), &f.pins, &f.buf), 0);
  EXPECT_EQ(rig.sent().back(), "F1 00 00 00 00");
  EXPECT_TRUE(rig.state().scanning);
}

TEST(RawData, ModeDifferences) {
  Rig rig;
  ASSERT_TRUE(rig.open(sensorController(8, 6, 2)));
  Frame f;
  ASSERT_TRUE(f.prepare(rig.handle()));

  f.buf.dataFlags = 0x02;  // baseline only: no mode differences to select
  rig.clear();
  EXPECT_EQ(GetModeDiff(rig.handle(), &f.pins, &f.buf, 1), 0);
  EXPECT_THAT(rig.sent(), IsEmpty());

  f.buf.dataFlags = 0x12;
  ASSERT_EQ(GetModeDiff(rig.handle(), &f.pins, &f.buf, 0x102), 1);
  EXPECT_EQ(rig.sent().front(), "F9 00 AA 00 02");
  EXPECT_EQ(rig.state().selection, qzsim::DataSelection::ModeDiff);
  EXPECT_EQ(rig.state().modeDiff, 2);
  const Blocks want = blocksOf(modelFrame(rig.device()), f.pins);
  EXPECT_EQ(f.part(f.mutual, f.buf.mutualValueCount), want.mutual);
}

// Records the frame functions cannot serve safely are refused before anything is sent.
TEST(RawData, UnservableRecordsAreRefused) {
  Rig rig;
  ASSERT_TRUE(rig.open(sensorController(4, 4, 1)));
  Frame f;
  ASSERT_TRUE(f.prepare(rig.handle()));
  struct Case {
    const char* name;
    std::function<void(PinNumberInfo&, RawCountBuffer&)> change;
  };
  const Case cases[] = {
      {"row longer than 255 values",
       [](PinNumberInfo& p, RawCountBuffer&) {
         p.driverCount = 200;
         p.sectorCount = 60;
       }},
      {"row of exactly 256 values", [](PinNumberInfo& p, RawCountBuffer&) {
         p.driverCount = 250;
         p.sectorCount = 5;
       }},
      {"missing mutual array", [](PinNumberInfo&, RawCountBuffer& b) { b.mutualValues = nullptr; }},
      {"missing total-drive array", [](PinNumberInfo&, RawCountBuffer& b) { b.totalDriveValues = nullptr; }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    PinNumberInfo p = f.pins;
    RawCountBuffer b = f.buf;
    k.change(p, b);
    rig.clear();
    EXPECT_EQ(GetRawCount(rig.handle(), &p, &b), 0);
    EXPECT_EQ(GetBaseLine(rig.handle(), &p, &b), 0);
    b.dataFlags = 0x12;
    EXPECT_EQ(GetModeDiff(rig.handle(), &p, &b, 1), 0);
    EXPECT_THAT(rig.sent(), IsEmpty());
  }
}

// Arrays smaller than the frame (a record sized for another sensor) get no more values
// than their counts.
TEST(RawData, CountsBoundTheCopies) {
  Rig rig;
  ASSERT_TRUE(rig.open(sensorController(6, 5, 2)));
  Frame f;
  ASSERT_TRUE(f.prepare(rig.handle()));
  f.buf.mutualValueCount = 7;
  f.buf.sectorValueCount = 3;
  f.buf.totalDriveValueCount = 2;
  ASSERT_EQ(GetRawCount(rig.handle(), &f.pins, &f.buf), 1);
  const Blocks want = blocksOf(modelFrame(rig.device()), f.pins);
  EXPECT_EQ(f.part(f.mutual, 7), Values(want.mutual.begin(), want.mutual.begin() + 7));
  EXPECT_TRUE(std::all_of(f.mutual.begin() + 7, f.mutual.end(), [](uint16_t v) { return v == Frame::kFill; }));
  EXPECT_TRUE(std::all_of(f.sector.begin() + 3, f.sector.end(), [](uint16_t v) { return v == Frame::kFill; }));
  EXPECT_TRUE(std::all_of(f.total.begin() + 2, f.total.end(), [](uint16_t v) { return v == Frame::kFill; }));
}

TEST(RawData, ScanCounts) {
  for (bool paired : {false, true}) {
    SCOPED_TRACE(paired ? "two values per reply" : "one value per reply");
    Rig rig;
    Controller c;
    c.parameters.pairedReads = paired;
    c.parameters.application[0x16] = 0x81;
    c.parameters.application[0x17] = 0x92;
    ASSERT_TRUE(rig.open(c));
    uint32_t a = 0, b = 0;
    ASSERT_EQ(GetScanCount(rig.handle(), &a, &b), 1);
    EXPECT_EQ(a, 0x81u);
    EXPECT_EQ(b, 0x92u);
    EXPECT_EQ(rig.sent().size(), paired ? 1u : 2u);
  }
}

}  // namespace
