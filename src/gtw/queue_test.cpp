#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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
  EXPECT_EQ(gtw_add_message("!ERROR: no such command"), GTW_MESSAGES | GTW_FAILED);
  EXPECT_EQ(gtw_add_message("!flash ERROR"), GTW_MESSAGES | GTW_FAILED);
  EXPECT_EQ(gtw_add_message("!xERRORx"), GTW_MESSAGES | GTW_FAILED);
  EXPECT_EQ(gtw_add_message("!error in lower case"), GTW_MESSAGES);
  EXPECT_EQ(gtw_add_message("!ERRO R"), GTW_MESSAGES);
  EXPECT_EQ(gtw_add_message(""), GTW_MESSAGES);
  EXPECT_EQ(take_messages().size(), 6u);
}

TEST_F(Queue, PrintsOldestFirstOnePerLine) {
  gtw_add_message("!one");
  gtw_add_message("gtw_read_prompt: error on recv: reset\n");
  gtw_add_message("three");
  ::testing::internal::CaptureStderr();
  print_messages();
  std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed, "!one\ngtw_read_prompt: error on recv: reset\n\nthree\n");
  EXPECT_EQ(gtw_get_message(), nullptr);

  ::testing::internal::CaptureStderr();
  print_messages();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
