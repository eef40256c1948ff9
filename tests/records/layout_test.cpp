// Record layouts are a fixed point shared with callers and other libraries: sizes and
// offsets must be the same in C and in C++ and must not move.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "layout_table.h"

namespace {

#define QZ_CXX_SIZE(type, bytes) {#type, sizeof(type), bytes},
#define QZ_CXX_FIELD(type, field, offset) {#type "." #field, offsetof(type, field), offset},

const QzLayoutEntry kCxx[] = {QZ_LAYOUT(QZ_CXX_SIZE, QZ_CXX_FIELD){nullptr, 0, 0}};

TEST(RecordLayout, MatchesTheFixedLayoutInCAndCxx) {
  if (sizeof(void*) != 8) GTEST_SKIP() << "the fixed offsets are those of 64-bit systems";
  size_t i = 0;
  for (; kCxx[i].name; ++i) {
    SCOPED_TRACE(kCxx[i].name);
    ASSERT_NE(qz_layout_c[i].name, nullptr) << "C table ends early";
    EXPECT_STREQ(qz_layout_c[i].name, kCxx[i].name);
    EXPECT_EQ(kCxx[i].measured, kCxx[i].expected) << "C++";
    EXPECT_EQ(qz_layout_c[i].measured, kCxx[i].expected) << "C";
  }
  EXPECT_EQ(qz_layout_c[i].name, nullptr) << "C table is longer";
}

}  // namespace
