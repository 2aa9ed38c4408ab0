// romupdate.exe, the Windows console build, under wine against the Unix
// simulator.  Run by the Windows build's tests, which say where the program
// and wine are; the real waits are spent here, so the cases are few.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "harness/harness.h"

using namespace e2e;

namespace {

// Runs romupdate.exe under wine, with the sample installation laid out for
// the Windows build.
RunResult run_exe(const std::vector<std::string> &args, double timeout = 120,
                  const RunOptions &more = {}, const char *exe_variable = "ROMUPDATE_WIN32_EXE") {
  const char *exe = getenv(exe_variable);
  const char *wine_run = getenv("ROMUPDATE_WINE_RUN");
  RunOptions o = more;
  o.program = wine_run;
  o.fast_sleep = false;
  o.timeout = timeout;
  o.env["XR38100"] = examples_root() + "/../xr38100";
  std::vector<std::string> all = {exe};
  all.insert(all.end(), args.begin(), args.end());
  RunResult r = run(all, o);
  // The console streams of a Windows program are in text mode: each line
  // ends in CR LF.
  for (std::string *s : {&r.out, &r.err}) {
    std::string plain;
    for (size_t i = 0; i < s->size(); ++i) {
      if (!((*s)[i] == '\r' && i + 1 < s->size() && (*s)[i + 1] == '\n')) {
        plain += (*s)[i];
      }
    }
    *s = plain;
  }
  return r;
}

RunOptions traced_to(const std::string &trace) {
  RunOptions o;
  o.env["ROMUPDATE_TRACE"] = trace;
  return o;
}

class Win32 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!getenv("ROMUPDATE_WIN32_EXE") || !getenv("ROMUPDATE_WINE_RUN")) {
      GTEST_SKIP() << "run by the Windows build's tests";
    }
  }
};

}  // namespace

using Usage = Win32;
using Lock = Win32;
using Program = Win32;
using Unlock = Win32;
using Inventory = Win32;
using Trace = Win32;

TEST_F(Usage, UnknownOptionPrintsOnlyTheUsage) {
  RunResult r = run_exe({"-x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");  // the Windows option parser prints no diagnostic
  EXPECT_TRUE(contains(r.out, "\nUsage: ")) << r.out;
  EXPECT_TRUE(contains(r.out, " [-v] <ip address> [ <configfile> ]\n\n"));
  EXPECT_TRUE(contains(
      r.out,
      "    <configfile> - config file to update in the current directory or $XR38100\\update\n"
      "        e. g. T5806\n\n"
      "    If $XR38100 is not set, \\xr38100 will be used.\n"
      "    If no <ip address> is given, "))
      << r.out;
}

TEST_F(Lock, LockedTarget) {
  Sim sim({"--locked", "--target", "38100b"});
  RunResult r = run_exe({sim.address(), "T5806"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, sim.address() + " is locked by another user interface\n");
  EXPECT_EQ(sim.commands(), (std::vector<std::string>{"lanlk -e;lockinfo", "lanlk -d"}));
}

TEST_F(Program, CompleteUpdateOfA38100B) {
  Sim sim({"--target", "38100b", "--reboot-time", "0.5"});
  RunResult r = run_exe({"-v", sim.address(), "T5806"}, 180);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "Flash programming SUCCEEDED\n")) << r.err;
  auto cmds = sim.commands();
  // The Windows build introduces itself as the user "msdos".
  bool msdos = false;
  for (auto &c : cmds) {
    msdos |= contains(c, "mac lockinfo={echo \"user: msdos\"");
  }
  EXPECT_TRUE(msdos);
  EXPECT_EQ(cmds.back(), "init -p");
  sim.stop();
  std::string report;
  EXPECT_TRUE(flash_matches(examples_root() + "/lib/t5806b.X", sim.dump_path(), true, &report))
      << report;
}

TEST_F(Unlock, MarkerOfAKilledRunIsRemovedAsUserMsdos) {
  if (!getenv("ROMUPDATE_WIN32_UNLOCK_EXE")) {
    GTEST_SKIP() << "romupdate-unlock.exe not given";
  }
  Sim sim({"--target", "38100b"});
  // Killed at the menu, after the lock was taken (wine-run answers SIGTERM
  // by killing the program): the marker stays.
  RunOptions killed;
  killed.close_input = false;
  killed.signal_when_output = "Number of Product to Update?";
  killed.signal = SIGTERM;
  RunResult r = run_exe({"-v", sim.address()}, 120, killed);
  ASSERT_FALSE(r.timed_out) << r.out << r.err;
  ASSERT_EQ(sim.commands().back(), "ver");

  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string holder =
      sim.address() + " is locked by user msdos, user interface 4 (gateway), host " + host + "\n";
  // The Unix tool's user is a number, so the marker is not its own.
  RunOptions unix_tool;
  unix_tool.program = ROMUPDATE_UNLOCK_BIN;
  r = run({sim.address()}, unix_tool);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, holder);

  r = run_exe({sim.address()}, 120, {}, "ROMUPDATE_WIN32_UNLOCK_EXE");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, holder + "removing the lock marker (held by this user on this host)\n" +
                       sim.address() + " is free\n");
}

// With -b the run has no reboot and no waits.  The Windows build's trace is
// read by the Unix simulator and replayed to the same Windows program.
TEST_F(Inventory, ClassesLockAndProductFitFromTheWindowsBuild) {
  if (!getenv("ROMUPDATE_WIN32_INVENTORY_EXE")) {
    GTEST_SKIP() << "romupdate-inventory.exe not given";
  }
  Sim a({"--target", "38100a"});
  Sim locked({"--locked"});
  const std::string nobody = reserve_loopback();
  RunResult r = run_exe({"--tsv", "--product", "T5806", a.address(), locked.address(), nobody}, 120,
                        {}, "ROMUPDATE_WIN32_INVENTORY_EXE");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(
      r.out,
      "address\treachable\tlock\tholder\tclass\trevision\tT5806 applies\tT5806 genrev\t"
      "version\n" +
          a.address() +
          "\tyes\tfree\t-\t38100A\tA.03.10\tyes\tyes A.03.05\tXR 38100 Series Emulation "
          "System / System firmware A.03.10\n" +
          locked.address() +
          "\tyes\tlocked\tuser 4242, user interface 1 (terminal), host bench7\t-\t-\t-\t-\t-\n" +
          nobody + "\tno\t-\t-\t-\t-\t-\t-\t-\n");
  EXPECT_TRUE(contains(r.err, nobody + ": target not reached\n")) << r.err;
  EXPECT_EQ(a.commands(), (std::vector<std::string>{"lanlk -e;lockinfo", "ver", "lanlk -d"}));
}

TEST_F(Trace, WindowsTraceReplaysAgainstTheUnixSimulator) {
  TempDir dir;
  std::vector<std::string> args;
  std::vector<std::string> field_commands;
  RunResult recorded;
  {
    Sim field({"--target", "38100a", "--register", "2ffff7=1A5"});
    args = {"-v", "-b", field.address(), "T7710"};
    recorded = run_exe(args, 180, traced_to(dir.file("field.trace")));
    ASSERT_EQ(recorded.status, 0) << recorded.out << recorded.err;
    field_commands = field.commands();
  }
  std::string trace = read_file(dir.file("field.trace"));
  EXPECT_TRUE(contains(trace, " platform=windows ")) << trace.substr(0, 200);
  EXPECT_EQ(trace.find('\r'), std::string::npos);  // single line feeds, as on Unix

  Sim replay({"--replay", dir.file("field.trace")}, args[2]);
  RunResult replayed = run_exe(args, 180, traced_to(dir.file("replay.trace")));
  EXPECT_EQ(replayed.status, recorded.status);
  EXPECT_EQ(replayed.out, recorded.out);
  EXPECT_EQ(replayed.err, recorded.err);
  EXPECT_EQ(replay.commands(), field_commands);
  for (auto &t : replay.transcript()) {
    EXPECT_NE(t.kind, "diverge") << t.text;
  }
}
