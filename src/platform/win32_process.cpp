// Process services of the Windows build: the console interrupt, unbuffered
// output to the standard handles, the immediate exit, and whether standard
// error is a console.
#include "platform/win32_platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <io.h>

// Only the interrupt signal is handled.  Setting an action for it through
// the runtime's signal() registers the runtime's console control handler,
// which turns Ctrl+C into the interrupt signal, resets the action to the
// default and calls the routine on the console's own thread; a second
// Ctrl+C meanwhile ends the process.  Ctrl+Break and closing the console map
// to the break signal, which keeps its default action and ends the process
// at once.  The disposition is queried by setting it to "ignore": a program
// started with the interrupt ignored keeps it ignored.
void plat_install_interrupts(void (*handler)(int)) {
  void (*previous)(int) = signal(SIGINT, SIG_IGN);
  if (previous != SIG_IGN) {
    signal(SIGINT, handler);
  }
}

// A closed pipe or a full disk makes the write fail; no signal is raised.
void plat_ignore_output_signals() {}

// The interrupt routine runs on the console's own thread, where strerror's
// per-thread buffer is safe.
const char *plat_errno_text(int error) { return strerror(error); }

// The handle is written directly, without the stream buffers, so that the
// interrupt routine on the console's thread can write while the main flow
// is inside a stream call.
static bool write_all(int fd, const char *text, size_t len) {
  while (len > 0) {
    unsigned chunk = len > 0x7fffffffu ? 0x7fffffffu : static_cast<unsigned>(len);
    int n = _write(fd, text, chunk);
    if (n <= 0) {
      if (n == 0) {
        errno = ENOSPC;
      }
      return false;
    }
    text += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void plat_write_stderr(const char *text) { write_all(2, text, strlen(text)); }
void plat_write_stdout(const char *text) { write_all(1, text, strlen(text)); }
bool plat_trace_write(int fd, const char *data, size_t size) { return write_all(fd, data, size); }
void plat_exit_now(int status) { _exit(status); }

// _isatty also holds for the null device; only a console has a mode.
bool plat_stderr_is_terminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}
