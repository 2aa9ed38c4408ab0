#include "replay.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

// A recorded download whose connection ended the way `events` tell.
std::string download_trace(const std::string &events) {
  return "0\t0.000\ttrace\tformat=2 program=romupdate version=1 platform=unix "
         "start=2024-01-01T00:00:00Z\n"
         "1\t0.010\tcmd\tlcd -qfb 2000\n"
         "1\t0.020\tgo\t\\x06\n" +
         events;
}

}  // namespace

// Where the replayed target ends a download decides whether the replayed
// client fails on its send or on its receive, as the recorded one did.
TEST(ReplayScript, DownloadEndsWhereTheRecordedClientSawItEnd) {
  struct {
    const char *name;
    const char *events;
    replay_step::ending end;
    unsigned long long stop;
  } cases[] = {
      // The whole stream went out; the status never came.
      {"reset while reading the status",
       "1\t0.030\tdata\t3000 bytes of t.X\n"
       "1\t0.040\tlost\terror on recv: Connection reset by peer\n",
       replay_step::ending::reset, 3000},
      // The target stopped reading about one piece before the send failed.
      {"broken pipe while sending",
       "1\t0.030\tdata\t3000 bytes of t.X, send failed\n"
       "1\t0.040\tlost\terror on send: Broken pipe\n",
       replay_step::ending::drop, 3000 - 1024},
      {"reset within the first piece",
       "1\t0.030\tdata\t500 bytes of t.X, send failed\n"
       "1\t0.040\tlost\terror on send: Connection reset by peer\n",
       replay_step::ending::reset, 0},
  };
  char path[] = "/tmp/romupdate-replay-test-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << download_trace(c.events);
    replay_script script;
    std::string error;
    ASSERT_TRUE(script.load(path, error)) << error;
    std::string divergence;
    ASSERT_NE(script.take_command("lcd -qfb 2000", divergence), nullptr) << divergence;
    const replay_step *step = script.expected_stream();
    ASSERT_NE(step, nullptr);
    EXPECT_EQ(step->end, c.end);
    EXPECT_EQ(replay_script::stream_stop(*step), c.stop);
  }
  std::remove(path);
}
