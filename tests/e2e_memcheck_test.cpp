// A complete update of every target class under valgrind's memcheck: no
// invalid access, no use of an undefined value, no leak of what the run
// allocates (paths, typed lines, queued messages, nwire commands).
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <regex>

#include "harness/harness.h"

using namespace e2e;

namespace {

std::string find_valgrind() {
  for (const char *dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    std::string p = std::string(dir) + "/valgrind";
    if (access(p.c_str(), X_OK) == 0) {
      return p;
    }
  }
  return "";
}

struct update {
  std::vector<std::string> sim_options;
  std::vector<std::string> flags;
  std::string config;
  std::vector<std::string> images;
  bool exact;
};

// Runs the update under memcheck; checks that the run ended by itself with
// `status` and that memcheck found nothing.
RunResult memcheck_run(const std::string &valgrind, Sim &sim, const update &u, int status) {
  std::vector<std::string> args = u.flags;
  args.push_back(sim.address());
  args.push_back(u.config);
  RunOptions ro;
  ro.wrapper = {valgrind,
                "--error-exitcode=99",
                "--leak-check=full",
                "--show-leak-kinds=definite,indirect",
                "--errors-for-leak-kinds=definite,indirect",
                "--track-fds=no",
                "-q"};
  ro.timeout = 240;
  RunResult r = run(args, ro);

  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_EQ(r.status, status) << r.err;  // 99: memcheck found errors
  // With -q, anything valgrind prints is a finding.
  EXPECT_FALSE(std::regex_search(r.out + r.err, std::regex("(^|\n)==[0-9]+=="))) << r.err;
  return r;
}

std::unique_ptr<Sim> start_sim(const update &u, std::vector<std::string> fault = {}) {
  std::vector<std::string> o = {"--reboot-time", "0.2"};
  o.insert(o.end(), u.sim_options.begin(), u.sim_options.end());
  o.insert(o.end(), fault.begin(), fault.end());
  return std::make_unique<Sim>(o);
}

void run_under_memcheck(const update &u) {
  std::string valgrind = find_valgrind();
  if (valgrind.empty()) {
    GTEST_SKIP() << "valgrind is not installed";
  }

  std::unique_ptr<Sim> simp = start_sim(u);
  Sim &sim = *simp;
  RunResult r = memcheck_run(valgrind, sim, u, 0);
  EXPECT_TRUE(contains(r.err, "Flash programming SUCCEEDED\n")) << r.err;

  sim.stop();
  for (const std::string &img : u.images) {
    std::string report;
    EXPECT_TRUE(flash_matches(examples_root() + "/lib/" + img, sim.dump_path(), u.exact, &report))
        << report;
  }
}

}  // namespace

TEST(Memcheck, A38100AWithTheLoader) {
  run_under_memcheck(
      {{"--target", "38100a", "--hwid", "2FFFF0=5806"}, {"-v"}, "T5806", {"t5806a.X"}, true});
}

TEST(Memcheck, A38100BWithEraseProbes) {
  run_under_memcheck(
      {{"--target", "38100b", "--used", "10000000-1000FFFF", "--used", "10040000-10040FFF"},
       {"-v"},
       "T5806",
       {"t5806b.X"},
       true});
}

TEST(Memcheck, ProcessorProbe) {
  run_under_memcheck(
      {{"--target", "probe", "--hwid", "7FFF0=5821"}, {"-v"}, "T5821", {"t5821.X"}, true});
}

TEST(Memcheck, LanCard) {
  run_under_memcheck({{"--target", "38100a", "--hwid", "97FFF0=38126"},
                      {"-v"},
                      "38126",
                      {"t38126.X", "l38126.X"},
                      false});
}

TEST(Memcheck, NwireBoxWithB) {
  run_under_memcheck({{"--target", "38100a", "--register", "2ffff7=A5"},
                      {"-v", "-b"},
                      "T7710",
                      {"t7710.X"},
                      true});
}

// The ways out of a failed run free what they hold, and read nothing that
// a broken connection left unset.
TEST(Memcheck, FailedUpdates) {
  std::string valgrind = find_valgrind();
  if (valgrind.empty()) {
    GTEST_SKIP() << "valgrind is not installed";
  }
  const update a38100a = {
      {"--target", "38100a", "--hwid", "2FFFF0=5806"}, {"-v"}, "T5806", {}, true};
  const update nwire = {
      {"--target", "38100a", "--register", "2ffff7=A5"}, {"-v", "-b"}, "T7710", {}, true};
  struct failure {
    const update &u;
    std::vector<std::string> fault;
  };
  for (const failure &f : std::vector<failure>{
           {a38100a, {"--close-at", "pf -i@1"}},
           {a38100a, {"--download-drop-after", "1025@2"}},
           {a38100a, {"--download-status", "2@1"}},
           {nwire, {"--close-at", "rst@1"}},
       }) {
    SCOPED_TRACE(f.fault[0] + " " + f.fault[1]);
    std::unique_ptr<Sim> sim = start_sim(f.u, f.fault);
    RunResult r = memcheck_run(valgrind, *sim, f.u, 1);
    EXPECT_TRUE(contains(r.err, "Flash programming FAILED\n")) << r.err;
  }
}
