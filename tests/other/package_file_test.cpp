// Firmware package files: verified blocks, the two-block rule of ".qzc" files, and a
// record that is safe to release after any outcome.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qz/other.h"
#include "test_util.h"

namespace {

using qztest::TempDir;

// A valid block around data, with fill bytes in the uninterpreted header places.
std::string block(const std::string& data, uint8_t fill) {
  std::string b = "QZFF";
  for (int i = 0; i < 4; ++i) b += char(fill + i);
  uint32_t n = uint32_t(data.size());
  for (int i = 0; i < 4; ++i) b += char(n >> (8 * i));
  for (int i = 0; i < 3; ++i) b += char(fill + 4 + i);
  uint8_t sum = 0;
  for (char c : b) sum = uint8_t(sum + uint8_t(c));
  b += char(0xFF - sum);
  uint32_t dataSum = 0;
  for (char c : data) dataSum += uint8_t(c);
  uint32_t check = 0xFFFFFFFFu - dataSum;
  b += data;
  for (int i = 0; i < 4; ++i) b += char(check >> (8 * i));
  return b;
}

std::string dataOf(const FirmwarePackage& p) {
  uint32_t n;
  memcpy(&n, p.header + 8, 4);
  return std::string(reinterpret_cast<const char*>(p.data), n);
}

bool allZero(const FirmwarePackage& p) {
  FirmwarePackage zero = {};
  return memcmp(&p, &zero, sizeof p) == 0;
}

TEST(LoadQZFFile, LoadsTheCommittedOneBlockFile) {
  FirmwarePackage pkg = {};
  std::string path = std::string(QZ_FIXTURE_DIR) + "/one_block.qzf";
  ASSERT_EQ(LoadQZFFile(path.c_str(), &pkg), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pkg.header), 16),
            qztest::fixture("one_block.qzf").substr(0, 16));
  ASSERT_NE(pkg.data, nullptr);
  EXPECT_EQ(dataOf(pkg), "ABC");
  EXPECT_EQ(pkg.next, nullptr);
  EXPECT_EQ(ReleaseQZFFile(&pkg), 1);
  EXPECT_TRUE(allZero(pkg));
}

TEST(LoadQZFFile, BlockCountFollowsTheQzcEnding) {
  struct Case {
    const char* name;
    int blocksInFile;
    int32_t result;
    int blocksLoaded;
  };
  const Case cases[] = {
      {"fw.qzc", 2, 1, 2}, {"fw.QZC", 2, 1, 2}, {"fw.qZc", 2, 1, 2},
      {"fw.qzf", 2, 1, 1},  // a second block is not read
      {"fw.qzc", 1, 0, 0},  // the second block is due
      {"fw.qzcx", 2, 1, 1}, {"qzc", 2, 1, 1}, {"a.qzc.bak", 2, 1, 1},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " with " + std::to_string(c.blocksInFile) + " blocks");
    std::string bytes = block("first", 0x10);
    if (c.blocksInFile == 2) bytes += block("second block", 0x20);
    bytes += "trailing bytes are not read";
    qztest::writeFile(dir / c.name, bytes);
    FirmwarePackage pkg = {};
    ASSERT_EQ(LoadQZFFile((dir / c.name).c_str(), &pkg), c.result);
    if (c.blocksLoaded == 0) {
      EXPECT_EQ(pkg.data, nullptr);
      EXPECT_EQ(pkg.next, nullptr);
    } else {
      EXPECT_EQ(dataOf(pkg), "first");
      EXPECT_EQ(pkg.header[4], 0x10);
      ASSERT_EQ(pkg.next != nullptr, c.blocksLoaded == 2);
      if (pkg.next) {
        EXPECT_EQ(dataOf(*pkg.next), "second block");
        EXPECT_EQ(pkg.next->header[14], 0x26);
        EXPECT_EQ(pkg.next->next, nullptr);
      }
    }
    EXPECT_EQ(ReleaseQZFFile(&pkg), 1);
    EXPECT_TRUE(allZero(pkg));
    EXPECT_EQ(ReleaseQZFFile(&pkg), 1) << "a second release is harmless";
  }
}

TEST(LoadQZFFile, EmptyBlockLoadsWithADataBuffer) {
  TempDir dir;
  std::string bytes = block("", 0);
  ASSERT_EQ(bytes.substr(16), std::string(4, '\xFF'));
  qztest::writeFile(dir / "empty.qzf", bytes);
  FirmwarePackage pkg = {};
  ASSERT_EQ(LoadQZFFile((dir / "empty.qzf").c_str(), &pkg), 1);
  EXPECT_NE(pkg.data, nullptr);
  ReleaseQZFFile(&pkg);
}

TEST(LoadQZFFile, AnySingleChangedOrMissingByteFailsTheLoad) {
  TempDir dir;
  const std::string good = block("data of block one", 0x31) + block("two", 0x41);
  const std::string path = dir / "fw.qzc";
  for (size_t i = 0; i < good.size(); ++i) {
    SCOPED_TRACE("byte " + std::to_string(i));
    std::string bad = good;
    bad[i] = char(bad[i] ^ 0x01);
    qztest::writeFile(path, bad);
    FirmwarePackage pkg = {};
    ASSERT_EQ(LoadQZFFile(path.c_str(), &pkg), 0);
    EXPECT_EQ(pkg.data, nullptr);
    EXPECT_EQ(pkg.next, nullptr);
    EXPECT_EQ(ReleaseQZFFile(&pkg), 1);
  }
  for (size_t n = 0; n < good.size(); ++n) {
    SCOPED_TRACE("cut to " + std::to_string(n) + " bytes");
    qztest::writeFile(path, good.substr(0, n));
    FirmwarePackage pkg = {};
    ASSERT_EQ(LoadQZFFile(path.c_str(), &pkg), 0);
    EXPECT_EQ(pkg.data, nullptr);
    EXPECT_EQ(pkg.next, nullptr);
  }
}

TEST(LoadQZFFile, LengthBeyondTheFileFailsWithoutAllocating) {
  // Header check right, length 0xFFFFFFF0: the file cannot hold it.
  std::string bytes = block("", 0);
  bytes[8] = char(0xF0);
  bytes[9] = bytes[10] = bytes[11] = char(0xFF);
  uint8_t sum = 0;
  for (int i = 0; i < 15; ++i) sum = uint8_t(sum + uint8_t(bytes[i]));
  bytes[15] = char(0xFF - sum);
  TempDir dir;
  qztest::writeFile(dir / "big.qzf", bytes);
  FirmwarePackage pkg = {};
  EXPECT_EQ(LoadQZFFile((dir / "big.qzf").c_str(), &pkg), 0);
  EXPECT_EQ(pkg.data, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pkg.header), 16), bytes.substr(0, 16))
      << "the header read stays in the record";
}

TEST(LoadQZFFile, UnopenableFileLeavesTheRecordUntouched) {
  TempDir dir;
  FirmwarePackage pkg;
  memset(&pkg, 0x5A, sizeof pkg);
  FirmwarePackage before = pkg;
  EXPECT_EQ(LoadQZFFile((dir / "missing.qzf").c_str(), &pkg), 0);
  EXPECT_EQ(LoadQZFFile(std::string(300, 'a').c_str(), &pkg), 0);
  EXPECT_EQ(LoadQZFFile(nullptr, &pkg), 0);
  EXPECT_EQ(memcmp(&pkg, &before, sizeof pkg), 0);
  EXPECT_EQ(ReleaseQZFFile(nullptr), 0);
}

}  // namespace
