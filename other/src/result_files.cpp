// Test result files: statistics reports, raw-count sections and the production result.
#include <ctime>
#include <cstring>

#include "internal.h"

namespace qz::other {
namespace {

// Texts of the production result file, in the Big5 code page.
constexpr char kResult[] = "\xB5\xB2\xAA\x47";                        // result
constexpr char kPass[] = "\xA6\xA8\xA5\x5C";                          // pass
constexpr char kFail[] = "\xA5\xA2\xB1\xD1";                          // fail
constexpr char kInterfaceTest[] = "\xA4\xB6\xAD\xB1\xB4\xFA\xB8\xD5";  // interface test
constexpr char kTestResult[] = "\xB4\xFA\xB8\xD5\xB5\xB2\xAA\x47";     // test result
constexpr char kSerialNumber[] = "\xAC\x79\xA4\xF4\xB8\xB9";           // serial number

// The interface test fails when this bit of the result byte is set.
constexpr uint8_t kInterfaceFailed = 0x10;

// "[name]", then one line per row of `columns` values, each followed by a tab, then an
// empty line. value(row, column) writes one value.
template <typename Value>
void writeSection(text::Writer& out, const char* name, unsigned rows, unsigned columns,
                  Value value) {
  out.format("[%s]\n", name);
  for (unsigned r = 0; r < rows; ++r) {
    for (unsigned c = 0; c < columns; ++c) value(r, c);
    out.put("\n");
  }
  out.put("\n");
}

bool groupComplete(const StdevGroup& g) {
  return g.maxValues && g.minValues && g.avgValues && g.stdevValues;
}

void writeSummary(text::Writer& out, const char* name, const StdevGroup& g, const char* end) {
  out.format("%s STDEV A = %.2f, M = %.2f, m = %.2f\n%s", name, g.summaryAverage, g.summaryMax,
             g.summaryMin, end);
}

}  // namespace

int32_t previousSerialNumber(FILE* f) {
  int32_t n = 0;
  return previousSerialNumber(f, &n) ? n : 0;
}

bool previousSerialNumber(FILE* f, int32_t* number) {
  *number = 0;
  if (fseek(f, 0, SEEK_END) != 0) return false;
  long pos = ftell(f);
  if (pos < 0) return false;
  long comma = -1;
  char chunk[16384];
  while (pos > 0 && comma < 0) {
    long n = pos < long(sizeof chunk) ? pos : long(sizeof chunk);
    pos -= n;
    if (fseek(f, pos, SEEK_SET) != 0 || fread(chunk, 1, size_t(n), f) != size_t(n)) return false;
    for (long i = n; i-- > 0;) {
      if (chunk[i] == ',') {
        comma = pos + i;
        break;
      }
    }
  }
  // No comma at all: the search ends at the start of the file and counting starts afresh.
  if (comma < 0) return true;
  if (fseek(f, comma + 1, SEEK_SET) != 0) return false;
  text::Reader in(f);
  char field[kFieldSize];
  readToken(in, field, sizeof field);
  if (ferror(f)) return false;
  *number = text::parseInt(field);
  return true;
}

int32_t writeProductGolden(const char* path, const TestRecord* record) {
  int32_t rows = record->fwInfo.sensorPinNumber;
  int32_t columns = record->fwInfo.driverPinNumber;
  if (rows > 0 && columns > 0 && !record->golden.mutualValues) return 0;
  OutputFile file(path, OutputFile::kReplace);
  if (!file.isOpen()) return 0;
  text::Writer& out = file.out();
  out.format("%d\n", record->goldenHeaderNumber);
  const uint16_t* values = record->golden.mutualValues;
  for (int64_t r = 0; r < rows; ++r) {
    for (int64_t c = 0; c < columns; ++c) out.format("%d ", values[r * columns + c]);
    out.put("\n");
  }
  return file.finish() ? 1 : 0;
}

}  // namespace qz::other

using namespace qz::other;

extern "C" QZ_EXPORT int32_t WriteSTDEVResult(const char* path, const StdevRecord* record) {
  if (!record) return 0;
  const unsigned sensors = record->pins.sensorCount;
  const unsigned drivers = record->pins.driverCount;
  const unsigned sectors = record->pins.sectorCount;
  if (sensors > 0 && ((drivers > 0 && !groupComplete(record->mutual)) ||
                      (sectors > 0 && !groupComplete(record->sector)) ||
                      !groupComplete(record->totalDrive)))
    return 0;
  OutputFile file(path, OutputFile::kAppend);
  if (!file.isOpen()) return 0;
  qz::text::Writer& out = file.out();

  time_t now = time(nullptr);
  struct tm t;
  if (!localtime_r(&now, &t)) memset(&t, 0, sizeof t);
  out.format("%04d/%02d/%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec);
  out.put("  STDEV Result\n\n");

  const FWVersionInfo& fw = record->fwVersion;
  if (fw.slaveCount != 0) {
    out.put("Firmware: (Master) ");
    out.putField(fw.masterVersion, sizeof fw.masterVersion);
    out.put("\n          (Slave)  ");
    out.putField(fw.slaveVersion[0], sizeof fw.slaveVersion[0]);
    out.put("\n");
  } else {
    out.put("Firmware: ");
    out.putField(fw.masterVersion, sizeof fw.masterVersion);
    out.put("\n");
  }
  out.format("\nDriver: %u, Sensor: %u, Sector: %u\n\n", drivers, sensors, sectors);
  out.format("Test Count = %d\n\n", record->testCount);
  writeSummary(out, "Mutual", record->mutual, "");
  writeSummary(out, "Sector", record->sector, "");
  writeSummary(out, "Total Drive", record->totalDrive, "\n");

  // Row s: its mutual values, its sector values, then the total drive value of line s. The
  // column count is taken in 8 bits, as the tables have always been laid out.
  const unsigned columns = uint8_t(drivers + sectors + 1);
  auto pick = [&](auto member, unsigned s, unsigned c) {
    if (c < drivers) return (record->mutual.*member)[s * drivers + c];
    if (c < drivers + sectors) return (record->sector.*member)[s * sectors + (c - drivers)];
    return (record->totalDrive.*member)[s];
  };
  auto floats = [&](double* StdevGroup::*member) {
    return [&, member](unsigned s, unsigned c) { out.format("%.2f\t", pick(member, s, c)); };
  };
  auto ints = [&](int32_t* StdevGroup::*member) {
    return [&, member](unsigned s, unsigned c) { out.format("%4d\t", pick(member, s, c)); };
  };
  writeSection(out, "STDEV", sensors, columns, floats(&StdevGroup::stdevValues));
  writeSection(out, "Avg", sensors, columns, floats(&StdevGroup::avgValues));
  writeSection(out, "Max", sensors, columns, ints(&StdevGroup::maxValues));
  writeSection(out, "Min", sensors, columns, ints(&StdevGroup::minValues));
  return file.finish() ? 1 : 0;
}

extern "C" QZ_EXPORT int32_t WriteRawCount(const char* path, const PinNumberInfo* pins,
                                           const RawCountBuffer* buffer) {
  if (!pins || !buffer) return 0;
  if ((buffer->mutualValueCount > 0 && !buffer->mutualValues) ||
      (buffer->sectorValueCount > 0 && !buffer->sectorValues) ||
      (buffer->totalDriveValueCount > 0 && !buffer->totalDriveValues))
    return 0;
  OutputFile file(path, OutputFile::kAppend);
  if (!file.isOpen()) return 0;
  qz::text::Writer& out = file.out();
  const unsigned rows = pins->sensorCount;
  const unsigned drivers = pins->driverCount;
  const unsigned sectors = pins->sectorCount;
  // An array contributes zeros where its count ends (or when it has none).
  auto at = [](const uint16_t* values, int32_t count, unsigned i) -> int {
    return count > 0 && i < unsigned(count) ? values[i] : 0;
  };
  writeSection(out, "Raw", rows, uint8_t(drivers + sectors + 1), [&](unsigned r, unsigned c) {
    int v;
    if (c < drivers)
      v = at(buffer->mutualValues, buffer->mutualValueCount, r * drivers + c);
    else if (c < drivers + sectors)
      v = at(buffer->sectorValues, buffer->sectorValueCount, r * sectors + (c - drivers));
    else
      v = at(buffer->totalDriveValues, buffer->totalDriveValueCount, r);
    out.format("%4d\t", v);
  });
  return file.finish() ? 1 : 0;
}

extern "C" QZ_EXPORT int32_t WriteProductTestResult(const char* resultPath, const char* goldenPath,
                                                    TestRecord* record) {
  if (!record || !pathUsable(resultPath)) return 0;
  const int32_t rows = record->fwInfo.sensorPinNumber;
  const int32_t columns = record->fwInfo.driverPinNumber;
  if (rows > 0 && columns > 0 && (!record->testFrame.mutualValues || !record->valueMarks)) return 0;

  FILE* f = openForRead(resultPath);
  if (!f) return 0;
  int32_t previous = 0;
  // A file that cannot be read to its last comma gets no block with a made-up number.
  const bool read = previousSerialNumber(f, &previous);
  fclose(f);
  if (!read) return 0;

  OutputFile file(resultPath, OutputFile::kAppendExisting);
  if (!file.isOpen()) return 0;
  qz::text::Writer& out = file.out();
  const uint8_t result = record->result;
  out.put(kResult);
  out.put(",");
  out.put(result == 0 ? kPass : kFail);
  out.put("\n");
  out.put(kInterfaceTest);
  out.put(",");
  out.put(result & kInterfaceFailed ? kFail : kPass);
  out.put("\n");
  out.put(kTestResult);
  out.put("\n");
  const uint16_t* values = record->testFrame.mutualValues;
  const uint8_t* marks = record->valueMarks;
  for (int64_t r = 0; r < rows; ++r) {
    out.put(",");
    for (int64_t c = 0; c < columns; ++c) {
      int64_t i = r * columns + c;
      out.format(marks[i] ? "*%d," : "%d,", values[i]);
    }
    out.put("\n");
  }
  out.put("\n");
  out.put(kSerialNumber);
  out.format(",%d\n", int32_t(uint32_t(previous) + 1u));
  if (!file.finish()) return 0;

  if (result == 0 && (record->flags & QZ_TEST_WRITE_PRODUCT_GOLDEN))
    return writeProductGolden(goldenPath, record);
  return 1;
}

extern "C" QZ_EXPORT int32_t WriteDiagTestResult(void) { return 0; }
