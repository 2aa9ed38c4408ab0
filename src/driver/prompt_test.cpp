// Questions to the operator, answered through standard input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "driver/driver_test_support.h"
#include "driver/romupdate.h"

namespace {

// Asks `questions` times in a child and writes each answer, bracketed, to
// standard error.
child_result ask(const std::string &input, int questions = 1) {
  return run_in_child(
      [=] {
        program_name = "romupdate-test";
        verboseflag = 1;
        for (int i = 0; i < questions; ++i) {
          char *answer = prompt_line("Q? ");
          fprintf(stderr, "[%s]", answer);
          free(answer);
        }
      },
      input);
}

}  // namespace

TEST(PromptLine, ReturnsTheLineWithoutItsEnd) {
  child_result r = ask("10.1.2.3\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Q? ");
  EXPECT_EQ(r.err, "[10.1.2.3]");

  EXPECT_EQ(ask("abc\r\n").err, "[abc]");
  EXPECT_EQ(ask("last line without end").err, "[last line without end]");
  EXPECT_EQ(ask("\n").err, "[]");
}

TEST(PromptLine, LongLineIsCutAndItsRestDropped) {
  std::string longest(1023, 'a');
  child_result r = ask(longest + "bbbbbbbbbb\nnext\n", 2);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "[" + longest + "][next]");

  // Exactly the buffer's room: the line end that follows is not an answer.
  r = ask(longest + "\nnext\n", 2);
  EXPECT_EQ(r.err, "[" + longest + "][next]");
}

TEST(PromptLine, EndOfInputEndsTheRun) {
  child_result r = ask("");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Q? \n");
  EXPECT_EQ(r.err, "romupdate-test: End of input\nFlash programming FAILED\n");

  // After one answer, the next question meets the end.
  r = ask("y\n", 2);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Q? Q? \n");
  EXPECT_EQ(r.err, "[y]romupdate-test: End of input\nFlash programming FAILED\n");
}
