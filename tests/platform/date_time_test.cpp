#include "platform/date_time.h"

#include <gtest/gtest.h>

namespace sentrel {
namespace {

TEST(DateTimeTest, FormatsTheFixedFormAndTheDateAloneAtMidnight) {
  double d = EncodeDate(2026, 12, 6);
  EXPECT_EQ(FormatDateTime(d + EncodeTime(14, 3, 7)), "2026-12-06 14:03:07");
  EXPECT_EQ(FormatDateTime(d), "2026-12-06");
  EXPECT_EQ(FormatDateTime(d + EncodeTime(0, 0, 0, 500)), "2026-12-06 00:00:00");
  EXPECT_EQ(FormatDateTime(0), "1899-12-30");
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
  // A value a hair below midnight rounds into the next day, not to "24:00:00".
  EXPECT_EQ(FormatDateTime(d + 1 - 1e-10), "2026-12-07");
  EXPECT_EQ(FormatTime(d + EncodeTime(23, 59, 59, 999)), "23:59:59");
}

TEST(DateTimeTest, ParsesWhatItWritesAndRejectsEverythingElse) {
  double v = EncodeDate(2024, 2, 29) + EncodeTime(8, 9, 10);
  auto back = ParseDateTime("2024-02-29", "08:09:10");
  ASSERT_TRUE(back);
  EXPECT_EQ(FormatDateTime(*back), FormatDateTime(v));
  EXPECT_FALSE(ParseDate("2023-02-29"));
  EXPECT_FALSE(ParseDate("06.12.2026"));
  EXPECT_FALSE(ParseDate("2026-1-06"));
  EXPECT_FALSE(ParseDate("Ping:Unable"));
  EXPECT_FALSE(ParseTime("24:00:00"));
  EXPECT_FALSE(ParseTime("12:00"));
  EXPECT_FALSE(ParseTime("ab:cd:ef"));
}

}  // namespace
}  // namespace sentrel
