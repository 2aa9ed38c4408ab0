// Identification, configuration files and the product menu, the reboot and
// the reconnection.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "harness/harness.h"

using namespace e2e;

namespace {

const std::vector<std::string> kReboot = {"--reboot-time", "0.2"};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The menu lists the update directory in the order the directory yields.
std::vector<std::string> menu_order(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  while (struct dirent *e = d ? readdir(d) : nullptr) {
    std::string n = e->d_name;
    size_t dot = n.rfind('.');
    if (dot != std::string::npos && (n.substr(dot) == ".cfg" || n.substr(dot) == ".CFG")) {
      names.push_back(n);
    }
  }
  if (d) {
    closedir(d);
  }
  return names;
}

int count_if_equal(const std::vector<unsigned> &v, unsigned x) {
  return static_cast<int>(std::count(v.begin(), v.end(), x));
}

}  // namespace

TEST(Identify, A38100BIsClassifiedPrintedRebootedAndReconnected) {
  Sim sim(with({"--target", "38100b"}, kReboot));
  RunResult r = run({"-v", sim.address(), "T5850"});
  EXPECT_TRUE(contains(r.err, "Checking System firmware revision...\nMainframe is a 38100B\n"))
      << r.err;
  EXPECT_TRUE(contains(
      r.out, "\nReading configuration from '" + examples_root() + "/inst/update/T5850.cfg'\n"))
      << r.out;
  EXPECT_TRUE(contains(r.err,
                       "ROM identifier address = 2FFFF0H\n"
                       "Required hardware identifier = 38100BH\n"
                       "Control ROM start address = 10000000H\n"
                       "Control ROM size = 100000H\n"
                       "Control ROM width = 32\n"
                       "Programming voltage control address = 2FFFF7H\n"
                       "Programming voltage control value = FFFFH\n"
                       "Programming voltage control mask = 0H\n"))
      << r.err;
  EXPECT_FALSE(contains(r.err, "System firmware revision required"));  // only on a 38100A
  EXPECT_TRUE(contains(r.err + r.out, "\nRebooting Flash Target System...with init -r\n\n"));

  auto t = sim.transcript();
  std::vector<std::string> first, second;
  for (auto &l : t) {
    if (l.kind != "cmd") {
      continue;
    }
    (l.session == 1 ? first : second).push_back(l.text);
  }
  ASSERT_GE(first.size(), 5u);
  EXPECT_EQ(first[3], "ver");
  EXPECT_EQ(first.back(), "init -r");
  ASSERT_GE(second.size(), 5u);
  EXPECT_EQ(second[0], "lanlk -e;lockinfo");
  EXPECT_EQ(second[3], "mac enableXR38100debug={}");
  EXPECT_EQ(second[4], "mac enableXRdebug={}");

  // The waits: whole 2-second pauses between attempts, 8 after the final
  // reboot of a 38100B.
  ASSERT_GE(r.sleeps.size(), 2u);
  EXPECT_EQ(r.sleeps.front(), 2u);
  EXPECT_EQ(r.sleeps.back(), 8u);
  EXPECT_EQ(count_if_equal(r.sleeps, 2), static_cast<int>(r.sleeps.size()) - 1);
}

TEST(Identify, ClassesDecideTheFinalWait) {
  struct Case {
    const char *target, *product;
    unsigned wait;
    const char *line;
  };
  for (Case c : {Case{"38100a", "T5806", 20, "Mainframe is a 38100A\n"},
                 Case{"probe", "T5821", 8, "Mainframe is a processor probe\n"}}) {
    Sim sim(with({"--target", c.target, "--hwid", "2FFFF0=5806", "--hwid", "7FFF0=5821"}, kReboot));
    RunResult r = run({"-v", sim.address(), c.product});
    EXPECT_TRUE(contains(r.err, c.line)) << c.target << r.err;
    ASSERT_FALSE(r.sleeps.empty());
    EXPECT_EQ(r.sleeps.back(), c.wait) << c.target;
  }
}

TEST(Identify, ProcessorProbeFirmwareRebootsWithInitP) {
  Sim sim(with({"--target", "probe", "--hwid", "7FFF0=5821"}, kReboot));
  RunResult r = run({"-v", sim.address(), "T5821"});
  EXPECT_TRUE(contains(r.err + r.out, "\nRebooting Flash Target System...with init -p\n\n"));
  auto cmds = sim.commands();
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "init -p"), cmds.end());
  EXPECT_EQ(std::find(cmds.begin(), cmds.end(), "init -r"), cmds.end());
}

TEST(Identify, WithBNoRebootButTheMacrosAreSent) {
  Sim sim({"--target", "38100a", "--register", "2ffff7=A5"});
  RunResult r = run({"-b", sim.address(), "T7710"});
  auto cmds = sim.commands();
  EXPECT_EQ(std::find(cmds.begin(), cmds.end(), "init -r"), cmds.end());
  ASSERT_GE(cmds.size(), 6u);
  EXPECT_EQ(cmds[4], "mac enableXR38100debug={}");
  EXPECT_EQ(cmds[5], "mac enableXRdebug={}");
  EXPECT_TRUE(r.sleeps.empty());
}

TEST(Reconnect, TargetThatNeverComesBackEndsAfterSixtyAttempts) {
  Sim sim({"--target", "38100a", "--never-return"});
  RunResult r = run({"-v", sim.address(), "T5806"});
  EXPECT_EQ(r.status, 1);
  // The sixty attempts, then the exit routine's five to reach the target
  // again.  No reboot command went out, so there is no reboot to wait for.
  EXPECT_EQ(count_if_equal(r.sleeps, 2), 65);
  EXPECT_EQ(r.sleeps.size(), 65u);
  EXPECT_TRUE(contains(r.err, "command port connect failed, Connection refused\n"));
  // Said plainly, and the result line stays last.
  EXPECT_TRUE(contains(r.err, "\nRebooting Flash Target System...\n" + romupdate_path() +
                                  ": could not reach " + sim.address() +
                                  " again: it was not rebooted and its lock may remain; "
                                  "romupdate-unlock " +
                                  sim.address() + " clears it\nFlash programming FAILED\n"))
      << r.err;
  EXPECT_EQ(r.err.rfind("Flash programming FAILED\n"), r.err.size() - 25);
}

TEST(Reconnect, TargetThatComesBackLockedIsRetriedThenGivenUp) {
  Sim sim(with({"--target", "38100a", "--come-back-locked"}, kReboot));
  RunResult r = run({"-v", sim.address(), "T5806"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, sim.address() + " is locked by another user interface")) << r.err;
  EXPECT_FALSE(contains(r.err + r.out, "SUCCEEDED"));
  // The exit routine reaches the target once more, finds the other holder's
  // marker, leaves it alone and says so.
  EXPECT_TRUE(contains(r.err, romupdate_path() + ": " + sim.address() +
                                  " was not rebooted: it is now locked by user 4242, user "
                                  "interface 1 (terminal), host bench7; that lock was left "
                                  "alone\nFlash programming FAILED\n"))
      << r.err;
  auto cmds = sim.commands();
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "mac -d lockinfo"), 0);
  EXPECT_EQ(cmds.back(), "lanlk -d");
}

TEST(Configuration, ProbeFirmwareMustStandAlone) {
  Sim sim({"--target", "probe"});
  RunResult r = run({sim.address(), "T5821", "T5806"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err,
                       "\nProgramming the T5821 code is incompatable with programming of\n"
                       "other products, This code must be used alone on the command line.\n\n"));
  EXPECT_EQ(sim.commands().back(), "po -p >");  // released, not rebooted
}

TEST(Configuration, LanCardMustStandAloneAndIsRefusedOnA38100B) {
  {
    Sim sim({"--target", "38100a"});
    RunResult r = run({sim.address(), "38126", "T5806"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        contains(r.err,
                 "\nProgramming of the 38126 product is incompatable with programming of\n"
                 "other products, the 38126 must be the only product on the command line.\n\n"));
  }
  {
    Sim sim({"--target", "38100b"});
    RunResult r = run({sim.address(), "38126"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "\n38126 is incompatable and unnecessary with 38100B hardware.\n"));
    EXPECT_EQ(sim.commands().back(), "po -p >");
  }
}

TEST(Configuration, BadFilesEndTheRunWithTheirMessage) {
  Sim sim({"--target", "38100a"});
  TempDir dir;
  dir.write("EMPTY.cfg", "");
  dir.write("NOBIN.cfg", "romident 1234\n");
  dir.write("BINARY.cfg", std::string("\x7f"
                                      "ELF\x01\x02\x00\x00romident\x00\xff\xfe",
                                      17));
  for (auto [name, message] : std::vector<std::pair<std::string, std::string>>{
           {"EMPTY", ": ID must be defined\n"},
           {"NOBIN", ": Control binary name must be defined\n"},
           {"BINARY", ": ID must be defined\n"}}) {
    RunOptions o;
    o.cwd = dir.path();
    RunResult r = run({sim.address(), name}, o);
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_TRUE(contains(r.err, message)) << name << ": " << r.err;
    EXPECT_EQ(r.term_signal, 0);
  }
}

TEST(Configuration, NineEntriesAreCutToEight) {
  Sim sim(with({"--target", "38100a", "--hwid", "2FFFF0=5806"}, kReboot));
  TempDir dir;
  std::string cfg;
  for (int i = 0; i < 9; ++i) {
    if (i) {
      cfg += "newflash x\n";
    }
    cfg += "romident 5806\nromstart 280000\nbinname lib/t5806a.X\n";
  }
  dir.write("NINE.cfg", cfg);
  // Found in the current directory, the entries' images are taken from
  // there too, by their names without the directory.
  dir.write("t5806a.X", read_file(examples_root() + "/lib/t5806a.X"));
  RunOptions o;
  o.cwd = dir.path();
  RunResult r = run({"-v", sim.address(), "NINE"}, o);
  EXPECT_TRUE(contains(r.err + r.out, "Too many config files, ignoring those past 8\n")) << r.err;
  int programmed = 0;
  for (auto &c : sim.commands()) {
    programmed += c.rfind("pf -p ", 0) == 0;
  }
  EXPECT_EQ(programmed, 8);
}

TEST(Menu, ListsAsksRejectsBadAnswersAndAsksAboutProgress) {
  Sim sim(with({"--target", "38100a", "--hwid", "2FFFF0=5806"}, kReboot));
  auto order = menu_order(examples_root() + "/inst/update");
  auto it = std::find(order.begin(), order.end(), "T5806.cfg");
  ASSERT_NE(it, order.end());
  int choice = static_cast<int>(it - order.begin()) + 1;

  RunOptions o;
  o.input = sim.address() + "\n0\n-3\n99\nabc\n" + std::to_string(choice) + "\n\n";
  RunResult r = run({}, o);
  std::string menu = "\n\t\tProduct\n";
  for (size_t i = 0; i < order.size(); ++i) {
    std::string label = order[i].substr(0, order[i].find('.'));
    if (label.rfind("38163", 0) == 0) {
      label = "38134/38147/38152/38163";
    }
    char row[128];
    snprintf(row, sizeof row, "\t%3zu %s\n", i + 1, label.c_str());
    menu += row;
  }
  menu += "\n";
  EXPECT_TRUE(contains(r.out, menu)) << r.out;
  const std::string q = "Number of Product to Update? (intr (usually cntl C or DEL) to abort) ";
  EXPECT_EQ(count_of(r.out, q), 5);
  EXPECT_TRUE(contains(r.out, "Enable progress messages? [y/n] (y) "));
  // Return alone turned progress messages on.
  EXPECT_TRUE(contains(r.err, "Flash programming SUCCEEDED\n")) << r.err;
  EXPECT_EQ(r.status, 0);
}

TEST(Menu, AnsweringNoLeavesProgressOffAndEndOfInputEnds) {
  Sim sim(with({"--target", "38100a", "--hwid", "2FFFF0=5806"}, kReboot));
  auto order = menu_order(examples_root() + "/inst/update");
  int choice =
      static_cast<int>(std::find(order.begin(), order.end(), "T5806.cfg") - order.begin()) + 1;
  RunOptions o;
  o.input = sim.address() + "\n" + std::to_string(choice) + "\nno\n";
  RunResult r = run({}, o);
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(contains(r.err, "Flash programming"));

  Sim sim2({"--target", "38100a"});
  o.input = sim2.address() + "\n";
  r = run({}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(r.timed_out);
}
