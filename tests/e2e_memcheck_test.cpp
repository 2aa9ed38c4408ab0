// A complete update of every target class under valgrind's memcheck: no
// invalid access, no use of an undefined value, no leak of what the run
// allocates (paths, typed lines, queued messages, nwire commands).
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "harness/harness.h"
#include "harness/scenarios.h"

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

// Runs the update under memcheck; checks that the run ended by itself with
// `status` and that memcheck found nothing.
RunResult memcheck_run(const std::string &valgrind, Sim &sim, const Scenario &u, int status) {
  std::vector<std::string> args = u.arguments(sim.address());
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

void run_under_memcheck(const Scenario &u) {
  std::string valgrind = find_valgrind();
  if (valgrind.empty()) {
    GTEST_SKIP() << "valgrind is not installed";
  }

  Sim sim(u.sim_options());
  RunResult r = memcheck_run(valgrind, sim, u, 0);
  EXPECT_TRUE(contains(r.err, "Flash programming SUCCEEDED\n")) << r.err;

  sim.stop();
  for (const std::string &img : u.images) {
    std::string report;
    EXPECT_TRUE(flash_matches(lib_image(img), sim.dump_path(), u.exact, &report)) << report;
  }
}

}  // namespace

class MemcheckOf : public ::testing::TestWithParam<Scenario> {};
TEST_P(MemcheckOf, CompleteUpdate) { run_under_memcheck(GetParam()); }
INSTANTIATE_TEST_SUITE_P(TargetClasses, MemcheckOf, ::testing::ValuesIn(target_classes()),
                         [](const auto &info) { return info.param.key; });

// The ways out of a failed run free what they hold, and read nothing that
// a broken connection left unset.
TEST(Memcheck, FailedUpdates) {
  std::string valgrind = find_valgrind();
  if (valgrind.empty()) {
    GTEST_SKIP() << "valgrind is not installed";
  }
  const Scenario &a38100a = target_class("A38100AWithTheLoader");
  const Scenario &nwire = target_class("NwireBoxWithB");
  struct failure {
    const Scenario &u;
    std::vector<std::string> fault;
  };
  for (const failure &f : std::vector<failure>{
           {a38100a, {"--close-at", "pf -i@1"}},
           {a38100a, {"--download-drop-after", "1025@2"}},
           {a38100a, {"--download-status", "2@1"}},
           {nwire, {"--close-at", "rst@1"}},
       }) {
    SCOPED_TRACE(f.fault[0] + " " + f.fault[1]);
    Sim sim(f.u.sim_options(f.fault));
    RunResult r = memcheck_run(valgrind, sim, f.u, 1);
    EXPECT_TRUE(contains(r.err, "Flash programming FAILED\n")) << r.err;
  }
}
