// The trace writer.  Each event goes out as one write of a whole line (a
// longer line in several), straight to the file without buffering, so that
// a run that is killed leaves every event before that point, and a terminal
// or /dev/stderr shows each event the moment it happens.  The writer does
// not allocate and formats without stdio: the exit event is also written
// from the interrupt routine.
#include "gtw/trace.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bounds.h"
#include "gtw/trace_format.h"
#include "platform/platform.h"

#ifndef ROMUPDATE_VERSION
#define ROMUPDATE_VERSION "unknown"
#endif

namespace {

int trace_fd = -1;
const char *path;
unsigned session;
std::chrono::steady_clock::time_point started;

unsigned long elapsed_millis() {
  auto d = std::chrono::steady_clock::now() - started;
  return static_cast<unsigned long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// One event line: the start, the escaped text in as many writes as it
// needs, the line feed.  errno is left as it was, since callers print the
// error of the call they trace after tracing it.
void write_event(const char *kind, const char *text, size_t size) {
  if (trace_fd < 0) {
    return;
  }
  int saved = errno;
  char line[TRACE_LINE_SIZE];
  size_t n = trace_line_start(line, sizeof line, session, elapsed_millis(), kind);
  size_t pos = 0;
  for (;;) {
    size_t used = 0;
    n += trace_escape_some(text + pos, size - pos, line + n, sizeof line - 1 - n, &used);
    pos += used;
    if (pos >= size) {
      break;
    }
    plat_trace_write(trace_fd, line, n);
    n = 0;
  }
  line[n++] = '\n';
  plat_trace_write(trace_fd, line, n);
  errno = saved;
}

void write_number(const char *kind, unsigned long value) {
  char digits[24];
  write_event(kind, digits, trace_put_unsigned(digits, value));
}

}  // namespace

bool trace_start() {
  const char *name = getenv("ROMUPDATE_TRACE");
  if (!name || !*name) {
    return true;
  }
  path = name;
  trace_fd = plat_trace_create(name);
  if (trace_fd < 0) {
    return false;
  }
  started = std::chrono::steady_clock::now();
  char text[GTW_TEXT_SIZE];
  size_t n = trace_header_text(text, sizeof text, "romupdate", ROMUPDATE_VERSION, plat_name(),
                               std::time(nullptr));
  write_event(trace_kind::header, text, n);
  return true;
}

bool trace_on() { return trace_fd >= 0; }

void trace_stop() {
  if (trace_fd >= 0) {
    plat_trace_close(trace_fd);
  }
  trace_fd = -1;
  session = 0;
}
const char *trace_path() { return path ? path : ""; }

void trace_event(const char *kind, const char *text) { write_event(kind, text, strlen(text)); }

void trace_bytes(const char *kind, const char *data, size_t size) {
  size_t pos = 0;
  while (pos < size) {
    const void *lf = memchr(data + pos, '\n', size - pos);
    size_t end = lf ? static_cast<size_t>(static_cast<const char *>(lf) - data) + 1 : size;
    write_event(kind, data + pos, end - pos);
    pos = end;
  }
}

void trace_command(const char *command, bool sent) {
  size_t size = strlen(command);
  if (size > 0 && command[size - 1] == '\n') {
    --size;
  }
  write_event(sent ? trace_kind::command : trace_kind::unsent, command, size);
}

void trace_open(const char *host) {
  ++session;
  trace_event(trace_kind::open, host);
}

void trace_opening(const void *address, const void *port) {
  const auto *a = static_cast<const unsigned char *>(address);
  const auto *p = static_cast<const unsigned char *>(port);
  char text[32];
  size_t n = 0;
  for (int i = 0; i < 4; i++) {
    n += trace_put_unsigned(text + n, a[i]);
    text[n++] = i < 3 ? '.' : ':';
  }
  n += trace_put_unsigned(text + n, p[0] * 256u + p[1]);
  write_event(trace_kind::control, text, n);
}

void trace_lost(long result, bool sending) {
  if (trace_fd < 0) {
    return;
  }
  char text[GTW_TEXT_SIZE];
  if (result == 0 && !sending) {
    trace_event(trace_kind::lost, "closed by target");
    return;
  }
  const char *why = plat_socket_error_text();
  size_t n = 0;
  const char *lead = sending ? "error on send: " : "error on recv: ";
  for (const char *s = lead; *s; s++) {
    text[n++] = *s;
  }
  // The Windows build's error text ends in its own line end.
  for (const char *s = why; *s && *s != '\n' && n < sizeof text - 1; s++) {
    text[n++] = *s;
  }
  write_event(trace_kind::lost, text, n);
}

void trace_sleep(unsigned seconds) { write_number(trace_kind::sleep, seconds); }
void trace_exit(int status) { write_number(trace_kind::exit, static_cast<unsigned long>(status)); }
