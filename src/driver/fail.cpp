// The program's own messages with its name in front, and the failures that
// end a run: a message of the program's own, or the reasons the target gave.
// Both failures end through exit_romupdate, so the target is given back
// whatever the run had got to.
#include <cstdarg>
#include <cstdio>

#include "gtw/gtw.h"
#include "run_state.h"

namespace {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 0)))
#endif
void print_prefixed(const char *format, va_list args) {
  fprintf(stderr, "%s: ", program_name);
  vfprintf(stderr, format, args);
}

}  // namespace

void warn(const char *format, ...) {
  va_list args;
  va_start(args, format);
  print_prefixed(format, args);
  va_end(args);
}

void fail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  print_prefixed(format, args);
  va_end(args);
  exit_romupdate(1);
}

void fail_with_messages() {
  print_messages();
  exit_romupdate(1);
}
