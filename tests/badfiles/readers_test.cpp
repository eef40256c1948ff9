// Every reader of the data files library fed bad files: cut short, binary, not UTF-8, a few
// MB in one field, 100 MB sparse, a directory, a file that cannot be read, missing, and
// paths of 259, 260 and 4096 characters. Buffers are exactly as large as the reader may
// fill, so the address sanitizer sees any write past them.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bad_files.h"
#include "qz/other.h"

namespace {

using badfiles::TempDir;

constexpr const char* kUnreadable = "/proc/self/mem";  // opens, but every read fails
const off_t kHuge = 100l << 20;

// Kinds of bad input every reader meets. make() puts the file at path; false when the
// machine cannot make it.
struct BadInput {
  const char* what;
  std::function<bool(const std::string& path)> make;
};

bool write(const std::string& path, const std::string& bytes) {
  badfiles::writeFile(path, bytes);
  return badfiles::exists(path);
}

std::vector<BadInput> commonBadInputs() {
  return {
      {"empty", [](const std::string& p) { return write(p, ""); }},
      {"binary", [](const std::string& p) { return write(p, badfiles::binary(64 * 1024)); }},
      {"not UTF-8", [](const std::string& p) { return write(p, badfiles::notUtf8()); }},
      {"4 MB in one field", [](const std::string& p) { return write(p, std::string(4 << 20, '7')); }},
      {"100 MB sparse", [](const std::string& p) { return badfiles::sparseFile(p, kHuge); }},
  };
}

// ---- Parameter files ------------------------------------------------------------------

TEST(BadParameterFiles, ReadAsFarAsTheyGoAndNeverPastTheBuffer) {
  TempDir dir;
  const ParaListInfo info = {0xC0, 0, 64, 16, 0, 0};
  std::string good;
  for (int i = 0; i < 64; ++i) good += std::to_string(i + 1) + " ";
  good += "\r\n";
  for (int i = 0; i < 16; ++i) good += std::to_string(200 + i) + " ";
  good += "\r\n";
  struct Case {
    std::string what, bytes;
    int read;  // values that come through; the rest is 0
  };
  const Case cases[] = {
      {"whole", good, 80},
      {"cut after 10 values", good.substr(0, good.find(" 11 ")), 10},
      {"cut in the boot line", good.substr(0, good.find("205")), 69},
      {"binary after 3 values", std::string("1 2 3 \0", 7) + badfiles::binary(1000), 3},
      {"not UTF-8 after 2 values", "1 2 " + badfiles::notUtf8(), 2},
      {"a value of 4 MB digits last", good.substr(0, good.rfind("215")) + std::string(4 << 20, '9'), 79},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    badfiles::writeFile(dir / "p.txt", c.bytes);
    std::vector<uint8_t> bytes(80, 0xEE);  // exactly the two lists
    ASSERT_EQ(LoadParameterFile((dir / "p.txt").c_str(), &info, bytes.data()), 1);
    for (int i = 0; i < c.read; ++i) EXPECT_EQ(bytes[i], i < 64 ? i + 1 : 200 + i - 64) << i;
    // The 4 MB value is taken modulo 2^32; only the values after it must be 0.
    const int zeroFrom = c.what.find("4 MB") != std::string::npos ? 80 : c.read;
    for (int i = zeroFrom; i < 80; ++i) EXPECT_EQ(bytes[i], 0) << i;
  }
  for (const BadInput& b : commonBadInputs()) {
    SCOPED_TRACE(b.what);
    ASSERT_TRUE(b.make(dir / "bad.txt"));
    std::vector<uint8_t> bytes(80, 0xEE);
    EXPECT_EQ(LoadParameterFile((dir / "bad.txt").c_str(), &info, bytes.data()), 1);
  }
}

TEST(BadParameterFiles, WhatCannotBeReadFailsAndLeavesTheBuffer) {
  TempDir dir;
  const ParaListInfo info = {0xC0, 0, 64, 16, 0, 0};
  mkdir((dir / "adir").c_str(), 0755);
  const std::string at259 = badfiles::pathOfLength(dir.path(), 259);
  mkdir(at259.substr(0, at259.rfind('/')).c_str(), 0755);
  badfiles::writeFile(at259, "5 5 5\r\n");
  struct Case {
    std::string path;
    int32_t result;
  };
  const Case cases[] = {
      {dir / "missing.txt", 0},
      {dir / "adir", 0},
      {kUnreadable, 0},
      {"", 0},
      {at259, 1},
      {badfiles::pathOfLength(dir.path(), 260), 0},
      {badfiles::pathOfLength(dir.path(), 4096), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 80) + " (" + std::to_string(c.path.size()) + " characters)");
    std::vector<uint8_t> bytes(80, 0xEE);
    EXPECT_EQ(LoadParameterFile(c.path.c_str(), &info, bytes.data()), c.result);
    if (c.result == 0) {
      EXPECT_EQ(bytes, std::vector<uint8_t>(80, 0xEE));
    }
  }
}

// ---- Firmware package files -------------------------------------------------------------

std::string header(uint32_t length) {
  std::string h = "QZFF";
  h += std::string(4, '\x11');
  for (int i = 0; i < 4; ++i) h += char(length >> (8 * i));
  h += std::string(3, '\x22');
  uint8_t sum = 0;
  for (char c : h) sum = uint8_t(sum + uint8_t(c));
  return h + char(0xFF - sum);
}

std::string block(const std::string& data) {
  uint32_t sum = 0;
  for (char c : data) sum += uint8_t(c);
  const uint32_t check = 0xFFFFFFFFu - sum;
  std::string b = header(uint32_t(data.size())) + data;
  for (int i = 0; i < 4; ++i) b += char(check >> (8 * i));
  return b;
}

bool cleared(const FirmwarePackage& p) { return p.data == nullptr && p.next == nullptr; }

TEST(BadPackageFiles, EveryCutAndEveryBadShapeFails) {
  TempDir dir;
  const std::string one = block("firmware data"), two = one + block("second block");
  struct Case {
    std::string name, bytes;
  };
  std::vector<Case> cases;
  for (size_t n = 0; n < one.size(); ++n) cases.push_back({"cut.qzf", one.substr(0, n)});
  for (size_t n = one.size(); n < two.size(); ++n) cases.push_back({"cut.qzc", two.substr(0, n)});
  cases.push_back({"binary.qzf", badfiles::binary(64 * 1024)});
  cases.push_back({"text.qzf", badfiles::notUtf8()});
  cases.push_back({"claims-4GB.qzf", header(0xFFFFFFF0u) + "tiny"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + ", " + std::to_string(c.bytes.size()) + " bytes");
    badfiles::writeFile(dir / c.name, c.bytes);
    FirmwarePackage p = {};
    EXPECT_EQ(LoadQZFFile((dir / c.name).c_str(), &p), 0);
    EXPECT_TRUE(cleared(p));
    EXPECT_EQ(ReleaseQZFFile(&p), 1);
  }
}

TEST(BadPackageFiles, HugeFilesAreReadOnlyAsFarAsTheirHeadersSay) {
  TempDir dir;
  // 100 MB of zeros: no magic, so nothing past the first 16 bytes matters.
  ASSERT_TRUE(badfiles::sparseFile(dir / "zeros.qzf", kHuge));
  FirmwarePackage p = {};
  EXPECT_EQ(LoadQZFFile((dir / "zeros.qzf").c_str(), &p), 0);
  EXPECT_TRUE(cleared(p));
  // A real block of 8 MB zeros (their check is 0xFFFFFFFF), then 92 MB nobody reads.
  const uint32_t length = 8u << 20;
  std::string head = header(length);
  ASSERT_TRUE(badfiles::sparseFile(dir / "big.qzf", kHuge, head));
  {
    int fd = open((dir / "big.qzf").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "\xFF\xFF\xFF\xFF", 4, 16 + off_t(length)), 4);
    close(fd);
  }
  ASSERT_EQ(LoadQZFFile((dir / "big.qzf").c_str(), &p), 1);
  ASSERT_NE(p.data, nullptr);
  EXPECT_EQ(p.data[0], 0);
  EXPECT_EQ(p.data[length - 1], 0);
  EXPECT_EQ(p.next, nullptr);
  ReleaseQZFFile(&p);
}

TEST(BadPackageFiles, WhatCannotBeReadFailsAndLeavesTheRecord) {
  TempDir dir;
  mkdir((dir / "adir.qzf").c_str(), 0755);
  const std::string at259 = badfiles::pathOfLength(dir.path(), 259);
  mkdir(at259.substr(0, at259.rfind('/')).c_str(), 0755);
  badfiles::writeFile(at259, block("x"));
  struct Case {
    std::string path;
    int32_t result;
  };
  const Case cases[] = {
      {dir / "missing.qzf", 0},
      {dir / "adir.qzf", 0},
      {kUnreadable, 0},
      {at259, 1},
      {badfiles::pathOfLength(dir.path(), 260), 0},
      {badfiles::pathOfLength(dir.path(), 4096), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 80) + " (" + std::to_string(c.path.size()) + " characters)");
    FirmwarePackage p;
    memset(&p, 0, sizeof p);
    memset(p.header, 0xAB, sizeof p.header);
    EXPECT_EQ(LoadQZFFile(c.path.c_str(), &p), c.result);
    if (c.result == 0 && c.path != kUnreadable) {
      EXPECT_EQ(p.header[0], 0xAB) << "record untouched";
    }
    EXPECT_TRUE(c.result == 1 || cleared(p));
    ReleaseQZFFile(&p);
  }
}

// ---- Golden sample files ------------------------------------------------------------

// A record whose golden array came from malloc, as the diagnostic reader requires.
struct GoldenRecord {
  TestRecord rec = {};
  GoldenRecord() {
    rec.golden.mutualValues = static_cast<uint16_t*>(calloc(4, sizeof(uint16_t)));
    rec.golden.mutualValueCount = 4;
    rec.fwInfo.sensorPinNumber = 2;
    rec.fwInfo.driverPinNumber = 2;
    strcpy(rec.fwVersion.masterVersion, "before");
  }
  ~GoldenRecord() { free(rec.golden.mutualValues); }
};

const std::string kDiag =
    "[KRXM]\r\nF/W ver:,QZ4321.2.5\r\nPanelSize:,15.6,CoverLens:,1.1\r\nSensorPinNumber:,2\r\n"
    "DriverPinNumber:,3\r\n[Golden Sample]\r\n0,1,2,\r\n1,11,12,\r\n2,21,22,\r\n";

TEST(BadGoldenFiles, DiagnosticReaderTakesWhatIsThereAndSaysWhetherATableCame) {
  TempDir dir;
  struct Case {
    std::string what, bytes;
    int32_t result;
    bool table;                      // flag 0x01 and a new array of S x D values
    std::vector<uint16_t> values;    // its first values
  };
  const std::vector<Case> cases = {
      {"whole", kDiag, 1, true, {11, 12, 21, 22, 0, 0}},
      {"cut in the table", kDiag.substr(0, kDiag.find("21,")), 1, true, {11, 12, 0, 0, 0, 0}},
      {"cut before the table", kDiag.substr(0, kDiag.find("[Golden")), 1, false, {}},
      {"table without counts", "[Golden Sample]\r\n0,1,\r\n", 0, false, {}},
      {"counts out of range", "SensorPinNumber:,99999999999\r\nDriverPinNumber:,-3\r\n[Golden Sample]\r\n", 0,
       false, {}},
      {"binary", badfiles::binary(64 * 1024), 1, false, {}},
      {"not UTF-8 in the values", kDiag.substr(0, kDiag.find("11,")) + "\xff\xfe,\xe9,\r\n", 1, true, {0, 0, 0, 0, 0, 0}},
      {"4 MB version text", "F/W ver:," + std::string(4 << 20, 'v') + "\r\n", 1, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    badfiles::writeFile(dir / "g.csv", c.bytes);
    GoldenRecord g;
    g.rec.flags = 0xFF;
    EXPECT_EQ(ReadDiagnoseGoldenSampleFile((dir / "g.csv").c_str(), &g.rec), c.result);
    EXPECT_EQ(g.rec.flags, c.table ? QZ_TEST_GOLDEN_LOADED : 0);
    EXPECT_LT(strnlen(g.rec.fwVersion.masterVersion, sizeof g.rec.fwVersion.masterVersion),
              sizeof g.rec.fwVersion.masterVersion);
    if (c.table) {
      ASSERT_EQ(g.rec.golden.mutualValueCount, 6);
      for (size_t i = 0; i < c.values.size(); ++i) EXPECT_EQ(g.rec.golden.mutualValues[i], c.values[i]) << i;
    }
  }
}

TEST(BadGoldenFiles, ProductReaderStoresZerosForWhatIsMissing) {
  TempDir dir;
  struct Case {
    std::string what, bytes;
    int32_t header;
    std::vector<uint16_t> values;
  };
  const Case cases[] = {
      {"whole", "7\r\n1 2 \r\n3 4 \r\n", 7, {1, 2, 3, 4}},
      {"cut", "7\r\n1 2 \r\n3", 7, {1, 2, 3, 0}},
      {"binary after the header", "7\r\n" + badfiles::binary(4096), 7, {0, 0, 0, 0}},
      {"not UTF-8", badfiles::notUtf8(), 0, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    badfiles::writeFile(dir / "p.txt", c.bytes);
    GoldenRecord g;
    EXPECT_EQ(ReadProductGoldenSampleFile((dir / "p.txt").c_str(), &g.rec), 1);
    EXPECT_EQ(g.rec.goldenHeaderNumber, c.header);
    EXPECT_EQ(std::vector<uint16_t>(g.rec.golden.mutualValues, g.rec.golden.mutualValues + 4), c.values);
  }
}

TEST(BadGoldenFiles, BothReadersSurviveEveryBadShapeAndFailOnWhatCannotBeRead) {
  TempDir dir;
  using Reader = int32_t (*)(const char*, TestRecord*);
  const std::pair<const char*, Reader> readers[] = {{"diagnostic", ReadDiagnoseGoldenSampleFile},
                                                    {"product", ReadProductGoldenSampleFile}};
  mkdir((dir / "adir").c_str(), 0755);
  for (const auto& [name, read] : readers) {
    SCOPED_TRACE(name);
    for (const BadInput& b : commonBadInputs()) {
      SCOPED_TRACE(b.what);
      ASSERT_TRUE(b.make(dir / "bad.txt"));
      GoldenRecord g;
      EXPECT_EQ(read((dir / "bad.txt").c_str(), &g.rec), 1);
      EXPECT_EQ(g.rec.flags, 0);
    }
    for (const std::string& path : {dir / "missing.txt", dir / "adir", std::string(kUnreadable),
                                    badfiles::pathOfLength(dir.path(), 260), badfiles::pathOfLength(dir.path(), 4096)}) {
      SCOPED_TRACE(path.substr(0, 80));
      GoldenRecord g;
      EXPECT_EQ(read(path.c_str(), &g.rec), 0);
      EXPECT_STREQ(g.rec.fwVersion.masterVersion, "before");
    }
  }
}

// ---- The serial number of the production result file ---------------------------------

TEST(BadResultFiles, SerialNumberComesFromTheLastCommaOrStartsAfresh) {
  TempDir dir;
  struct Case {
    std::string what;
    std::function<bool(const std::string&)> make;
    int32_t result;
    const char* serial;  // the new block's last line
  };
  const Case cases[] = {
      {"no comma at all", [](const std::string& p) { return write(p, std::string(5000, 'x')); }, 1, ",1\r\n"},
      {"binary without commas",
       [](const std::string& p) {
         std::string b = badfiles::binary(64 * 1024);
         for (char& c : b) c = c == ',' ? '.' : c;
         return write(p, b);
       },
       1, ",1\r\n"},
      {"not UTF-8 after the comma", [](const std::string& p) { return write(p, "serial,\xff\xfe" "41\r\n"); }, 1,
       ",1\r\n"},
      {"100 MB sparse, the number at its end",
       [](const std::string& p) {
         if (!badfiles::sparseFile(p, kHuge)) return false;
         int fd = open(p.c_str(), O_WRONLY | O_APPEND);
         bool ok = fd >= 0 && ::write(fd, "serial,41\r\n", 11) == 11;
         if (fd >= 0) close(fd);
         return ok;
       },
       1, ",42\r\n"},
      {"100 MB sparse without a comma", [](const std::string& p) { return badfiles::sparseFile(p, kHuge); }, 1,
       ",1\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir / "result.txt";
    ASSERT_TRUE(c.make(path));
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    TestRecord rec = {};
    rec.result = 1;
    EXPECT_EQ(WriteProductTestResult(path.c_str(), "", &rec), c.result);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char tail[16] = {};
    const size_t want = strlen(c.serial);
    struct stat after;
    ASSERT_EQ(fstat(fd, &after), 0);
    ASSERT_EQ(pread(fd, tail, want, after.st_size - off_t(want)), ssize_t(want));
    close(fd);
    EXPECT_STREQ(tail, c.serial);
    EXPECT_GT(after.st_size, before.st_size);
    unlink(path.c_str());
  }
  // Where the file cannot be read, no block with a made-up number is appended.
  TestRecord rec = {};
  EXPECT_EQ(WriteProductTestResult(kUnreadable, "", &rec), 0);
  EXPECT_EQ(WriteProductTestResult((dir / "missing.txt").c_str(), "", &rec), 0);
  EXPECT_FALSE(badfiles::exists(dir / "missing.txt"));
}

// ---- Device broadcasts --------------------------------------------------------------

// A record of exactly `size` bytes (at least the size field) whose name area holds `name`.
std::unique_ptr<uint8_t[]> broadcast(const std::string& name, size_t* size) {
  *size = QZ_BROADCAST_NAME_OFFSET + name.size();
  auto r = std::make_unique<uint8_t[]>(*size);
  QZDeviceBroadcast head = {uint32_t(*size), QZ_DEVICE_TYPE_INTERFACE, 0, QZ_CLASS_HID};
  memcpy(r.get(), &head, sizeof head);
  memcpy(r.get() + QZ_BROADCAST_NAME_OFFSET, name.data(), name.size());
  return r;
}

TEST(BadBroadcasts, GarbageNamesAreNotControllers) {
  const std::string good = "\\\\?\\hid#vid_7a3d&pid_7480#x";
  const std::string wideGood = [&] {
    std::string w;
    for (char c : good) w += std::string{c, '\0'};
    return w;
  }();
  struct Case {
    std::string what, name;
    int32_t result;
  };
  const Case cases[] = {
      {"binary", badfiles::binary(600), -1},
      {"not UTF-8 around the ids", "\xff\xfe" + good + "\xe9", 1},
      {"unterminated, up to the record's end", good, 1},
      {"16-bit, odd byte count", wideGood + "\x41", 1},
      {"4096 characters, ids at the end", std::string(4096 - good.size(), 'a') + good, -1},
      {"4096 16-bit units", [&] {
         std::string w;
         for (int i = 0; i < 4096; ++i) w += std::string{'a', '\0'};
         return w + wideGood;
       }(), -1},
      {"nothing", "", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    size_t size = 0;
    auto r = broadcast(c.name, &size);
    int32_t result = 42;
    EXPECT_EQ(QZDeviceChange(QZ_DEVICE_ARRIVAL, r.get(), &result), 1);
    EXPECT_EQ(result, c.result);
  }
  // Records whose size field lies low: the reader stays inside the size it is told.
  for (uint32_t claimed : {0u, 4u, 8u, 27u, 28u}) {
    SCOPED_TRACE(claimed);
    auto r = std::make_unique<uint8_t[]>(std::max<size_t>(claimed, 4));
    memset(r.get(), 0, std::max<size_t>(claimed, 4));
    memcpy(r.get(), &claimed, 4);
    if (claimed >= 8) {
      const uint32_t type = QZ_DEVICE_TYPE_INTERFACE;
      memcpy(r.get() + 4, &type, 4);
    }
    int32_t result = 42;
    EXPECT_EQ(QZDeviceChange(QZ_DEVICE_ARRIVAL, r.get(), &result), 1);
    EXPECT_EQ(result, -1);
  }
}

}  // namespace
