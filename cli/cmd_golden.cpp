// qztool golden write|read|show: golden sample files, the sensor values of a known-good
// panel that test tools compare panels with. `write` takes a frame from the controller into
// a diagnostic golden sample file, `read` compares the controller's present frame with one,
// `show` prints a diagnostic or product golden sample file.
//
// The library reads and writes the files; this command checks their shape first, because
// the reader takes a cut or damaged table silently (missing values read as 0), and a test
// against such a sample would fail good panels.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qz/other.h"
#include "qztool.h"

namespace qztool {
namespace {

struct Options {
  DeviceChoice choice;
  std::string file;
  bool baseline = false;
  int frames = 1;
  double tolerance = 10;
  std::string product;  // "SxD": show FILE as a product golden sample file
};

bool readWhole(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

// Lines without their ends (LF, a CR before it dropped, as the text-mode reader does).
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < text.size()) {
    size_t j = text.find('\n', i);
    std::string line = text.substr(i, j == std::string::npos ? std::string::npos : j - i);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
    if (j == std::string::npos) break;
    i = j + 1;
  }
  return out;
}

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  for (;;) {
    size_t j = line.find(',', i);
    out.push_back(trim(line.substr(i, j == std::string::npos ? std::string::npos : j - i)));
    if (j == std::string::npos) return out;
    i = j + 1;
  }
}

bool decimal(const std::string& s, long lo, long hi, long* out) {
  if (s.empty() || s.size() > 11) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(s.c_str(), &end, 10);
  if (*end || errno || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// The diagnostic file's pin counts and a table of S + 1 rows of D comma-ended items: the
// column labels, then per row its label and D - 1 values of 16 bits.
bool checkDiagnostic(const std::string& text, std::string* why) {
  const std::vector<std::string> ls = lines(text);
  long sensors = -1, drivers = -1;
  size_t at = 0;
  for (; at < ls.size(); ++at) {
    const std::vector<std::string> f = fields(ls[at]);
    if (f[0] == "[Golden Sample]") break;
    for (size_t k = 0; k + 1 < f.size(); ++k) {
      long* into = f[k] == "SensorPinNumber:" ? &sensors : f[k] == "DriverPinNumber:" ? &drivers : nullptr;
      if (into && !decimal(f[k + 1], 1, QZ_MAX_PIN_COUNT, into)) {
        *why = "line " + std::to_string(at + 1) + ": " + f[k] + " '" + f[k + 1] + "' is not a count from 1 to 255";
        return false;
      }
    }
  }
  if (at == ls.size()) {
    *why = "it has no [Golden Sample] line";
    return false;
  }
  if (sensors < 0 || drivers < 0) {
    *why = std::string("its [Golden Sample] line comes without ") +
           (sensors < 0 ? "a SensorPinNumber: line" : "a DriverPinNumber: line");
    return false;
  }
  for (long r = 0; r <= sensors; ++r) {
    const size_t n = at + 1 + size_t(r);
    const std::string where = "line " + std::to_string(n + 1) + " (table row " + std::to_string(r) + ")";
    if (n >= ls.size() || (n + 1 == ls.size() && ls[n].empty())) {
      *why = "the table ends early: " + std::to_string(sensors + 1) + " rows expected, " + std::to_string(r) +
             " found";
      return false;
    }
    const std::vector<std::string> f = fields(ls[n]);
    if (f.size() != size_t(drivers) + 1 || !f.back().empty()) {
      *why = where + " holds " + std::to_string(f.size() - (f.back().empty() ? 1 : 0)) + " items, " +
             std::to_string(drivers) + " comma-ended items expected";
      return false;
    }
    for (long k = 0; k < drivers; ++k) {
      long v = 0;
      const bool label = r == 0 || k == 0;
      if (!decimal(f[size_t(k)], 0, 65535, &v) || (label && v != (r == 0 ? k : r))) {
        *why = where + ": '" + f[size_t(k)] + "' is not " +
               (label ? "the label " + std::to_string(r == 0 ? k : r) : std::string("a value from 0 to 65535"));
        return false;
      }
    }
  }
  return true;
}

// A product file: the header number, then exactly S x D values of 16 bits.
bool checkProduct(const std::string& text, long count, std::string* why) {
  std::istringstream in(text);
  std::string word;
  long seen = -1, v = 0;
  while (in >> word) {
    const bool ok = seen < 0 ? decimal(word, -2147483647L - 1, 2147483647L, &v) : decimal(word, 0, 65535, &v);
    if (!ok) {
      *why = seen < 0 ? "its header '" + word + "' is not a number"
                      : "value " + std::to_string(seen + 1) + " '" + word + "' is not a number from 0 to 65535";
      return false;
    }
    ++seen;
  }
  if (seen < 0) {
    *why = "it is empty";
    return false;
  }
  if (seen != count) {
    *why = "it holds " + std::to_string(seen) + " values, " + std::to_string(count) + " expected";
    return false;
  }
  return true;
}

int badFile(const char* cmd, const std::string& file, const char* kind, const std::string& why) {
  fprintf(stderr, "qztool %s: %s is not a sound %s golden sample file: %s\n", cmd, file.c_str(), kind, why.c_str());
  return kBadFile;
}

// A read record: the reader frees and allocates the golden values with free()/malloc().
struct GoldenRecord {
  TestRecord rec{};
  GoldenRecord() = default;
  GoldenRecord(const GoldenRecord&) = delete;
  GoldenRecord& operator=(const GoldenRecord&) = delete;
  ~GoldenRecord() { free(rec.golden.mutualValues); }
};

int loadDiagnostic(const char* cmd, const std::string& file, GoldenRecord* g) {
  std::string text, why;
  if (!readWhole(file, &text)) {
    fprintf(stderr, "qztool %s: cannot read the golden sample file %s\n", cmd, file.c_str());
    return kBadFile;
  }
  if (!checkDiagnostic(text, &why)) return badFile(cmd, file, "diagnostic", why);
  if (!ReadDiagnoseGoldenSampleFile(file.c_str(), &g->rec) || !g->rec.golden.mutualValues)
    return badFile(cmd, file, "diagnostic", "the reader did not take it");
  return kOk;
}

// Frames of the controller's mutual values, averaged.
int readFrame(const Controller& c, const char* cmd, const Options& o, PinNumberInfo* pins, std::vector<uint16_t>* out) {
  RawCountBuffer buf{};
  if (!GetPinNumber(c.handle, pins)) return commandFailed(c, cmd, "reading the pin counts");
  if (!GetRawCountBufferSize(c.handle, &buf)) return commandFailed(c, cmd, "sizing the frame");
  const int count = pins->sensorCount * pins->driverCount;
  std::vector<uint16_t> mutual(size_t(std::max(buf.mutualValueCount, count)) + 1, 0);
  std::vector<uint16_t> sector(size_t(std::max(buf.sectorValueCount, 0)) + 1, 0);
  std::vector<uint16_t> total(size_t(std::max(buf.totalDriveValueCount, 0)) + 1, 0);
  buf.mutualValues = mutual.data();
  buf.sectorValues = sector.data();
  buf.totalDriveValues = total.data();
  std::vector<double> sum(size_t(count), 0);
  int rc = kOk;
  {
    Progress progress("reading frames", o.frames > 1 ? o.frames : 0);
    for (int i = 0; i < o.frames && rc == kOk; ++i) {
      if (!(o.baseline ? GetBaseLine(c.handle, pins, &buf) : GetRawCount(c.handle, pins, &buf))) {
        rc = commandFailed(c, cmd, "reading frame " + std::to_string(i + 1));
        break;
      }
      for (int k = 0; k < count; ++k) sum[size_t(k)] += mutual[size_t(k)];
      progress.step();
    }
  }
  EnableDiagMode(c.handle, 0);  // raw counts selected, out of the diagnostic mode, as found
  if (rc != kOk) return rc;
  out->resize(size_t(count));
  for (int k = 0; k < count; ++k) (*out)[size_t(k)] = uint16_t(std::lround(sum[size_t(k)] / o.frames));
  return kOk;
}

int runWrite(const Options& o) {
  Controller c;
  if (int rc = openController(o.choice, "golden write", &c)) return rc;
  TestRecord rec{};
  if (!GetFWVersion(c.handle, &rec.fwVersion)) return commandFailed(c, "golden write", "reading the firmware version");
  if (!GetFWInfo(c.handle, &rec.fwInfo)) return commandFailed(c, "golden write", "reading the panel information");
  PinNumberInfo pins{};
  std::vector<uint16_t> sample;
  if (int rc = readFrame(c, "golden write", o, &pins, &sample)) return rc;
  const int s = pins.sensorCount, d = pins.driverCount;
  rec.fwInfo.sensorPinNumber = s;  // the frame's shape decides the table's
  rec.fwInfo.driverPinNumber = d;
  std::vector<uint16_t> golden(sample.size() + 1, 0);
  sample.push_back(0);
  rec.sampleFrame.mutualValues = sample.data();
  rec.sampleFrame.mutualValueCount = s * d;
  rec.golden.mutualValues = golden.data();
  if (!WriteDiagnoseGoldenSampleFile(o.file.c_str(), &rec)) {
    fprintf(stderr, "qztool golden write: cannot write %s\n", o.file.c_str());
    return kFailure;
  }
  printf("golden sample of %s written to %s: %d sensor x %d driver lines, %s%s; the table keeps the first %d of "
         "the %d values\n", c.model.c_str(), o.file.c_str(), s, d, o.baseline ? "baseline" : "raw counts",
         o.frames > 1 ? (", mean of " + std::to_string(o.frames) + " frames").c_str() : "", s * std::max(d - 1, 0),
         s * d);
  return kOk;
}

int runRead(const Options& o) {
  GoldenRecord g;
  if (int rc = loadDiagnostic("golden read", o.file, &g)) return rc;
  Controller c;
  if (int rc = openController(o.choice, "golden read", &c)) return rc;
  PinNumberInfo pins{};
  std::vector<uint16_t> now;
  if (int rc = readFrame(c, "golden read", o, &pins, &now)) return rc;
  const int s = g.rec.fwInfo.sensorPinNumber, d = g.rec.fwInfo.driverPinNumber;
  if (s != pins.sensorCount || d != pins.driverCount) {
    fprintf(stderr, "qztool golden read: %s holds the golden sample of a %d x %d panel, but %s (%s) has %d sensor x %d "
            "driver lines\n", o.file.c_str(), s, d, c.model.c_str(), c.path.c_str(), pins.sensorCount,
            pins.driverCount);
    return kBadFile;
  }
  // The file's table holds the frame's first S x (D - 1) values, in order.
  const int compared = s * (d - 1);
  struct Off {
    int index;
    unsigned golden, value;
    double percent;
  };
  std::vector<Off> off;
  double worst = 0;
  for (int k = 0; k < compared; ++k) {
    const unsigned gv = g.rec.golden.mutualValues[k], v = now[size_t(k)];
    const double pct = 100.0 * (double(v) - gv) / std::max(1u, gv);
    worst = std::max(worst, std::fabs(pct));
    if (std::fabs(pct) > o.tolerance) off.push_back({k, gv, v, pct});
  }
  FWVersionInfo ver{};
  const bool haveVersion = GetFWVersion(c.handle, &ver);
  if (o.choice.json) {
    printf("{\"file\":\"%s\",\"model\":\"%s\",\"sensors\":%d,\"drivers\":%d,\"compared\":%d,\"tolerancePercent\":%g,"
           "\"maxPercent\":%.2f,\"outside\":[", jsonEscape(o.file).c_str(), jsonEscape(c.model).c_str(), s, d, compared,
           o.tolerance, worst);
    for (size_t i = 0; i < off.size(); ++i)
      printf("%s{\"index\":%d,\"sensor\":%d,\"driver\":%d,\"golden\":%u,\"value\":%u,\"percent\":%.2f}", i ? "," : "",
             off[i].index, off[i].index / d, off[i].index % d, off[i].golden, off[i].value, off[i].percent);
    printf("]}\n");
  } else {
    if (haveVersion && strcmp(ver.masterVersion, g.rec.fwVersion.masterVersion) != 0)
      printf("note: the sample was taken with firmware \"%s\"; %s runs \"%s\"\n", g.rec.fwVersion.masterVersion,
             c.model.c_str(), ver.masterVersion);
    for (const Off& x : off)
      printf("value %d (sensor %d, driver %d): golden %u, now %u (%+.1f%%)\n", x.index, x.index / d, x.index % d,
             x.golden, x.value, x.percent);
    printf("%d of %d values within %g%% of the golden sample (largest difference %.1f%%); the last %d values of the "
           "frame are not in the file\n", compared - int(off.size()), compared, o.tolerance, worst, s * d - compared);
  }
  return off.empty() ? kOk : kFailure;
}

int runShow(const Options& o) {
  std::string text, why;
  if (!readWhole(o.file, &text)) {
    fprintf(stderr, "qztool golden show: cannot read the golden sample file %s\n", o.file.c_str());
    return kBadFile;
  }
  if (!o.product.empty()) {
    int s = 0, d = 0;
    char x = 0, rest = 0;
    if (sscanf(o.product.c_str(), "%d%c%d%c", &s, &x, &d, &rest) != 3 || (x != 'x' && x != 'X') || s < 1 ||
        s > QZ_MAX_PIN_COUNT || d < 1 || d > QZ_MAX_PIN_COUNT) {
      fprintf(stderr, "qztool golden show: --product wants SENSORSxDRIVERS, each 1 to 255, as in 12x16\n");
      return kUsage;
    }
    if (!checkProduct(text, long(s) * d, &why)) return badFile("golden show", o.file, "product", why);
    std::vector<uint16_t> values(size_t(s) * d + 1, 0);
    TestRecord rec{};
    rec.fwInfo.sensorPinNumber = s;
    rec.fwInfo.driverPinNumber = d;
    rec.golden.mutualValues = values.data();
    rec.golden.mutualValueCount = s * d;
    if (!ReadProductGoldenSampleFile(o.file.c_str(), &rec))
      return badFile("golden show", o.file, "product", "the reader did not take it");
    if (o.choice.json) {
      printf("{\"kind\":\"product\",\"header\":%d,\"sensors\":%d,\"drivers\":%d,\"values\":[", rec.goldenHeaderNumber,
             s, d);
      for (int r = 0; r < s; ++r) {
        printf("%s[", r ? "," : "");
        for (int k = 0; k < d; ++k) printf("%s%u", k ? "," : "", values[size_t(r) * d + k]);
        printf("]");
      }
      printf("]}\n");
    } else {
      printf("product golden sample %s\nheader number: %d\n%d sensor x %d driver lines:\n", o.file.c_str(),
             rec.goldenHeaderNumber, s, d);
      for (int r = 0; r < s; ++r) {
        for (int k = 0; k < d; ++k) printf(" %5u", values[size_t(r) * d + k]);
        printf("\n");
      }
    }
    return kOk;
  }
  if (text.find("[Golden Sample]") == std::string::npos)
    return badFile("golden show", o.file, "diagnostic",
                   "it has no [Golden Sample] line (for a product golden sample file give --product SxD)");
  GoldenRecord g;
  if (int rc = loadDiagnostic("golden show", o.file, &g)) return rc;
  const TestRecord& r = g.rec;
  const int s = r.fwInfo.sensorPinNumber, d = r.fwInfo.driverPinNumber;
  const char* slave = r.fwVersion.slaveVersion[0];
  if (o.choice.json) {
    printf("{\"kind\":\"diagnostic\",\"masterVersion\":\"%s\",", jsonEscape(r.fwVersion.masterVersion).c_str());
    if (*slave) printf("\"slaveVersion\":\"%s\",", jsonEscape(slave).c_str());
    printf("\"panelSize\":%g,\"coverLens\":%g,\"sensors\":%d,\"drivers\":%d,\"values\":[", r.fwInfo.panelSize,
           r.fwInfo.coverLens, s, d);
    for (int row = 0; row < s; ++row) {
      printf("%s[", row ? "," : "");
      for (int k = 0; k < d - 1; ++k) printf("%s%u", k ? "," : "", r.golden.mutualValues[row * (d - 1) + k]);
      printf("]");
    }
    printf("]}\n");
    return kOk;
  }
  printf("diagnostic golden sample %s\nfirmware: %s\n", o.file.c_str(), r.fwVersion.masterVersion);
  if (*slave) printf("slave: %s\n", slave);
  printf("panel: %g in, cover lens %g mm\n%d sensor x %d driver lines; %d values per row:\n", r.fwInfo.panelSize,
         r.fwInfo.coverLens, s, d, d - 1);
  for (int row = 0; row < s; ++row) {
    printf("%3d |", row + 1);
    for (int k = 0; k < d - 1; ++k) printf(" %5u", r.golden.mutualValues[row * (d - 1) + k]);
    printf("\n");
  }
  return kOk;
}

}  // namespace

void addGoldenCommand(CLI::App& app, int* exitCode) {
  auto* golden = app.add_subcommand("golden", "Golden sample files: the sensor values of a known-good panel");
  golden->require_subcommand(1);
  auto* o = optionStorage<Options>();

  auto* write = golden->add_subcommand("write", "Take the controller's frame as a diagnostic golden sample file");
  addDeviceOptions(write, &o->choice);
  write->add_option("FILE", o->file, "file to write (replaced)")->required();
  write->add_flag("--baseline", o->baseline, "take the baseline instead of the raw counts");
  write->add_option("--frames", o->frames, "mean of N frames (default 1)")->check(CLI::Range(1, 1000))->type_name("N");
  write->footer("Keys (firmware, slave, panel size, cover lens, pin counts), then the table: the column labels,\n"
                "then per sensor line its label and D - 1 values, every item followed by a comma.\n\n"
                "Examples:\n"
                "  qztool golden write good-panel.csv --frames 16\n"
                "  qztool golden write base.csv --baseline --device '\\\\?\\hid#vid_7a3d&pid_7480#hidraw3'\n");
  write->callback([o, exitCode] { *exitCode = runWrite(*o); });

  auto* read = golden->add_subcommand("read", "Read a diagnostic golden sample file and compare the controller's "
                                              "present frame with it");
  addDeviceOptions(read, &o->choice);
  read->add_option("FILE", o->file, "diagnostic golden sample file")->required();
  read->add_flag("--baseline", o->baseline, "compare the baseline instead of the raw counts");
  read->add_option("--frames", o->frames, "mean of N frames (default 1)")->check(CLI::Range(1, 1000))->type_name("N");
  read->add_option("--tolerance", o->tolerance, "largest difference allowed, in percent of the golden value "
                                                "(default 10)")->check(CLI::Range(0.0, 1000.0))->type_name("PERCENT");
  read->add_flag("--json", o->choice.json, "print JSON (schema in the README)");
  read->footer("Lists every value outside the tolerance. Exit 0: all within; 1: some outside; 6: the file is\n"
               "damaged or made for another panel.\n\n"
               "Examples:\n"
               "  qztool golden read good-panel.csv\n"
               "  qztool golden read good-panel.csv --tolerance 5 --frames 8 --json\n");
  read->callback([o, exitCode] { *exitCode = runRead(*o); });

  auto* show = golden->add_subcommand("show", "Print a golden sample file (no controller needed)");
  show->add_option("FILE", o->file, "golden sample file")->required();
  show->add_option("--product", o->product, "FILE is a product golden sample file of SxD values (its size is not "
                                            "in the file), e.g. 12x16")->type_name("SxD");
  show->add_flag("--json", o->choice.json, "print JSON (schema in the README)");
  show->footer("Examples:\n"
               "  qztool golden show good-panel.csv\n"
               "  qztool golden show product-golden.txt --product 12x16 --json\n");
  show->callback([o, exitCode] { *exitCode = runShow(*o); });
}

}  // namespace qztool
