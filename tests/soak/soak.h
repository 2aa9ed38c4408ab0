// The randomized soak: complete updates of every target class against the
// simulator, each with one fault of a random kind at a random point, and
// after each run the invariant that a faulted update must keep.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/scenarios.h"

namespace soak {

// What a good run of a class looks like: every command the target ran, in
// order (a line such as "lanlk -e;lockinfo" gives two), and the length of
// each download's record stream.
struct Baseline {
  const e2e::Scenario *target = nullptr;
  std::vector<std::string> commands;
  std::vector<unsigned long> streams;
};

// The good run of every class; an empty `error` when all were good.
std::vector<Baseline> measure_baselines(std::string &error);

// The fault kinds, in the order the report lists them.
extern const std::vector<std::string> kFaultKinds;

// One faulted run, made from its seed alone.
struct Plan {
  uint64_t seed = 0;
  const Baseline *base = nullptr;
  std::string kind;              // one of kFaultKinds
  std::string what;              // the fault in words
  std::vector<std::string> sim;  // the simulator's fault options
  e2e::StruckCommand struck;     // a fault at one command; none for the other kinds
  double interrupt_after = 0;    // seconds; 0: not interrupted
  // The target tells the program why (a refusal, an error line, a status
  // byte): a run may then fail with the flash written all the same.
  bool target_speaks = false;
};

Plan plan_run(uint64_t seed, const std::vector<Baseline> &baselines);

// What one run did, and what the target was left with.
struct Outcome {
  std::string error;  // the run could not be made
  std::string address;
  e2e::RunResult run;
  std::vector<std::string> commands;  // as the target received them
  bool interrupted = false;           // the interrupt reached the program
  bool flash_ok = false;              // the flash holds the class's images
  std::string lock;                   // the marker at the end: none, ours or other's
};

// Bounds of one run.
struct Bounds {
  double seconds = 30;
  long rss_kib = 64 * 1024;
};

Outcome execute(const Plan &plan, const Bounds &bounds);
// The broken parts of the invariant, each in a line; none for a good run.
std::vector<std::string> violations(const Plan &plan, const Outcome &outcome, const Bounds &bounds);

}  // namespace soak
