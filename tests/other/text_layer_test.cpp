// The text-mode file layer and the comma-separated field reader, on memory streams.
#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "internal.h"
#include "test_util.h"
#include "textfile/textfile.h"

namespace {

// A read-only stream over a copy of text (fmemopen refuses empty buffers on some systems).
class MemoryStream {
 public:
  explicit MemoryStream(const std::string& text) : data_(text) {
    f_ = data_.empty() ? fopen("/dev/null", "rb") : fmemopen(data_.data(), data_.size(), "rb");
  }
  ~MemoryStream() {
    if (f_) fclose(f_);
  }
  FILE* get() const { return f_; }

 private:
  std::string data_;
  FILE* f_;
};

std::string written(void (*write)(qz::text::Writer&)) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  qz::text::Writer w(f);
  write(w);
  EXPECT_TRUE(w.close());
  std::string s(buf, len);
  free(buf);
  return s;
}

TEST(TextWriter, StoresEveryLineFeedAsCrLf) {
  EXPECT_EQ(written([](qz::text::Writer& w) {
              w.put("a\nb\r\n\n");
              w.format("%d\n", 5);
              w.putField("abc\ndef", 5);  // a fixed field: 5 bytes, no terminator needed
            }),
            "a\r\nb\r\r\n\r\n5\r\nabc\r\nd");
}

TEST(TextReader, DropsOnlyTheCrBeforeLf) {
  MemoryStream s("a\r\nb\r\rc\r\n\r\r\nd\r");
  qz::text::Reader r(s.get());
  std::string got;
  for (int c; (c = r.get()) != EOF;) got += char(c);
  EXPECT_EQ(got, "a\nb\r\rc\n\r\nd\r");
}

TEST(TextReader, ReadsIntegersAsScanfDoes) {
  MemoryStream s(" 12\r\n-3\t+4 4294967297 -2147483648 -\n7 x 9");
  qz::text::Reader r(s.get());
  std::vector<int32_t> got;
  int32_t v = 0;
  while (r.readInt(&v)) got.push_back(v);
  // A lone sign is taken, the blank after it stops the number; the next one reads on.
  EXPECT_EQ(got, (std::vector<int32_t>{12, -3, 4, 1, INT32_MIN}));
  v = 99;
  EXPECT_TRUE(r.readInt(&v));
  EXPECT_EQ(v, 7);
  EXPECT_FALSE(r.readInt(&v));
  EXPECT_FALSE(r.readInt(&v)) << "text stays in the way";
  EXPECT_EQ(v, 7) << "untouched on failure";
  EXPECT_EQ(r.get(), 'x');
}

TEST(TextParse, ParseIntAndParseDoubleReadLikeAtoiAndAtof) {
  struct Case {
    const char* text;
    int32_t asInt;
    double asDouble;
  };
  const Case cases[] = {
      {"42abc", 42, 42.0},          {"  -7", -7, -7.0},
      {"+15.6", 15, 15.6},          {"99999999999", INT32_MAX, 99999999999.0},
      {"-99999999999", INT32_MIN, -99999999999.0},
      {"x12", 0, 0.0},              {"", 0, 0.0},
      {"1,5", 1, 1.0},              {"1e3", 1, 1000.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(qz::text::parseInt(c.text), c.asInt);
    EXPECT_EQ(qz::text::parseDouble(c.text), c.asDouble);
  }
}

TEST(TextLayer, NumbersStayInTheCLocaleUnderAGermanLocale) {
  qztest::GermanLocale german;
  if (!german.available()) GTEST_SKIP() << "de_DE.UTF-8 is missing and cannot be generated (localedef)";
  char check[16];
  snprintf(check, sizeof check, "%.2f", 1.5);
  ASSERT_STREQ(check, "1,50") << "the process locale is really German";

  EXPECT_EQ(written([](qz::text::Writer& w) { w.format("%.2f %g %g", 1.5, 15.6, 1e-5); }),
            "1.50 15.6 1e-05");
  EXPECT_EQ(qz::text::parseDouble("15.6"), 15.6);
  EXPECT_EQ(qz::text::parseDouble("15,6"), 15.0);
}

TEST(ReadToken, SplitsFieldsTrimsAndCuts) {
  struct Field {
    std::string text;
    bool ended;
  };
  struct Case {
    const char* name;
    std::string input;
    std::vector<Field> fields;  // then one more read gives ("", false)
  };
  const Case cases[] = {
      {"commas and line ends", "a,b\nc", {{"a", true}, {"b", true}, {"c", false}}},
      {"white space around", "  x y \t,\r\n\tz ", {{"x y", true}, {"", true}, {"z", false}}},
      {"empty fields", ",,\n", {{"", true}, {"", true}, {"", true}}},
      {"lone CR is white space", "\rv\r,w", {{"v", true}, {"w", false}}},
      {"cut to 63 characters", std::string(100, 'k') + ",next",
       {{std::string(63, 'k'), true}, {"next", false}}},
      {"cut then trimmed", std::string(62, 'k') + "  tail,n",
       {{std::string(62, 'k'), true}, {"n", false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryStream s(c.input);
    qz::text::Reader r(s.get());
    char buf[qz::other::kFieldSize];
    for (const Field& f : c.fields) {
      EXPECT_EQ(qz::other::readToken(r, buf, sizeof buf), f.ended);
      EXPECT_EQ(std::string(buf), f.text);
    }
    EXPECT_FALSE(qz::other::readToken(r, buf, sizeof buf));
    EXPECT_STREQ(buf, "");
  }
}

}  // namespace
