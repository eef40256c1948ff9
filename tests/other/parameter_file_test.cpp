// Parameter files: two lines of "%03d " items, read back as free-form integers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qz/other.h"
#include "test_util.h"

namespace {

using qztest::TempDir;

ParaListInfo lists(uint8_t sections, uint8_t ap, uint8_t boot) {
  ParaListInfo info = {};
  info.sections = sections;
  info.apLength = ap;
  info.bootLength = boot;
  return info;
}

TEST(SaveParameterFile, WritesBothListsAsCrLfLines) {
  TempDir dir;
  const uint8_t bytes[] = {1, 2, 255, 0, 100, 7, 8, 9};
  // The section flags are not consulted: both lines are always written.
  ParaListInfo info = lists(0x00, 5, 3);
  ASSERT_EQ(SaveParameterFile((dir / "p.txt").c_str(), &info, bytes), 1);
  EXPECT_EQ(qztest::readFile(dir / "p.txt"), qztest::fixture("parameter.txt"));

  ParaListInfo empty = lists(0xC0, 0, 0);
  ASSERT_EQ(SaveParameterFile((dir / "p.txt").c_str(), &empty, bytes), 1);
  EXPECT_EQ(qztest::readFile(dir / "p.txt"), "\r\n\r\n") << "an older file is replaced";
}

TEST(SaveParameterFile, RoundTripsFullListsThroughLoad) {
  TempDir dir;
  std::vector<uint8_t> bytes(64 + 16);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 37 + 5);
  ParaListInfo info = lists(0xC0, 64, 16);
  ASSERT_EQ(SaveParameterFile((dir / "p.txt").c_str(), &info, bytes.data()), 1);
  std::string text = qztest::readFile(dir / "p.txt");
  EXPECT_EQ(text.size(), 64u * 4 + 2 + 16 * 4 + 2);
  EXPECT_EQ(text.find("\r\n"), 64u * 4);

  std::vector<uint8_t> back(bytes.size(), 0xEE);
  ASSERT_EQ(LoadParameterFile((dir / "p.txt").c_str(), &info, back.data()), 1);
  EXPECT_EQ(back, bytes);
}

TEST(SaveParameterFile, CreatesOneMissingDirectoryLevel) {
  TempDir dir;
  const uint8_t bytes[] = {42};
  ParaListInfo info = lists(0xC0, 1, 0);
  EXPECT_EQ(SaveParameterFile((dir / "new/p.txt").c_str(), &info, bytes), 1);
  EXPECT_EQ(qztest::readFile(dir / "new/p.txt"), "042 \r\n\r\n");
  EXPECT_EQ(SaveParameterFile((dir / "a/b/p.txt").c_str(), &info, bytes), 0)
      << "only one level is created";
  EXPECT_FALSE(qztest::exists(dir / "a"));
}

TEST(SaveParameterFile, RefusesPathsOf260CharactersOrMore) {
  TempDir dir;
  const uint8_t bytes[] = {42};
  ParaListInfo info = lists(0xC0, 1, 0);
  std::string sub = dir / std::string(100, 'd');
  for (size_t length : {259u, 260u, 400u}) {
    SCOPED_TRACE(length);
    std::string path = sub + "/" + std::string(length - sub.size() - 1, 'f');
    ASSERT_EQ(path.size(), length);
    EXPECT_EQ(SaveParameterFile(path.c_str(), &info, bytes), length < 260 ? 1 : 0);
    EXPECT_EQ(qztest::exists(path), length < 260);
  }
}

TEST(LoadParameterFile, ReadsTheSelectedListsFromWhateverLayout) {
  struct Case {
    const char* name;
    std::string text;
    uint8_t sections;
    std::vector<uint8_t> expected;  // the buffer afterwards, 8 bytes, 0xEE untouched
  };
  const Case cases[] = {
      {"both lists", qztest::fixture("parameter.txt"), 0xC0, {1, 2, 255, 0, 100, 7, 8, 9}},
      {"application only", qztest::fixture("parameter.txt"), 0x80,
       {1, 2, 255, 0, 100, 0xEE, 0xEE, 0xEE}},
      // The reader takes integers in turn: without the application list the boot list is
      // the file's first integers, stored at the buffer's start.
      {"boot only", qztest::fixture("parameter.txt"), 0x40, {1, 2, 255, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
      {"spread over lines", "1\n2\r\n\r\n 255\t0\n100 7 8 9", 0xC0, {1, 2, 255, 0, 100, 7, 8, 9}},
      {"low 8 bits", "256 300 -1 511 4294967297 0 0 0", 0xC0, {0, 44, 255, 255, 1, 0, 0, 0}},
      {"missing numbers are 0", "1 2", 0xC0, {1, 2, 0, 0, 0, 0, 0, 0}},
      {"text stops the numbers", "1 x 3", 0xC0, {1, 0, 0, 0, 0, 0, 0, 0}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qztest::writeFile(dir / "p.txt", c.text);
    ParaListInfo info = lists(c.sections, 5, 3);
    std::vector<uint8_t> buf(8, 0xEE);
    ASSERT_EQ(LoadParameterFile((dir / "p.txt").c_str(), &info, buf.data()), 1);
    EXPECT_EQ(buf, c.expected);
  }
}

TEST(LoadParameterFile, MissingFileFailsAndLeavesTheBuffer) {
  TempDir dir;
  ParaListInfo info = lists(0xC0, 2, 2);
  std::vector<uint8_t> buf(4, 0xEE);
  EXPECT_EQ(LoadParameterFile((dir / "none.txt").c_str(), &info, buf.data()), 0);
  EXPECT_EQ(LoadParameterFile(std::string(300, 'x').c_str(), &info, buf.data()), 0);
  EXPECT_EQ(LoadParameterFile(nullptr, &info, buf.data()), 0);
  EXPECT_EQ(buf, std::vector<uint8_t>(4, 0xEE));
}

}  // namespace
