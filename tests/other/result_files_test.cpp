// Test result files: the statistics report, the raw-count section and the production
// result with its serial number, byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "qz/other.h"
#include "record_builders.h"
#include "test_util.h"

namespace {

using qztest::TempDir;

// The statistics record of the committed report: 2 sensors, 2 drivers, 1 sector.
struct StdevFixture {
  std::vector<int32_t> mMax{10, 20, 30, 40}, mMin{-1, -2, -3, -4};
  std::vector<double> mAvg{1.5, 2.25, 3.126, 4.0}, mDev{0.1, 0.2, 0.3, 0.4};
  std::vector<int32_t> sMax{500, 600}, sMin{5, 6};
  std::vector<double> sAvg{50.5, 60.5}, sDev{1.0, 2.0};
  std::vector<int32_t> tMax{12345, 7}, tMin{0, -12345};
  std::vector<double> tAvg{100.0, 200.0}, tDev{9.999, 0.004};
  StdevRecord rec = {};

  StdevFixture() {
    rec.testCount = 100;
    snprintf(rec.fwVersion.masterVersion, sizeof rec.fwVersion.masterVersion, "QZ4321.2.5");
    snprintf(rec.fwVersion.slaveVersion[0], sizeof rec.fwVersion.slaveVersion[0], "QZ1234.1.2");
    rec.fwVersion.slaveCount = 1;
    rec.pins.sensorCount = 2;
    rec.pins.driverCount = 2;
    rec.pins.sectorCount = 1;
    rec.mutual = {mMax.data(), mMin.data(), mAvg.data(), mDev.data(), 1.5, 2.25, 0.75};
    rec.sector = {sMax.data(), sMin.data(), sAvg.data(), sDev.data(), 0.5, 1.0, 0.25};
    rec.totalDrive = {tMax.data(), tMin.data(), tAvg.data(), tDev.data(), 10.0, 20.0, 30.0};
  }
};

constexpr size_t kStampLength = 19;  // "%Y/%m/%d %H:%M:%S"

// Checks that a report's time stamp is a local time between two moments, and returns the
// report with the stamp masked as in the fixture.
std::string maskStamp(const std::string& report, time_t before, time_t after) {
  EXPECT_GE(report.size(), kStampLength);
  struct tm t = {};
  char rest = 0;
  EXPECT_EQ(sscanf(report.c_str(), "%4d/%2d/%2d %2d:%2d:%2d%c", &t.tm_year, &t.tm_mon, &t.tm_mday,
                   &t.tm_hour, &t.tm_min, &t.tm_sec, &rest),
            7);
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  t.tm_isdst = -1;
  time_t stamp = mktime(&t);
  EXPECT_GE(stamp, before - 1);
  EXPECT_LE(stamp, after + 1);
  return "YYYY/MM/DD hh:mm:ss" + report.substr(kStampLength);
}

TEST(WriteSTDEVResult, AppendsTheReportByteForByte) {
  TempDir dir;
  StdevFixture f;
  const std::string path = dir / "stdev.txt";
  time_t before = time(nullptr);
  ASSERT_EQ(WriteSTDEVResult(path.c_str(), &f.rec), 1);
  ASSERT_EQ(WriteSTDEVResult(path.c_str(), &f.rec), 1);
  time_t after = time(nullptr);
  const std::string expected = qztest::fixture("stdev_report.txt");
  std::string file = qztest::readFile(path);
  ASSERT_EQ(file.size(), 2 * expected.size()) << "two calls append two whole reports";
  EXPECT_EQ(maskStamp(file.substr(0, expected.size()), before, after), expected);
  EXPECT_EQ(maskStamp(file.substr(expected.size()), before, after), expected);
}

TEST(WriteSTDEVResult, WithoutSlaveOrSensorsTheReportShrinks) {
  TempDir dir;
  StdevFixture f;
  f.rec.fwVersion.slaveCount = 0;
  f.rec.pins.sensorCount = 0;
  // A master text that fills its field without a terminator is written up to its end.
  memset(f.rec.fwVersion.masterVersion, 'V', sizeof f.rec.fwVersion.masterVersion);
  const std::string path = dir / "stdev.txt";
  ASSERT_EQ(WriteSTDEVResult(path.c_str(), &f.rec), 1);
  std::string report = qztest::readFile(path);
  EXPECT_EQ(report.substr(kStampLength),
            "  STDEV Result\r\n\r\n"
            "Firmware: " + std::string(50, 'V') + "\r\n"
            "\r\nDriver: 2, Sensor: 0, Sector: 1\r\n\r\n"
            "Test Count = 100\r\n\r\n"
            "Mutual STDEV A = 1.50, M = 2.25, m = 0.75\r\n"
            "Sector STDEV A = 0.50, M = 1.00, m = 0.25\r\n"
            "Total Drive STDEV A = 10.00, M = 20.00, m = 30.00\r\n\r\n"
            "[STDEV]\r\n\r\n[Avg]\r\n\r\n[Max]\r\n\r\n[Min]\r\n\r\n");
}

TEST(WriteSTDEVResult, RefusesMissingArraysAndUnopenableFiles) {
  TempDir dir;
  {
    StdevFixture f;
    f.rec.sector.avgValues = nullptr;
    EXPECT_EQ(WriteSTDEVResult((dir / "a.txt").c_str(), &f.rec), 0);
    EXPECT_FALSE(qztest::exists(dir / "a.txt"));
    f.rec.pins.sectorCount = 0;  // no sector columns: the sector group is not needed
    EXPECT_EQ(WriteSTDEVResult((dir / "a.txt").c_str(), &f.rec), 1);
  }
  StdevFixture f;
  EXPECT_EQ(WriteSTDEVResult((dir / "x/y/z.txt").c_str(), &f.rec), 0);
  EXPECT_EQ(WriteSTDEVResult(dir.path().c_str(), &f.rec), 0) << "a directory";
  EXPECT_EQ(WriteSTDEVResult((dir / "b.txt").c_str(), nullptr), 0);
}

TEST(WriteRawCount, AppendsTheRawSection) {
  std::vector<uint16_t> mutual{1, 2, 3, 4}, sector{50, 60}, total{700, 65535};
  PinNumberInfo pins = {};
  pins.sensorCount = 2;
  pins.driverCount = 2;
  pins.sectorCount = 1;
  RawCountBuffer buf = {};
  buf.mutualValues = mutual.data();
  buf.sectorValues = sector.data();
  buf.totalDriveValues = total.data();
  buf.mutualValueCount = 4;
  buf.sectorValueCount = 2;
  buf.totalDriveValueCount = 2;
  TempDir dir;
  const std::string path = dir / "raw.txt";
  ASSERT_EQ(WriteRawCount(path.c_str(), &pins, &buf), 1);
  EXPECT_EQ(qztest::readFile(path), qztest::fixture("raw_count.txt"));

  struct Case {
    const char* name;
    int32_t mutualCount, sectorCount, totalCount;
    bool nullTotal;
    const char* rows;
  };
  const Case cases[] = {
      {"no total-drive values: last column 0", 4, 2, 0, true,
       "   1\t   2\t  50\t   0\t\r\n   3\t   4\t  60\t   0\t\r\n"},
      {"negative count: zeros", 4, -1, 2, false,
       "   1\t   2\t   0\t 700\t\r\n   3\t   4\t   0\t65535\t\r\n"},
      {"values past a count are 0", 3, 1, 1, false,
       "   1\t   2\t  50\t 700\t\r\n   3\t   0\t   0\t   0\t\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawCountBuffer b = buf;
    b.mutualValueCount = c.mutualCount;
    b.sectorValueCount = c.sectorCount;
    b.totalDriveValueCount = c.totalCount;
    if (c.nullTotal) b.totalDriveValues = nullptr;
    const std::string p = dir / "case.txt";
    std::remove(p.c_str());
    ASSERT_EQ(WriteRawCount(p.c_str(), &pins, &b), 1);
    EXPECT_EQ(qztest::readFile(p), std::string("[Raw]\r\n") + c.rows + "\r\n");
  }

  RawCountBuffer missing = buf;
  missing.sectorValues = nullptr;
  EXPECT_EQ(WriteRawCount((dir / "m.txt").c_str(), &pins, &missing), 0);
  EXPECT_FALSE(qztest::exists(dir / "m.txt"));
}

// Big5 texts of the production result file.
const std::string kResult = "\xB5\xB2\xAA\x47";
const std::string kPass = "\xA6\xA8\xA5\x5C";
const std::string kFail = "\xA5\xA2\xB1\xD1";
const std::string kInterface = "\xA4\xB6\xAD\xB1\xB4\xFA\xB8\xD5";
const std::string kTestResult = "\xB4\xFA\xB8\xD5\xB5\xB2\xAA\x47";
const std::string kSerial = "\xAC\x79\xA4\xF4\xB8\xB9";

TEST(WriteProductTestResult, AppendsTheBig5BlockAndContinuesTheSerialNumber) {
  TempDir dir;
  qztest::TestRecordWith t(2, 2);
  t.test = {1234, 5, 6, 7};
  t.marks = {1, 0, 0, 0};
  const std::string earlier = kSerial + ",41\r\n";
  qztest::writeFile(dir / "result.csv", earlier);
  ASSERT_EQ(WriteProductTestResult((dir / "result.csv").c_str(), (dir / "g.txt").c_str(), &t.rec), 1);
  EXPECT_EQ(qztest::readFile(dir / "result.csv"), earlier + qztest::fixture("production_block.bin"));
  EXPECT_FALSE(qztest::exists(dir / "g.txt")) << "the flag for the golden file is clear";
}

TEST(WriteProductTestResult, ResultAndInterfaceLinesFollowTheResultByte) {
  struct Case {
    uint8_t result;
    const std::string& first;
    const std::string& interface;
  };
  const Case cases[] = {
      {0x00, kPass, kPass}, {0x10, kFail, kFail}, {0x01, kFail, kPass}, {0xFF, kFail, kFail}};
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.result));
    qztest::TestRecordWith t(0, 0);
    t.rec.result = c.result;
    qztest::writeFile(dir / "r.csv", "");
    ASSERT_EQ(WriteProductTestResult((dir / "r.csv").c_str(), nullptr, &t.rec), 1);
    EXPECT_EQ(qztest::readFile(dir / "r.csv"), kResult + "," + c.first + "\r\n" + kInterface + "," +
                                                   c.interface + "\r\n" + kTestResult +
                                                   "\r\n\r\n" + kSerial + ",1\r\n");
  }
}

TEST(WriteProductTestResult, SerialNumberIsTheNumberAfterTheLastCommaPlusOne) {
  struct Case {
    const char* name;
    std::string before;
    const char* serial;
  };
  const Case cases[] = {
      {"empty file", "", "1"},
      {"no comma at all", "no comma here\r\n", "1"},
      {"comma at the end", "a,b,", "1"},
      {"comma first", ",5", "6"},
      {"blanks around", "x,   77  \r\n", "78"},
      {"leading digits only", "x,12abc", "13"},
      {"comma far from the end", "x,9" + std::string(1000, 'z'), "10"},
      {"earlier commas ignored", "1,2,3,\r\n,40\r\n", "41"},
      {"largest number wraps", "x,2147483647", "-2147483648"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qztest::TestRecordWith t(0, 0);
    qztest::writeFile(dir / "r.csv", c.before);
    ASSERT_EQ(WriteProductTestResult((dir / "r.csv").c_str(), nullptr, &t.rec), 1);
    std::string file = qztest::readFile(dir / "r.csv");
    std::string tail = kSerial + "," + c.serial + "\r\n";
    ASSERT_GE(file.size(), tail.size());
    EXPECT_EQ(file.substr(file.size() - tail.size()), tail);
    EXPECT_EQ(file.substr(0, c.before.size()), c.before);
  }
}

TEST(WriteProductTestResult, ChainedCallsCountUp) {
  TempDir dir;
  qztest::TestRecordWith t(1, 1);
  t.test = {9};
  qztest::writeFile(dir / "r.csv", "");
  for (int i = 1; i <= 3; ++i) {
    ASSERT_EQ(WriteProductTestResult((dir / "r.csv").c_str(), nullptr, &t.rec), 1);
    std::string file = qztest::readFile(dir / "r.csv");
    std::string tail = kSerial + "," + std::to_string(i) + "\r\n";
    EXPECT_EQ(file.substr(file.size() - tail.size()), tail);
  }
}

TEST(WriteProductTestResult, PassingTestWithTheFlagWritesTheProductGoldenFile) {
  TempDir dir;
  qztest::TestRecordWith t(2, 3);
  t.golden = {1, 2, 3, 4, 5, 6};
  t.rec.goldenHeaderNumber = 7;
  t.rec.flags = QZ_TEST_WRITE_PRODUCT_GOLDEN;
  qztest::writeFile(dir / "r.csv", "");
  ASSERT_EQ(WriteProductTestResult((dir / "r.csv").c_str(), (dir / "gold/g.txt").c_str(), &t.rec), 1);
  EXPECT_EQ(qztest::readFile(dir / "gold/g.txt"), qztest::fixture("product_golden.txt"));

  // A failed test writes no golden file.
  t.rec.result = 1;
  ASSERT_EQ(WriteProductTestResult((dir / "r.csv").c_str(), (dir / "g2.txt").c_str(), &t.rec), 1);
  EXPECT_FALSE(qztest::exists(dir / "g2.txt"));

  // A golden file that cannot be created fails the call after the result was appended.
  t.rec.result = 0;
  size_t before = qztest::readFile(dir / "r.csv").size();
  EXPECT_EQ(WriteProductTestResult((dir / "r.csv").c_str(), (dir / "a/b/g.txt").c_str(), &t.rec), 0);
  EXPECT_GT(qztest::readFile(dir / "r.csv").size(), before);
}

TEST(WriteProductTestResult, NeedsAnExistingResultFileAndItsArrays) {
  TempDir dir;
  qztest::TestRecordWith t(2, 2);
  EXPECT_EQ(WriteProductTestResult((dir / "none.csv").c_str(), nullptr, &t.rec), 0);
  EXPECT_FALSE(qztest::exists(dir / "none.csv"));

  qztest::writeFile(dir / "r.csv", "x");
  t.rec.valueMarks = nullptr;
  EXPECT_EQ(WriteProductTestResult((dir / "r.csv").c_str(), nullptr, &t.rec), 0);
  t.rec.valueMarks = t.marks.data();
  t.rec.testFrame.mutualValues = nullptr;
  EXPECT_EQ(WriteProductTestResult((dir / "r.csv").c_str(), nullptr, &t.rec), 0);
  EXPECT_EQ(qztest::readFile(dir / "r.csv"), "x") << "nothing appended";
}

TEST(WriteDiagTestResult, DoesNothing) {
  TempDir dir;
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(WriteDiagTestResult(), 0);
  std::filesystem::current_path(before);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "no file created";
}

}  // namespace
