// The trace writer.  Each event goes out as one write of a whole line (a
// longer line in several), straight to the file without buffering, so that
// a run that is killed leaves every event before that point, and a terminal
// or /dev/stderr shows each event the moment it happens.  The writer does
// not allocate and formats without stdio: the exit event is also written
// from the interrupt routine.
//
// The trace is bounded the way the message queue is: a target that sends
// without end while the program waits for its prompt gets its first
// TRACE_FLOOD_MAX_LINES lines written (at most TRACE_FLOOD_MAX_BYTES of
// them), and the rest of that flood counted in one "omitted" line, written
// with the flood's last line before the program's next event.
#include "gtw/trace.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bounds.h"
#include "formats/trace/trace_format.h"
#include "platform/platform.h"
#include "romupdate_version.h"

namespace {

int trace_fd = -1;
const char *path;
const char *program = "romupdate";
unsigned session;
std::chrono::steady_clock::time_point started;

// A write failed (a full disk, a reader gone): said once, and nothing more
// is written, so that the trace ends where it broke off.
bool broken;
// "PROGRAM: trace file 'PATH' could not be written to its end: ", composed
// when the trace starts; the reason is added when it happens.
char failure_text[TRACE_NOTICE_SIZE];
size_t failure_prefix;

// The target's text in a row, with nothing of the program's in between:
// its first lines are written, the rest only counted, except the last one,
// which is kept to be written after the count: it shows how the flood
// ended (as a rule with the prompt), and a replay can end the reply there.
unsigned long flood_lines;
size_t flood_bytes;
// Pieces held back (the kept last one included), and the whole lines among
// those written over: a line that came in two receives counts once.
unsigned long omitted;
unsigned long omitted_lines;
const char *last_kind;
char last_text[GTW_CHUNK_SIZE];
size_t last_size;

unsigned long elapsed_millis() {
  auto d = std::chrono::steady_clock::now() - started;
  return static_cast<unsigned long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

bool is_target_text(const char *kind) {
  return strcmp(kind, trace_kind::reply) == 0 || strcmp(kind, trace_kind::control_message) == 0;
}

size_t append(char *out, size_t n, size_t room, const char *text) {
  while (*text && n < room - 1) {
    out[n++] = *text++;
  }
  out[n] = '\0';
  return n;
}

void report_failure(int error) {
  broken = true;
  size_t n = append(failure_text, failure_prefix, sizeof failure_text - 1, plat_errno_text(error));
  append(failure_text, n, sizeof failure_text, "\n");
  plat_write_stderr(failure_text);
}

void put(const char *data, size_t size) {
  if (!broken && !plat_trace_write(trace_fd, data, size)) {
    report_failure(errno);
  }
}

// One event line: the start, the escaped text in as many writes as it
// needs, the line feed.
void write_line(const char *kind, const char *text, size_t size) {
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
    put(line, n);
    n = 0;
  }
  line[n++] = '\n';
  put(line, n);
}

// Keeps the end of the line: a prompt comes last.
void keep_last(const char *kind, const char *text, size_t size) {
  if (size > sizeof last_text) {
    text += size - sizeof last_text;
    size = sizeof last_text;
  }
  memcpy(last_text, text, size);
  last_size = size;
  last_kind = kind;
}

void write_omitted() {
  if (omitted_lines > 0) {
    char text[64];
    size_t n = trace_put_unsigned(text, omitted_lines);
    n = append(text, n, sizeof text, " further lines from the target were left out");
    write_line(trace_kind::omitted, text, n);
  }
  omitted = 0;
  omitted_lines = 0;
  write_line(last_kind, last_text, last_size);
}

// One event, unless the target is flooding.  errno is left as it was, since
// callers print the error of the call they trace after tracing it.
void write_event(const char *kind, const char *text, size_t size) {
  if (trace_fd < 0 || broken) {
    return;
  }
  int saved = errno;
  if (!is_target_text(kind)) {
    if (omitted > 0) {
      write_omitted();
    }
    flood_lines = 0;
    flood_bytes = 0;
  } else if (omitted > 0 || flood_lines >= static_cast<unsigned long>(TRACE_FLOOD_MAX_LINES) ||
             flood_bytes + size > static_cast<size_t>(TRACE_FLOOD_MAX_BYTES)) {
    if (omitted > 0 && last_size > 0 && last_text[last_size - 1] == '\n') {
      ++omitted_lines;
    }
    ++omitted;
    keep_last(kind, text, size);
    errno = saved;
    return;
  } else {
    ++flood_lines;
    flood_bytes += size;
  }
  write_line(kind, text, size);
  errno = saved;
}

void write_number(const char *kind, unsigned long value) {
  char digits[24];
  write_event(kind, digits, trace_put_unsigned(digits, value));
}

void say_waiting(const char *name) {
  fprintf(stderr, "%s: trace file '%s' is a FIFO: waiting for a reader\n", program, name);
}

}  // namespace

bool trace_start(const char *program_name, const char **why) {
  const char *name = getenv("ROMUPDATE_TRACE");
  if (!name || !*name) {
    return true;
  }
  path = name;
  program = program_name;
  const char *refusal = nullptr;
  trace_fd = plat_trace_create(name, &refusal, say_waiting);
  if (trace_fd < 0) {
    *why = refusal ? refusal : strerror(errno);
    return false;
  }
  broken = false;
  flood_lines = 0;
  flood_bytes = 0;
  omitted = 0;
  omitted_lines = 0;
  // Room is left for the reason however long the name.
  int n = snprintf(failure_text, sizeof failure_text - TRACE_NOTICE_REASON_SIZE,
                   "%s: trace file '%s' could not be written to its end: ", program, name);
  failure_prefix = n < 0 ? 0 : strlen(failure_text);
  started = std::chrono::steady_clock::now();
  char text[GTW_TEXT_SIZE];
  size_t size = trace_header_text(text, sizeof text, "romupdate", romupdate_version, plat_name(),
                                  std::time(nullptr));
  write_event(trace_kind::header, text, size);
  return true;
}

bool trace_on() { return trace_fd >= 0; }

void trace_stop() {
  if (trace_fd >= 0) {
    plat_trace_close(trace_fd);
  }
  trace_fd = -1;
  session = 0;
  broken = false;
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
