// The command line: options, usage text, the address question.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/driver_test_support.h"
#include "driver/driver.h"
#include "driver/romupdate.h"
#include "platform/platform.h"

namespace {

// Each run parses in a fresh child, so the option parser starts clean.
child_result run_main(std::vector<std::string> args) {
  return run_in_child([&] {
    std::vector<char *> argv;
    for (auto &a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    romupdate_main(static_cast<int>(args.size()), argv.data());
  });
}

// Parses the options in a child; the exit status tells the first operand's
// index and the flags: index * 4 + bdm * 2 + verbose.
child_result parse(std::vector<std::string> args) {
  return run_in_child([&] {
    std::vector<char *> argv;
    for (auto &a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int first = parse_options(static_cast<int>(args.size()), argv.data());
    _exit(first * 4 + bdm_flag * 2 + verboseflag);
  });
}

std::string usage_for(const std::string &name) {
  const plat_texts &t = plat_text();
  return "\nUsage: " + name + " [-v] <ip address> [ <configfile> ]\n\n" +
         "    -v - verbose mode: enable lots of status messages\n\n" +
         "    <ip address> - lan ip address of XR processor probe or emulator\n" + t.usage_line4 +
         "        e. g. T5806\n\n" + t.usage_line6 + "    If no <ip address> is given, " + name +
         " will prompt\n" + "    for this address.\n\n" + "    If no <configfile> is given, " +
         name + " will prompt\n" + "    for <configfile> using menus.\n\n";
}

}  // namespace

TEST(CommandLine, BadOptionsPrintTheUsage) {
  child_result help = run_main({"./romupdate", "-?"});
  EXPECT_EQ(help.status, 1);
  EXPECT_EQ(help.out, usage_for("./romupdate"));
  EXPECT_EQ(help.err, "");

  child_result unknown = run_main({"rup", "-v", "-x", "10.0.0.1"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.out, usage_for("rup"));
  EXPECT_NE(unknown.err.find("-- 'x'"), std::string::npos) << unknown.err;
  EXPECT_EQ(unknown.err.find("FAILED"), std::string::npos);
}

TEST(CommandLine, OptionsStopAtTheFirstOperand) {
  EXPECT_EQ(parse({"r", "-b", "-v", "host", "a.cfg"}).status, 3 * 4 + 2 + 1);
  EXPECT_EQ(parse({"r", "-vb", "host"}).status, 2 * 4 + 2 + 1);
  // Option letters after the address are configuration names.
  child_result r = parse({"r", "host", "-x", "-v"});
  EXPECT_EQ(r.status, 1 * 4);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(parse({"r"}).status, 1 * 4);
}
