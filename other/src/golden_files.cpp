// Golden sample files: the diagnostic file (keys and a labelled table) and the product file
// (a header number and a plain table).
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace qz::other {
namespace {

bool pinCountUsable(int32_t n) { return n >= 1 && n <= QZ_MAX_PIN_COUNT; }

// A float from a parsed value; values beyond its range become infinite.
float toFloat(double d) {
  if (d > FLT_MAX) return INFINITY;
  if (d < -FLT_MAX) return -INFINITY;
  return float(d);
}

// The table after "[Golden Sample]": S + 1 rows of D fields and the empty field after each
// row's last comma. Row 0 and column 0 are labels; the rest fill values in order.
void readTable(text::Reader& in, int32_t rows, int32_t columns, uint16_t* values) {
  char field[kFieldSize];
  size_t next = 0;
  for (int32_t i = 0; i <= rows; ++i) {
    for (int32_t c = 0; c < columns; ++c) {
      readToken(in, field, sizeof field);
      if (i >= 1 && c >= 1) values[next++] = uint16_t(text::parseInt(field));
    }
    readToken(in, field, sizeof field);
  }
}

}  // namespace

int32_t readDiagnoseGolden(FILE* f, TestRecord* record) {
  text::Reader in(f);
  char field[kFieldSize];
  int32_t sensors = 0;
  int32_t drivers = 0;
  int32_t result = 1;
  if (!readToken(in, field, sizeof field)) return result;
  do {
    if (strcmp(field, "F/W ver:") == 0) {
      readToken(in, record->fwVersion.masterVersion, sizeof record->fwVersion.masterVersion);
    } else if (strcmp(field, "Slave:") == 0) {
      readToken(in, record->fwVersion.slaveVersion[0], sizeof record->fwVersion.slaveVersion[0]);
    } else if (strcmp(field, "PanelSize:") == 0) {
      readToken(in, field, sizeof field);
      record->fwInfo.panelSize = toFloat(text::parseDouble(field));
    } else if (strcmp(field, "CoverLens:") == 0) {
      readToken(in, field, sizeof field);
      record->fwInfo.coverLens = toFloat(text::parseDouble(field));
    } else if (strcmp(field, "SensorPinNumber:") == 0) {
      readToken(in, field, sizeof field);
      sensors = text::parseInt(field);
    } else if (strcmp(field, "DriverPinNumber:") == 0) {
      readToken(in, field, sizeof field);
      drivers = text::parseInt(field);
    } else if (strcmp(field, "[Golden Sample]") == 0) {
      // The old array goes whatever follows, and the record never keeps a pointer to it.
      free(record->golden.mutualValues);
      record->golden.mutualValues = nullptr;
      record->golden.mutualValueCount = 0;
      uint16_t* values = nullptr;
      if (pinCountUsable(sensors) && pinCountUsable(drivers))
        values = static_cast<uint16_t*>(calloc(size_t(sensors) * size_t(drivers), sizeof *values));
      if (values) {
        record->golden.mutualValues = values;
        record->golden.mutualValueCount = sensors * drivers;
        record->flags |= QZ_TEST_GOLDEN_LOADED;
        record->fwInfo.sensorPinNumber = sensors;
        record->fwInfo.driverPinNumber = drivers;
        readTable(in, sensors, drivers, values);
      } else {
        result = 0;
      }
    }
  } while (readToken(in, field, sizeof field));
  return result;
}

void readProductGolden(FILE* f, TestRecord* record) {
  text::Reader in(f);
  int32_t v = 0;  // numbers missing from the file read as 0
  in.readInt(&v);
  record->goldenHeaderNumber = v;
  const int64_t rows = record->fwInfo.sensorPinNumber;
  const int64_t columns = record->fwInfo.driverPinNumber;
  if (rows <= 0 || columns <= 0) return;
  uint16_t* values = record->golden.mutualValues;
  for (int64_t i = 0; i < rows * columns; ++i) {
    v = 0;
    in.readInt(&v);
    values[i] = uint16_t(v);
  }
}

}  // namespace qz::other

using namespace qz::other;

extern "C" QZ_EXPORT int32_t WriteDiagnoseGoldenSampleFile(const char* path, TestRecord* record) {
  if (!record) return 0;
  const int32_t rows = record->fwInfo.sensorPinNumber;
  const int32_t columns = record->fwInfo.driverPinNumber;
  if (rows < 0 || rows > QZ_MAX_PIN_COUNT || columns < 0 || columns > QZ_MAX_PIN_COUNT) return 0;
  const size_t cells = size_t(rows) * size_t(columns);
  const uint16_t* sample = record->sampleFrame.mutualValues;
  if (cells > 0 && (!sample || !record->golden.mutualValues)) return 0;
  OutputFile file(path, OutputFile::kReplace);
  if (!file.isOpen()) return 0;
  qz::text::Writer& out = file.out();
  const FWVersionInfo& fw = record->fwVersion;
  out.put("[KRXM]\nF/W ver:,");
  out.putField(fw.masterVersion, sizeof fw.masterVersion);
  out.put("\n");
  if (fw.slaveCount != 0) {
    out.put("Slave:,");
    out.putField(fw.slaveVersion[0], sizeof fw.slaveVersion[0]);
    out.put("\n");
  }
  out.format("PanelSize:,%g,CoverLens:,%g\n", double(record->fwInfo.panelSize),
             double(record->fwInfo.coverLens));
  out.format("SensorPinNumber:,%d\nDriverPinNumber:,%d\n[Golden Sample]\n", rows, columns);
  size_t next = 0;
  for (int32_t i = 0; i <= rows; ++i) {
    for (int32_t c = 0; c < columns; ++c) {
      if (i == 0 || c == 0)
        out.format("%d,", i == 0 ? c : i);
      else
        out.format("%d,", sample[next++]);
    }
    out.put("\n");
  }
  // The sample becomes the golden sample only once it is stored.
  if (!file.finish()) return 0;
  record->flags = QZ_TEST_GOLDEN_LOADED;
  record->golden.mutualValueCount = int32_t(cells);
  if (cells > 0) memcpy(record->golden.mutualValues, sample, cells * sizeof *sample);
  return 1;
}

extern "C" QZ_EXPORT int32_t ReadDiagnoseGoldenSampleFile(const char* path, TestRecord* record) {
  if (!record) return 0;
  record->flags = 0;
  FILE* f = openForRead(path);
  if (!f) return 0;
  int32_t result = readDiagnoseGolden(f, record);
  if (ferror(f)) result = 0;  // a file that cannot be read to its end
  fclose(f);
  return result;
}

extern "C" QZ_EXPORT int32_t ReadProductGoldenSampleFile(const char* path, TestRecord* record) {
  if (!record) return 0;
  if (record->fwInfo.sensorPinNumber > 0 && record->fwInfo.driverPinNumber > 0 &&
      !record->golden.mutualValues)
    return 0;
  FILE* f = openForRead(path);
  if (!f) return 0;
  readProductGolden(f, record);
  const bool ok = !ferror(f);
  fclose(f);
  return ok ? 1 : 0;
}
