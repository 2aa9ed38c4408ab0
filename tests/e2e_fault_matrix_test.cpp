// The target breaks off a complete update at every point we can name: the
// connection dropped at each command, the download stream cut at a spread
// of byte offsets, a download answered with a failure status.  Every run
// has to end by itself within a bound, never by a signal, and with the
// result it deserves: a broken update is never reported as a success, and a
// break the update does not depend on still ends with the image in flash.
// Every run is traced, and its trace replayed against the simulator's
// replay must give the same run again.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "harness/harness.h"
#include "harness/scenarios.h"
#include "replay_check.h"
#include "words.h"  // the simulator splits a line into commands this way

using namespace e2e;

namespace {

// Seconds a run may take before it counts as hung.  A good run takes well
// under one; the slowest failure (sixty reconnection attempts, shortened)
// takes a few.
constexpr double kBound = 30;
constexpr int kWorkers = 4;

enum class outcome {
  refused,   // the first opening failed: plain exit 1, no result line
  failed,    // exit 1 and "Flash programming FAILED"
  harmless,  // exit 0, "Flash programming SUCCEEDED", the image in flash
};

const char *name_of(outcome o) {
  switch (o) {
    case outcome::refused:
      return "refused";
    case outcome::failed:
      return "failed";
    case outcome::harmless:
      return "harmless";
  }
  return "?";
}

// What a drop at one command must lead to.  `command` is the beginning of
// the command as the target runs it (a line such as "lanlk -e;lockinfo"
// holds two commands, and each is dropped at on its own).  Whatever the
// outcome, the target ends without our lock marker, unless `marker` says
// otherwise.
enum class marker { removed, kept, either };

struct expectation {
  std::string command;
  outcome when_dropped;
  marker at_end = marker::removed;
  // Whether the run's trace tells where the target dropped it (see the LAN
  // card's "pf -f").
  bool traced = true;
};

using table = std::vector<expectation>;

table operator+(table a, const table &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The opening of the first connection.  Any drop in it is a failed opening,
// which ends the run with its messages and status 1, and nothing else.  A
// drop at the "lanlk -d" behind the marker's definition leaves the marker
// defined: the run reaches the target again and removes it.
const table first_opening = {
    {"lanlk -e", outcome::refused}, {"lockinfo", outcome::refused},
    {"po -p $", outcome::refused},  {"mac lockinfo=", outcome::refused},
    {"lanlk -d", outcome::refused},
};

// The reopening after the reboot.  A failed attempt is retried two seconds
// later, so a drop before the lock marker is defined costs one attempt and
// nothing else: harmless.  A drop after the marker's definition leaves the
// marker on a target that is not rebooted again, every later attempt finds
// the target locked, and the run fails after its attempts run out; its exit
// routine then reaches the target once more, recognises the marker as its
// own, removes it and reboots.
const table reopening = {
    {"lanlk -e", outcome::harmless}, {"lockinfo", outcome::harmless},
    {"po -p $", outcome::harmless},  {"mac lockinfo=", outcome::harmless},
    {"lanlk -d", outcome::failed},
};

// The two debug macros after the reopening: their failure ends the run.
const table debug_macros = {
    {"mac enableXR38100debug={}", outcome::failed},
    {"mac enableXRdebug={}", outcome::failed},
};

// A drop in the first session after the opening.  "ver": its reply is not
// looked at, but the drop leaves our lock marker on a target that is never
// rebooted, since the reboot command goes into the dead connection.  The
// reboot command itself: the target dropped it unanswered without
// rebooting, and carries our marker still.  Either way every reopening
// finds the target locked, and the run fails once its attempts are spent;
// the exit routine then removes its own marker and reboots the target.
// With -b there is one session and no reboot.
//
// The programming commands: a drop anywhere before the download is
// answered leaves the run without a connection, and fails it; with -b that
// includes the identity commands, which may complain without ending the
// run, but after a drop the register cannot be read, the only entry is
// skipped, and a run that programmed nothing has failed.  From the
// finishing "pf -f" on a drop is harmless: its result is not looked at, and
// the image is in flash; the exit routine finds the connection gone and
// reboots over a new one (or, with -b, releases).  The final reboot is
// read after no more, so a target that drops it without rebooting keeps the
// marker unseen.  A LAN card's "pf -f" goes out just before it without
// waiting for an answer, so the target may have taken both when it drops,
// and the marker may stay unseen as after a dropped reboot; and since
// nothing is read after either, the trace of such a drop is the trace of a
// good run, whose replay takes the reboot too.
table drops_of(const Scenario &s) {
  table t = first_opening + table{{"ver", outcome::failed}};
  if (!s.first_reboot.empty()) {
    t = t + table{{s.first_reboot, outcome::failed}} + reopening;
  }
  t = t + debug_macros;
  const size_t unanswered = s.programming.size() - s.unanswered_tail;
  bool finishing = false;
  for (size_t k = 0; k < s.programming.size(); ++k) {
    const std::string &command = s.programming[k];
    finishing = finishing || command.rfind("pf -f", 0) == 0;
    const bool reboot = k + 1 == s.programming.size() && !s.first_reboot.empty();
    const bool unseen = k >= unanswered && !reboot;
    t.push_back({command, finishing ? outcome::harmless : outcome::failed,
                 reboot   ? marker::kept
                 : unseen ? marker::either
                          : marker::removed,
                 !unseen});
  }
  return t;
}

struct fault_case {
  std::string label;
  std::vector<std::string> fault;  // simulator options
  outcome expected;
  marker at_end = marker::removed;
  bool rebooted = false;  // the target ends rebooted after the fault
  bool traced = true;     // see expectation::traced
};

struct case_result {
  std::string error;  // the case could not be run
  RunResult run;
  std::vector<std::string> commands;  // as the target received them
  LockEnd lock;                       // as the transcript shows it at the end
  bool flash_ok = true;
  std::string flash_report;
  std::string replay;  // how the replay of the run's trace differed from it
};

bool starts_with(const std::string &s, const std::string &prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Simulators are started one at a time: each reserves a loopback address
// of its own, and the reservation is not made for concurrent callers.
std::mutex sim_start;

std::unique_ptr<Sim> start_sim(const Scenario &tc, const std::vector<std::string> &fault) {
  std::lock_guard<std::mutex> lock(sim_start);
  return std::make_unique<Sim>(tc.sim_options(fault));
}

case_result run_case(const Scenario &tc, const std::vector<std::string> &fault, bool check_flash,
                     bool replay = true) {
  case_result cr;
  try {
    std::unique_ptr<Sim> sim = start_sim(tc, fault);
    TempDir dir;
    RunOptions o;
    o.timeout = kBound;
    o.env["ROMUPDATE_TRACE"] = dir.file("field.trace");
    cr.run = run(tc.arguments(sim->address()), o);
    cr.commands = sim->commands();
    cr.lock = lock_at_end(sim->transcript());
    sim->stop();
    // Every run of the matrix is also a field trace that must replay as it
    // ran, on the same address.
    if (replay) {
      cr.replay = replay_differences(tc.arguments(sim->address()), sim->address(),
                                     dir.file("field.trace"), cr.run, cr.commands, kBound);
    }
    if (check_flash) {
      for (const std::string &img : tc.images) {
        std::string report;
        if (!flash_matches(lib_image(img), sim->dump_path(), tc.exact, &report)) {
          cr.flash_ok = false;
          cr.flash_report += img + ": " + report;
        }
      }
    }
  } catch (const std::exception &e) {
    cr.error = e.what();
  }
  return cr;
}

// The download stream is the file from behind its 28-byte header, then the
// two zero bytes that end it.
unsigned long stream_length(const std::string &file) {
  return static_cast<unsigned long>(std::filesystem::file_size(lib_image(file))) - 28 + 2;
}

std::vector<unsigned long> drop_offsets(unsigned long length) {
  std::vector<unsigned long> v = {0,
                                  1,
                                  7,
                                  8,
                                  9,
                                  250,
                                  1023,
                                  1024,
                                  1025,
                                  length / 3,
                                  length / 2,
                                  length / 2 + 1,
                                  2 * length / 3,
                                  length - 1,   // the last byte does not arrive
                                  length,       // all arrived, no status comes back
                                  length + 1};  // never reached: the download completes
  std::vector<unsigned long> unique;
  for (unsigned long x : v) {
    if (std::find(unique.begin(), unique.end(), x) == unique.end()) {
      unique.push_back(x);
    }
  }
  return unique;
}

std::vector<fault_case> build_cases(const Scenario &tc, const table &drops,
                                    const std::vector<std::string> &baseline) {
  std::vector<fault_case> cases;
  const bool reboots = !tc.first_reboot.empty();
  std::vector<std::string> seen;
  for (size_t k = 0; k < baseline.size(); ++k) {
    const std::string &command = baseline[k];
    // The simulator counts every command that begins with the rule's text.
    int nth = 1;
    for (const std::string &earlier : seen) {
      if (starts_with(earlier, command)) {
        ++nth;
      }
    }
    seen.push_back(command);
    std::string rule = command + "@" + std::to_string(nth);
    const expectation &e = drops[k];
    cases.push_back({"drop at '" + rule + "'",
                     {"--close-at", rule},
                     e.when_dropped,
                     e.at_end,
                     reboots && e.at_end == marker::removed && e.when_dropped != outcome::refused,
                     e.traced});
  }
  for (size_t d = 0; d < tc.downloads.size(); ++d) {
    std::string k = std::to_string(d + 1);
    unsigned long length = stream_length(tc.downloads[d]);
    for (unsigned long offset : drop_offsets(length)) {
      std::string rule = std::to_string(offset) + "@" + k;
      cases.push_back({"download " + k + " (" + tc.downloads[d] + ") dropped after " +
                           std::to_string(offset) + " of " + std::to_string(length) + " bytes",
                       {"--download-drop-after", rule},
                       offset > length ? outcome::harmless : outcome::failed,
                       marker::removed,
                       reboots});
    }
    for (const char *status : {"0", "2"}) {
      std::string rule = std::string(status) + "@" + k;
      cases.push_back(
          {"download " + k + " (" + tc.downloads[d] + ") answered with status " + status,
           {"--download-status", rule},
           outcome::failed,
           marker::removed,
           reboots});
    }
  }
  return cases;
}

template <class F>
void in_parallel(size_t n, F work) {
  std::atomic<size_t> next{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < kWorkers; ++t) {
    pool.emplace_back([&] {
      for (size_t i; (i = next++) < n;) {
        work(i);
      }
    });
  }
  for (auto &t : pool) {
    t.join();
  }
}

std::string tail(const std::string &s, size_t n = 600) {
  return s.size() > n ? "..." + s.substr(s.size() - n) : s;
}

void check(const fault_case &fc, const case_result &cr) {
  SCOPED_TRACE(fc.label + ", expected " + name_of(fc.expected));
  ASSERT_EQ(cr.error, "");
  const RunResult &r = cr.run;
  std::string shown = "stdout: " + tail(r.out) + "\nstderr: " + tail(r.err) + "\nlast commands:";
  for (size_t i = cr.commands.size() > 3 ? cr.commands.size() - 3 : 0; i < cr.commands.size();
       ++i) {
    shown += " '" + cr.commands[i] + "'";
  }
  EXPECT_FALSE(r.timed_out) << "still running after " << kBound << " s\n" << shown;
  if (fc.at_end != marker::either) {
    EXPECT_EQ(cr.lock.ours, fc.at_end == marker::kept) << "lock marker at the end\n" << shown;
  }
  if (fc.rebooted) {
    EXPECT_TRUE(cr.lock.rebooted) << "not rebooted at the end\n" << shown;
  }
  EXPECT_EQ(r.term_signal, 0) << shown;
  EXPECT_EQ(cr.replay, "") << "the replay of its trace differs";
  switch (fc.expected) {
    case outcome::refused:
      EXPECT_EQ(r.status, 1) << shown;
      EXPECT_FALSE(contains(r.out + r.err, "Flash programming")) << shown;
      EXPECT_TRUE(says_why(r.err)) << shown;
      break;
    case outcome::failed:
      EXPECT_EQ(r.status, 1) << shown;
      EXPECT_TRUE(contains(r.err, "Flash programming FAILED\n")) << shown;
      EXPECT_FALSE(contains(r.out + r.err, "SUCCEEDED")) << shown;
      EXPECT_TRUE(says_why(r.err)) << shown;
      break;
    case outcome::harmless:
      EXPECT_EQ(r.status, 0) << shown;
      EXPECT_TRUE(contains(r.err, "Flash programming SUCCEEDED\n")) << shown;
      EXPECT_FALSE(contains(r.out + r.err, "FAILED")) << shown;
      EXPECT_TRUE(cr.flash_ok) << cr.flash_report;
      break;
  }
}

void run_matrix(const Scenario &tc) {
  // The good run: every command it sends is a place to break off.
  case_result good = run_case(tc, {}, true);
  ASSERT_EQ(good.error, "");
  ASSERT_EQ(good.run.status, 0) << good.run.out << good.run.err;
  ASSERT_TRUE(good.flash_ok) << good.flash_report;
  std::vector<std::string> baseline;
  for (const std::string &line : good.commands) {
    for (const std::string &c : split_commands(line)) {
      baseline.push_back(c);
    }
  }

  // The table names every command of the good run, in order.
  std::vector<std::string> named;
  const table drops = drops_of(tc);
  for (const expectation &e : drops) {
    named.push_back(e.command);
  }
  ASSERT_EQ(baseline.size(), named.size()) << ::testing::PrintToString(baseline);
  for (size_t k = 0; k < baseline.size(); ++k) {
    ASSERT_TRUE(starts_with(baseline[k], named[k]))
        << k << ": '" << baseline[k] << "' is not '" << named[k] << "'";
  }

  std::vector<fault_case> cases = build_cases(tc, drops, baseline);
  std::vector<case_result> results(cases.size());
  in_parallel(cases.size(), [&](size_t i) {
    results[i] =
        run_case(tc, cases[i].fault, cases[i].expected == outcome::harmless, cases[i].traced);
  });
  for (size_t i = 0; i < cases.size(); ++i) {
    check(cases[i], results[i]);
  }
  printf("[ matrix   ] %s: %zu runs (%zu dropped commands, %zu download faults)\n", tc.name.c_str(),
         cases.size(), baseline.size(), cases.size() - baseline.size());
}

// Targets that refuse instead of breaking off.  Each case names what the
// operator must be told.
void run_refusals(const Scenario &tc,
                  const std::vector<std::pair<fault_case, std::string>> &cases) {
  std::vector<case_result> results(cases.size());
  in_parallel(cases.size(), [&](size_t i) {
    results[i] = run_case(tc, cases[i].first.fault, cases[i].first.expected == outcome::harmless);
  });
  for (size_t i = 0; i < cases.size(); ++i) {
    check(cases[i].first, results[i]);
    EXPECT_TRUE(contains(results[i].run.err, cases[i].second))
        << cases[i].first.label << ": no '" << cases[i].second << "' in\n"
        << tail(results[i].run.err);
  }
}

}  // namespace

// A rejected prompt setting in a reopening leaves no lock marker behind, so
// the next attempt gets the target; a refused download sends no image and
// says why; a flood of message lines is reported in bounded form.
TEST(FaultMatrix, RefusalsAndFloods) {
  run_refusals(target_class("A38100AWithTheLoader"),
               {{{"po -p $ rejected in the reopening",
                  {"--reject", "po -p $@2=!ERROR: po: prompt refused"},
                  outcome::harmless},
                 "Flash programming SUCCEEDED"},
                {{"lcd of the image refused",
                  {"--reject", "lcd -qfb=!ERROR: lcd: no room for the download"},
                  outcome::failed},
                 "!ERROR: lcd: no room for the download\n"},
                {{"hardware check flooded", {"--message-flood", "pf -i=200000"}, outcome::failed},
                 "further messages were dropped\n"}});
}

// One test per class, so that the classes run side by side.
class FaultMatrixOf : public ::testing::TestWithParam<Scenario> {};
TEST_P(FaultMatrixOf, EveryBreak) { run_matrix(GetParam()); }
INSTANTIATE_TEST_SUITE_P(TargetClasses, FaultMatrixOf, ::testing::ValuesIn(target_classes()),
                         [](const auto &info) { return info.param.key; });

// A connection lost before the exit routine runs: the routine reaches the
// target again, finds its own marker, removes it, and then does what it
// would have done on the old connection.  The simulator keeps its state
// across connections, as a target that was not rebooted does.
TEST(FaultMatrix, LostConnectionIsRecoveredByTheExitRoutine) {
  const std::vector<std::string> recovery = {"lanlk -e;lockinfo", "mac -d lockinfo",   "po -p >",
                                             "lanlk -d",          "lanlk -e;lockinfo", "lanlk -d"};
  struct {
    std::string label;
    std::vector<std::string> sim;
    std::string product;
    int status;
    bool reboot;  // the recovery ends with "init -p"
  } cases[] = {
      {"drop in the middle of the download",
       {"--target", "38100b", "--download-drop-after", "30000"},
       "T5806",
       1,
       true},
      {"drop at the finishing command",
       {"--target", "38100b", "--close-at", "pf -f"},
       "T5806",
       0,
       true},
      // Before the reboot: the unknown product ends the run in state 1, and
      // the lock is released over the new connection.
      {"drop at ver, then a failure",
       {"--target", "38100a", "--close-at", "ver"},
       "NOSUCHPRODUCT",
       1,
       false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<std::string> o = {"--reboot-time", "0.2"};
    o.insert(o.end(), c.sim.begin(), c.sim.end());
    Sim sim(o);
    RunResult r = run({"-v", sim.address(), c.product}, {.timeout = kBound});
    EXPECT_EQ(r.status, c.status) << r.err;
    const std::string result =
        c.status ? "Flash programming FAILED\n" : "Flash programming SUCCEEDED\n";
    ASSERT_GE(r.err.size(), result.size());
    EXPECT_EQ(r.err.substr(r.err.size() - result.size()), result) << r.err;
    EXPECT_TRUE(contains(
        r.err, "Reconnected to " + sim.address() + " and removed this run's lock marker\n"))
        << r.err;
    EXPECT_FALSE(contains(r.err, "lock may remain")) << r.err;

    std::vector<std::string> want = recovery;
    if (c.reboot) {
      want.push_back("init -p");
    }
    std::vector<std::string> cmds = sim.commands();
    ASSERT_GE(cmds.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(cmds.end() - static_cast<long>(want.size()), cmds.end()),
              want);
    LockEnd end = lock_at_end(sim.transcript());
    EXPECT_FALSE(end.ours);
    EXPECT_EQ(end.rebooted, c.reboot);
    // The recovery waited between its attempts like the reconnection, and
    // the reboot's wait followed.
    ASSERT_FALSE(r.sleeps.empty());
    EXPECT_EQ(r.sleeps.back(), c.reboot ? 8u : 2u);
  }
}
