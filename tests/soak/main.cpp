// romupdate-soak: many faulted updates against the simulator, side by side,
// each checked against the invariant; prints the seed of every run that
// broke it, so that the run can be made again with --seed SEED --runs 1.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "soak/soak.h"

namespace {

const char kUsage[] =
    "usage: romupdate-soak [--runs N] [--seed SEED] [--jobs J] [--verbose]\n"
    "Runs N complete updates (default 30) against the simulator, each with a\n"
    "fault of a random kind at a random point, J at a time (default 4), and\n"
    "checks each run against the invariant.  Run K is made from seed SEED+K;\n"
    "SEED is random unless given.  --verbose prints a line for every run.\n"
    "Exit status: 0 no run broke the invariant; 1 some did; 2 a usage error.\n";

bool number(const char *text, unsigned long long &out) {
  char *end = nullptr;
  errno = 0;
  out = strtoull(text, &end, 10);
  return *text && !*end && errno == 0;
}

struct Tally {
  int runs = 0, succeeded = 0, failed = 0, interrupted = 0, broken = 0;
};

}  // namespace

int main(int argc, char **argv) {
  unsigned long long runs = 30, jobs = 4, seed = std::random_device{}();
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](unsigned long long &out) { return i + 1 < argc && number(argv[++i], out); };
    bool ok = true;
    if (a == "--runs") {
      ok = value(runs);
    } else if (a == "--seed") {
      ok = value(seed);
    } else if (a == "--jobs") {
      ok = value(jobs) && jobs > 0;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--help") {
      fputs(kUsage, stdout);
      return 0;
    } else {
      ok = false;
    }
    if (!ok) {
      fputs(kUsage, stderr);
      return 2;
    }
  }

  auto start = std::chrono::steady_clock::now();
  std::string error;
  std::vector<soak::Baseline> baselines = soak::measure_baselines(error);
  if (baselines.empty()) {
    fprintf(stderr, "romupdate-soak: %s\n", error.c_str());
    return 1;
  }
  printf("romupdate-soak: %llu runs from seed %llu, %llu at a time\n", runs, seed, jobs);
  fflush(stdout);

  const soak::Bounds bounds;
  std::mutex report;
  std::map<std::string, Tally> by_kind;
  std::map<std::string, int> by_class;
  double slowest = 0;
  long largest = 0;
  std::atomic<unsigned long long> next{0};
  std::vector<std::thread> pool;
  for (unsigned long long t = 0; t < jobs; ++t) {
    pool.emplace_back([&] {
      for (unsigned long long k; (k = next++) < runs;) {
        soak::Plan plan = soak::plan_run(seed + k, baselines);
        soak::Outcome outcome = soak::execute(plan, bounds);
        std::vector<std::string> broken = soak::violations(plan, outcome, bounds);

        std::lock_guard<std::mutex> lock(report);
        ++by_class[plan.base->target->name];
        Tally &t = by_kind[plan.kind];
        ++t.runs;
        (outcome.run.status == 0 ? t.succeeded : t.failed) += 1;
        t.interrupted += outcome.interrupted ? 1 : 0;
        t.broken += broken.empty() ? 0 : 1;
        slowest = std::max(slowest, outcome.run.seconds);
        largest = std::max(largest, outcome.run.max_rss_kib);
        if (verbose || !broken.empty()) {
          printf("%s seed %llu: %s, %s: exit %d in %.1f s, target %s\n",
                 broken.empty() ? "ok" : "VIOLATION", static_cast<unsigned long long>(plan.seed),
                 plan.base->target->name.c_str(), plan.what.c_str(), outcome.run.status,
                 outcome.run.seconds, outcome.lock.c_str());
          for (const std::string &line : broken) {
            // The evidence comes last, already laid out in lines.
            if (line.back() == '\n') {
              fputs(line.c_str(), stdout);
            } else {
              printf("  %s\n", line.c_str());
            }
          }
          fflush(stdout);
        }
      }
    });
  }
  for (auto &t : pool) {
    t.join();
  }

  Tally all;
  printf("\n%-16s %6s %6s %6s %12s %10s\n", "fault", "runs", "exit 0", "exit 1", "interrupted",
         "violations");
  for (const std::string &kind : soak::kFaultKinds) {
    const Tally &t = by_kind[kind];
    printf("%-16s %6d %6d %6d %12d %10d\n", kind.c_str(), t.runs, t.succeeded, t.failed,
           t.interrupted, t.broken);
    all.runs += t.runs;
    all.succeeded += t.succeeded;
    all.failed += t.failed;
    all.interrupted += t.interrupted;
    all.broken += t.broken;
  }
  printf("%-16s %6d %6d %6d %12d %10d\n", "all", all.runs, all.succeeded, all.failed,
         all.interrupted, all.broken);
  printf("runs by class:");
  for (const auto &[name, count] : by_class) {
    printf("%s %s %d", &name == &by_class.begin()->first ? "" : ",", name.c_str(), count);
  }
  printf("\n");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("slowest run %.1f s, largest run %ld KiB; %.0f s in all (seed %llu)\n", slowest, largest,
         seconds, seed);
  return all.broken == 0 ? 0 : 1;
}
