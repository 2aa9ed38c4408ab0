#include "config/scan.h"

#include <gtest/gtest.h>

namespace {

uint32_t hex32(std::string_view text) {
  uint32_t v = 0xDEADBEEF;
  EXPECT_TRUE(scan_hex32(text, &v)) << text;
  return v;
}

TEST(ScanHex32, ReadsDigitsUpToTheFirstOtherCharacter) {
  EXPECT_EQ(hex32("280000"), 0x280000u);
  EXPECT_EQ(hex32("0x280000"), 0x280000u);
  EXPECT_EQ(hex32("0X280000"), 0x280000u);
  EXPECT_EQ(hex32("280000H"), 0x280000u);
  EXPECT_EQ(hex32(" \t\n280000"), 0x280000u);
  EXPECT_EQ(hex32("abcDEF"), 0xABCDEFu);
  EXPECT_EQ(hex32("+10"), 0x10u);
  EXPECT_EQ(hex32("12 34"), 0x12u);
}

TEST(ScanHex32, SignAndOverflowFollowA32BitLong) {
  EXPECT_EQ(hex32("-1"), 0xFFFFFFFFu);
  EXPECT_EQ(hex32("-0x10"), 0xFFFFFFF0u);
  EXPECT_EQ(hex32("FFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(hex32("100000000"), 0xFFFFFFFFu);
  EXPECT_EQ(hex32("123456789ABCDEF0123"), 0xFFFFFFFFu);
  EXPECT_EQ(hex32("-100000000"), 0xFFFFFFFFu);
  EXPECT_EQ(hex32("000000000000000000012"), 0x12u);
}

TEST(ScanHex32, APrefixWithoutDigitsIsTheNumberZero) {
  EXPECT_EQ(hex32("0x"), 0u);
  EXPECT_EQ(hex32("0xg"), 0u);
}

TEST(ScanHex32, NothingConvertedLeavesTheValue) {
  for (std::string_view text : {"", "   ", "zz", "-", "+", "x12", "- 1", "#12", "H"}) {
    uint32_t v = 0x1234;
    EXPECT_FALSE(scan_hex32(text, &v)) << text;
    EXPECT_EQ(v, 0x1234u) << text;
  }
}

TEST(ScanHex32, StopsAtTheEndOfTheView) {
  // The view may end inside a longer text; nothing behind it is read.
  std::string_view text("12345", 2);
  EXPECT_EQ(hex32(text), 0x12u);
}

TEST(ScanHex16, TruncatesTheLongResult) {
  uint16_t v = 0;
  ASSERT_TRUE(scan_hex16("1234", &v));
  EXPECT_EQ(v, 0x1234);
  ASSERT_TRUE(scan_hex16("12345", &v));
  EXPECT_EQ(v, 0x2345);
  ASSERT_TRUE(scan_hex16("-1", &v));
  EXPECT_EQ(v, 0xFFFF);
  ASSERT_TRUE(scan_hex16("123456789", &v));
  EXPECT_EQ(v, 0xFFFF);
  v = 7;
  EXPECT_FALSE(scan_hex16("q", &v));
  EXPECT_EQ(v, 7);
}

TEST(ScanDec32, SignedDecimalSaturatesAtTheLimits) {
  int32_t v = 0;
  ASSERT_TRUE(scan_dec32("300", &v));
  EXPECT_EQ(v, 300);
  ASSERT_TRUE(scan_dec32("  -16x", &v));
  EXPECT_EQ(v, -16);
  ASSERT_TRUE(scan_dec32("2147483647", &v));
  EXPECT_EQ(v, INT32_MAX);
  ASSERT_TRUE(scan_dec32("2147483648", &v));
  EXPECT_EQ(v, INT32_MAX);
  ASSERT_TRUE(scan_dec32("-2147483648", &v));
  EXPECT_EQ(v, INT32_MIN);
  ASSERT_TRUE(scan_dec32("-99999999999999999999", &v));
  EXPECT_EQ(v, INT32_MIN);
  ASSERT_TRUE(scan_dec32("0x10", &v));  // decimal: the "x" ends it
  EXPECT_EQ(v, 0);
  v = 5;
  EXPECT_FALSE(scan_dec32("A1", &v));
  EXPECT_FALSE(scan_dec32("-", &v));
  EXPECT_EQ(v, 5);
}

TEST(ScanStrtol16, SaturatesAtTheSignedLimits) {
  uint32_t v = 0;
  ASSERT_TRUE(scan_strtol16("7FFFFFFF", &v));
  EXPECT_EQ(v, 0x7FFFFFFFu);
  ASSERT_TRUE(scan_strtol16("80000000", &v));
  EXPECT_EQ(v, 0x7FFFFFFFu);
  ASSERT_TRUE(scan_strtol16("-80000000", &v));
  EXPECT_EQ(v, 0x80000000u);
  ASSERT_TRUE(scan_strtol16("-FFFFFFFFF", &v));
  EXPECT_EQ(v, 0x80000000u);
  ASSERT_TRUE(scan_strtol16("-5", &v));
  EXPECT_EQ(v, 0xFFFFFFFBu);
  ASSERT_TRUE(scan_strtol16("0x38100B rest", &v));
  EXPECT_EQ(v, 0x38100Bu);
  v = 9;
  EXPECT_FALSE(scan_strtol16("Used", &v));
  EXPECT_EQ(v, 9u);
}

}  // namespace
