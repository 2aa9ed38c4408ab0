// Fleet updates: the xargs and GNU parallel recipes of README.md, taken
// from the document and run as written, against 16 simulators at once, one
// of which fails its hardware check.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "harness/harness.h"

namespace {

using e2e::contains;
using e2e::RunOptions;
using e2e::RunResult;
using e2e::Sim;
using e2e::TempDir;

constexpr int FLEET_SIZE = 16;
constexpr int BAD_TARGET = 5;

// The ```bash block of the document whose second line (after "#!") begins
// with `heading`.
std::string recipe(const std::string &heading) {
  for (const std::string &block : e2e::code_blocks(e2e::read_file(ROMUPDATE_FLEET_DOC), "bash")) {
    size_t second = block.find('\n') + 1;
    if (block.compare(second, heading.size(), heading) == 0) return block;
  }
  return {};
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Whether a GNU parallel can be had; installs the Debian package when it
// is missing and this is a root shell with apt-get.  Empty when it can, else
// why not.
std::string gnu_parallel_missing() {
  auto is_gnu = [] { return std::system("parallel --version 2>/dev/null | grep -q 'GNU parallel'") == 0; };
  if (is_gnu()) return {};
  if (std::system("command -v parallel >/dev/null 2>&1") == 0)
    return "the 'parallel' on PATH is not GNU parallel";
  if (geteuid() != 0 || std::system("command -v apt-get >/dev/null 2>&1") != 0)
    return "GNU parallel is not installed (Debian package 'parallel') and cannot be installed here";
  if (std::system("apt-get install -y parallel >/dev/null 2>&1 || "
                  "(apt-get update >/dev/null 2>&1 && apt-get install -y parallel >/dev/null 2>&1)") != 0)
    return "apt-get could not install the package 'parallel'";
  return is_gnu() ? "" : "apt-get could not install the package 'parallel'";
}

// Sixteen targets: 38100B and 38100A mainframes in turn, all good but one, a
// 38100A whose control card reports the identifier of another product.
class Fleet : public ::testing::Test {
 protected:
  void start_fleet() {
    for (int i = 0; i < FLEET_SIZE; ++i) {
      std::vector<std::string> options = {"--reboot-time", "0.3"};
      if (i == BAD_TARGET) {
        options.insert(options.end(), {"--target", "38100a", "--hwid", "2FFFF0=5821"});
      } else if (i % 2) {
        options.insert(options.end(), {"--target", "38100a", "--hwid", "2FFFF0=5806"});
      } else {
        options.insert(options.end(), {"--target", "38100b"});
      }
      sims.push_back(std::make_unique<Sim>(options));
    }
    std::string list = "# the fleet\n";
    for (auto &sim : sims) list += "  " + sim->address() + "\n\n";
    work.write("targets.txt", list);
  }

  std::string address(int i) const { return sims[i]->address(); }
  std::string image(int i) const {
    return e2e::examples_root() + (i % 2 ? "/lib/t5806a.X" : "/lib/t5806b.X");
  }

  // Saves the recipe as the document says and runs it in the scratch
  // directory with romupdate on PATH.
  RunResult run_recipe(const std::string &name, const std::string &heading, const std::string &targets,
                       double timeout = 60) {
    std::string script = recipe(heading);
    EXPECT_FALSE(script.empty()) << "no recipe '" << heading << "' in " << ROMUPDATE_FLEET_DOC;
    work.write(name, script);
    chmod(work.file(name).c_str(), 0755);
    RunOptions o;
    o.program = "/bin/bash";
    o.cwd = work.path();
    o.timeout = timeout;
    std::string bin = e2e::romupdate_path().substr(0, e2e::romupdate_path().rfind('/'));
    o.env["PATH"] = bin + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    o.env["FASTSLEEP_LOG"] = "";  // one log for 16 programs would say nothing
    return e2e::run({name, targets, "T5806"}, o);
  }

  // Every good target holds its image, and only it; the bad one holds none.
  void expect_flash() {
    for (int i = 0; i < FLEET_SIZE; ++i) {
      sims[i]->stop();
      std::string report;
      bool matches = e2e::flash_matches(image(i), sims[i]->dump_path(), true, &report);
      if (i == BAD_TARGET)
        EXPECT_FALSE(matches) << address(i) << ": the failing target was programmed";
      else
        EXPECT_TRUE(matches) << address(i) << ": " << report;
    }
  }

  std::vector<std::unique_ptr<Sim>> sims;
  TempDir work;
};

TEST_F(Fleet, XargsRecipeUpdatesEveryTargetAndNamesTheFailure) {
  start_fleet();
  RunResult r = run_recipe("fleet-update", "# fleet-update TARGETS", "targets.txt");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(e2e::count_of(r.out, "FAILED"), 1) << r.out;
  EXPECT_TRUE(contains(r.out, "FAILED " + address(BAD_TARGET) + " (status 1;")) << r.out;

  std::map<std::string, std::string> status;
  for (const std::string &line : lines_of(e2e::read_file(work.file("results.txt")))) {
    size_t blank = line.find(' ');
    ASSERT_NE(blank, std::string::npos) << line;
    EXPECT_TRUE(status.emplace(line.substr(0, blank), line.substr(blank + 1)).second) << "twice: " << line;
  }
  ASSERT_EQ(status.size(), size_t{FLEET_SIZE});
  for (int i = 0; i < FLEET_SIZE; ++i) {
    EXPECT_EQ(status[address(i)], i == BAD_TARGET ? "1" : "0") << address(i);
    std::string log = e2e::read_file(work.file("logs/" + address(i) + ".log"));
    EXPECT_TRUE(contains(log, i == BAD_TARGET ? "Flash programming FAILED" : "Flash programming SUCCEEDED"))
        << address(i) << ":\n" << log;
  }
  expect_flash();
}

TEST_F(Fleet, ParallelRecipeUpdatesEveryTargetAndNamesTheFailure) {
  if (std::string why = gnu_parallel_missing(); !why.empty()) GTEST_SKIP() << why;
  start_fleet();
  RunResult r = run_recipe("fleet-update-parallel", "# fleet-update-parallel TARGETS", "targets.txt");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(lines_of(r.out), std::vector<std::string>{"FAILED " + address(BAD_TARGET) + " (status 1, signal 0)"})
      << r.err;

  // Each target's lines stand together, tagged with the target.
  std::vector<std::string> order;
  std::map<std::string, std::string> output;
  for (const std::string &line : lines_of(e2e::read_file(work.file("fleet.log")))) {
    size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << "untagged line: " << line;
    std::string tag = line.substr(0, tab);
    if (order.empty() || order.back() != tag) order.push_back(tag);
    output[tag] += line.substr(tab + 1) + "\n";
  }
  EXPECT_EQ(order.size(), size_t{FLEET_SIZE}) << "outputs of different targets interleave";
  EXPECT_EQ(std::set<std::string>(order.begin(), order.end()).size(), size_t{FLEET_SIZE});
  for (int i = 0; i < FLEET_SIZE; ++i)
    EXPECT_TRUE(contains(output[address(i)],
                         i == BAD_TARGET ? "Flash programming FAILED" : "Flash programming SUCCEEDED"))
        << address(i) << ":\n" << output[address(i)];
  expect_flash();
}

// A target listed twice would be refused by its own lock halfway through;
// the recipes refuse the list before touching any target.  So does a list
// without targets.
TEST_F(Fleet, RecipesRefuseABadTargetList) {
  sims.push_back(std::make_unique<Sim>());
  work.write("twice.txt", address(0) + "\n192.0.2.1\n" + address(0) + "  # again\n");
  work.write("empty.txt", "# nobody\n\n");
  bool have_parallel = gnu_parallel_missing().empty();
  for (const char *name : {"fleet-update", "fleet-update-parallel"}) {
    if (std::string(name) == "fleet-update-parallel" && !have_parallel) continue;
    std::string heading = std::string("# ") + name + " TARGETS";
    RunResult twice = run_recipe(name, heading, "twice.txt", 20);
    EXPECT_EQ(twice.status, 2) << name;
    EXPECT_TRUE(contains(twice.err, "listed more than once: " + address(0))) << name << ": " << twice.err;
    RunResult empty = run_recipe(name, heading, "empty.txt", 20);
    EXPECT_EQ(empty.status, 2) << name;
    EXPECT_TRUE(contains(empty.err, "no targets")) << name << ": " << empty.err;
  }
  for (auto &sim : sims) EXPECT_TRUE(sim->commands().empty()) << sim->address() << " was contacted";
}

}  // namespace
