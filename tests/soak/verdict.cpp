// One faulted run and its verdict: the update, what the target was left
// with (its lock marker, its flash as romupdate-abs verify finds it), and
// the invariant.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>

#include "soak/soak.h"

namespace soak {

namespace {

using e2e::contains;

// Each simulator reserves a loopback address of its own, and the
// reservation is not made for concurrent callers.
std::mutex sim_start;

bool has(const std::vector<std::string> &v, const std::string &s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// The lock marker at the end, followed through the commands the target
// carried out.  (The target is not asked: the faults of the run would meet
// the question too.)
std::string lock_of(const Plan &plan, const std::vector<e2e::TranscriptLine> &transcript) {
  e2e::LockEnd end = e2e::lock_at_end(transcript, plan.struck, has(plan.sim, "--locked"),
                                      has(plan.sim, "--come-back-locked"));
  return end.ours ? "ours" : end.other ? "other's" : "none";
}

// The last lines of a text, each indented, for a report.
std::string last_lines(const std::string &text, int count) {
  size_t from = text.size();
  for (int n = 0; n <= count && from > 0; ++n) {
    from = text.rfind('\n', from - 1);
    if (from == std::string::npos) {
      from = 0;
      break;
    }
  }
  std::string shown;
  size_t at = from == 0 ? 0 : from + 1;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end;
    shown += "      " + text.substr(at, end - at) + "\n";
    at = end + 1;
  }
  return shown;
}

}  // namespace

Outcome execute(const Plan &plan, const Bounds &bounds) {
  Outcome o;
  const e2e::Scenario &target = *plan.base->target;
  try {
    std::unique_ptr<e2e::Sim> sim;
    {
      std::lock_guard<std::mutex> lock(sim_start);
      sim = std::make_unique<e2e::Sim>(target.sim_options(plan.sim));
    }
    o.address = sim->address();
    e2e::RunOptions options;
    // Past the bound the run is killed, a little later, so that the
    // verdict can tell a slow run from a hung one.
    options.timeout = bounds.seconds + 10;
    options.signal_after = plan.interrupt_after;
    o.run = e2e::run(target.arguments(o.address), options);
    o.interrupted = plan.interrupt_after > 0 && contains(o.run.err, ": Interrupt\n");
    o.commands = sim->commands();
    sim->stop();
    o.lock = lock_of(plan, sim->transcript());
    o.flash_ok = true;
    for (const std::string &img : target.images) {
      std::string report;
      o.flash_ok =
          e2e::flash_matches(e2e::lib_image(img), sim->dump_path(), target.exact, &report) &&
          o.flash_ok;
    }
  } catch (const std::exception &e) {
    o.error = e.what();
  }
  return o;
}

std::vector<std::string> violations(const Plan &plan, const Outcome &o, const Bounds &bounds) {
  std::vector<std::string> v;
  if (!o.error.empty()) {
    return {"the run could not be made: " + o.error};
  }
  const e2e::RunResult &r = o.run;
  const bool success = r.status == 0;
  const bool unlocked = o.lock != "ours";
  const std::string advice = "romupdate-unlock " + o.address;

  if (r.timed_out || r.seconds > bounds.seconds) {
    v.push_back("ran " + std::to_string(r.seconds) + " s, over its bound");
  }
  if (r.max_rss_kib > bounds.rss_kib) {
    v.push_back("peak memory " + std::to_string(r.max_rss_kib) + " KiB, over its bound");
  }
  if (r.term_signal != 0 && !r.timed_out) {
    v.push_back("ended by signal " + std::to_string(r.term_signal));
  } else if (r.status != 0 && r.status != 1 && !r.timed_out) {
    v.push_back("exit status " + std::to_string(r.status));
  }
  if (success) {
    if (!contains(r.err, "Flash programming SUCCEEDED\n") || contains(r.out + r.err, "FAILED")) {
      v.push_back("exit 0 without the result line of a success");
    }
    if (!o.flash_ok) {
      v.push_back("exit 0, but the flash does not hold the images");
    }
    if (!unlocked) {
      v.push_back("exit 0, but the target holds our lock marker");
    }
  }
  if (r.status == 1) {
    // Beyond the reasons of any failed run: any line of the target's, the
    // interrupt, a target that did not come back, the hardware check.
    if (!e2e::says_why(r.err,
                       {"\n!", "Interrupt", "connect failed", "could not reach", "Hardware"})) {
      v.push_back("exit 1 without a line that says why");
    }
    if (contains(r.out + r.err, "SUCCEEDED")) {
      v.push_back("exit 1 after a success was reported");
    }
    // The flash holds the images and the target is free: nothing but the
    // target's own words or the operator's interrupt may fail such a run.
    if (o.flash_ok && o.lock == "none" && !plan.target_speaks && !o.interrupted) {
      v.push_back("exit 1, but the flash holds the images and the target is free");
    }
  }
  if (o.interrupted && !contains(r.err, advice)) {
    v.push_back("interrupted, and the run did not say '" + advice + "'");
  }
  if (!o.interrupted && !unlocked && !contains(r.err, advice)) {
    v.push_back("the target holds our lock marker, and the run did not say '" + advice + "'");
  }
  if (!v.empty()) {
    std::string shown =
        "  the run's last lines:\n" + last_lines(r.err, 6) + "  the target's last commands:\n";
    for (size_t i = o.commands.size() > 4 ? o.commands.size() - 4 : 0; i < o.commands.size(); ++i) {
      shown += "      " + o.commands[i] + "\n";
    }
    v.push_back(shown);
  }
  return v;
}

}  // namespace soak
