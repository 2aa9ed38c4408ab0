// What the program writes must not decide what happens to the target: a
// reader of its output that quits, a full disk, a file size limit, and a
// trace file that is not what it claims to be.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "harness/harness.h"

using namespace e2e;

namespace {

// A shell command line run with $R the program and $A the target's address,
// ending with the program's exit status on standard output.
RunResult shell(const std::string &command, const std::string &address,
                std::map<std::string, std::string> env = {}) {
  RunOptions o;
  o.program = "/bin/bash";
  o.env = std::move(env);
  o.env["R"] = romupdate_path();
  o.env["A"] = address;
  return run({"-c", command}, o);
}

// The update went through to its end: the image downloaded, the flash
// finished, the target rebooted.
void expect_whole_update(const Sim &sim, const std::string &what) {
  std::vector<std::string> cmds = sim.commands();
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "lcd -qfb 10000"), cmds.end()) << what;
  ASSERT_GE(cmds.size(), 2u) << what;
  EXPECT_EQ(cmds[cmds.size() - 2], "pf -f 010040000 16") << what;
  EXPECT_EQ(cmds.back(), "init -p") << what;
}

}  // namespace

TEST(ClosedOutput, AReaderThatQuitsOrAFullDiskNeverAbandonsTheTarget) {
  TempDir dir;
  struct {
    std::string command;
    std::string said;  // the one line standard error must hold, if any
  } cases[] = {
      {R"("$R" -v "$A" T5806 2>&1 | head -3; echo "status ${PIPESTATUS[0]}")", ""},
      {R"(ROMUPDATE_TRACE=/dev/stdout "$R" "$A" T5806 | sed q; echo "status ${PIPESTATUS[0]}")",
       ": trace file '/dev/stdout' could not be written to its end: Broken pipe\n"},
      {R"(ROMUPDATE_TRACE=/dev/stderr "$R" -v "$A" T5806 2>&1 >/dev/null | sed q;)"
       R"( echo "status ${PIPESTATUS[0]}")",
       ""},
      {R"("$R" -v "$A" T5806 2>/dev/full; echo "status $?")", ""},
      {R"(ROMUPDATE_TRACE=/dev/full "$R" "$A" T5806; echo "status $?")",
       ": trace file '/dev/full' could not be written to its end: No space left on device\n"},
      {R"(ulimit -f 1; ROMUPDATE_TRACE="$T" "$R" -v "$A" T5806; echo "status $?")",
       ": trace file '" + dir.file("limited.trace") +
           "' could not be written to its end: File too large\n"},
  };
  for (const auto &c : cases) {
    Sim sim({"--reboot-time", "0.2"});
    RunResult r = shell(c.command, sim.address(), {{"T", dir.file("limited.trace")}});
    EXPECT_TRUE(contains(r.out, "status 0\n")) << c.command << "\n" << r.out << r.err;
    expect_whole_update(sim, c.command);
    if (!c.said.empty()) {
      EXPECT_EQ(count_of(r.err, c.said), 1) << c.command << "\n" << r.err;
      EXPECT_EQ(count_of(r.err, "could not be written"), 1) << r.err;
    }
  }
}

TEST(TraceFile, WhatTheNameLeadsToIsCheckedBeforeItIsWritten) {
  TempDir dir;
  Sim sim({"--reboot-time", "0.2"});
  dir.write("victim", "not a trace\n");
  const std::string link_refusal =
      "it is a symbolic link (only a terminal, a pipe or standard output or error may be "
      "reached through one)";
  struct {
    std::string name;
    std::function<bool()> plant;  // false: not possible for this user
    std::string why;
  } refused[] = {
      {"link", [&] { return symlink(dir.file("victim").c_str(), dir.file("link").c_str()) == 0; },
       link_refusal},
      {"dangling",
       [&] { return symlink(dir.file("made").c_str(), dir.file("dangling").c_str()) == 0; },
       link_refusal},
      {"hard", [&] { return link(dir.file("victim").c_str(), dir.file("hard").c_str()) == 0; },
       "it has other names (hard links) as well"},
      {"foreign",
       [&] {
         dir.write("foreign", "another user's\n");
         return chown(dir.file("foreign").c_str(), 65534, 65534) == 0;
       },
       "it belongs to another user"},
  };
  for (auto &c : refused) {
    if (!c.plant()) {
      continue;  // only root gives a file away
    }
    RunOptions o;
    o.env["ROMUPDATE_TRACE"] = dir.file(c.name);
    RunResult r = run({"-v", sim.address(), "T5806"}, o);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, romupdate_path() + ": Can't create trace file '" + dir.file(c.name) +
                         "': " + c.why + "\n")
        << c.name;
    EXPECT_TRUE(sim.commands().empty()) << c.name;
  }
  EXPECT_EQ(read_file(dir.file("victim")), "not a trace\n");
  EXPECT_NE(access(dir.file("made").c_str(), F_OK), 0);
  if (geteuid() == 0) {
    EXPECT_EQ(read_file(dir.file("foreign")), "another user's\n");
  }

  // A FIFO that nobody reads: the program says what it waits for, and an
  // interrupt ends the wait through the exit routine.
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  RunOptions waiting;
  waiting.env["ROMUPDATE_TRACE"] = dir.file("fifo");
  waiting.signal_when_output = "waiting for a reader";
  waiting.timeout = 20;
  RunResult r = run({"-v", sim.address(), "T5806"}, waiting);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, romupdate_path() + ": trace file '" + dir.file("fifo") +
                       "' is a FIFO: waiting for a reader\n" + romupdate_path() +
                       ": Interrupt\nFlash programming FAILED\n");
  EXPECT_TRUE(sim.commands().empty());

  // Once it has a reader, the trace goes there whole.
  r = shell(R"(cat "$T" >"$T.out" & ROMUPDATE_TRACE="$T" "$R" "$A" T5806; echo "status $?"; wait)",
            sim.address(), {{"T", dir.file("fifo")}});
  EXPECT_TRUE(contains(r.out, "status 0\n")) << r.out << r.err;
  expect_whole_update(sim, "fifo with a reader");
  std::string trace = read_file(dir.file("fifo.out"));
  EXPECT_EQ(trace.rfind("0\t0.000\ttrace\tformat=", 0), 0u) << trace;
  EXPECT_TRUE(contains(trace, "\texit\t0\n")) << trace;
}
