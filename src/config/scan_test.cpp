#include "config/scan.h"

#include <gtest/gtest.h>

namespace {

TEST(Scan, HexReadsLikeA32BitLong) {
  struct {
    std::string_view text;
    uint32_t value;
  } cases[] = {
      {"280000", 0x280000},
      {"0x280000", 0x280000},
      {"0X280000", 0x280000},
      {"280000H", 0x280000},
      {" \t\n2b", 0x2B},
      {"+10", 0x10},
      {"12 34", 0x12},
      {"0xg", 0},
      {"-1", 0xFFFFFFFF},
      {"-0x10", 0xFFFFFFF0},
      {"FFFFFFFF", 0xFFFFFFFF},
      {"100000000", 0xFFFFFFFF},
      {"-100000000", 0xFFFFFFFF},
      {"0000000000000012", 0x12},
      {std::string_view("12345", 2), 0x12},
  };
  for (const auto &c : cases) {
    uint32_t v = 0xDEADBEEF;
    EXPECT_TRUE(scan_hex32(c.text, &v)) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
  uint16_t h = 0;
  ASSERT_TRUE(scan_hex16("12345", &h));
  EXPECT_EQ(h, 0x2345);
  ASSERT_TRUE(scan_hex16("123456789", &h));
  EXPECT_EQ(h, 0xFFFF);
}

TEST(Scan, DecimalAndStrtolSaturateAtTheSignedLimits) {
  int32_t d = 0;
  for (auto [text, value] : {std::pair<const char *, int32_t>{"  -16x", -16},
                             {"2147483648", INT32_MAX},
                             {"-2147483648", INT32_MIN},
                             {"-99999999999999999999", INT32_MIN},
                             {"0x10", 0}}) {
    ASSERT_TRUE(scan_dec32(text, &d)) << text;
    EXPECT_EQ(d, value) << text;
  }
  uint32_t s = 0;
  for (auto [text, value] : {std::pair<const char *, uint32_t>{"80000000", 0x7FFFFFFF},
                             {"-80000000", 0x80000000},
                             {"-FFFFFFFFF", 0x80000000},
                             {"-5", 0xFFFFFFFB},
                             {"0x38100B rest", 0x38100B}}) {
    ASSERT_TRUE(scan_strtol16(text, &s)) << text;
    EXPECT_EQ(s, value) << text;
  }
}

TEST(Scan, NothingConvertedLeavesTheValue) {
  for (std::string_view text : {"", "   ", "zz", "-", "+", "x12", "- 1", "#12", "Used"}) {
    uint32_t h = 7, s = 7;
    uint16_t h16 = 7;
    EXPECT_FALSE(scan_hex32(text, &h) || scan_hex16(text, &h16) || scan_strtol16(text, &s)) << text;
    EXPECT_TRUE(h == 7 && h16 == 7 && s == 7) << text;
  }
  int32_t d = 7;
  EXPECT_FALSE(scan_dec32("A1", &d));
  EXPECT_EQ(d, 7);
}

}  // namespace
