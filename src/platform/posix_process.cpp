// Process services of the Unix build: the interrupt signals, the signals of
// failed output, unbuffered output to the standard descriptors, the
// immediate exit, and whether standard error is a terminal.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

void plat_install_interrupts(void (*handler)(int)) {
  static const int signals[] = {SIGHUP, SIGQUIT, SIGINT, SIGTERM};
  for (int sig : signals) {
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(sig, &ignore, &previous) != 0) {
      continue;
    }
    if (previous.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Block the other handled signals while one is being handled, so that
    // one run ends once.
    for (int other : signals) {
      sigaddset(&action.sa_mask, other);
    }
    sigaction(sig, &action, nullptr);
  }
}

void plat_ignore_output_signals() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  sigaction(SIGXFSZ, &ignore, nullptr);
}

// The C library's text table itself, without the translation and the
// buffer of strerror, which the interrupt routine may not use.
const char *plat_errno_text(int error) {
#if defined(__GLIBC__)
  const char *text = strerrordesc_np(error);
  return text ? text : "Unknown error";
#else
  return strerror(error);
#endif
}

// The descriptor is written directly, without the stream buffers, so that
// the interrupt routine can write while the main flow is inside a stream
// call.
static bool write_all(int fd, const char *text, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      if (n == 0) {
        errno = EIO;
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

bool plat_stderr_is_terminal() { return isatty(2) == 1; }
