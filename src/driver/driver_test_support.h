// Runs a piece of the driver in a child process (the routines under test end
// the process), with a given standard input, and collects what it printed
// and how it ended.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "gtw/gtw_test_support.h"
#include "harness/child.h"

struct child_result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // standard output
  std::string err;  // standard error
};

inline std::string slurp_fd(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

inline int temp_fd() {
  char name[] = "/tmp/driver_test_XXXXXX";
  int fd = mkstemp(name);
  unlink(name);
  return fd;
}

// `body` runs in the child; when it returns the child exits with 0.
// `parent` (optional) runs in the parent while the child lives, with the
// child's pid; it must return once the child is done with it.
inline child_result run_in_child(const std::function<void()> &body, const std::string &input = "",
                                 const std::function<void(pid_t)> &parent = {}) {
  int in[2];
  if (pipe(in) != 0) {
    return {};
  }
  // Small inputs only: the pipe holds them before the child starts.
  if (write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
    return {};
  }
  close(in[1]);
  int out = temp_fd(), err = temp_fd();

  fflush(stdout);
  fflush(stderr);
  child_process::Child child({.body =
                                  [&] {
                                    body();
                                    fflush(stdout);
                                    fflush(stderr);
                                  },
                              .in = in[0],
                              .out = out,
                              .err = err});
  close(in[0]);
  if (parent) {
    parent(child.pid());
  }
  child.finish(60);

  child_result result;
  result.status = child.status_or_signal();
  result.out = slurp_fd(out);
  result.err = slurp_fd(err);
  return result;
}

// Plays a target on the pair's far end: records every byte the child
// sends and answers each line with the prompt "R>".  Once the child has
// sent `wake_after`, it is poked with SIGUSR1 until it is gone, which cuts
// short any pause it takes (the child installs a handler that does
// nothing).  Returns at the end of the child's stream.
inline std::string play_target(gtw_test::peer_pair &target, pid_t child,
                               const std::string &wake_after = "") {
  bool ended =
      target.serve([](const std::string &) { return std::optional<std::string>("R>"); },
                   [&](const std::string &received) {
                     if (!wake_after.empty() && received.find(wake_after) != std::string::npos) {
                       kill(child, SIGUSR1);
                     }
                   });
  if (!ended) {
    kill(child, SIGKILL);
  }
  return target.received;
}

inline void ignore_wakeup(int) {}

// A child that is woken from its pauses by play_target.
inline void accept_wakeups() {
  struct sigaction action {};
  action.sa_handler = ignore_wakeup;
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR1, &action, nullptr);
}
