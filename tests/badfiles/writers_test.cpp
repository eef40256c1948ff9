// Every writer of the data files library against paths and file systems that fail: full,
// read-only, missing directories, a directory in the file's place, over-long paths. A
// writer that fails returns 0 and leaves what was there before: a replaced file stays whole,
// an appended file goes back to its old bytes, no scratch file stays behind.
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "bad_files.h"
#include "qz/other.h"

namespace {

using badfiles::TempDir;

enum class Kind { kReplaces, kAppends, kAppendsToExisting };

// Records big enough that every file takes more than one 4 KiB page, so a nearly full disk
// takes part of the text before it refuses the rest.
struct Records {
  static constexpr int kSensors = 40, kDrivers = 40, kSectors = 4;
  ParaListInfo info = {0xC0, 0, 255, 255, 0, 0};
  std::vector<uint8_t> params = std::vector<uint8_t>(510, 200);
  std::vector<int32_t> ints = std::vector<int32_t>(kSensors * kDrivers, 1234);
  std::vector<double> doubles = std::vector<double>(kSensors * kDrivers, 12.5);
  StdevRecord stdev = {};
  PinNumberInfo pins = {};
  std::vector<uint16_t> values = std::vector<uint16_t>(kSensors * kDrivers, 4321);
  std::vector<uint16_t> golden = std::vector<uint16_t>(kSensors * kDrivers, 0);
  std::vector<uint8_t> marks = std::vector<uint8_t>(kSensors * kDrivers, 1);
  RawCountBuffer raw = {};
  TestRecord test = {};
  std::string resultFile;  // the production result file of the golden writer

  explicit Records(const std::string& dir) : resultFile(dir + "/result-for-golden.txt") {
    stdev.testCount = 10;
    stdev.pins.sensorCount = kSensors;
    stdev.pins.driverCount = kDrivers;
    stdev.pins.sectorCount = kSectors;
    StdevGroup g = {ints.data(), ints.data(), doubles.data(), doubles.data(), 1, 2, 3};
    stdev.totalDrive = stdev.mutual = stdev.sector = g;
    pins = stdev.pins;
    raw.mutualValues = values.data();
    raw.mutualValueCount = int32_t(values.size());
    test.fwInfo.sensorPinNumber = kSensors;
    test.fwInfo.driverPinNumber = kDrivers;
    test.testFrame.mutualValues = values.data();
    test.sampleFrame.mutualValues = values.data();
    test.golden.mutualValues = golden.data();
    test.valueMarks = marks.data();
    badfiles::writeFile(resultFile, "serial,41\r\n");
  }
};

struct Writer {
  const char* name;
  Kind kind;
  std::function<int32_t(Records&, const char* path)> write;
};

const Writer kWriters[] = {
    {"SaveParameterFile", Kind::kReplaces,
     [](Records& r, const char* p) { return SaveParameterFile(p, &r.info, r.params.data()); }},
    {"WriteDiagnoseGoldenSampleFile", Kind::kReplaces,
     [](Records& r, const char* p) { return WriteDiagnoseGoldenSampleFile(p, &r.test); }},
    {"WriteProductTestResult (golden file)", Kind::kReplaces,
     [](Records& r, const char* p) {
       r.test.result = 0;
       r.test.flags = QZ_TEST_WRITE_PRODUCT_GOLDEN;
       return WriteProductTestResult(r.resultFile.c_str(), p, &r.test);
     }},
    {"WriteSTDEVResult", Kind::kAppends, [](Records& r, const char* p) { return WriteSTDEVResult(p, &r.stdev); }},
    {"WriteRawCount", Kind::kAppends, [](Records& r, const char* p) { return WriteRawCount(p, &r.pins, &r.raw); }},
    {"WriteProductTestResult (result file)", Kind::kAppendsToExisting,
     [](Records& r, const char* p) {
       r.test.result = 1;
       r.test.flags = 0;
       return WriteProductTestResult(p, "", &r.test);
     }},
};

// What a file held before a writer ran: an older version that must survive a failure. The
// result file of a production test ends with its serial number.
const std::string kOld = "older contents,41\r\n";

bool scratchLeft(const std::string& dir) {
  for (const auto& e : badfiles::entries(dir))
    if (e.rfind(".qz-", 0) == 0) return true;
  return false;
}

badfiles::ScratchMounts& mounts() {
  static badfiles::ScratchMounts m;
  return m;
}

// A tmpfs at dir/name, 64 KiB; "" (and the reason in why) where mounts are refused.
std::string scratchFs(const TempDir& dir, const std::string& name, std::string* why) {
  std::string at = dir / name;
  mkdir(at.c_str(), 0777);
  if (!mounts().available() || !mounts().tmpfs(at, 64)) {
    *why = mounts().why();
    return "";
  }
  return at;
}

TEST(Writers, FullDiskKeepsTheOlderFileWhole) {
  for (const Writer& w : kWriters) {
    SCOPED_TRACE(w.name);
    TempDir dir;
    std::string why;
    const std::string fs = scratchFs(dir, "full", &why);
    if (fs.empty()) GTEST_SKIP() << why;
    Records r(dir.path());
    const std::string old = fs + "/old.txt";
    const std::string fresh = fs + "/new.txt";
    badfiles::writeFile(old, kOld);
    badfiles::ScratchMounts::fill(fs);
    const auto before = badfiles::entries(fs);

    EXPECT_EQ(w.write(r, old.c_str()), 0) << "a write that ran out of room is not reported as done";
    EXPECT_EQ(badfiles::readFile(old), kOld);
    if (w.kind != Kind::kAppendsToExisting) {
      EXPECT_EQ(w.write(r, fresh.c_str()), 0);
      EXPECT_FALSE(badfiles::exists(fresh)) << "no partial file is left where there was none";
    }
    EXPECT_EQ(badfiles::entries(fs), before) << "nothing stays behind on the full disk";
    EXPECT_EQ(umount(fs.c_str()), 0);
  }
}

TEST(Writers, DevFullFails) {
  if (!badfiles::exists("/dev/full")) GTEST_SKIP() << "this machine has no /dev/full";
  TempDir dir;
  for (const Writer& w : kWriters) {
    SCOPED_TRACE(w.name);
    Records r(dir.path());
    EXPECT_EQ(w.write(r, "/dev/full"), 0);
    struct stat st;
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device is written, never replaced";
  }
}

TEST(Writers, ReadOnlyPlacesAreLeftAlone) {
  for (const Writer& w : kWriters) {
    SCOPED_TRACE(w.name);
    TempDir dir;
    std::string why;
    std::string fs = scratchFs(dir, "ro", &why);
    if (!fs.empty()) {
      badfiles::writeFile(fs + "/old.txt", kOld);
      ASSERT_TRUE(mounts().readOnly(fs));
    } else if (geteuid() != 0) {
      fs = dir / "ro";
      badfiles::writeFile(fs + "/old.txt", kOld);
      chmod((fs + "/old.txt").c_str(), 0444);
      chmod(fs.c_str(), 0555);
    } else {
      GTEST_SKIP() << "root writes through permissions, and " << why;
    }
    Records r(dir.path());
    const auto before = badfiles::entries(fs);
    EXPECT_EQ(w.write(r, (fs + "/old.txt").c_str()), 0);
    EXPECT_EQ(badfiles::readFile(fs + "/old.txt"), kOld);
    EXPECT_EQ(w.write(r, (fs + "/new.txt").c_str()), 0);
    EXPECT_EQ(w.write(r, (fs + "/sub/new.txt").c_str()), 0);
    EXPECT_EQ(badfiles::entries(fs), before);
    if (mounts().available()) umount(fs.c_str());
    chmod(fs.c_str(), 0755);
  }
}

TEST(Writers, PathsThatCannotBeFileNames) {
  for (const Writer& w : kWriters) {
    SCOPED_TRACE(w.name);
    TempDir dir;
    Records r(dir.path());
    mkdir((dir / "adir").c_str(), 0755);
    badfiles::writeFile(dir / "afile", kOld);
    struct Case {
      std::string path, why;
    };
    const Case cases[] = {
        {dir / "adir", "a directory"},
        {dir / "adir/", "a directory with its slash"},
        {dir / "two/levels/file.txt", "two missing directory levels (one is made)"},
        {dir / "afile/file.txt", "a file where the directory should be"},
        {"", "an empty path"},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.why);
      EXPECT_EQ(w.write(r, c.path.c_str()), 0);
    }
    EXPECT_TRUE(badfiles::entries(dir / "adir").empty());
    EXPECT_EQ(badfiles::readFile(dir / "afile"), kOld);
    EXPECT_FALSE(badfiles::exists(dir / "two"));
    EXPECT_FALSE(scratchLeft(dir.path()));
  }
}

TEST(Writers, PathsOf260CharactersOrMoreAreRefusedWhole) {
  for (const Writer& w : kWriters) {
    SCOPED_TRACE(w.name);
    for (size_t length : {259u, 260u, 4096u}) {
      SCOPED_TRACE(length);
      TempDir dir;
      Records r(dir.path());
      const std::string path = badfiles::pathOfLength(dir.path(), length);
      ASSERT_EQ(path.size(), length);
      const std::string d = path.substr(0, path.rfind('/'));
      if (w.kind == Kind::kAppendsToExisting && length < 260) {
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        badfiles::writeFile(path, kOld);
      }
      const auto before = badfiles::entries(dir.path());
      EXPECT_EQ(w.write(r, path.c_str()), length < 260 ? 1 : 0);
      if (length < 260) {
        EXPECT_TRUE(badfiles::exists(path));
        EXPECT_FALSE(scratchLeft(d));
      } else {
        EXPECT_EQ(badfiles::entries(dir.path()), before) << "nothing is made for a refused path";
      }
    }
  }
}

TEST(Writers, ReplacingKeepsTheFilesPermissionsAndLinks) {
  for (const Writer& w : kWriters) {
    if (w.kind != Kind::kReplaces) continue;
    SCOPED_TRACE(w.name);
    TempDir dir;
    Records r(dir.path());
    const std::string file = dir / "old.txt", link = dir / "link.txt";
    badfiles::writeFile(file, kOld);
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    ASSERT_EQ(symlink("old.txt", link.c_str()), 0);
    ASSERT_EQ(w.write(r, link.c_str()), 1);
    struct stat st, lst;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    ASSERT_EQ(lstat(link.c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode)) << "the link stays a link";
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    const std::string now = badfiles::readFile(file);
    EXPECT_NE(now, kOld);
    EXPECT_GT(now.size(), 2000u);
    EXPECT_EQ(badfiles::entries(dir.path()), (std::set<std::string>{"link.txt", "old.txt", "result-for-golden.txt"}));

    // A file this process may not write is not replaced behind its back.
    if (geteuid() != 0) {
      ASSERT_EQ(chmod(file.c_str(), 0440), 0);
      EXPECT_EQ(w.write(r, file.c_str()), 0);
      EXPECT_EQ(badfiles::readFile(file), now);
    }
  }
}

TEST(Writers, AppendingKeepsWhatWasThere) {
  for (const Writer& w : kWriters) {
    if (w.kind == Kind::kReplaces) continue;
    SCOPED_TRACE(w.name);
    TempDir dir;
    Records r(dir.path());
    const std::string file = dir / "old.txt";
    badfiles::writeFile(file, kOld);
    ASSERT_EQ(w.write(r, file.c_str()), 1);
    const std::string now = badfiles::readFile(file);
    EXPECT_EQ(now.substr(0, kOld.size()), kOld);
    EXPECT_GT(now.size(), kOld.size() + 2000);
  }
}

}  // namespace
