// romupdate-unlock against the simulator: the stale marker of an interrupted
// run, a foreign marker with and without --force, a free target, a target
// that cannot be reached or drops the connection half-way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "harness/harness.h"

using namespace e2e;

namespace {

RunResult unlock(const std::vector<std::string> &args) {
  RunOptions o;
  o.program = ROMUPDATE_UNLOCK_BIN;
  o.timeout = 30;
  return run(args, o);
}

bool sent(const Sim &sim, const std::string &command) {
  auto cmds = sim.commands();
  return std::find(cmds.begin(), cmds.end(), command) != cmds.end();
}

std::string this_host() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return host;
}

}  // namespace

TEST(Unlock, ClearsTheMarkerAnInterruptedRunLeft) {
  Sim sim({"--target", "38100b", "--reboot-time", "0.2"});
  RunOptions interrupted;
  interrupted.close_input = false;
  interrupted.signal_when_output = "Number of Product to Update?";
  RunResult r = run({"-v", sim.address()}, interrupted);
  ASSERT_EQ(r.status, 1) << r.err;
  ASSERT_TRUE(contains(r.err, ": Interrupt\n")) << r.err;

  // From now on the operator's own runs are refused.
  r = run({"-v", sim.address(), "T5806"});
  EXPECT_EQ(r.err, sim.address() + " is locked by another user interface\n");

  r = unlock({sim.address()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, sim.address() + " is locked by user " + std::to_string(getuid()) +
                       ", user interface 4 (gateway), host " + this_host() +
                       "\nremoving the lock marker (held by this user on this host)\n" +
                       sim.address() + " is free\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(sent(sim, "mac -d lockinfo"));
  EXPECT_TRUE(sent(sim, "po -p >"));

  r = run({"-v", sim.address(), "T5806"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "Flash programming SUCCEEDED")) << r.err;
}

TEST(Unlock, ForeignMarkerIsRemovedOnlyWithForce) {
  Sim sim({"--locked"});
  const std::string holder =
      sim.address() + " is locked by user 4242, user interface 1 (terminal), host bench7\n";

  RunResult r = unlock({sim.address()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, holder);
  EXPECT_TRUE(contains(r.err, "romupdate-unlock: lock left in place: it is not held by user " +
                                  std::to_string(getuid()) + " on this host"))
      << r.err;
  EXPECT_TRUE(contains(r.err, "--force removes it\n")) << r.err;
  EXPECT_FALSE(sent(sim, "mac -d lockinfo"));
  EXPECT_EQ(sim.commands().back(), "lanlk -d");

  r = unlock({"--force", sim.address()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, holder + "removing the lock marker (--force)\n" + sim.address() + " is free\n");
  EXPECT_TRUE(sent(sim, "mac -d lockinfo"));

  r = unlock({sim.address()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, sim.address() + " is not locked\n");
}

TEST(Unlock, MarkerFieldsAreShownNotObeyed) {
  // Anyone on the network can write the marker, and with it what the
  // operator's terminal does: here, go up a line, erase it and claim that
  // the target is free, then conceal what follows.
  Sim sim;
  RunOptions plant;
  plant.program = "/bin/bash";
  plant.env["A"] = sim.address();
  run({"-c", R"x(exec 3<>"/dev/tcp/$A/3810" && printf '%s\n' 'mac lockinfo={echo )x"
             R"x("user: 4242" \0A "userinterface: 1 (terminal)" \0A "host name: bench7" )x"
             R"x(\1B "[1A" \1B "[2K" "'"$A"' is free" \1B "[8m" \0A}' >&3 && )x"
             R"x(read -r -t 5 -n 2 prompt <&3)x"},
      plant);

  RunResult r = unlock({sim.address()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, sim.address() +
                       " is locked by user 4242, user interface 1 (terminal), host "
                       "bench7\\x1B[1A\\x1B[2K" +
                       sim.address() + " is free\\x1B[8m\n");
  EXPECT_FALSE(sent(sim, "mac -d lockinfo"));
}

TEST(Unlock, OutputThatGoesAwayDoesNotStopTheRemoval) {
  // Standard output is a pipe whose reader is gone before the first line:
  // the lines are lost, the lock is removed all the same and the LAN lock
  // of the probe given back.
  Sim sim({"--locked"});
  RunOptions o;
  o.program = "/bin/bash";
  o.env["U"] = ROMUPDATE_UNLOCK_BIN;
  o.env["A"] = sim.address();
  RunResult r =
      run({"-c", R"(exec 5> >(exec true); wait $!; "$U" --force "$A" >&5; echo "status $?")"}, o);
  EXPECT_EQ(r.out, "status 0\n") << r.err;
  EXPECT_TRUE(sent(sim, "mac -d lockinfo"));
  EXPECT_EQ(sim.commands().back(), "lanlk -d");
}

TEST(Unlock, FreeTargetIsOnlyProbed) {
  Sim sim;
  RunResult r = unlock({sim.address()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, sim.address() + " is not locked\n");
  EXPECT_EQ(sim.commands(), (std::vector<std::string>{"lanlk -e;lockinfo", "lanlk -d"}));
}

TEST(Unlock, UnreachableOrFailingTargetIsNeverReportedFree) {
  const std::string nobody = reserve_loopback();
  RunResult r = unlock({nobody});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "romupdate-unlock: command port connect failed, Connection refused\n"
            "romupdate-unlock: " +
                nobody + ": target not reached\n");

  r = unlock({"no-such-target.invalid"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "no-such-target.invalid not found in /etc/hosts\n")) << r.err;

  // The target drops the connection while the marker is being removed.
  Sim sim({"--locked", "--close-at", "mac -d"});
  r = unlock({"--force", sim.address()});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(contains(r.out, "is free")) << r.out;
  EXPECT_TRUE(contains(r.err, "the connection failed; the lock is as it was\n")) << r.err;
}

TEST(Unlock, UsageErrorsTakeOneLine) {
  for (const std::vector<std::string> &args : {std::vector<std::string>{},
                                               {"--frobnicate", "127.0.0.2"},
                                               {"127.0.0.2", "127.0.0.3"},
                                               {""}}) {
    RunResult r = unlock(args);
    EXPECT_EQ(r.status, 2) << args.size();
    EXPECT_EQ(count_of(r.err, "\n"), 1) << r.err;
    EXPECT_TRUE(contains(r.err, "(see --help)\n")) << r.err;
    EXPECT_EQ(r.out, "");
  }
  RunResult help = unlock({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(contains(help.out, "Usage: romupdate-unlock [--force] ADDRESS\n")) << help.out;
}
