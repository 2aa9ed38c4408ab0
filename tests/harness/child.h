// Child processes of the tests and the benchmark: a program (or a function)
// started with its standard streams where the caller wants them, and
// reaped within a bound, so that no test hangs on a child and none is left
// behind.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace child_process {

// Every member has a default, so that a caller names only what it needs.
struct Options {
  std::vector<std::string> args{};  // the program's path, then its arguments
  std::function<void()> body{};     // instead of args: run this, then exit 0
  std::vector<std::string> env{};   // NAME=value, the whole environment; empty: ours
  std::string cwd{};                // empty: ours
  // Standard streams: a descriptor to give the child; else a file to write
  // (one file when both name the same); else /dev/null for the input when
  // null_input; else ours.
  int in = -1, out = -1, err = -1;
  std::string out_file{}, err_file{};
  bool append = false;  // the files are appended to, not emptied
  bool null_input = false;
  bool own_group = false;        // a process group of its own, signalled as one
  bool die_with_parent = false;  // sent SIGTERM when this process ends
};

class Child {
 public:
  Child() = default;
  // Starts the child; started() tells whether it could be.  A program is
  // run with SIGINT and SIGPIPE at their defaults, as a shell would.
  explicit Child(const Options &options);
  // A child still running is killed and reaped.
  ~Child();
  Child(Child &&other) noexcept;
  Child &operator=(Child &&other) noexcept;
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  bool started() const { return pid_ > 0 || ended_; }
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void signal(int sig) const;  // its group, when it has one

  // True once it has ended, waiting at most `seconds`.
  bool wait_for(double seconds);
  // Waits at most `seconds`, then kills it; true when it ended by itself.
  bool finish(double seconds);
  // SIGTERM, then finish(seconds).
  bool stop(double seconds = 10);

  int wait_status() const { return wait_status_; }
  int exit_status() const;       // -1 when it did not exit
  int term_signal() const;       // 0 when it was not ended by a signal
  int status_or_signal() const;  // the exit status, or 128 + the signal
  const rusage &usage() const { return usage_; }

 private:
  void kill_now();
  pid_t pid_ = -1;
  bool own_group_ = false;
  bool ended_ = false;
  int wait_status_ = 0;
  rusage usage_{};
};

// This process's environment with `add` set over it, as NAME=value.
std::vector<std::string> environment_with(const std::map<std::string, std::string> &add);

// Reads `fd` until `done` holds for what was read, the other end closes
// (*closed tells), or `seconds` pass; returns what was read.
std::string read_until(int fd, const std::function<bool(const std::string &)> &done, double seconds,
                       bool *closed = nullptr);
// Reads `fd` until what was read holds `text`.
std::string read_until(int fd, const std::string &text, double seconds);

}  // namespace child_process
