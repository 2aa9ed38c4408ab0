#include "words.h"

#include <gtest/gtest.h>

using strings = std::vector<std::string>;

TEST(SplitCommands, SeparatesAtSemicolonsAndTrims) {
  EXPECT_EQ(split_commands("lanlk -e;lockinfo"), (strings{"lanlk -e", "lockinfo"}));
  EXPECT_EQ(split_commands("  ver ;  po -p $  "), (strings{"ver", "po -p $"}));
  EXPECT_EQ(split_commands(";;ver;;"), (strings{"ver"}));
  EXPECT_EQ(split_commands(""), strings{});
}

TEST(SplitCommands, KeepsBracesAndQuotesWhole) {
  // The lock marker definition of the update program, as it arrives.
  std::string marker =
      "mac lockinfo={echo \"user: 1000\" \\0A \"userinterface: 4 (gateway)\" \\0A \"host name: h\" "
      "\\0A  }";
  EXPECT_EQ(split_commands(marker + ";lanlk -d"), (strings{marker, "lanlk -d"}));
  EXPECT_EQ(split_commands("mac a={x;{y;z};w};b"), (strings{"mac a={x;{y;z};w}", "b"}));
  EXPECT_EQ(split_commands("echo \"a;b\";c"), (strings{"echo \"a;b\"", "c"}));
  EXPECT_EQ(split_commands("echo \"a\\\";b\";c"), (strings{"echo \"a\\\";b\"", "c"}));
  // A brace inside quotes does not open a group.
  EXPECT_EQ(split_commands("echo \"{\";c"), (strings{"echo \"{\"", "c"}));
  // An unbalanced close brace does not swallow the rest.
  EXPECT_EQ(split_commands("a};b"), (strings{"a}", "b"}));
}

TEST(ParseHex, AcceptsTheProgramsNumberForms) {
  EXPECT_EQ(parse_hex32("010000000"), 0x10000000u);
  EXPECT_EQ(parse_hex32("0F5C0000"), 0xF5C0000u);
  EXPECT_EQ(parse_hex32("2ffff7"), 0x2FFFF7u);
  EXPECT_EQ(parse_hex32("0x40000"), 0x40000u);
  EXPECT_EQ(parse_hex32("0FFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(parse_hex32("100000000"), std::nullopt);
  EXPECT_EQ(parse_hex32(""), std::nullopt);
  EXPECT_EQ(parse_hex32("0x"), std::nullopt);
  EXPECT_EQ(parse_hex32("12G"), std::nullopt);
  EXPECT_EQ(parse_hex32("-1"), std::nullopt);
}
