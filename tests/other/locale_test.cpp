// Stored files do not change with the user's locale: the writers and readers of the
// library run under a locale whose decimal point is a comma.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "qz/other.h"
#include "record_builders.h"
#include "test_util.h"

namespace {

TEST(FilesUnderGermanLocale, WriteAndReadNumbersWithADecimalPoint) {
  qztest::GermanLocale german;
  if (!german.available()) GTEST_SKIP() << "de_DE.UTF-8 is missing and cannot be generated (localedef)";
  qztest::TempDir dir;

  qztest::TestRecordWith t(2, 3);
  t.versions("QZ4321A.D03.2.5.120 Boot : 1.0 ", "QZ1234.1.2", 1);
  t.rec.fwInfo.panelSize = 15.6f;
  t.rec.fwInfo.coverLens = 1.1f;
  t.sample = {101, 102, 103, 104, 105, 106};
  ASSERT_EQ(WriteDiagnoseGoldenSampleFile((dir / "d.csv").c_str(), &t.rec), 1);
  EXPECT_EQ(qztest::readFile(dir / "d.csv"), qztest::fixture("diag_golden.txt"));

  TestRecord r = {};
  ASSERT_EQ(ReadDiagnoseGoldenSampleFile((dir / "d.csv").c_str(), &r), 1);
  EXPECT_EQ(r.fwInfo.panelSize, 15.6f);
  EXPECT_EQ(r.fwInfo.coverLens, 1.1f);
  free(r.golden.mutualValues);

  std::vector<int32_t> ints{1};
  std::vector<double> dev{0.25};
  StdevRecord s = {};
  s.pins.sensorCount = 1;
  s.totalDrive = {ints.data(), ints.data(), dev.data(), dev.data(), 1.5, 2.5, 0.5};
  ASSERT_EQ(WriteSTDEVResult((dir / "s.txt").c_str(), &s), 1);
  std::string report = qztest::readFile(dir / "s.txt");
  EXPECT_NE(report.find("Total Drive STDEV A = 1.50, M = 2.50, m = 0.50\r\n"), std::string::npos);
  EXPECT_NE(report.find("[STDEV]\r\n0.25\t\r\n"), std::string::npos);
}

}  // namespace
