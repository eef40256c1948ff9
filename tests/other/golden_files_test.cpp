// Golden sample files: the diagnostic file (keys and a labelled table) and the product file
// (header number and plain table), written, read and round-tripped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qz/other.h"
#include "record_builders.h"
#include "test_util.h"

namespace {

using qztest::TempDir;
using qztest::TestRecordWith;

void diagnosticRecord(TestRecordWith& t) {
  t.versions("QZ4321A.D03.2.5.120 Boot : 1.0 ", "QZ1234.1.2", 1);
  t.rec.fwInfo.panelSize = 15.6f;
  t.rec.fwInfo.coverLens = 1.1f;
  t.sample = {101, 102, 103, 104, 105, 106};
}

TEST(WriteDiagnoseGoldenSampleFile, WritesKeysAndTableAndTakesTheSampleAsGolden) {
  TempDir dir;
  TestRecordWith t(2, 3);
  diagnosticRecord(t);
  t.rec.flags = 0xF0;
  ASSERT_EQ(WriteDiagnoseGoldenSampleFile((dir / "d.csv").c_str(), &t.rec), 1);
  EXPECT_EQ(qztest::readFile(dir / "d.csv"), qztest::fixture("diag_golden.txt"));
  EXPECT_EQ(t.rec.flags, QZ_TEST_GOLDEN_LOADED) << "other flag bits cleared";
  EXPECT_EQ(t.rec.golden.mutualValueCount, 6);
  EXPECT_EQ(t.golden, t.sample);
}

TEST(WriteDiagnoseGoldenSampleFile, LayoutEdges) {
  struct Case {
    const char* name;
    int32_t sensors, drivers, slaves;
    float panel;
    std::string expected;
  };
  const std::string head = "[KRXM]\r\nF/W ver:,M\r\n";
  const Case cases[] = {
      {"no slave line", 1, 2, 0, 2.0f,
       head + "PanelSize:,2,CoverLens:,0.5\r\nSensorPinNumber:,1\r\nDriverPinNumber:,2\r\n"
              "[Golden Sample]\r\n0,1,\r\n1,7,\r\n"},
      {"one column holds only labels", 2, 1, 0, 2.0f,
       head + "PanelSize:,2,CoverLens:,0.5\r\nSensorPinNumber:,2\r\nDriverPinNumber:,1\r\n"
              "[Golden Sample]\r\n0,\r\n1,\r\n2,\r\n"},
      {"no columns: empty rows", 2, 0, 0, 123.456789f,
       head + "PanelSize:,123.457,CoverLens:,0.5\r\nSensorPinNumber:,2\r\nDriverPinNumber:,0\r\n"
              "[Golden Sample]\r\n\r\n\r\n\r\n"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestRecordWith t(c.sensors, c.drivers);
    t.versions("M", "S", c.slaves);
    t.rec.fwInfo.panelSize = c.panel;
    t.rec.fwInfo.coverLens = 0.5f;
    for (size_t i = 0; i < t.sample.size(); ++i) t.sample[i] = uint16_t(7 + i);
    ASSERT_EQ(WriteDiagnoseGoldenSampleFile((dir / "d.csv").c_str(), &t.rec), 1);
    EXPECT_EQ(qztest::readFile(dir / "d.csv"), c.expected);
  }
}

TEST(WriteDiagnoseGoldenSampleFile, RefusesBadCountsAndMissingArrays) {
  TempDir dir;
  for (auto [s, d] : {std::pair{-1, 2}, {2, -1}, {256, 1}, {1, 256}}) {
    SCOPED_TRACE(std::to_string(s) + " x " + std::to_string(d));
    TestRecordWith t(0, 0);
    t.rec.fwInfo.sensorPinNumber = s;
    t.rec.fwInfo.driverPinNumber = d;
    EXPECT_EQ(WriteDiagnoseGoldenSampleFile((dir / "d.csv").c_str(), &t.rec), 0);
  }
  TestRecordWith t(2, 2);
  t.rec.golden.mutualValues = nullptr;
  EXPECT_EQ(WriteDiagnoseGoldenSampleFile((dir / "d.csv").c_str(), &t.rec), 0);
  EXPECT_FALSE(qztest::exists(dir / "d.csv"));
  TestRecordWith u(2, 2);
  EXPECT_EQ(WriteDiagnoseGoldenSampleFile((dir / "x/y/d.csv").c_str(), &u.rec), 0);
}

// A record for reading: golden values from malloc, as the reader requires.
struct ReadRecord {
  TestRecord rec = {};
  ReadRecord() {
    rec.golden.mutualValues = static_cast<uint16_t*>(malloc(4 * sizeof(uint16_t)));
    rec.golden.mutualValueCount = 4;
    strcpy(rec.fwVersion.slaveVersion[0], "old slave");
    rec.fwVersion.slaveVersion[1][0] = 'X';
    rec.flags = 0xFF;
  }
  ~ReadRecord() { free(rec.golden.mutualValues); }
  std::vector<uint16_t> golden() const {
    const uint16_t* v = rec.golden.mutualValues;
    return v ? std::vector<uint16_t>(v, v + rec.golden.mutualValueCount) : std::vector<uint16_t>{};
  }
};

TEST(ReadDiagnoseGoldenSampleFile, RoundTripsWhatTheWriterWrote) {
  TempDir dir;
  TestRecordWith t(2, 3);
  diagnosticRecord(t);
  ASSERT_EQ(WriteDiagnoseGoldenSampleFile((dir / "d.csv").c_str(), &t.rec), 1);

  ReadRecord r;
  ASSERT_EQ(ReadDiagnoseGoldenSampleFile((dir / "d.csv").c_str(), &r.rec), 1);
  // Fields are trimmed, so the version text loses its trailing blank.
  EXPECT_STREQ(r.rec.fwVersion.masterVersion, "QZ4321A.D03.2.5.120 Boot : 1.0");
  EXPECT_STREQ(r.rec.fwVersion.slaveVersion[0], "QZ1234.1.2");
  EXPECT_EQ(r.rec.fwInfo.panelSize, 15.6f);
  EXPECT_EQ(r.rec.fwInfo.coverLens, 1.1f);
  EXPECT_EQ(r.rec.fwInfo.sensorPinNumber, 2);
  EXPECT_EQ(r.rec.fwInfo.driverPinNumber, 3);
  EXPECT_EQ(r.rec.flags, QZ_TEST_GOLDEN_LOADED);
  // The table holds S x (D - 1) values; the last S golden values stay 0.
  EXPECT_EQ(r.golden(), (std::vector<uint16_t>{101, 102, 103, 104, 0, 0}));
}

TEST(ReadDiagnoseGoldenSampleFile, FileWithoutSlaveLeavesTheSlaveText) {
  TempDir dir;
  TestRecordWith t(1, 2);
  t.versions("M1", "unused", 0);
  ASSERT_EQ(WriteDiagnoseGoldenSampleFile((dir / "d.csv").c_str(), &t.rec), 1);
  ReadRecord r;
  ASSERT_EQ(ReadDiagnoseGoldenSampleFile((dir / "d.csv").c_str(), &r.rec), 1);
  EXPECT_STREQ(r.rec.fwVersion.masterVersion, "M1");
  EXPECT_STREQ(r.rec.fwVersion.slaveVersion[0], "old slave");
}

TEST(ReadDiagnoseGoldenSampleFile, ReadsHandWrittenFiles) {
  struct Case {
    const char* name;
    std::string text;
    int32_t result;
    std::vector<uint16_t> golden;  // empty: the golden values are null with count 0
  };
  const std::string pins = "SensorPinNumber:,2\nDriverPinNumber:,2\n";
  const Case cases[] = {
      {"LF line ends", pins + "[Golden Sample]\n0,1,\n1,5,\n2,6,\n", 1, {5, 6, 0, 0}},
      {"extra lines and keys on one line", "[KRXM]\nnote,x\nSensorPinNumber:,2,DriverPinNumber:,2\n"
                                           "[Golden Sample]\n0,1,\n1,5,\n2,6,\nmore,\n",
       1, {5, 6, 0, 0}},
      {"values as 16 bits, text as 0", pins + "[Golden Sample]\n0,1,\n1,65537,\n2,abc,\n", 1, {1, 0, 0, 0}},
      {"file ends inside the table", pins + "[Golden Sample]\n0,1,\n1,5,", 1, {5, 0, 0, 0}},
      {"sensor count 0", "SensorPinNumber:,0\nDriverPinNumber:,2\n[Golden Sample]\n0,1,\n", 0, {}},
      {"table before the pin counts", "[Golden Sample]\n" + pins, 0, {}},
      {"key in another case", "sensorpinnumber:,2\nDriverPinNumber:,2\n[Golden Sample]\n", 0, {}},
      {"negative pin count", "SensorPinNumber:,-2\nDriverPinNumber:,2\n[Golden Sample]\n", 0, {}},
      {"pin count beyond 255", "SensorPinNumber:,256\nDriverPinNumber:,2\n[Golden Sample]\n", 0, {}},
      {"a bad table first, a good one later",
       "[Golden Sample]\n" + pins + "[Golden Sample]\n0,1,\n1,8,\n2,9,\n", 0, {8, 9, 0, 0}},
      {"no table at all", pins, 1, {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qztest::writeFile(dir / "d.csv", c.text);
    ReadRecord r;
    for (int i = 0; i < 4; ++i) r.rec.golden.mutualValues[i] = 0xAAAA;
    EXPECT_EQ(ReadDiagnoseGoldenSampleFile((dir / "d.csv").c_str(), &r.rec), c.result);
    EXPECT_EQ(r.golden(), c.golden);
    if (c.golden.empty()) {
      EXPECT_EQ(r.rec.golden.mutualValues, nullptr) << "never the released array";
      EXPECT_EQ(r.rec.golden.mutualValueCount, 0);
    }
    EXPECT_EQ(r.rec.flags & ~QZ_TEST_GOLDEN_LOADED, 0) << "flags cleared first";
  }
}

TEST(ReadDiagnoseGoldenSampleFile, LongFieldsAreCutToTheirSpace) {
  TempDir dir;
  const std::string longText(120, 'v');
  qztest::writeFile(dir / "d.csv", "F/W ver:," + longText + "\nSlave:," + longText +
                                       "\n" + std::string(200, 'k') + "SensorPinNumber:,3\n");
  ReadRecord r;
  ASSERT_EQ(ReadDiagnoseGoldenSampleFile((dir / "d.csv").c_str(), &r.rec), 1);
  EXPECT_EQ(std::string(r.rec.fwVersion.masterVersion), std::string(49, 'v'));
  EXPECT_EQ(std::string(r.rec.fwVersion.slaveVersion[0]), std::string(49, 'v'));
  EXPECT_EQ(r.rec.fwVersion.slaveVersion[1][0], 'X') << "nothing written past the field";
}

TEST(ReadDiagnoseGoldenSampleFile, UnopenableFileClearsOnlyTheFlags) {
  TempDir dir;
  ReadRecord r;
  uint16_t* before = r.rec.golden.mutualValues;
  EXPECT_EQ(ReadDiagnoseGoldenSampleFile((dir / "none.csv").c_str(), &r.rec), 0);
  EXPECT_EQ(r.rec.flags, 0);
  EXPECT_EQ(r.rec.golden.mutualValues, before);
  EXPECT_STREQ(r.rec.fwVersion.slaveVersion[0], "old slave");
}

TEST(ReadProductGoldenSampleFile, ReadsHeaderAndValuesWhateverTheLineBreaks) {
  struct Case {
    const char* name;
    std::string text;
    int32_t header;
    std::vector<uint16_t> values;
  };
  const Case cases[] = {
      {"as written", qztest::fixture("product_golden.txt"), 7, {1, 2, 3, 4, 5, 6}},
      {"one line", "7 1 2 3 4 5 6", 7, {1, 2, 3, 4, 5, 6}},
      {"16 bits kept", "-1 65536 65535 -1 70000 0 1", -1, {0, 65535, 65535, 4464, 0, 1}},
      {"fewer numbers: zeros", "7\r\n1 2", 7, {1, 2, 0, 0, 0, 0}},
      {"text stops the numbers", "7 1 x 3", 7, {1, 0, 0, 0, 0, 0}},
      {"empty file", "", 0, {0, 0, 0, 0, 0, 0}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qztest::writeFile(dir / "p.txt", c.text);
    TestRecordWith t(2, 3);
    std::fill(t.golden.begin(), t.golden.end(), 0xAAAA);
    t.rec.goldenHeaderNumber = 99;
    ASSERT_EQ(ReadProductGoldenSampleFile((dir / "p.txt").c_str(), &t.rec), 1);
    EXPECT_EQ(t.rec.goldenHeaderNumber, c.header);
    EXPECT_EQ(t.golden, c.values);
  }
}

TEST(ReadProductGoldenSampleFile, RoundTripsTheProductGoldenWriter) {
  TempDir dir;
  TestRecordWith w(3, 4);
  for (size_t i = 0; i < w.golden.size(); ++i) w.golden[i] = uint16_t(i * 5000 + 3);
  w.rec.goldenHeaderNumber = -12;
  w.rec.flags = QZ_TEST_WRITE_PRODUCT_GOLDEN;
  qztest::writeFile(dir / "r.csv", "");
  ASSERT_EQ(WriteProductTestResult((dir / "r.csv").c_str(), (dir / "g.txt").c_str(), &w.rec), 1);
  TestRecordWith r(3, 4);
  ASSERT_EQ(ReadProductGoldenSampleFile((dir / "g.txt").c_str(), &r.rec), 1);
  EXPECT_EQ(r.rec.goldenHeaderNumber, -12);
  EXPECT_EQ(r.golden, w.golden);
}

TEST(ReadProductGoldenSampleFile, FailsWithoutFileOrArray) {
  TempDir dir;
  TestRecordWith t(2, 3);
  EXPECT_EQ(ReadProductGoldenSampleFile((dir / "none.txt").c_str(), &t.rec), 0);
  qztest::writeFile(dir / "p.txt", "1 2 3");
  t.rec.golden.mutualValues = nullptr;
  EXPECT_EQ(ReadProductGoldenSampleFile((dir / "p.txt").c_str(), &t.rec), 0);
}

}  // namespace
