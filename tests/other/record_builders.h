// Records with their arrays, for the writer and reader tests.
#pragma once
#include <cstring>
#include <vector>

#include "qz/other.h"

namespace qztest {

// A TestRecord whose three frames point into vectors of its own.
struct TestRecordWith {
  TestRecord rec = {};
  std::vector<uint16_t> golden, test, sample;
  std::vector<uint8_t> marks;

  TestRecordWith(int32_t sensors, int32_t drivers) {
    rec.fwInfo.sensorPinNumber = sensors;
    rec.fwInfo.driverPinNumber = drivers;
    size_t cells = sensors > 0 && drivers > 0 ? size_t(sensors) * size_t(drivers) : 0;
    golden.assign(cells, 0);
    test.assign(cells, 0);
    sample.assign(cells, 0);
    marks.assign(cells, 0);
    rec.golden.mutualValues = golden.data();
    rec.testFrame.mutualValues = test.data();
    rec.sampleFrame.mutualValues = sample.data();
    rec.valueMarks = marks.data();
  }
  TestRecordWith(const TestRecordWith&) = delete;
  TestRecordWith& operator=(const TestRecordWith&) = delete;

  void versions(const char* master, const char* slave, int32_t slaves) {
    strncpy(rec.fwVersion.masterVersion, master, sizeof rec.fwVersion.masterVersion);
    strncpy(rec.fwVersion.slaveVersion[0], slave, sizeof rec.fwVersion.slaveVersion[0]);
    rec.fwVersion.slaveCount = slaves;
  }
};

}  // namespace qztest
