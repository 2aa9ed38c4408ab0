// Fleet updates: romupdate-fleet as `cmake --install` puts it, with the
// installed romupdate, against simulators on loopback addresses: sixteen at
// once with one failing its hardware check, two pretend hosts reached
// through a stand-in for ssh, interrupts, a time-out, retries that keep
// every attempt, a host name as long as they come, a parallel that dies,
// the inventory, and the refusals of a bad command line, target list or
// product.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "harness/harness.h"
#include "romupdate_version.h"

namespace {

namespace fs = std::filesystem;
using e2e::contains;
using e2e::RunOptions;
using e2e::RunResult;
using e2e::Sim;
using e2e::TempDir;
using lines_t = std::vector<std::string>;

constexpr int FLEET_SIZE = 16;
constexpr int BAD_TARGET = 5;
const std::string BAD_TARGET_WHY = "Hardware ID 5806 or 5807 required--this system contains 5821";
const char *const RESULTS_HEADER = "target\tstatus\tattempts\tseconds\tlog\thost\twhy";
constexpr size_t RESULTS_FIELDS = 7;

lines_t lines_of(const std::string &text) {
  lines_t lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

lines_t fields_of(const std::string &line) {
  lines_t fields;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    fields.push_back(line.substr(start, tab - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

// Whether a GNU parallel can be had; installs the Debian package when it
// is missing and this is a root shell with apt-get.  Empty when it can, else
// why not.
std::string gnu_parallel_missing() {
  auto is_gnu = [] {
    return std::system("parallel --version 2>/dev/null | grep -q 'GNU parallel'") == 0;
  };
  if (is_gnu()) {
    return {};
  }
  if (std::system("command -v parallel >/dev/null 2>&1") == 0) {
    return "the 'parallel' on PATH is not GNU parallel";
  }
  if (geteuid() != 0 || std::system("command -v apt-get >/dev/null 2>&1") != 0) {
    return "GNU parallel is not installed (Debian package 'parallel') and cannot be installed here";
  }
  if (std::system(
          "apt-get install -y parallel >/dev/null 2>&1 || "
          "(apt-get update >/dev/null 2>&1 && apt-get install -y parallel >/dev/null 2>&1)") != 0) {
    return "apt-get could not install the package 'parallel'";
  }
  return is_gnu() ? "" : "apt-get could not install the package 'parallel'";
}

// The installed command started the way a shell starts a foreground job on
// a terminal: in a process group of its own, which is where the terminal
// sends Ctrl+C.
class Job {
 public:
  Job(const lines_t &args, const std::map<std::string, std::string> &env_add,
      const std::string &cwd, const std::string &out, const std::string &err)
      : out_(out),
        err_(err),
        child_({.args = args,
                .env = child_process::environment_with(env_add),
                .cwd = cwd,
                .out_file = out,
                .err_file = err,
                .null_input = true,
                .own_group = true}) {}

  void interrupt() { child_.signal(SIGINT); }
  int pid() const { return child_.pid(); }
  // The exit status, or -1 when it did not end by itself within `seconds`.
  int wait(double seconds) { return child_.wait_for(seconds) ? child_.exit_status() : -1; }
  std::string out() const { return e2e::read_file(out_); }
  std::string err() const { return e2e::read_file(err_); }

 private:
  std::string out_, err_;
  child_process::Child child_;
};

// Waits until `ready` holds, at most `seconds`.
template <typename F>
bool eventually(F ready, double seconds = 30) {
  for (int i = 0; i < seconds * 50; ++i) {
    if (ready()) {
      return true;
    }
    usleep(20000);
  }
  return ready();
}

bool has_event(const Sim &sim, const std::string &kind) {
  for (auto &line : sim.transcript()) {
    if (line.kind == kind) {
      return true;
    }
  }
  return false;
}

// A scratch installation (`cmake --install` of this build tree) and a
// scratch current directory.
class Fleet : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = gnu_parallel_missing(); !why.empty()) {
      GTEST_SKIP() << why;
    }
    RunOptions o;
    o.program = ROMUPDATE_CMAKE;
    o.fast_sleep = false;
    o.timeout = 120;
    RunResult install = e2e::run({"--install", ROMUPDATE_BUILD_DIR, "--prefix", prefix.path()}, o);
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    fleet = prefix.file("bin/romupdate-fleet");
    ASSERT_TRUE(fs::exists(fleet));
    path = prefix.file("bin") + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
  }

  // 38100B and 38100A mainframes in turn, each with the good identifier for
  // T5806 unless listed in `bad` (a 38100A whose control card reports the
  // identifier of another product); the list targets.txt names them all.
  void start_fleet(int size, std::set<int> bad = {}, std::vector<std::string> extra = {}) {
    for (int i = 0; i < size; ++i) {
      std::vector<std::string> options = {"--reboot-time", "0.3"};
      if (bad.count(i)) {
        options.insert(options.end(), {"--target", "38100a", "--hwid", "2FFFF0=5821"});
      } else if (i % 2) {
        options.insert(options.end(), {"--target", "38100a", "--hwid", "2FFFF0=5806"});
      } else {
        options.insert(options.end(), {"--target", "38100b"});
      }
      options.insert(options.end(), extra.begin(), extra.end());
      sims.push_back(std::make_unique<Sim>(options));
    }
    std::string list = "# the fleet\n";
    for (auto &sim : sims) {
      list += "  " + sim->address() + "\n\n";
    }
    work.write("targets.txt", list);
  }

  std::string address(int i) const { return sims[i]->address(); }
  std::string image(int i) const {
    return e2e::examples_root() + (i % 2 ? "/lib/t5806a.X" : "/lib/t5806b.X");
  }
  std::string log_of(int i) const {
    return e2e::read_file(work.file("logs/" + address(i) + ".log"));
  }

  RunResult run_fleet(const lines_t &args, double timeout = 60, const std::string &input = "") {
    RunOptions o;
    o.timeout = timeout;
    o.input = input;
    return run_fleet(args, o);
  }
  RunResult run_fleet(const lines_t &args, RunOptions o) {
    o.program = fleet;
    o.cwd = work.path();
    o.env.emplace("PATH", path);
    o.env["FASTSLEEP_LOG"] = "";  // one log for many programs would say nothing
    return e2e::run(args, o);
  }

  std::unique_ptr<Job> start_job(const lines_t &args, std::map<std::string, std::string> env = {}) {
    lines_t argv = {fleet};
    argv.insert(argv.end(), args.begin(), args.end());
    env["PATH"] = path;
    env["XR52000"] = e2e::examples_root();
    env["LD_PRELOAD"] = e2e::fastsleep_path();
    return std::make_unique<Job>(argv, env, work.path(), work.file("job.out"),
                                 work.file("job.err"));
  }

  // The results file by target, checking its header and that it lists the
  // targets once each in list order.
  std::map<std::string, lines_t> results(const std::string &name = "results.tsv") {
    lines_t lines = lines_of(e2e::read_file(work.file(name)));
    EXPECT_FALSE(lines.empty());
    if (lines.empty()) {
      return {};
    }
    EXPECT_EQ(lines[0], RESULTS_HEADER);
    std::map<std::string, lines_t> by_target;
    size_t next_sim = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
      lines_t f = fields_of(lines[i]);
      EXPECT_EQ(f.size(), RESULTS_FIELDS) << lines[i];
      if (f.size() != RESULTS_FIELDS) {
        continue;
      }
      // The simulators are listed in their order, other targets between them.
      if (next_sim < sims.size() && f[0].rfind("127.", 0) == 0) {
        EXPECT_EQ(f[0], address(static_cast<int>(next_sim++))) << "out of list order";
      }
      EXPECT_TRUE(by_target.emplace(f[0], f).second) << "twice: " << lines[i];
    }
    return by_target;
  }

  // A stand-in program, found on PATH before the installed ones.
  void stand_in(const std::string &name, const std::string &script) {
    work.write("bin/" + name, script);
    chmod(work.file("bin/" + name).c_str(), 0755);
    path = work.file("bin") + ":" + path;
  }

  // A stand-in for ssh that notes the host in ssh.log and runs the command
  // here, with SHELL set to `login_shell` as sshd sets it from the login's
  // account (empty: none).
  void write_ssh(const std::string &login_shell) {
    work.write("ssh",
               "#!/bin/bash\n"
               "while [[ $1 == -* ]]; do case $1 in -[lopS]) shift 2 ;; *) shift ;; esac; done\n"
               "echo \"$1\" >>\"$(dirname \"$0\")/ssh.log\"\n"
               "shift\n"
               "[[ $1 == -- ]] && shift\n"
               "export SHELL=" +
                   login_shell +
                   "\n"
                   "exec bash -c \"$*\"\n");
    chmod(work.file("ssh").c_str(), 0755);
  }

  // Every good target holds its image, and only it; a bad one holds none.
  void expect_flash(std::set<int> bad = {}) {
    for (size_t i = 0; i < sims.size(); ++i) {
      sims[i]->stop();
      std::string report;
      bool matches =
          e2e::flash_matches(image(static_cast<int>(i)), sims[i]->dump_path(), true, &report);
      if (bad.count(static_cast<int>(i))) {
        EXPECT_FALSE(matches) << address(static_cast<int>(i))
                              << ": the failing target was programmed";
      } else {
        EXPECT_TRUE(matches) << address(static_cast<int>(i)) << ": " << report;
      }
    }
  }

  TempDir prefix, work;
  std::string fleet, path;
  std::vector<std::unique_ptr<Sim>> sims;
};

TEST_F(Fleet, UpdatesSixteenTargetsAndNamesTheOneFailure) {
  start_fleet(FLEET_SIZE, {BAD_TARGET});
  RunResult r = run_fleet({"-v", "--results", "results.tsv", "targets.txt", "T5806"}, 120);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  const std::string bad_log = "logs/" + address(BAD_TARGET) + ".log";
  EXPECT_EQ(lines_of(r.out),
            (lines_t{"FAILED " + address(BAD_TARGET) + " (status 1; see " + bad_log + ")",
                     "romupdate-fleet: updated 15 of 16 targets"}))
      << r.err;

  auto rows = results();
  ASSERT_EQ(rows.size(), size_t{FLEET_SIZE});
  for (int i = 0; i < FLEET_SIZE; ++i) {
    const lines_t &row = rows[address(i)];
    const std::string result =
        i == BAD_TARGET ? "Flash programming FAILED" : "Flash programming SUCCEEDED";
    EXPECT_EQ(row[1], i == BAD_TARGET ? "1" : "0") << address(i);
    EXPECT_EQ(row[2], "1") << address(i);
    EXPECT_GT(std::stod(row[3]), 0.0) << address(i);
    // A failure is told by its first error line, not by the result line.
    EXPECT_EQ(row[6], i == BAD_TARGET ? "romupdate: " + BAD_TARGET_WHY : result) << address(i);
    EXPECT_EQ(row[4], "logs/" + address(i) + ".log");
    EXPECT_EQ(row[5], "local");
    // The log holds this target's output alone.
    std::string log = log_of(i);
    EXPECT_EQ(e2e::count_of(log, "Flash programming"), 1) << address(i) << ":\n" << log;
    EXPECT_TRUE(contains(log, result)) << address(i) << ":\n" << log;
  }
  expect_flash({BAD_TARGET});
}

// Two pretend hosts: parallel reaches each through a stand-in for ssh that
// notes the host and runs the command here.
TEST_F(Fleet, SharesTheTargetsBetweenHostsReachedOverSsh) {
  start_fleet(6);
  write_ssh("/bin/bash");
  const std::string a = work.file("ssh") + " lab-a", b = work.file("ssh") + " lab-b";
  RunResult r = run_fleet({"-j", "2", "-v", "--sshlogin", a, "--sshlogin=" + b, "--results",
                           "results.tsv", "targets.txt", "T5806"},
                          120);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(lines_of(r.out), lines_t{"romupdate-fleet: updated all 6 targets"}) << r.err;

  std::map<std::string, int> per_host;
  for (auto &[target, row] : results()) {
    ++per_host[row[5]];
    EXPECT_EQ(row[1], "0") << target;
    EXPECT_EQ(row[6], "Flash programming SUCCEEDED") << target;
  }
  EXPECT_EQ(per_host.size(), 2u);
  EXPECT_GT(per_host[a], 0) << "lab-a updated nothing";
  EXPECT_GT(per_host[b], 0) << "lab-b updated nothing";
  std::set<std::string> asked;
  for (auto &host : lines_of(e2e::read_file(work.file("ssh.log")))) {
    asked.insert(host);
  }
  EXPECT_EQ(asked, (std::set<std::string>{"lab-a", "lab-b"}));
  expect_flash();
}

// A host that cannot start the command (no login shell for parallel's
// remote wrapper) ends each job with status 0 and no output: no success,
// though without -v a success prints nothing either.
TEST_F(Fleet, StatusZeroWithoutProofIsNoUpdate) {
  start_fleet(2);
  write_ssh("");
  RunResult r = run_fleet({"--sshlogin", work.file("ssh") + " lab-a", "--results", "results.tsv",
                           "targets.txt", "T5806"});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  lines_t expected;
  for (int i : {0, 1}) {
    expected.push_back("FAILED " + address(i) +
                       " (status 0 but no proof that romupdate ran; see logs/" + address(i) +
                       ".log)");
  }
  expected.push_back("romupdate-fleet: updated 0 of 2 targets");
  EXPECT_EQ(lines_of(r.out), expected) << r.err;
  expect_flash({0, 1});
}

// The first interrupt (to the whole process group, as from a terminal)
// starts no new target; the two running updates carry on to the end.
TEST_F(Fleet, FirstInterruptStartsNoNewTargetAndLetsTheRunningOnesFinish) {
  start_fleet(4, {}, {"--reboot-time", "1.5"});
  auto job = start_job({"-j", "2", "-v", "--results", "results.tsv", "targets.txt", "T5806"});
  ASSERT_TRUE(eventually([&] {
    return has_event(*sims[0], "reboot") && has_event(*sims[1], "reboot");
  })) << job->err();
  job->interrupt();
  int status = job->wait(60);
  EXPECT_EQ(status, 1) << job->out() << job->err();
  EXPECT_TRUE(contains(job->err(), "romupdate-fleet: interrupt: no new target is started"))
      << job->err();
  EXPECT_FALSE(contains(job->err(), "parallel:")) << "parallel's own words:\n" << job->err();

  for (int i : {0, 1}) {
    EXPECT_TRUE(contains(log_of(i), "Flash programming SUCCEEDED")) << address(i) << ":\n"
                                                                    << log_of(i);
    EXPECT_TRUE(contains(job->out(), "FAILED " + address(i + 2) + " (not started)\n"))
        << job->out();
    EXPECT_TRUE(sims[i + 2]->commands().empty()) << address(i + 2) << " was contacted";
    EXPECT_FALSE(fs::exists(work.file("logs/" + address(i + 2) + ".log")));
  }
  auto rows = results();
  EXPECT_EQ(rows[address(0)][1], "0");
  EXPECT_EQ(rows[address(3)][1], "-");
  for (int i : {0, 1}) {
    sims[i]->stop();
    std::string report;
    EXPECT_TRUE(e2e::flash_matches(image(i), sims[i]->dump_path(), true, &report))
        << address(i) << report;
  }
}

// The second interrupt stops the running updates: each ends through its
// own terminate handling with FAILED, and the fleet does not wait for them.
TEST_F(Fleet, SecondInterruptStopsTheRunningUpdatesAndFailsThem) {
  // The first two never come back from their reboot; romupdate would try
  // again for well over a minute (a tenth of each real wait).
  for (int i = 0; i < 3; ++i) {
    sims.push_back(
        std::make_unique<Sim>(std::vector<std::string>{"--reboot-time", i < 2 ? "600" : "0.3"}));
  }
  work.write("targets.txt", address(0) + "\n" + address(1) + "\n" + address(2) + "\n");
  auto job = start_job({"-j", "2", "-v", "--results", "results.tsv", "targets.txt", "T5806"},
                       {{"FASTSLEEP_MS", "100"}});
  ASSERT_TRUE(eventually([&] {
    return has_event(*sims[0], "reboot") && has_event(*sims[1], "reboot");
  })) << job->err();
  auto start = std::chrono::steady_clock::now();
  job->interrupt();
  ASSERT_TRUE(eventually([&] { return contains(job->err(), "no new target is started"); }, 10))
      << job->err();
  usleep(300000);
  job->interrupt();
  int status = job->wait(60);
  EXPECT_EQ(status, 1) << job->out() << job->err();
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 20.0);
  EXPECT_TRUE(contains(job->err(), "romupdate-fleet: interrupt: stopping the running updates"))
      << job->err();
  EXPECT_FALSE(contains(job->err(), "parallel:")) << "parallel's own words:\n" << job->err();
  auto rows = results();
  for (int i : {0, 1}) {
    EXPECT_TRUE(contains(log_of(i), ": Terminate\n")) << address(i) << ":\n" << log_of(i);
    EXPECT_TRUE(contains(log_of(i), "Flash programming FAILED")) << address(i) << ":\n"
                                                                 << log_of(i);
    // The status the man page promises, and what to do about the lock.
    EXPECT_TRUE(contains(job->out(), "FAILED " + address(i) +
                                         " (stopped by the second interrupt, may be left locked: "
                                         "run romupdate-unlock " +
                                         address(i) + "; see logs/" + address(i) + ".log)\n"))
        << job->out();
    EXPECT_EQ(rows[address(i)][1], "143");
    EXPECT_EQ(rows[address(i)][6], "stopped by the second interrupt");
  }
  EXPECT_TRUE(contains(job->out(), "FAILED " + address(2) + " (not started)\n")) << job->out();
  EXPECT_TRUE(sims[2]->commands().empty());
}

// A target that takes the connection and never answers would hold the
// fleet for ever; the time-out ends its update, which fails.  The stopped
// update leaves its lock, which the retry removes first: the third target
// hangs only on its first attempt and is updated by the second.
TEST_F(Fleet, TimeOutEndsAnUpdateThatNeverAnswers) {
  sims.push_back(std::make_unique<Sim>(std::vector<std::string>{"--reboot-time", "0.3"}));
  sims.push_back(
      std::make_unique<Sim>(std::vector<std::string>{"--hang-at", "ver@1", "--hang-at", "ver@2"}));
  sims.push_back(std::make_unique<Sim>(
      std::vector<std::string>{"--reboot-time", "0.3", "--hang-at", "ver@1"}));
  work.write("targets.txt", address(0) + "\n" + address(1) + "\n" + address(2) + "\n");
  RunResult r = run_fleet({"--timeout", "3", "--retries", "1", "-v", "--results", "results.tsv",
                           "targets.txt", "T5806"});
  ASSERT_FALSE(r.timed_out) << "the fleet waited for the silent target";
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(lines_of(r.out),
            (lines_t{"FAILED " + address(1) +
                         " (timed out after 3 s, may be left locked: run romupdate-unlock " +
                         address(1) + "; see logs/" + address(1) + ".1.log)",
                     "romupdate-fleet: updated 2 of 3 targets"}));
  EXPECT_TRUE(contains(log_of(1), ": Terminate\n")) << log_of(1);
  EXPECT_FALSE(contains(r.err, "parallel:")) << "parallel's own words:\n" << r.err;
  auto rows = results();
  EXPECT_EQ(rows[address(1)][1], "143");
  EXPECT_EQ(rows[address(1)][2], "2");
  EXPECT_GT(std::stod(rows[address(1)][3]), 6.0) << "the time of both attempts";
  EXPECT_EQ(rows[address(1)][6], "timed out after 3 s");
  EXPECT_EQ(rows[address(0)][6], "Flash programming SUCCEEDED");
  EXPECT_EQ(rows[address(2)][1], "0");
  EXPECT_EQ(rows[address(2)][2], "2");
  const std::string retry = e2e::read_file(work.file("logs/" + address(2) + ".1.log"));
  EXPECT_TRUE(contains(retry, address(2) + " is free\n")) << retry;
  EXPECT_TRUE(contains(retry, "Flash programming SUCCEEDED")) << retry;
}

// --retries N is N more complete updates after a failed one; every
// attempt keeps its log and trace.  One target refuses its first download;
// the other drops the connection in the middle of it, which leaves it
// locked unless romupdate recovers the connection to release it.
TEST_F(Fleet, RetryUpdatesAFailedTargetAgainFromTheStart) {
  sims.push_back(std::make_unique<Sim>(
      std::vector<std::string>{"--reboot-time", "0.1", "--download-status", "0@1"}));
  sims.push_back(std::make_unique<Sim>(
      std::vector<std::string>{"--reboot-time", "0.1", "--download-drop-after", "30000@1"}));
  work.write("targets.txt", address(0) + "\n" + address(1) + "\n");
  RunResult r = run_fleet(
      {"--retries", "1", "--trace", "-v", "--results", "results.tsv", "targets.txt", "T5806"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(lines_of(r.out), lines_t{"romupdate-fleet: updated all 2 targets"}) << r.err;
  auto rows = results();
  for (int i : {0, 1}) {
    const lines_t &row = rows[address(i)];
    const std::string first = "logs/" + address(i) + ".log",
                      second = "logs/" + address(i) + ".1.log";
    EXPECT_EQ(row[1], "0") << address(i);
    EXPECT_EQ(row[2], "2") << address(i);
    EXPECT_EQ(row[4], second) << address(i);
    EXPECT_EQ(row[6], "Flash programming SUCCEEDED") << address(i);
    // The first attempt's evidence is still there, beside the second's.
    const std::string failed = e2e::read_file(work.file(first));
    EXPECT_TRUE(contains(failed, "Flash programming FAILED")) << first << ":\n" << failed;
    EXPECT_TRUE(contains(e2e::read_file(work.file(second)), "Flash programming SUCCEEDED"));
    for (auto trace : {".trace", ".1.trace"}) {
      EXPECT_TRUE(fs::exists(work.file("logs/" + address(i) + trace))) << address(i) << trace;
    }
  }
  int locks = 0;
  for (auto &command : sims[0]->commands()) {
    locks += command == "lanlk -e;lockinfo";
  }
  EXPECT_EQ(locks, 4) << "two complete updates lock the target twice each";
  for (auto &sim : sims) {  // both 38100B mainframes
    sim->stop();
    std::string report;
    EXPECT_TRUE(e2e::flash_matches(image(0), sim->dump_path(), true, &report))
        << sim->address() << ": " << report;
  }
}

// Each log holds what its romupdate wrote to both streams, in the order it
// wrote it; success is the exit status whatever the last line says; --trace
// names a trace file beside the log.  The folder and file names are taken
// as written, backslashes and all.  A stand-in romupdate comes first on
// PATH.
TEST_F(Fleet, LogsKeepTheWriteOrderAndTheStatusDecides) {
  stand_in(
      "romupdate",
      "#!/bin/bash\n"
      "echo \"out $*\"; echo \"err trace=$ROMUPDATE_TRACE\" >&2; echo out two; echo err two >&2\n"
      "case $1 in\n"
      "  said-yes) echo 'Flash programming SUCCEEDED'; exit 1 ;;\n"
      "  silent) exit 0 ;;\n"
      "  killed) kill -KILL $$ ;;\n"
      "esac\n");
  work.write("targets.txt", "said-yes\nsilent\nkilled\n");
  RunResult r = run_fleet({"--trace", "--logs", "out/lo\\gs", "--results", "res\\nults.tsv",
                           "targets.txt", "T5806", "38163"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  // A signal from elsewhere is no interrupt of the fleet.
  EXPECT_EQ(
      lines_of(r.out),
      (lines_t{
          "FAILED said-yes (status 1; see out/lo\\gs/said-yes.log)",
          "FAILED killed (stopped by signal 9, may be left locked: run romupdate-unlock killed; "
          "see out/lo\\gs/killed.log)",
          "romupdate-fleet: updated 1 of 3 targets"}));
  const std::string logs = fs::canonical(work.file("out/lo\\gs")).string();
  EXPECT_EQ(e2e::read_file(work.file("out/lo\\gs/silent.log")),
            "out silent T5806 38163\nerr trace=" + logs + "/silent.trace\nout two\nerr two\n");
  EXPECT_EQ(e2e::read_file(work.file("out/lo\\gs/said-yes.log")),
            "out said-yes T5806 38163\nerr trace=" + logs +
                "/said-yes.trace\nout two\nerr two\n"
                "Flash programming SUCCEEDED\n");
  lines_t files;
  for (auto &entry : fs::directory_iterator(work.file("out/lo\\gs"))) {
    files.push_back(entry.path().filename());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (lines_t{"killed.log", "said-yes.log", "silent.log"}))
      << "parallel's own files were left behind";
  auto rows = results("res\\nults.tsv");
  EXPECT_EQ(rows["said-yes"],
            (lines_t{"said-yes", "1", "1", rows["said-yes"][3], "out/lo\\gs/said-yes.log", "local",
                     "out said-yes T5806 38163"}));
  EXPECT_EQ(rows["silent"], (lines_t{"silent", "0", "1", rows["silent"][3], "out/lo\\gs/silent.log",
                                     "local", "err two"}));
  EXPECT_EQ(rows["killed"][1], "137");
  EXPECT_EQ(rows["killed"][6], "stopped by signal 9");
}

// An update killed outright (a crash, the out-of-memory killer) leaves its
// lock marker behind, which would refuse the retry as another's lock: the
// retry removes it first, as after a time-out.  Stand-ins: a romupdate
// killed in its first attempt and refused while the marker is there, and a
// romupdate-unlock that removes it.
TEST_F(Fleet, RetryAfterAKilledUpdateRemovesItsLockFirst) {
  stand_in("romupdate",
           "#!/bin/bash\n"
           "cd \"$(dirname \"$0\")\"\n"
           "if [[ ! -e tried ]]; then touch tried marker; kill -KILL $$; fi\n"
           "if [[ -e marker ]]; then echo \"$1 is locked by another user interface\"; exit 1; fi\n"
           "echo 'Flash programming SUCCEEDED'\n");
  stand_in("romupdate-unlock",
           "#!/bin/bash\n"
           "cd \"$(dirname \"$0\")\" && rm -f marker && echo \"removing the lock marker of $1\"\n");
  work.write("targets.txt", "bench7\n");
  RunResult r = run_fleet({"--retries", "1", "--results", "results.tsv", "targets.txt", "T5806"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(lines_of(r.out), lines_t{"romupdate-fleet: updated all 1 targets"}) << r.err;
  EXPECT_EQ(e2e::read_file(work.file("logs/bench7.1.log")),
            "removing the lock marker of bench7\nFlash programming SUCCEEDED\n");
  auto rows = results();
  EXPECT_EQ(rows["bench7"][1], "0");
  EXPECT_EQ(rows["bench7"][2], "2");
}

// A target whose name is as long as a host name may be (253 characters)
// cannot stop the others: its files get names that fit.
TEST_F(Fleet, ALongHostNameStopsNoOtherTarget) {
  start_fleet(2);
  std::string label(63, 'a');
  const std::string long_name =
      label + "." + label + "." + label + "." + std::string(56, 'b') + ".test";
  ASSERT_EQ(long_name.size(), 253u);
  work.write("targets.txt", address(0) + "\n" + long_name + "\n" + address(1) + "\n");
  RunResult r = run_fleet(
      {"-j", "1", "--retries", "1", "--trace", "--results", "results.tsv", "targets.txt", "T5806"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  auto rows = results();
  ASSERT_EQ(rows.count(long_name), 1u) << e2e::read_file(work.file("results.tsv"));
  const lines_t &row = rows[long_name];
  EXPECT_EQ(row[1], "1");
  EXPECT_EQ(row[2], "2");
  EXPECT_TRUE(contains(row[6], long_name)) << row[6];
  EXPECT_TRUE(fs::exists(work.file(row[4]))) << row[4];
  EXPECT_EQ(lines_of(r.out), (lines_t{"FAILED " + long_name + " (status 1; see " + row[4] + ")",
                                      "romupdate-fleet: updated 2 of 3 targets"}));
  EXPECT_EQ(rows[address(1)][1], "0");
  expect_flash();
}

// GNU parallel itself dies in the middle: the updates it started are not
// left to run on unseen; the fleet waits for them and records them, and
// starts nothing new.
TEST_F(Fleet, UpdatesOutlivingADeadParallelAreWaitedForAndRecorded) {
  start_fleet(3, {}, {"--reboot-time", "1.5"});
  auto job = start_job({"-j", "2", "-v", "--results", "results.tsv", "targets.txt", "T5806"});
  ASSERT_TRUE(eventually([&] {
    return has_event(*sims[0], "reboot") && has_event(*sims[1], "reboot");
  })) << job->err();
  // parallel: the fleet's child of that name.
  int parallel_pid = -1;
  for (auto &entry : fs::directory_iterator("/proc")) {
    std::istringstream stat(e2e::read_file(entry.path().string() + "/stat"));
    std::string pid, name, state;
    int parent = 0;
    if (stat >> pid >> name >> state >> parent && parent == job->pid() && name == "(parallel)") {
      parallel_pid = std::stoi(pid);
    }
  }
  ASSERT_GT(parallel_pid, 0) << "no parallel under the fleet";
  kill(parallel_pid, SIGKILL);
  int status = job->wait(60);
  EXPECT_EQ(status, 1) << job->out() << job->err();
  EXPECT_TRUE(contains(job->err(), "romupdate-fleet: GNU parallel ended")) << job->err();
  auto rows = results();
  for (int i : {0, 1}) {
    EXPECT_TRUE(contains(log_of(i), "Flash programming SUCCEEDED")) << address(i) << ":\n"
                                                                    << log_of(i);
    EXPECT_EQ(rows[address(i)][1], "0") << address(i);
  }
  EXPECT_TRUE(contains(job->out(), "FAILED " + address(2) + " (not started)\n")) << job->out();
  EXPECT_TRUE(sims[2]->commands().empty());
}

// --inventory runs romupdate-inventory once per target and gathers the
// tables into one, the header once: a 38100A mainframe, one locked by
// another user (left so), and an address where nothing answers.
TEST_F(Fleet, InventoryGathersOneTableWithTheHeaderOnce) {
  sims.push_back(std::make_unique<Sim>(
      std::vector<std::string>{"--target", "38100a", "--hwid", "2FFFF0=5806"}));
  sims.push_back(std::make_unique<Sim>(std::vector<std::string>{"--locked"}));
  const std::string silent = e2e::reserve_loopback();
  work.write("targets.txt", address(0) + "\n" + address(1) + "\n" + silent + "\n");
  RunResult r = run_fleet({"--inventory", "--results", "inventory.tsv", "targets.txt", "T5806"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(lines_of(r.out),
            (lines_t{"FAILED " + silent + " (status 1; see logs/" + silent + ".log)",
                     "romupdate-fleet: inventoried 2 of 3 targets"}))
      << r.err;
  lines_t table = lines_of(e2e::read_file(work.file("inventory.tsv")));
  ASSERT_EQ(table.size(), 4u) << e2e::read_file(work.file("inventory.tsv"));
  lines_t header = fields_of(table[0]);
  ASSERT_GT(header.size(), RESULTS_FIELDS);
  EXPECT_EQ(table[0].substr(0, strlen(RESULTS_HEADER) + 1), std::string(RESULTS_HEADER) + "\t");
  std::map<std::string, std::map<std::string, std::string>> cell;
  for (size_t i = 1; i < table.size(); ++i) {
    lines_t f = fields_of(table[i]);
    EXPECT_EQ(f.size(), header.size()) << table[i];
    for (size_t c = 0; c < std::min(f.size(), header.size()); ++c) {
      cell[f[0]][header[c]] = f[c];
    }
  }
  EXPECT_EQ(cell[address(0)]["status"], "0");
  EXPECT_EQ(cell[address(0)]["reachable"], "yes");
  EXPECT_EQ(cell[address(0)]["class"], "38100A");
  EXPECT_EQ(cell[address(0)]["T5806 applies"], "yes");
  EXPECT_EQ(cell[address(1)]["lock"], "locked");
  EXPECT_EQ(cell[silent]["status"], "1");
  EXPECT_EQ(cell[silent]["reachable"], "no");
  EXPECT_TRUE(contains(cell[silent]["why"], silent)) << cell[silent]["why"];
  for (auto &sim : sims) {
    for (auto &command : sim->commands()) {
      EXPECT_NE(command.rfind("init", 0), 0u) << sim->address() << " was rebooted";
      EXPECT_NE(command, "mac -d lockinfo") << sim->address() << ": a lock marker was removed";
    }
  }
}

// --dry-run lists the command of every target, read here from the standard
// input, and touches nothing.
TEST_F(Fleet, DryRunListsEachCommandAndContactsNothing) {
  sims.push_back(std::make_unique<Sim>());
  sims.push_back(std::make_unique<Sim>());
  work.write("my product.cfg", "");
  RunResult r = run_fleet({"--dry-run", "-v", "--trace", "-j3", "--timeout", "30", "--retries", "2",
                           "--results", "results.tsv", "-", "T5806", "my product"},
                          60, address(0) + "\n# spare\n" + address(1) + "\n");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string logs = fs::canonical(work.path()).string() + "/logs";
  EXPECT_EQ(lines_of(r.out),
            (lines_t{"romupdate-fleet: would update 2 targets, 3 at a time on this machine, each "
                     "one's output in "
                     "logs/TARGET.log:",
                     "ROMUPDATE_TRACE=" + logs + "/" + address(0) + ".trace romupdate -v " +
                         address(0) + " T5806 'my product' 2>&1 && echo romupdate-fleet:updated",
                     "ROMUPDATE_TRACE=" + logs + "/" + address(1) + ".trace romupdate -v " +
                         address(1) + " T5806 'my product' 2>&1 && echo romupdate-fleet:updated"}))
      << r.err;
  EXPECT_FALSE(fs::exists(work.file("logs")));
  EXPECT_FALSE(fs::exists(work.file("results.tsv")));
  for (auto &sim : sims) {
    EXPECT_TRUE(sim->commands().empty()) << sim->address() << " was contacted";
  }
}

// A bad command line or target list ends with status 2 before any target is
// contacted.
TEST_F(Fleet, RefusesBadInputBeforeContactingAnyTarget) {
  sims.push_back(std::make_unique<Sim>());
  const std::string a = address(0);
  work.write("good.txt", a + "\n");
  work.write("twice.txt", a + "\n127.0.0.1\n" + a + "  # again\n");
  work.write("case.txt", a + "\nbench7\nBENCH7\n");
  work.write("empty.txt", "# nobody\n\n");
  work.write("blanks.txt", a + "\nbench 7\n");
  work.write("option.txt", a + "\n-v\n");
  // A host name has at most 253 characters.
  work.write("long.txt", a + "\n" + std::string(250, 'h') + ".com\n");
  work.write("shared.txt", "bench7\nBench7.1\n");
  mkdir(work.file("folder.txt").c_str(), 0755);
  // A PATH with everything but parallel.
  const std::string no_parallel = work.file("no-parallel");
  fs::create_directories(no_parallel);
  for (auto &entry : fs::directory_iterator("/usr/bin")) {
    if (entry.path().filename() != "parallel") {
      fs::create_symlink(entry.path(), no_parallel + "/" + entry.path().filename().string());
    }
  }
  const std::string without_parallel = prefix.file("bin") + ":" + no_parallel;

  struct Case {
    lines_t args;
    std::string message;
    std::string path = "";
  };
  const std::vector<Case> cases = {
      {{"twice.txt", "T5806"}, "romupdate-fleet: listed more than once: " + a + "\n"},
      {{"case.txt", "T5806"}, "romupdate-fleet: listed more than once: BENCH7\n"},
      {{"empty.txt", "T5806"}, "romupdate-fleet: no targets in empty.txt\n"},
      {{"blanks.txt", "T5806"},
       "romupdate-fleet: blanks.txt, line 2: address with blanks: \"bench 7\"\n"},
      {{"option.txt", "T5806"},
       "romupdate-fleet: option.txt, line 2: not an address or host name: \"-v\"\n"},
      {{"nosuch.txt", "T5806"},
       "romupdate-fleet: cannot read the target list 'nosuch.txt': no such file\n"},
      {{"folder.txt", "T5806"},
       "romupdate-fleet: cannot read the target list 'folder.txt': it is a folder\n"},
      {{"--frobnicate", "good.txt", "T5806"}, "romupdate-fleet: unknown option '--frobnicate'\n"},
      {{"-j", "0", "good.txt", "T5806"}, "-j needs a number of updates above 0, not '0'"},
      {{"--timeout", "soon", "good.txt", "T5806"}, "--timeout needs a number of seconds above 0"},
      {{"good.txt"}, "name the target list and at least one product"},
      {{"long.txt", "T5806"},
       "romupdate-fleet: long.txt, line 2: longer than a host name can be (253 characters)\n"},
      // A mistyped product, also in a rehearsal; a name ending in .CFG is
      // taken as it stands.
      {{"--dry-run", "good.txt", "T5806", "T58O6"},
       "romupdate-fleet: no product 'T58O6': neither 'T58O6.cfg' nor '" + e2e::examples_root() +
           "/inst/update/T58O6.cfg' can be read\n"},
      {{"good.txt", "t5806.CFG"}, "romupdate-fleet: no product 't5806.CFG'"},
      // The first retry of bench7 would write Bench7.1's log.
      {{"--retries", "1", "shared.txt", "T5806"},
       "romupdate-fleet: Bench7.1 and bench7 would share the log Bench7.1.log with --retries"},
      {{"good.txt", "T5806"},
       "GNU parallel is missing; install the Debian package 'parallel'",
       without_parallel},
  };
  for (const Case &c : cases) {
    RunOptions o;
    o.timeout = 20;
    if (!c.path.empty()) {
      o.env["PATH"] = c.path;
    }
    RunResult r = run_fleet(c.args, o);
    EXPECT_EQ(r.status, 2) << c.args[0] << ": " << r.err;
    EXPECT_TRUE(contains(r.err, c.message)) << c.args[0] << ": " << r.err;
    EXPECT_EQ(r.out, "") << c.args[0];
  }
  EXPECT_FALSE(fs::exists(work.file("logs")));
  EXPECT_TRUE(sims[0]->commands().empty()) << "the target was contacted";
}

TEST_F(Fleet, HelpAndVersion) {
  RunResult version = run_fleet({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("romupdate-fleet ") + romupdate_version + "\n");
  RunResult help = run_fleet({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(contains(help.out, "Usage: romupdate-fleet [OPTION]... TARGETS PRODUCT...\n"))
      << help.out;
}

}  // namespace
