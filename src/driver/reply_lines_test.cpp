// Reading the target's reply lines: its class from "ver", numbers from
// "pf -i" and "m -a2".
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "driver/romupdate.h"

namespace {

struct target_class {
  int yak, quokka, marlin;
  bool operator==(const target_class &) const = default;
};

void PrintTo(const target_class &c, std::ostream *os) {
  *os << "{yak " << c.yak << ", quokka " << c.quokka << ", marlin " << c.marlin << "}";
}

// Feeds the lines of one "ver" reply with progress messages on; returns the
// class and, through `said`, what was printed.
target_class classify(std::initializer_list<const char *> lines, std::string *said = nullptr) {
  yak = quokka = marlin = 0;
  verboseflag = 1;
  testing::internal::CaptureStderr();
  for (const char *line : lines) {
    ver_reply_line(line, nullptr);
  }
  std::string text = testing::internal::GetCapturedStderr();
  verboseflag = 0;
  if (said) {
    *said = text;
  }
  return {yak, quokka, marlin};
}

}  // namespace

TEST(VerReply, EachPatternSetsItsClass) {
  std::string said;
  EXPECT_EQ(classify({"XR 38100B System Rev A.03.00 (c)"}, &said), (target_class{0, 1, 0}));
  EXPECT_EQ(said, "Mainframe is a 38100B\n");

  EXPECT_EQ(classify({"Model 38100 B rev 2"}, &said), (target_class{0, 1, 0}));
  EXPECT_EQ(said, "Mainframe is a 38100 B\n");

  EXPECT_EQ(classify({"38100 Series Emulator"}, &said), (target_class{0, 0, 1}));
  EXPECT_EQ(said, "Mainframe is a 38100A\n");

  EXPECT_EQ(classify({"T5821 Processor Probe"}, &said), (target_class{1, 0, 0}));
  EXPECT_EQ(said, "Mainframe is a processor probe\n");
}

TEST(VerReply, NearMissesMatchNothing) {
  std::string said;
  for (const char *line :
       {"38100 Bx", "38100 B", "38100 Serie", "38100C", "3810B", "ver 1.0", ""}) {
    EXPECT_EQ(classify({line}, &said), (target_class{0, 0, 0})) << line;
    EXPECT_EQ(said, "") << line;
  }
}

TEST(VerReply, CandidatesAfterTheFirst) {
  // The search starts at the first "38100", not at a lone "3" before it.
  EXPECT_EQ(classify({"3 38100B"}), (target_class{0, 1, 0}));
  // A rejected candidate moves on through every later "3".
  EXPECT_EQ(classify({"38100X 3 33 38100B"}), (target_class{0, 1, 0}));
  EXPECT_EQ(classify({"38100-38100 Series"}), (target_class{0, 0, 1}));
  // The first matching pattern on the line ends it.
  EXPECT_EQ(classify({"38100B 38100 Series"}), (target_class{0, 1, 0}));
}

TEST(VerReply, LaterLinesChangeTheOutcome) {
  // The probe line wins over 38100B on the same line.
  EXPECT_EQ(classify({"T5821 in 38100B"}), (target_class{1, 0, 0}));
  // A probe line clears an earlier 38100B; a later 38100B sets it again.
  EXPECT_EQ(classify({"38100B", "T5821"}), (target_class{1, 0, 0}));
  EXPECT_EQ(classify({"38100B", "T5821", "38100B"}), (target_class{1, 1, 0}));
  EXPECT_EQ(classify({"38100 Series", "38100B"}), (target_class{0, 1, 1}));
}

TEST(NumberReplies, HexReplyTakesTheLeadingNumber) {
  reply_number n{0xFFFFFFFF, false};
  hex_reply_line("no number here", &n);
  EXPECT_FALSE(n.seen);
  EXPECT_EQ(n.value, 0xFFFFFFFFu);

  hex_reply_line("  0x5806 hardware", &n);
  EXPECT_TRUE(n.seen);
  EXPECT_EQ(n.value, 0x5806u);

  // The last line with a number wins; a later line without one changes
  // nothing.
  hex_reply_line("ff20", &n);
  hex_reply_line("R", &n);
  EXPECT_EQ(n.value, 0xFF20u);
  EXPECT_TRUE(n.seen);
}

TEST(NumberReplies, SecondTokenReply) {
  reply_number n{0, false};
  for (const char *line : {"", "0a6e", "0a6e   ", "0a6e zz"}) {
    second_token_reply_line(line, &n);
    EXPECT_FALSE(n.seen) << line;
  }
  EXPECT_EQ(n.value, 0u);

  second_token_reply_line("0a6e 7b3f", &n);
  EXPECT_TRUE(n.seen);
  EXPECT_EQ(n.value, 0x7b3fu);

  second_token_reply_line("\t0a6e\t\t12 34", &n);
  EXPECT_EQ(n.value, 0x12u);

  // A zero read from the register is a value like any other.
  second_token_reply_line("0a6e 0", &n);
  EXPECT_EQ(n.value, 0u);
  EXPECT_TRUE(n.seen);
}
