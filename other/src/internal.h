// Pieces shared by the files of the data files library, and the stream-level readers that
// the exports wrap (the fuzz targets and tests drive them on memory streams).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "qz/other.h"
#include "textfile/textfile.h"

namespace qz::other {

// Capacity of a path, terminator included: longer paths are refused.
constexpr size_t kPathSize = 260;
// Capacity of the working field of the comma-separated readers, terminator included.
constexpr size_t kFieldSize = 64;

// True for a path the library accepts: not null, shorter than kPathSize.
bool pathUsable(const char* path);

// Opens path in text mode ("w" replaces, "a" appends) after creating its directory, one
// level only, ignoring a failure there. nullptr when the path is refused or the open fails.
FILE* openForWrite(const char* path, const char* mode);

// Reads one comma-separated field into buf (capacity cap > 0): characters up to a comma, a
// line feed or the end, none of these stored; white space before the first stored
// character skipped, trailing white space removed; a longer field is cut to cap - 1
// characters (the rest is read and dropped). True when a comma or line feed ended it,
// false when the end of the file did (what was read is still stored).
bool readToken(text::Reader& in, char* buf, size_t cap);

// The stream-level parts of the readers. Each reads its stream from its current position
// and leaves closing it to the caller.
int32_t loadPackage(FILE* f, bool twoBlocks, FirmwarePackage* package);
void loadParameters(FILE* f, const ParaListInfo* info, uint8_t* bytes);
int32_t readDiagnoseGolden(FILE* f, TestRecord* record);
void readProductGolden(FILE* f, TestRecord* record);
// The serial number after the stream's last comma, 0 when it has none.
int32_t previousSerialNumber(FILE* f);

// The product golden sample file written after a passing production test.
int32_t writeProductGolden(const char* path, const TestRecord* record);

}  // namespace qz::other
