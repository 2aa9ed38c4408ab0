#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "gtw/gtw.h"
#include "gtw/gtw_test_support.h"

using gtw_test::peer_pair;
using gtw_test::take_messages;
using Strings = std::vector<std::string>;

namespace {

class Control : public ::testing::Test {
 protected:
  void SetUp() override {
    gtw_flush_messages();
    conn.started = 1;
  }
  void TearDown() override { gtw_flush_messages(); }

  void use(peer_pair &pair) {
    ASSERT_TRUE(pair.ok());
    conn.control_socket = pair.ours;
  }

  gtw_conn conn;
};

TEST_F(Control, DiscardsTextOutsideMessages) {
  peer_pair pair;
  use(pair);
  ASSERT_TRUE(pair.put("noise!one\r\nbetween !two\n"));
  EXPECT_EQ(gtw_read_message(&conn), GTW_MESSAGES);
  EXPECT_EQ(take_messages(), (Strings{"!one", "!two"}));
}

TEST_F(Control, CompletesAMessageSplitAcrossReceives) {
  // One receive brings a whole message and the start of the next; the call
  // waits for that one's line end and reads no further.
  peer_pair pair(SOCK_SEQPACKET);
  use(pair);
  ASSERT_TRUE(pair.put("x!first\n!sec"));
  ASSERT_TRUE(pair.put("ond ERROR\r\n"));
  ASSERT_TRUE(pair.put("!third\n"));
  EXPECT_EQ(gtw_read_message(&conn), GTW_MESSAGES | GTW_FAILED | GTW_TARGET_ERROR);
  EXPECT_EQ(take_messages(), (Strings{"!first", "!second ERROR"}));

  EXPECT_EQ(gtw_read_message(&conn), GTW_MESSAGES);
  EXPECT_EQ(take_messages(), (Strings{"!third"}));
}

TEST_F(Control, CutsOverlongMessages) {
  // The rest of the overlong message, "!" and all, is dropped up to its line
  // end; it does not come out as a message of its own.
  peer_pair pair;
  use(pair);
  std::string tail = std::string(700, 'y') + "!not a message";
  ASSERT_TRUE(pair.put("!" + std::string(1500, 'x') + tail + "\n!next\n"));
  EXPECT_EQ(gtw_read_message(&conn), GTW_MESSAGES);
  EXPECT_EQ(take_messages(), (Strings{"!" + std::string(1022, 'x'), "!next"}));
}

TEST_F(Control, CutsAMessageThatFillsTheBufferExactly) {
  peer_pair pair(SOCK_SEQPACKET);
  use(pair);
  ASSERT_TRUE(pair.put("!" + std::string(1022, 'x')));
  ASSERT_TRUE(pair.put("\n!next\n"));
  EXPECT_EQ(gtw_read_message(&conn), GTW_MESSAGES);
  EXPECT_EQ(take_messages(), (Strings{"!" + std::string(1022, 'x'), "!next"}));
}

TEST_F(Control, IgnoresZeroBytes) {
  peer_pair pair;
  use(pair);
  ASSERT_TRUE(pair.put(std::string("\0!a\0b\n", 6)));
  EXPECT_EQ(gtw_read_message(&conn), GTW_MESSAGES);
  EXPECT_EQ(take_messages(), (Strings{"!ab"}));
}

TEST_F(Control, EndOfStreamFails) {
  peer_pair pair;
  use(pair);
  ASSERT_TRUE(pair.put("!done\n!unfinished"));
  pair.close_theirs();
  // What was queued before the end stays queued.
  EXPECT_EQ(gtw_read_message(&conn), GTW_FAILED);
  EXPECT_EQ(take_messages(), (Strings{"!done"}));
  EXPECT_EQ(gtw_read_message(&conn), GTW_FAILED);

  conn.control_socket = PLAT_INVALID_SOCKET;
  EXPECT_EQ(gtw_read_message(&conn), GTW_FAILED);
  EXPECT_TRUE(take_messages().empty());
}

}  // namespace
