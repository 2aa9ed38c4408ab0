// What every session of the simulator shares: the options, the one target,
// the fault counters and the transcript.
#pragma once

#include <memory>
#include <string>

#include "options.h"
#include "replay.h"
#include "scenario.h"
#include "target.h"
#include "transcript.h"

struct sim_context {
  explicit sim_context(const sim_options &o);

  const sim_options &options;
  target_state target;
  scenario faults;
  transcript log;
  // Set with --replay: the target plays the trace instead of itself.
  std::unique_ptr<replay_script> replay;

  // Writes the flash dump (--dump-flash) when the flash changed since the
  // last one, or always when `force` is set.  A failure is reported on
  // standard error and does not stop the simulator.
  void dump_flash(bool force = false);
};
