// The driver's own routines: the usage text and the reply-line routines.
// The process-wide state of a run is in run_state.h.
#pragma once

#include <cstdint>

#include "run_state.h"

void print_usage();

// A number read from a reply.  `seen` tells a reply that carried one from a
// reply that did not, so that no starting value can pass for an answer.
struct reply_number {
  uint32_t value;
  bool seen;
};

// Line routines (see gtw_line_routine).
void ver_reply_line(const char *line, void *arg);
void hex_reply_line(const char *line, void *arg);           // arg: reply_number*
void second_token_reply_line(const char *line, void *arg);  // arg: reply_number*
