// The program's own messages with its name in front, the progress messages,
// and the failures that end a run: a message of the program's own, or the
// reasons the target gave.
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

#if defined(__GNUC__)
__attribute__((format(printf, 2, 0)))
#endif
void progress(FILE *stream, const char *format, va_list args) {
  if (verboseflag) {
    vfprintf(stream, format, args);
  }
}

}  // namespace

void say(const char *format, ...) {
  va_list args;
  va_start(args, format);
  progress(stderr, format, args);
  va_end(args);
}

void say_out(const char *format, ...) {
  va_list args;
  va_start(args, format);
  progress(stdout, format, args);
  va_end(args);
}

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
