#include "args.h"

#include <gtest/gtest.h>

TEST(AbsArgsTest, Address) {
  uint32_t a = 7;
  EXPECT_TRUE(parse_address("280000", &a));
  EXPECT_EQ(a, 0x280000u);
  EXPECT_TRUE(parse_address("0x100C0000", &a));
  EXPECT_EQ(a, 0x100C0000u);
  EXPECT_TRUE(parse_address("0XffffFFFF", &a));
  EXPECT_EQ(a, 0xFFFFFFFFu);
  EXPECT_TRUE(parse_address("0", &a));
  EXPECT_EQ(a, 0u);
  EXPECT_TRUE(parse_address("0000000010", &a));
  EXPECT_EQ(a, 0x10u);
  EXPECT_TRUE(parse_address("280000H", &a));  // as configuration files write it
  EXPECT_EQ(a, 0x280000u);
  EXPECT_TRUE(parse_address("0x1fh", &a));
  EXPECT_EQ(a, 0x1Fu);
  a = 7;
  for (const char *bad :
       {"", "0x", "100000000", "12g", "-1", " 10", "10 ", "H", "0xH", "10HH", "100000000H"}) {
    EXPECT_FALSE(parse_address(bad, &a)) << bad;
    EXPECT_EQ(a, 7u) << bad;
  }
}

TEST(AbsArgsTest, SizeAndSeed) {
  uint64_t s = 7;
  EXPECT_TRUE(parse_size("4K", &s));
  EXPECT_EQ(s, 4096u);
  EXPECT_TRUE(parse_size("64m", &s));
  EXPECT_EQ(s, 64u << 20);
  EXPECT_TRUE(parse_size("100", &s));
  EXPECT_EQ(s, 100u);
  EXPECT_TRUE(parse_size("4096M", &s));
  EXPECT_EQ(s, uint64_t{1} << 32);
  s = 7;
  for (const char *bad :
       {"", "K", "4097M", "4194305K", "4294967297", "1G", "0x10", "99999999999999999999"}) {
    EXPECT_FALSE(parse_size(bad, &s)) << bad;
    EXPECT_EQ(s, 7u) << bad;
  }
  EXPECT_TRUE(parse_seed("18446744073709551615", &s));
  EXPECT_EQ(s, UINT64_MAX);
  EXPECT_FALSE(parse_seed("18446744073709551616", &s));
  EXPECT_FALSE(parse_seed("-3", &s));
}
