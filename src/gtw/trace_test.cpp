#include "gtw/trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bounds.h"
#include "formats/trace/trace_format.h"

namespace {

std::string read_all(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// KIND and TEXT of each event line after the header.
std::vector<std::pair<std::string, std::string>> events(const std::string &trace) {
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream in(trace);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    size_t a = line.find('\t'), b = line.find('\t', a + 1), c = line.find('\t', b + 1);
    out.emplace_back(line.substr(b + 1, c - b - 1), line.substr(c + 1));
  }
  return out;
}

class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/trace-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    trace_stop();
    unsetenv("ROMUPDATE_TRACE");
    std::remove((dir_ + "/trace").c_str());
    std::remove((dir_ + "/err").c_str());
    rmdir(dir_.c_str());
  }
  void start(const std::string &path) {
    setenv("ROMUPDATE_TRACE", path.c_str(), 1);
    const char *why = nullptr;
    ASSERT_TRUE(trace_start("prog", &why)) << why;
  }
  std::string dir_;
};

// A target that sends without end while its prompt is awaited: the first
// lines of each flood are written, the rest counted in one line before the
// program's next event, followed by the flood's last line (the prompt), and
// the next flood is bounded afresh.
TEST_F(Trace, FloodsOfTheTargetsTextAreCutAndCounted) {
  struct {
    const char *name;
    std::string line;
    unsigned long sent, kept;
  } floods[] = {
      {"many short lines", "!flood\r\n", 3000, TRACE_FLOOD_MAX_LINES},
      {"few long lines", std::string(1000, 'x') + "\n", 300, TRACE_FLOOD_MAX_BYTES / 1001},
  };
  for (const auto &f : floods) {
    const std::string path = dir_ + "/trace";
    start(path);
    for (int round = 0; round < 2; ++round) {
      trace_command("pf -p\n", true);
      for (unsigned long i = 0; i < f.sent; ++i) {
        // Both connections' text counts towards one flood.
        trace_bytes(i % 2 ? trace_kind::reply : trace_kind::control_message, f.line.data(),
                    f.line.size());
      }
      trace_bytes(trace_kind::reply, "R$", 2);
    }
    trace_exit(1);
    trace_stop();

    auto lines = events(read_all(path));
    ASSERT_EQ(lines.size(), 2 * (1 + f.kept + 2) + 1) << f.name;
    const std::string counted =
        std::to_string(f.sent - f.kept) + " further lines from the target were left out";
    for (size_t round = 0; round < 2; ++round) {
      size_t first = round * (f.kept + 3);
      EXPECT_EQ(lines[first].first, "cmd") << f.name;
      EXPECT_EQ(lines[first + 1].second, trace_escape(f.line)) << f.name;
      EXPECT_EQ(lines[first + f.kept + 1],
                (std::pair<std::string, std::string>{"omitted", counted}))
          << f.name;
      EXPECT_EQ(lines[first + f.kept + 2], (std::pair<std::string, std::string>{"reply", "R$"}))
          << f.name;
    }
    EXPECT_EQ(lines.back(), (std::pair<std::string, std::string>{"exit", "1"})) << f.name;
  }
}

// A reply of ordinary size is written whole, however many commands come,
// and so is a flood one line over the bound: it needs no count.
TEST_F(Trace, OrdinaryRepliesAreWrittenWhole) {
  const std::string path = dir_ + "/trace";
  start(path);
  for (int i = 0; i < 3 * TRACE_FLOOD_MAX_LINES; ++i) {
    trace_command("m -a2 -d2 0a6c\n", true);
    trace_bytes(trace_kind::reply, "0a6c  7b3f\r\nR$", 14);
  }
  trace_command("pf -p\n", true);
  for (int i = 0; i <= TRACE_FLOOD_MAX_LINES; ++i) {
    trace_bytes(trace_kind::reply, "!x\n", 3);
  }
  trace_exit(0);
  trace_stop();
  std::string trace = read_all(path);
  EXPECT_EQ(events(trace).size(), 3u * 3 * TRACE_FLOOD_MAX_LINES + 1 + TRACE_FLOOD_MAX_LINES + 2);
  EXPECT_EQ(trace.find("omitted"), std::string::npos);
}

// A trace that cannot be written to its end is said once on standard
// error, naming the file, and the events after it go nowhere.
TEST_F(Trace, AWriteThatFailsIsSaidOnce) {
  const std::string err_path = dir_ + "/err";
  fflush(stderr);
  int saved = dup(2);
  FILE *err = fopen(err_path.c_str(), "w");
  ASSERT_NE(err, nullptr);
  dup2(fileno(err), 2);
  start("/dev/full");
  for (int i = 0; i < 10; ++i) {
    trace_command("ver\n", true);
  }
  trace_exit(0);
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  fclose(err);
  EXPECT_EQ(read_all(err_path),
            "prog: trace file '/dev/full' could not be written to its end: No space left on "
            "device\n");
}

}  // namespace
