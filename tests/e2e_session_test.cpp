// The frame of a run: usage, the address prompt, the lock, the release,
// refused and unknown targets, interrupts.
#include <gtest/gtest.h>
#include <unistd.h>

#include "harness/harness.h"

using namespace e2e;

namespace {

std::string usage_text(const std::string &prog) {
  return "\nUsage: " + prog +
         " [-v] <ip address> [ <configfile> ]\n\n"
         "    -v - verbose mode: enable lots of status messages\n\n"
         "    <ip address> - lan ip address of XR processor probe or emulator\n"
         "    <configfile> - config file to update in current directory or $XR52000/inst/update\n"
         "        e. g. T5806\n\n"
         "    If $XR52000 is not set, /usr/xr52000 will be used.\n\n"
         "    If no <ip address> is given, " +
         prog +
         " will prompt\n"
         "    for this address.\n\n"
         "    If no <configfile> is given, " +
         prog +
         " will prompt\n"
         "    for <configfile> using menus.\n\n";
}

std::string lock_macro() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return "mac lockinfo={echo \"user: " + std::to_string(getuid()) +
         "\" \\0A \"userinterface: 4 (gateway)\" \\0A \"host name: " + host + "\" \\0A  };lanlk -d";
}

}  // namespace

TEST(Usage, QuestionMarkAndUnknownOptionPrintUsageAndFail) {
  RunResult r = run({"-?"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, usage_text(romupdate_path()));
  EXPECT_EQ(r.err, "");

  r = run({"-x", "127.0.0.2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, usage_text(romupdate_path()));
  EXPECT_TRUE(contains(r.err, "-- 'x'")) << r.err;  // the system parser's own diagnostic
}

TEST(Usage, OptionsEndAtTheFirstOperand) {
  // "-x" after the address is a configuration name, not an option: the run
  // gets as far as connecting (refused here) instead of printing the usage.
  std::string address = reserve_loopback();
  RunResult r = run({address, "-x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(contains(r.out, "Usage:"));
  EXPECT_TRUE(contains(r.err, "command port connect failed, Connection refused")) << r.err;
}

TEST(Lock, LockedTargetIsRefusedAndLeftToItsHolder) {
  Sim sim({"--locked", "--target", "38100a"});
  RunResult r = run({"-v", sim.address(), "T5806"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, sim.address() + " is locked by another user interface\n");
  EXPECT_FALSE(contains(r.out + r.err, "Flash programming"));  // a failed open ends plainly
  EXPECT_EQ(sim.commands(), (std::vector<std::string>{"lanlk -e;lockinfo", "lanlk -d"}));
}

TEST(Lock, FreeTargetIsLockedMarkedAndReleased) {
  Sim sim({"--target", "38100a"});
  RunResult r = run({"-v", sim.address(), "NOSUCHPRODUCT"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "Cannot open 'NOSUCHPRODUCT.cfg' or '" + examples_root() +
                                  "/inst/update/NOSUCHPRODUCT.cfg'\n"))
      << r.out;
  EXPECT_TRUE(contains(r.err, "Flash programming FAILED\n"));
  EXPECT_EQ(sim.commands(), (std::vector<std::string>{"lanlk -e;lockinfo", "po -p $", lock_macro(),
                                                      "ver", "mac -d lockinfo", "po -p >"}));
  // The control connection introduced itself with the command connection's
  // local end.
  bool paired = false;
  for (auto &t : sim.transcript()) {
    if (t.kind == "ctl" && t.session == 1) {
      paired = contains(t.text, "127.");
    }
  }
  EXPECT_TRUE(paired);
}

TEST(Connect, RefusedConnectionEndsWithoutResultLine) {
  std::string address = reserve_loopback();
  RunResult r = run({"-v", address, "T5806"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "command port connect failed, Connection refused\n");
  EXPECT_FALSE(contains(r.out + r.err, "Flash programming"));
}

TEST(Connect, UnknownHostAndAbsurdAddresses) {
  RunResult r = run({"nosuchtarget.invalid", "T5806"}, {.timeout = 120});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "nosuchtarget.invalid not found in /etc/hosts\n");

  std::string huge(5000, 'a');
  r = run({huge, "T5806"}, {.timeout = 120});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "not found in /etc/hosts") || contains(r.err, "aaaa"))
      << r.err.substr(0, 200);
  EXPECT_LT(r.err.size(), 1100u);  // the message is cut, not overrun
}

TEST(Prompt, AddressFromStandardInput) {
  Sim sim({"--target", "38100a"});
  RunOptions o;
  o.input = sim.address() + "\n";
  RunResult r = run({}, o);
  // After the address comes the menu; its input ends, which ends the run.
  EXPECT_TRUE(contains(r.out, "IP address of product to update (cntl C to abort)? ")) << r.out;
  EXPECT_TRUE(contains(r.out, "\t\tProduct\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(r.timed_out);
  auto cmds = sim.commands();
  ASSERT_GE(cmds.size(), 2u);
  EXPECT_EQ(cmds.back(), "po -p >");  // released
}

TEST(Prompt, EndOfInputAtTheAddressPromptEndsTheRun) {
  RunResult r = run({}, {.timeout = 20});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(count_of(r.out, "IP address of product to update"), 1);
}

TEST(Interrupt, AtTheMenuLeavesTheConnectionUntouched) {
  Sim sim({"--target", "38100a"});
  RunOptions o;
  o.close_input = false;
  o.signal_when_output = "Number of Product to Update?";
  RunResult r = run({"-v", sim.address()}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_TRUE(contains(r.err, romupdate_path() + ": Interrupt\n")) << r.err;
  EXPECT_TRUE(contains(r.err, "Flash programming FAILED\n"));
  auto cmds = sim.commands();
  EXPECT_EQ(cmds.back(), "ver");  // no release, no reboot
  // What the operator is left with, and what clears it.
  EXPECT_TRUE(contains(r.err, romupdate_path() + ": Interrupt\n" + romupdate_path() +
                                  ": interrupted: " + sim.address() +
                                  " was not released and its lock may remain; "
                                  "romupdate-unlock " +
                                  sim.address() + " clears it\nFlash programming FAILED\n"))
      << r.err;
}

TEST(Interrupt, TerminateEndsTheRunLikeAnInterrupt) {
  Sim sim({"--target", "38100a", "--hang-at", "ver"});
  RunOptions o;
  o.signal_when_output = "Checking System firmware revision";
  o.signal = SIGTERM;
  RunResult r = run({"-v", sim.address(), "T5806"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, romupdate_path() + ": Terminate\n")) << r.err;
  EXPECT_TRUE(contains(r.err, "Flash programming FAILED\n"));
}

TEST(Connect, TargetThatDropsTheConnectionDuringTheOpening) {
  Sim sim({"--target", "38100a", "--close-at", "po -p"});
  RunResult r = run({"-v", sim.address(), "T5806"}, {.timeout = 30});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err, "");
  EXPECT_FALSE(contains(r.out + r.err, "SUCCEEDED"));
}
