// The operator's tools from the command line: --version of every tool but
// romupdate (whose options are fixed), and romupdate-abs's answers to
// command lines it refuses.
#include <gtest/gtest.h>

#include "harness/harness.h"
#include "romupdate_version.h"

using namespace e2e;

namespace {

RunResult tool(const std::string &path, const std::vector<std::string> &args) {
  RunOptions o;
  o.program = path;
  o.timeout = 30;
  return run(args, o);
}

}  // namespace

TEST(Version, EveryToolButRomupdateSaysTheProjectVersion) {
  for (const std::string &path : {sim_path(), abs_path(), std::string(ROMUPDATE_UNLOCK_BIN),
                                  std::string(ROMUPDATE_INVENTORY_BIN)}) {
    std::string name = path.substr(path.rfind('/') + 1);
    RunResult r = tool(path, {"--version"});
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.out, name + " " + romupdate_version + "\n");
    EXPECT_EQ(r.err, "") << name;
  }
}

TEST(AbsCommandLine, ErrorsTakeOneLineAndPointToHelp) {
  TempDir dir;
  const std::string out = dir.file("out.X");
  struct {
    std::vector<std::string> args;
    std::string reason;
  } cases[] = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"make", "--address", "0", "--random", "0", out},
       "bad size '0' (decimal, K or M suffix, 1 to 4096M)"},
      {{"make", "--address", "0", "--random", "4097M", out},
       "bad size '4097M' (decimal, K or M suffix, 1 to 4096M)"},
      {{"make", "--address", "12G", "--random", "1K", out},
       "bad address '12G' (hexadecimal, 32 bits)"},
      {{"make", "--address"}, "'--address' needs a value"},
      {{"verify", "--loose", "a", "b"}, "unknown option for verify: '--loose'"},
  };
  for (const auto &c : cases) {
    RunResult r = tool(abs_path(), c.args);
    EXPECT_EQ(r.status, 2) << c.reason;
    EXPECT_EQ(r.err, "romupdate-abs: " + c.reason + " (see romupdate-abs --help)\n");
    EXPECT_EQ(r.out, "");
  }
  // The usage states the size limit in the same words as the error.
  EXPECT_TRUE(contains(tool(abs_path(), {"--help"}).out, "(decimal, K or M suffix, 1 to 4096M)"));
  EXPECT_TRUE(read_file(out).empty());

  // An address as configuration files write it, and an input without bytes.
  RunResult made = tool(abs_path(), {"make", "--address", "280000H", "--random", "1K", out});
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_TRUE(contains(tool(abs_path(), {"info", out}).out, "lowest: 00280000\n"));
  dir.write("empty.bin", "");
  RunResult empty =
      tool(abs_path(), {"make", "--address", "0", dir.file("empty.bin"), dir.file("e.X")});
  EXPECT_EQ(empty.status, 1);
  EXPECT_TRUE(contains(empty.err, "empty: an image needs at least one byte")) << empty.err;
}
