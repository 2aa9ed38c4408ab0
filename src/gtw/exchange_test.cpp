#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gtw/gtw.h"
#include "gtw/gtw_test_support.h"
#include "gtw/trace.h"

using gtw_test::peer_pair;
using gtw_test::record_line;
using gtw_test::take_messages;
using Strings = std::vector<std::string>;

namespace {

// A lock-mode connection whose command socket is one end of a socket pair.
class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    gtw_flush_messages();
    ASSERT_TRUE(command.ok());
    conn.command_socket = command.ours;
  }
  void TearDown() override { gtw_flush_messages(); }

  // The whole reply is there before the call, and then the stream ends, so
  // a reader that misses the prompt returns instead of hanging.
  int read_reply(const std::string &reply) {
    EXPECT_TRUE(command.put(reply));
    command.end();
    return gtw_read_prompt(&conn, record_line, &lines);
  }

  char status() {
    char c = 0;
    gtw_get_status(&c);
    return c;
  }

  peer_pair command;
  gtw_conn conn;
  Strings lines;
};

TEST_F(Exchange, DeliversLinesUpToThePrompt) {
  EXPECT_EQ(read_reply("first line\r\nsecond line\r\nR>"), 0);
  EXPECT_EQ(lines, (Strings{"first line", "second line"}));
  EXPECT_EQ(status(), 'R');
  EXPECT_TRUE(take_messages().empty());
}

TEST_F(Exchange, SkipsEmptyLinesAndLineEndPairs) {
  EXPECT_EQ(read_reply("\n\ra\r\n\n\rb\n\r\r\nc\r\n\r\nR$"), 0);
  EXPECT_EQ(lines, (Strings{"a", "b", "c"}));
}

TEST_F(Exchange, LeavesCommentsOut) {
  EXPECT_EQ(read_reply("text #comment\n# whole line\nafter\n#\nR>"), 0);
  EXPECT_EQ(lines, (Strings{"text ", "after"}));
}

TEST_F(Exchange, QueuesMessageLines) {
  EXPECT_EQ(read_reply("one\n!note\nx!not a message\n!ERROR: bad\ntwo\nR>"),
            GTW_MESSAGES | GTW_FAILED | GTW_TARGET_ERROR);
  EXPECT_EQ(lines, (Strings{"one", "x!not a message", "two"}));
  EXPECT_EQ(take_messages(), (Strings{"!note", "!ERROR: bad"}));

  // Without "ERROR" a message is no failure.
  peer_pair pair;
  conn.command_socket = pair.ours;
  ASSERT_TRUE(pair.put("!lockinfo: unknown\r\nR>"));
  EXPECT_EQ(gtw_read_prompt(&conn, nullptr, nullptr), GTW_MESSAGES);
  EXPECT_EQ(take_messages(), (Strings{"!lockinfo: unknown"}));
}

// A refusal that the caller lets pass (the version question of an unknown
// target) must not stand as the answer to a later command whose reply is
// clean, though nothing has emptied the queue in between.
TEST_F(Exchange, TargetErrorAnswersTheCommandItCameWith) {
  ASSERT_TRUE(command.put("!ERROR: unknown option\nR>"));
  EXPECT_EQ(gtw_send_command(&conn, "ver\n", nullptr, nullptr),
            GTW_MESSAGES | GTW_FAILED | GTW_TARGET_ERROR);
  ASSERT_TRUE(command.put("R>"));
  EXPECT_EQ(gtw_send_command(&conn, "pf -f\n", nullptr, nullptr), 0);
  EXPECT_EQ(take_messages(), (Strings{"!ERROR: unknown option"}));
  // A target that reports its error and then goes away: the error still
  // answers the command, beside the closed connection.
  ASSERT_TRUE(command.put("!ERROR: flash verify failed\n"));
  command.end();
  int result = gtw_send_command(&conn, "pf -f 0280000 16\n", nullptr, nullptr);
  EXPECT_EQ(result & (GTW_FAILED | GTW_TARGET_ERROR), GTW_FAILED | GTW_TARGET_ERROR);
}

TEST_F(Exchange, OnlyOneStatusCharacterMakesAPrompt) {
  // A digit is no status character, two letters are a line of their own.
  EXPECT_EQ(read_reply("1>\nAB>\n>\nxy$\n?>"), 0);
  EXPECT_EQ(lines, (Strings{"1>", "AB>", ">", "xy$"}));
  EXPECT_EQ(status(), '?');
}

TEST_F(Exchange, StatusCharacterBeforeALineEndIsALine) {
  // The rest of the chunk after the prompt is still worked through; only an
  // unfinished line is lost.
  EXPECT_EQ(read_reply("M>\nafter\nunfinished"), 0);
  EXPECT_EQ(lines, (Strings{"M", "after"}));
  char c = 0;
  EXPECT_EQ(gtw_get_status(&c), 1);
  EXPECT_EQ(c, 'M');
}

TEST_F(Exchange, StatusValues) {
  struct {
    const char *reply;
    char status;
    int value;
  } cases[] = {{"r$", 'r', 0}, {"R>", 'R', 0}, {"M$", 'M', 1}, {"-$", '-', 2}, {"S>", 'S', 2}};
  for (const auto &c : cases) {
    peer_pair pair;
    conn.command_socket = pair.ours;
    ASSERT_TRUE(pair.put(c.reply));
    pair.end();
    EXPECT_EQ(gtw_read_prompt(&conn, nullptr, nullptr), 0) << c.reply;
    char got = 0;
    EXPECT_EQ(gtw_get_status(&got), c.value) << c.reply;
    EXPECT_EQ(got, c.status);
  }
}

TEST(ExchangeStatus, IsZeroBeforeTheFirstPrompt) {
  // Runs in a fresh process, where no prompt has been read yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        char c = 'x';
        int value = gtw_get_status(&c);
        std::exit(value == 2 && c == '\0' ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Exchange, IgnoresZeroBytes) {
  EXPECT_EQ(read_reply(std::string("a\0b\0\nR\0>\n!c\0d\nQ>", 16)), GTW_MESSAGES);
  // "R", zero byte, ">" is no prompt: the zero byte came between.
  EXPECT_EQ(lines, (Strings{"ab", "R>"}));
  EXPECT_EQ(take_messages(), (Strings{"!cd"}));
  EXPECT_EQ(status(), 'Q');
}

TEST_F(Exchange, CutsOverlongLines) {
  std::string longline(3000, 'x');
  std::string longmessage = "!" + std::string(2000, 'm') + "ERROR";
  EXPECT_EQ(read_reply(longline + "\nnext\n" + longmessage + "\r\nR>"), GTW_MESSAGES);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(1023, 'x'));
  EXPECT_EQ(lines[1], "next");
  // The cut message lost its "ERROR" with its tail.
  EXPECT_EQ(take_messages(), (Strings{"!" + std::string(1022, 'm')}));
}

TEST_F(Exchange, SurvivesAMegabyteWithoutLineEnd) {
  std::thread target([this] {
    command.put(std::string(1 << 20, 'y') + "\nok\nR>");
    command.end();
  });
  EXPECT_EQ(gtw_read_prompt(&conn, record_line, &lines), 0);
  target.join();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(1023, 'y'));
  EXPECT_EQ(lines[1], "ok");
}

// Every way of cutting the reply into receives gives the same result.
TEST(ExchangeChunks, AnySplitGivesTheSameReply) {
  const std::string reply = "one\r\n!msg\r\n# c\ntwo #x\n\rR>";
  const Strings expected_lines{"one", "two "};
  const Strings expected_messages{"!msg"};

  auto run = [&](const std::vector<std::string> &chunks) {
    gtw_flush_messages();
    peer_pair pair(SOCK_SEQPACKET);
    ASSERT_TRUE(pair.ok());
    for (const auto &chunk : chunks) {
      if (!chunk.empty()) {
        ASSERT_TRUE(pair.put(chunk));
      }
    }
    pair.end();
    gtw_conn conn;
    conn.command_socket = pair.ours;
    Strings lines;
    std::string where = "chunks:";
    for (const auto &chunk : chunks) {
      where += " [" + chunk + "]";
    }
    EXPECT_EQ(gtw_read_prompt(&conn, record_line, &lines), GTW_MESSAGES) << where;
    EXPECT_EQ(lines, expected_lines) << where;
    EXPECT_EQ(take_messages(), expected_messages) << where;
    char c = 0;
    gtw_get_status(&c);
    EXPECT_EQ(c, 'R') << where;
  };

  for (size_t at = 1; at < reply.size(); at++) {
    run({reply.substr(0, at), reply.substr(at)});
  }
  std::vector<std::string> bytes;
  for (char c : reply) {
    bytes.emplace_back(1, c);
  }
  run(bytes);
}

TEST_F(Exchange, TargetClosingMidReplyFails) {
  int result = read_reply("partial line\nmore");
  EXPECT_EQ(result, GTW_MESSAGES | GTW_FAILED);
  EXPECT_EQ(lines, (Strings{"partial line"}));
  EXPECT_EQ(take_messages(), (Strings{"gtw_read_prompt: connection closed by target"}));
}

TEST_F(Exchange, FailedReceiveIsAFailure) {
  // What was gathered before the failure gives way to the reason.
  plat_socket dead = PLAT_INVALID_SOCKET;
  conn.command_socket = dead;
  EXPECT_EQ(gtw_read_prompt(&conn, record_line, &lines), GTW_MESSAGES | GTW_FAILED);
  Strings messages = take_messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("gtw_read_prompt: error on recv: ", 0), 0u) << messages[0];
  EXPECT_NE(messages[0].back(), '\n');  // the printer ends the line
}

TEST_F(Exchange, InputTextComesBeforeTheSocket) {
  // The prompt is completed by the first byte received.
  ASSERT_TRUE(command.put(">\nleft\n"));
  EXPECT_EQ(gtw_read_prompt_input(&conn, record_line, &lines, "given\n!m\nR"), GTW_MESSAGES);
  EXPECT_EQ(lines, (Strings{"given", "R", "left"}));
  EXPECT_EQ(take_messages(), (Strings{"!m"}));
}

TEST_F(Exchange, InputTextWithPromptReadsNothing) {
  ASSERT_TRUE(command.put("unread"));
  EXPECT_EQ(gtw_read_prompt_input(&conn, record_line, &lines, "x\nR$"), 0);
  EXPECT_EQ(lines, (Strings{"x"}));
  char buffer[16] = {};
  EXPECT_EQ(recv(command.ours, buffer, sizeof buffer, MSG_DONTWAIT), 6);
}

TEST_F(Exchange, SendCommandSendsTheTextAsItIs) {
  ASSERT_TRUE(command.put("v 1.0\nR>"));
  EXPECT_EQ(gtw_send_command(&conn, "ver\n", record_line, &lines), 0);
  EXPECT_EQ(lines, (Strings{"v 1.0"}));
  char buffer[16] = {};
  EXPECT_EQ(recv(command.theirs, buffer, sizeof buffer, MSG_DONTWAIT), 4);
  EXPECT_STREQ(buffer, "ver\n");
}

TEST_F(Exchange, FailedSendReadsNothingAndSaysWhy) {
  // A live connection with or without bytes waiting is not lost; one the
  // target closed is, before anything is sent on it.
  EXPECT_FALSE(gtw_connection_lost(&conn));
  ASSERT_TRUE(command.put("R>"));
  EXPECT_FALSE(gtw_connection_lost(&conn));
  EXPECT_EQ(gtw_read_prompt(&conn, nullptr, nullptr), 0);
  command.close_theirs();
  EXPECT_TRUE(gtw_connection_lost(&conn));
  EXPECT_EQ(gtw_send_command(&conn, "ver\n", record_line, &lines), GTW_FAILED);
  Strings messages = take_messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("gtw_send_command: error on send: ", 0), 0u) << messages[0];
  EXPECT_EQ(gtw_write_command(&conn, "ver\n"), -1);

  conn.command_socket = PLAT_INVALID_SOCKET;
  EXPECT_TRUE(gtw_connection_lost(&conn));
  EXPECT_EQ(gtw_write_command(&conn, "ver\n"), -1);
  EXPECT_EQ(gtw_send_command(&conn, "ver\n", nullptr, nullptr), GTW_FAILED);
  EXPECT_EQ(take_messages().size(), 1u);
}

// A reader of the trace must not take a command that never went out for
// one the target got.
TEST_F(Exchange, TraceMarksACommandThatWasNotSent) {
  char path[] = "/tmp/gtw-trace-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  setenv("ROMUPDATE_TRACE", path, 1);
  const char *why = nullptr;
  ASSERT_TRUE(trace_start("romupdate", &why)) << why;
  gtw_write_command(&conn, "ver\n");
  command.close_theirs();
  gtw_write_command(&conn, "init -p\n");
  trace_stop();
  unsetenv("ROMUPDATE_TRACE");

  std::ifstream in(path);
  std::string line, kinds;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    kinds += line.substr(line.find('\t', line.find('\t') + 1) + 1) + "\n";
  }
  unlink(path);
  EXPECT_EQ(kinds, "cmd\tver\nunsent\tinit -p\n");
}

// A started connection also listens on its control connection.
class StartedExchange : public Exchange {
 protected:
  void SetUp() override {
    Exchange::SetUp();
    ASSERT_TRUE(control.ok());
    conn.control_socket = control.ours;
    conn.started = 1;
  }
  peer_pair control;
};

TEST_F(StartedExchange, ReadsControlMessagesWhileWaiting) {
  ASSERT_TRUE(control.put("noise!ctl one\r\n!ctl ERROR\n"));
  EXPECT_EQ(read_reply("line\nR>"), GTW_MESSAGES | GTW_FAILED | GTW_TARGET_ERROR);
  EXPECT_EQ(lines, (Strings{"line"}));
  EXPECT_EQ(take_messages(), (Strings{"!ctl one", "!ctl ERROR"}));
  EXPECT_EQ(conn.control_socket, control.ours);
}

TEST_F(StartedExchange, StopsWatchingAControlConnectionThatEnded) {
  control.close_theirs();
  ASSERT_TRUE(command.put("R>"));
  EXPECT_EQ(gtw_read_prompt(&conn, nullptr, nullptr), GTW_MESSAGES | GTW_FAILED);
  EXPECT_EQ(take_messages(), (Strings{"gtw_read_message: connection closed by target"}));
  EXPECT_EQ(conn.control_socket, PLAT_INVALID_SOCKET);
  control.ours = PLAT_INVALID_SOCKET;  // closed by the layer

  // The next command waits on the command connection alone.
  EXPECT_EQ(read_reply("after\nR>"), 0);
  EXPECT_EQ(lines, (Strings{"after"}));
}

}  // namespace
