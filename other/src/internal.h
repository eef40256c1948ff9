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
// Capacity of a path once links are resolved (the system's limit).
constexpr size_t kResolvedSize = 4096;

// True for a path the library accepts: not null, shorter than kPathSize.
bool pathUsable(const char* path);

// A file a writer is producing, in text mode, after creating its directory (one level only,
// a failure there ignored). Nothing is reported as written that is not wholly in the file:
// - kReplace writes a scratch file beside the target and renames it over the target only
//   when every byte is written and synced, so a failure (a full disk, say) leaves an older
//   file whole. A target that is not a regular file (a device) is written in place, and so
//   is a writable target whose directory refuses the scratch file.
// - kAppend (and kAppendExisting, which neither creates the file nor its directory) cuts
//   the file back to its old length when the appended text did not all get there, and
//   removes a file it created itself.
class OutputFile {
 public:
  enum Mode { kReplace, kAppend, kAppendExisting };
  OutputFile(const char* path, Mode mode);
  ~OutputFile();  // an unfinished file is undone
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // False when the path is refused or the file cannot be opened.
  bool isOpen() const { return f_ != nullptr; }
  text::Writer& out() { return out_; }
  // Closes the file, keeping what was written when all of it was; true then.
  bool finish();

 private:
  void undo();
  void closeCut();
  bool openScratch(const char* target);
  FILE* f_ = nullptr;
  text::Writer out_{nullptr};
  Mode mode_;
  char target_[kResolvedSize] = {};   // the file finally written (a link resolved)
  char scratch_[kResolvedSize] = {};  // replace: the file written first; empty when in place
  long oldSize_ = -1;        // append: the length before, -1 when the file is new
  int cut_ = -1;             // append: a descriptor of the file, to cut it back
  bool regular_ = false;
};

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
// The serial number after the stream's last comma, 0 when it has none (or the stream
// cannot be read; the second form tells that apart and returns false then).
int32_t previousSerialNumber(FILE* f);
bool previousSerialNumber(FILE* f, int32_t* number);
// Opens a file for reading in text mode: nullptr when the path is refused, the file cannot
// be opened or it is a directory.
FILE* openForRead(const char* path);

// The product golden sample file written after a passing production test.
int32_t writeProductGolden(const char* path, const TestRecord* record);

}  // namespace qz::other
