// The failures that end a run: a message of the program's own, or the
// reasons the target gave.  Both end through exit_romupdate, so the target is
// given back whatever the run had got to.
#include <cstdarg>
#include <cstdio>

#include "gtw/gtw.h"
#include "run_state.h"

void fail(const char *format, ...) {
  fprintf(stderr, "%s: ", program_name);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  exit_romupdate(1);
}

void fail_with_messages() {
  print_messages();
  exit_romupdate(1);
}
