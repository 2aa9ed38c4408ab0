// Shared pieces of the fuzz harnesses: the stand-in for the exit routine,
// quiet product output, invariant checks, and socket pairs that play a
// target which sends a given byte stream and then closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "gtw/gtw.h"

// exit_romupdate ends the run in the product.  In a harness it throws this
// instead, so that one input's end of run is just the end of that input.
struct run_ended {
  int status;
};

// Silences the product's output.  Only the stdio streams are replaced: file
// descriptor 2 stays open, so the fuzzer's and the sanitizers' reports still
// arrive.  FUZZ_SHOW_OUTPUT=1 in the environment keeps the output (useful
// when replaying a crash input by hand).
void fuzz_silence_output();

// A broken invariant: print it where the fuzzer's report goes, and abort so
// that the fuzzer keeps the input.
[[noreturn]] void fuzz_fail(const char *file, int line, const char *what);
#define FUZZ_CHECK(cond)                               \
  do {                                                 \
    if (!(cond)) fuzz_fail(__FILE__, __LINE__, #cond); \
  } while (0)

// Prints to where the fuzzer's reports go (for the details of a broken
// invariant, before FUZZ_CHECK aborts).
void fuzz_report(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Prints a list of texts, one a line, with C escapes for what is not printable.
void fuzz_report_texts(const char *title, const std::vector<std::string> &texts);

// Empties the process-wide message queue, oldest first.
std::vector<std::string> fuzz_take_messages();
// Whether a dequeued text is the queue's own last line, "N further messages
// were dropped"; a target's message always begins with "!".
bool fuzz_is_dropped_line(const std::string &text);

// A stream socket pair.  The far end sends `data` and then shuts down its
// writing side, so a reader of the near end sees the bytes and then the end
// of the stream, never a wait for ever.  Small inputs are put into the socket
// buffer before the reader starts, which makes the receives deterministic
// (each receive gets as much as it asks for); larger ones are sent by a
// writer thread.
class fed_socket {
 public:
  fed_socket(const uint8_t *data, size_t size);
  ~fed_socket();
  fed_socket(const fed_socket &) = delete;
  fed_socket &operator=(const fed_socket &) = delete;

  bool ok() const { return near_ >= 0; }
  // True when the whole stream was in the socket before the reader started.
  bool prefilled() const { return !writer_.joinable(); }
  // The near end, handed over: the caller closes it (with plat_close_socket,
  // through the connection record that now holds it).
  int release() {
    int fd = near_;
    near_ = -1;
    return fd;
  }

  // Inputs up to this size are prefilled.  Well below the default Unix
  // socket buffer.
  static constexpr size_t kPrefillLimit = 64 * 1024;

 private:
  int near_ = -1;
  int far_ = -1;
  std::thread writer_;
};

// Closes the sockets of a connection record when the input is done.  Declared
// after the fed_sockets, so it runs first and a writer thread blocked on a
// full buffer is released before it is joined.
struct conn_closer {
  gtw_conn *conn;
  ~conn_closer();
};
