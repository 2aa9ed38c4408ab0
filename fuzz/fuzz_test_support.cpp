#include "fuzz_test_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run_state.h"
#include "platform/platform.h"

void exit_romupdate(int status) { throw run_ended{status}; }

namespace {

// The stream the harness's own reports go to: the real standard error.
FILE *report_stream = stderr;

}  // namespace

void fuzz_silence_output() {
  static bool done = false;
  if (done) {
    return;
  }
  done = true;
  report_stream = stderr;
  const char *show = getenv("FUZZ_SHOW_OUTPUT");
  if (show && strcmp(show, "1") == 0) {
    return;
  }
  // Not freopen: that would point descriptor 2 at /dev/null as well and hide
  // the sanitizers' reports.  Replacing the stream variables is how this C
  // library lets a program redirect them; the fuzzer keeps the stream it
  // took at start-up.
  FILE *null_out = fopen("/dev/null", "w");
  if (!null_out) {
    return;
  }
  fflush(stdout);
  stdout = null_out;
  stderr = null_out;
}

void fuzz_fail(const char *file, int line, const char *what) {
  fprintf(report_stream, "\n%s:%d: invariant broken: %s\n", file, line, what);
  fflush(report_stream);
  abort();
}

void fuzz_report(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(report_stream, format, args);
  va_end(args);
  fflush(report_stream);
}

void fuzz_report_texts(const char *title, const std::vector<std::string> &texts) {
  fprintf(report_stream, "%s (%zu):\n", title, texts.size());
  for (const std::string &t : texts) {
    fputs("  \"", report_stream);
    for (unsigned char c : t) {
      if (c == '\\' || c == '"') {
        fprintf(report_stream, "\\%c", c);
      } else if (c >= 0x20 && c < 0x7F) {
        fputc(c, report_stream);
      } else {
        fprintf(report_stream, "\\x%02X", c);
      }
    }
    fprintf(report_stream, "\" (%zu)\n", t.size());
  }
  fflush(report_stream);
}

std::vector<std::string> fuzz_take_messages() {
  std::vector<std::string> out;
  while (char *text = gtw_get_message()) {
    out.emplace_back(text);
    free(text);
  }
  return out;
}

bool fuzz_is_dropped_line(const std::string &text) {
  static const std::string tail = " further messages were dropped";
  size_t digits = text.find_first_not_of("0123456789");
  return digits > 0 && digits != std::string::npos &&
         text.compare(digits, std::string::npos, tail) == 0;
}

namespace {

bool send_all(int fd, const uint8_t *data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) {
      return false;  // the reader closed its end: nothing to wait for
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

fed_socket::fed_socket(const uint8_t *data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    return;
  }
  near_ = fds[0];
  far_ = fds[1];
  if (size <= kPrefillLimit) {
    if (!send_all(far_, data, size)) {
      fuzz_fail(__FILE__, __LINE__, "prefilling the socket");
    }
    shutdown(far_, SHUT_WR);
    return;
  }
  int far = far_;
  writer_ = std::thread([far, data, size] {
    send_all(far, data, size);
    shutdown(far, SHUT_WR);
  });
}

fed_socket::~fed_socket() {
  if (near_ >= 0) {
    close(near_);
  }
  if (writer_.joinable()) {
    writer_.join();
  }
  if (far_ >= 0) {
    close(far_);
  }
}

conn_closer::~conn_closer() {
  plat_close_socket(conn->command_socket);
  plat_close_socket(conn->control_socket);
}

// Every harness starts with the product's messages silenced.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_silence_output();
  return 0;
}
