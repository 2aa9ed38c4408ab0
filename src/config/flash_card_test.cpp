#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/flash_card.h"
#include "run_state.h"
#include "gtw/gtw.h"
#include "gtw/gtw_test_support.h"

namespace {

using testing::ExitedWithCode;
using Nodes = std::vector<std::pair<uint32_t, uint32_t>>;

// The entries the ranges are built from, in the order they were read.
std::vector<product_config> entries;

card_ranges ranges() {
  std::vector<const product_config *> given;
  for (const product_config &e : entries) {
    given.push_back(&e);
  }
  return card_erase_ranges(given.data(), static_cast<int>(given.size()));
}

Nodes nodes() {
  Nodes out;
  for (const card_range &r : ranges()) {
    out.emplace_back(r.start, r.end);
  }
  return out;
}

// Adds an entry read after the others; 1 when it takes the whole card.
int add(uint32_t romstart, uint32_t romsize) {
  product_config e{};
  e.romstart = romstart;
  e.romsize = romsize;
  e.read_order = static_cast<int32_t>(entries.size());
  entries.push_back(e);
  return takes_whole_card(e) ? 1 : 0;
}

void clear_entries() { entries.clear(); }

std::string probe(uint32_t start, uint32_t size) {
  char text[40];
  snprintf(text, sizeof text, "pf -a 0%X 0%X", start, size);
  return text;
}

std::string pair(uint32_t start, uint32_t size) {
  char text[40];
  snprintf(text, sizeof text, " 0%X 0%X", start, size);
  return text;
}

// A target on the other end of a socket pair.  Each command is answered with
// the reply line given for it (a "pf -a" without one gets the default
// reply), then the prompt; every command is recorded.  The reply kHangUp
// closes the connection instead.
const char kHangUp[] = "<hang up>";

class FakeTarget {
 public:
  explicit FakeTarget(std::map<std::string, std::string> replies,
                      std::string default_reply = "Available")
      : replies_(std::move(replies)), default_reply_(std::move(default_reply)) {
    if (!command_.ok() || !control_.ok()) {
      ADD_FAILURE() << "socketpair";
    }
    gtw.command_socket = command_.ours;
    gtw.control_socket = control_.ours;
    gtw.started = 0;  // lock mode: only the command connection is read
    thread_ = std::thread(
        [this] { command_.serve([this](const std::string &c) { return answer(c); }, {}, 60); });
  }
  ~FakeTarget() {
    if (thread_.joinable()) {
      finish();
    }
  }

  // Hangs up and returns the commands received.
  std::vector<std::string> finish() {
    command_.close_ours();
    control_.close_ours();
    thread_.join();
    return command_.commands;
  }

 private:
  std::optional<std::string> answer(const std::string &command) const {
    std::string line;
    if (auto it = replies_.find(command); it != replies_.end()) {
      line = it->second;
    } else if (command.rfind("pf -a ", 0) == 0) {
      line = default_reply_;
    } else {
      line = "Flash erased";
    }
    if (line == kHangUp) {
      return std::nullopt;
    }
    return line + "\r\nR$";
  }

  std::map<std::string, std::string> replies_;
  std::string default_reply_;
  gtw_test::peer_pair command_, control_;
  std::thread thread_;
};

class Ranges : public testing::Test {
 protected:
  void SetUp() override {
    clear_entries();
    verboseflag = 0;
    quokka = 1;  // the window is the card's only on a 38100B
  }
  void TearDown() override {
    clear_entries();
    quokka = 0;
  }

  // Runs the erase against a fake target and returns what it received.
  std::vector<std::string> erase(std::map<std::string, std::string> replies,
                                 std::string default_reply = "Available") {
    FakeTarget target(std::move(replies), std::move(default_reply));
    testing::internal::CaptureStderr();  // the erase's reply lines
    erase_flash_card(ranges());
    testing::internal::GetCapturedStderr();
    return target.finish();
  }
};

// ---- The list ----------------------------------------------------------------

TEST_F(Ranges, SortedInsertionMergesOnlyARangeThatEndsAtTheNextNode) {
  EXPECT_EQ(add(0x10040000, 0x40000), 0);
  EXPECT_EQ(add(0x10000000, 0x40000), 0);
  EXPECT_EQ(nodes(), (Nodes{{0x10000000, 0x1007FFFF}}));
  // The same list whatever order the entries are handed over in (a whole-
  // card entry moves to the table's first place): reading order decides.
  const product_config *swapped[] = {&entries[1], &entries[0]};
  EXPECT_EQ(card_erase_ranges(swapped, 2), ranges());

  clear_entries();
  add(0x10080000, 0x40000);
  add(0x10000000, 0x40000);
  add(0x10040000, 0x20000);     // between the two; touches the first only from behind
  add(0xA80000, 0x12345);       // the card through the old ROM window
  add(0x100F0000, 0xFFFFFFFF);  // runs past the address space: ends at its top
  EXPECT_EQ(nodes(), (Nodes{{0x10000000, 0x1003FFFF},
                            {0x10040000, 0x1007FFFF},
                            {0x10040000, 0x1005FFFF},
                            {0x10080000, 0x100BFFFF},
                            {0x100F0000, 0xFFFFFFFF}}));
}

TEST_F(Ranges, WholeCardGoesFirstAndKeepsItsLastQuarter) {
  EXPECT_EQ(add(0x10000000, 0x100000), 1);
  EXPECT_EQ(nodes(), (Nodes{{0x10000000, 0x1003FFFF}, {0x100C0000, 0x100FFFFF}}));

  // Its front quarter joins a range that starts right behind it ...
  clear_entries();
  add(0xA80000, 0x40000);
  EXPECT_EQ(add(0x10000000, 0x100000), 1);
  EXPECT_EQ(nodes(), (Nodes{{0x10000000, 0x1007FFFF}, {0x100C0000, 0x100FFFFF}}));

  // ... and is put in front of any other first node.
  clear_entries();
  add(0x10080000, 0x40000);
  add(0x10000000, 0x100000);
  EXPECT_EQ(nodes(),
            (Nodes{{0x10000000, 0x1003FFFF}, {0x10080000, 0x100BFFFF}, {0x100C0000, 0x100FFFFF}}));
}

// ---- Reply lines of the probe ------------------------------------------------

TEST(AvailReplyLine, FirstWordOfEitherKindDecides) {
  struct {
    const char *line;
    uint16_t before, after;
  } cases[] = {
      {"Flash area 010000000 040000: Available", 0, 1},
      {"A flash area Used", 1, 0},  // "A" and "area" are not the word
      {"Unused Available", 0, 1},   // nor is the "U" of "Unused"
      {"Used, not Available", 1, 0},
      {"Avail", 0, 0},  // neither word: unchanged
      {"available used", 1, 1},
  };
  for (const auto &c : cases) {
    uint16_t result = c.before;
    avail_reply_line(c.line, &result);
    EXPECT_EQ(result, c.after) << c.line;
  }
}

// ---- The erase ---------------------------------------------------------------

TEST_F(Ranges, NothingIsErasedWhenEveryRangeIsAvailable) {
  add(0x10000000, 0x40000);
  add(0x10080000, 0x40000);
  EXPECT_EQ(erase({}),
            (std::vector<std::string>{probe(0x10000000, 0x40000), probe(0x10080000, 0x40000)}));
}

TEST_F(Ranges, GapsInUseAreKept) {
  add(0xA80000, 0x40000);
  EXPECT_EQ(erase({{probe(0x10040000, 0x40000), "Used"}, {probe(0x10000000, 0x40000), "Used"}}),
            (std::vector<std::string>{probe(0x10040000, 0x40000), probe(0x10000000, 0x40000),
                                      probe(0x10080000, 0x80000), "pf -e 010000000 040000"}));
}

TEST_F(Ranges, AnAnswerNamingNeitherWordMeansInUse) {
  add(0x10000000, 0x40000);
  add(0x10080000, 0x40000);
  // Probing stops at the first range in use; a gap without a clear answer
  // is kept: nothing is erased that is not known to be free.
  EXPECT_EQ(
      erase({{probe(0x10000000, 0x40000), "Unreadable"}, {probe(0x100C0000, 0x40000), "???"}}),
      (std::vector<std::string>{probe(0x10000000, 0x40000), probe(0x10040000, 0x40000),
                                probe(0x100C0000, 0x40000), "pf -e 0100C0000 040000"}));
  // An "Available" does not carry over into the next probe.
  auto commands =
      erase({{probe(0x10000000, 0x40000), "Available"}, {probe(0x10080000, 0x40000), "no answer"}});
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back(), "pf -e");
}

TEST_F(Ranges, TheCardsLastByteIsAGapOfItsOwn) {
  add(0x100C0000, 0x3FFFF);  // ends one byte short of the card's end
  EXPECT_EQ(erase({}, "Used"),
            (std::vector<std::string>{probe(0x100C0000, 0x3FFFF), probe(0x10000000, 0xC0000),
                                      probe(0x100FFFFF, 1),
                                      "pf -e" + pair(0x10000000, 0xC0000) + pair(0x100FFFFF, 1)}));
}

TEST_F(Ranges, WholeCardProbesOnlyItsMiddle) {
  add(0x10000000, 0x100000);
  auto commands =
      erase({{probe(0x10000000, 0x40000), "Used"}, {probe(0x10040000, 0x80000), "Used"}});
  EXPECT_EQ(commands,
            (std::vector<std::string>{probe(0x10000000, 0x40000), probe(0x10040000, 0x80000),
                                      "pf -e 010040000 080000"}));
}

TEST_F(Ranges, OverlappingRangesNeverOpenAGapInsideARange) {
  add(0x10000000, 0x80000);
  add(0x10040000, 0x10000);  // inside the first; listed behind it
  auto commands = erase({}, "Used");
  EXPECT_EQ(commands,
            (std::vector<std::string>{probe(0x10000000, 0x80000), probe(0x10080000, 0x80000),
                                      "pf -e" + pair(0x10080000, 0x80000)}));
}

TEST_F(Ranges, LongKeepListIsSentWhole) {
  // Eleven small ranges leave twelve gaps, all in use: far more than the
  // 127 characters of a composed command.
  std::string expected = "pf -e";
  for (uint32_t k = 0; k < 11; k++) {
    add(0x10008000 + k * 0x10000, 0x8000);
    expected += pair(0x10000000 + k * 0x10000, 0x8000);
  }
  expected += pair(0x100B0000, 0x50000);
  ASSERT_GT(expected.size(), 127u);
  auto commands = erase({}, "Used");
  ASSERT_EQ(commands.size(), 1u + 12u + 1u);
  EXPECT_EQ(commands.back(), expected);
}

TEST_F(Ranges, KeepListThatCannotFitEndsTheRunBeforeAnyErase) {
  for (uint32_t k = 0; k < 40; k++) {
    add(0x10000000 + k * 0x4000 + 0x2000, 0x1000);
  }
  gtw_test::peer_pair target;
  ASSERT_TRUE(target.ok());
  // Only the first probe is answered: nothing more may follow it.
  ASSERT_TRUE(target.put("Used\r\nR$"));
  EXPECT_EXIT(
      {
        gtw.command_socket = gtw.control_socket = target.ours;
        gtw.started = 0;
        erase_flash_card(ranges());
      },
      ExitedWithCode(1),
      "^romupdate: Erase command too long: 41 flash areas outside the ranges, at most 17\n$");
  fcntl(target.theirs, F_SETFL, O_NONBLOCK);
  char buf[256];
  ssize_t n = read(target.theirs, buf, sizeof buf);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), probe(0x10002000, 0x1000) + "\n");
}

TEST_F(Ranges, FailingCommandsEndTheRun) {
  add(0x10000000, 0x40000);
  EXPECT_EXIT(
      {
        FakeTarget target({{probe(0x10000000, 0x40000), "!ERROR flash locked"}});
        erase_flash_card(ranges());
      },
      ExitedWithCode(1), "!ERROR flash locked");
  EXPECT_EXIT(
      {
        FakeTarget target(
            {{probe(0x10040000, 0xC0000), "Available"}, {"pf -e", "!ERROR erase failed"}}, "Used");
        erase_flash_card(ranges());
      },
      ExitedWithCode(1), "!ERROR erase failed");
  // A target that drops the connection fails the run instead of hanging it.
  EXPECT_EXIT(
      {
        FakeTarget target({{probe(0x10000000, 0x40000), "Used"}}, kHangUp);
        erase_flash_card(ranges());
      },
      ExitedWithCode(1), "");
}

}  // namespace
