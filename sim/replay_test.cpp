#include "replay.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

const char *const HEAD =
    "0\t0.000\ttrace\tformat=2 program=romupdate version=1 platform=unix "
    "start=2024-01-01T00:00:00Z\n";

struct trace_file {
  char path[40] = "/tmp/romupdate-replay-test-XXXXXX";
  explicit trace_file(const std::string &events) {
    int fd = mkstemp(path);
    close(fd);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << HEAD << events;
  }
  ~trace_file() { std::remove(path); }
};

}  // namespace

// How each recorded connection attempt ended decides which port the
// replayed target refuses.
TEST(ReplayScript, AttemptsAndTheirOutcomes) {
  trace_file t(
      "1\t0.000\topen\th\n"
      "1\t0.001\topenfail\tcommand port connect failed, Connection refused\n"
      "1\t0.001\tsleep\t2\n"
      "2\t2.500\topen\th\n"
      "2\t2.501\topenfail\tcontrol port connected failed Connection refused\n"
      "2\t2.501\tsleep\t2\n"
      "3\t4.501\topen\th\n"
      "3\t4.502\tctl\t127.0.0.1:5000\n"
      "3\t4.503\tcmd\tmac lockinfo={echo \"user: 7\" \\x5C0A \"userinterface: 4 (gateway)\" "
      "\\x5C0A \"host name: bench\" \\x5C0A  };lanlk -d\n"
      "3\t4.504\tgo\t\\x06\n"
      "3\t4.505\tdata\t3000 bytes of t.X, send failed\n"
      "4\t9.000\topen\tno.such.host\n"
      "4\t9.001\topenfail\tno.such.host not found in /etc/hosts\n");
  replay_script script;
  std::string error;
  ASSERT_TRUE(script.load(t.path, error)) << error;
  using o = replay_attempt::outcome;
  ASSERT_EQ(script.attempts().size(), 4u);
  EXPECT_EQ(script.attempts()[0].result, o::command_refused);
  EXPECT_EQ(script.attempts()[1].result, o::control_refused);
  EXPECT_NEAR(script.attempts()[1].pause, 2.499, 1e-6);
  EXPECT_EQ(script.attempts()[2].result, o::connected);
  EXPECT_EQ(script.attempts()[3].result, o::none);
  EXPECT_EQ(script.user(), "7");
  EXPECT_EQ(script.host(), "bench");
  EXPECT_EQ(script.command_count(), 1u);
  EXPECT_EQ(script.broken_stream_line(), 12u);
  // Read as it goes: the events after the header, one at a time.
  ASSERT_NE(script.peek(), nullptr);
  EXPECT_EQ(script.peek()->kind, "open");
  EXPECT_EQ(script.line(), 2u);
  EXPECT_EQ(script.peek(1)->kind, "openfail");
  script.take();
  EXPECT_EQ(script.line(), 3u);
  EXPECT_EQ(script.peek()->kind, "openfail");
}

// The lock marker names the user and host of whoever runs the update; the
// replay compares its shape only.
TEST(ReplayScript, MarkerComparedByShape) {
  auto marker = [](const std::string &user, const std::string &host) {
    return "mac lockinfo={echo \"user: " + user +
           "\" \\0A \"userinterface: 4 (gateway)\" \\0A \"host name: " + host +
           "\" \\0A  };lanlk -d";
  };
  EXPECT_EQ(replay_shape(marker("0", "vm")), replay_shape(marker("4242", "bench7.lab")));
  EXPECT_NE(replay_shape(marker("0", "vm")),
            replay_shape("mac lockinfo={echo \"user: 0\" \\0A \"userinterface: 1 (terminal)\" "
                         "\\0A \"host name: vm\" \\0A  };lanlk -d"));
  EXPECT_EQ(replay_shape("pf -i 02FFFF0"), "pf -i 02FFFF0");
  EXPECT_NE(replay_shape("pf -i 02FFFF0"), replay_shape("pf -i 02FFFE0"));
}
