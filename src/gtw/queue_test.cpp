#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "bounds.h"
#include "gtw/gtw.h"
#include "gtw/gtw_test_support.h"

using gtw_test::take_messages;
using Strings = std::vector<std::string>;

namespace {

class Queue : public ::testing::Test {
 protected:
  void SetUp() override { gtw_flush_messages(); }
  void TearDown() override { gtw_flush_messages(); }
};

TEST_F(Queue, KeepsArrivalOrder) {
  EXPECT_EQ(gtw_get_message(), nullptr);
  EXPECT_EQ(gtw_add_message("first"), GTW_MESSAGES);
  EXPECT_EQ(gtw_add_message("second"), GTW_MESSAGES);
  char *text = gtw_get_message();
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "first");
  free(text);
  EXPECT_EQ(gtw_add_message("third"), GTW_MESSAGES);
  EXPECT_EQ(take_messages(), (Strings{"second", "third"}));
  EXPECT_EQ(gtw_get_message(), nullptr);
}

TEST_F(Queue, StartsAfreshAfterFlush) {
  gtw_add_message("a");
  gtw_add_message("b");
  gtw_flush_messages();
  EXPECT_EQ(gtw_get_message(), nullptr);
  gtw_add_message("c");
  gtw_add_message("d");
  EXPECT_EQ(take_messages(), (Strings{"c", "d"}));
  // Emptying by taking the last message leaves a usable queue as well.
  gtw_add_message("e");
  EXPECT_EQ(take_messages(), (Strings{"e"}));
}

TEST_F(Queue, ErrorAnywhereIsAFailure) {
  constexpr int kTargetError = GTW_MESSAGES | GTW_FAILED | GTW_TARGET_ERROR;
  EXPECT_EQ(gtw_add_message("!ERROR: no such command"), kTargetError);
  EXPECT_EQ(gtw_add_message("!flash ERROR"), kTargetError);
  EXPECT_EQ(gtw_add_message("!xERRORx"), kTargetError);
  EXPECT_EQ(gtw_add_message("!error in lower case"), GTW_MESSAGES);
  EXPECT_EQ(gtw_add_message("!ERRO R"), GTW_MESSAGES);
  EXPECT_EQ(gtw_add_message(""), GTW_MESSAGES);
  EXPECT_EQ(take_messages().size(), 6u);
  // Only the target's own message lines tell of an error in the target.
  EXPECT_EQ(gtw_add_message("WINSOCK ERROR = 10054"), GTW_MESSAGES | GTW_FAILED);
  EXPECT_EQ(gtw_add_message("!ERROR: flash verify failed"), kTargetError);
  gtw_flush_messages();
}

TEST_F(Queue, PrintsOldestFirstOnePerLine) {
  gtw_add_message("!one");
  gtw_add_message("gtw_read_prompt: error on recv: reset\n");
  gtw_add_message("three");
  ::testing::internal::CaptureStderr();
  print_messages();
  std::string printed = ::testing::internal::GetCapturedStderr();
  // A text queued with a line end of its own prints without a blank line.
  EXPECT_EQ(printed, "!one\ngtw_read_prompt: error on recv: reset\nthree\n");
  EXPECT_EQ(gtw_get_message(), nullptr);

  ::testing::internal::CaptureStderr();
  print_messages();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// A target may send message lines without end: the queue keeps the oldest
// up to its count and size and stands one line in for the rest, and each
// message still decides its command's result.
TEST_F(Queue, KeepsTheOldestAndCountsTheRest) {
  for (int i = 0; i < 10000; i++) {
    std::string text = "!note " + std::to_string(i);
    EXPECT_EQ(gtw_add_message(text.c_str()), GTW_MESSAGES);
  }
  // The error is still reported, though its line is dropped.
  EXPECT_EQ(gtw_add_message("!ERROR: late"), GTW_MESSAGES | GTW_FAILED | GTW_TARGET_ERROR);
  Strings kept = take_messages();
  ASSERT_EQ(kept.size(), static_cast<size_t>(GTW_QUEUE_MAX_MESSAGES) + 1);
  EXPECT_EQ(kept[0], "!note 0");
  EXPECT_EQ(kept[GTW_QUEUE_MAX_MESSAGES - 1],
            "!note " + std::to_string(GTW_QUEUE_MAX_MESSAGES - 1));
  EXPECT_EQ(kept.back(),
            std::to_string(10001 - GTW_QUEUE_MAX_MESSAGES) + " further messages were dropped");

  // Long lines meet the size bound first.
  const std::string line(1000, 'x');
  const size_t fit = GTW_QUEUE_MAX_BYTES / line.size();
  for (size_t i = 0; i < fit + 5; i++) {
    gtw_add_message(line.c_str());
  }
  kept = take_messages();
  ASSERT_EQ(kept.size(), fit + 1);
  EXPECT_EQ(kept.back(), "5 further messages were dropped");

  // Emptied, the queue takes messages again; a flush forgets the count.
  gtw_add_message("again");
  EXPECT_EQ(take_messages(), (Strings{"again"}));
  for (int i = 0; i <= GTW_QUEUE_MAX_MESSAGES; i++) {
    gtw_add_message("!x");
  }
  gtw_flush_messages();
  EXPECT_EQ(gtw_get_message(), nullptr);
}

}  // namespace
