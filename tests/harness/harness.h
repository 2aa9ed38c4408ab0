// End-to-end harness: runs the real programs against the target simulator
// on a loopback address of the test's own.
#pragma once

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "harness/child.h"

namespace e2e {

// Paths of the programs under test (set by the build).
std::string romupdate_path();
std::string sim_path();
std::string abs_path();
std::string fastsleep_path();
std::string examples_root();  // a sample installation (XR52000)

// A loopback address reserved for this process (a lock file per address),
// so tests running in parallel never share a simulator address.
std::string reserve_loopback();

// A fresh temporary directory, removed when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  void write(const std::string &name, const std::string &content) const;

 private:
  std::string path_;
};

struct TranscriptLine {
  int session = 0;
  double time = 0;
  std::string kind;
  std::string text;
};

// The simulator as a child process, with a transcript and a flash dump in a
// temporary directory.  Stopped (SIGTERM, then SIGKILL) on destruction.
class Sim {
 public:
  explicit Sim(std::vector<std::string> options = {}, std::string address = "");
  // The simulator started through a launcher, the launcher's words first
  // (e.g. {"/usr/sbin/ip", "netns", "exec", NAME}); the launcher must end by
  // executing the simulator in its own process, so that stopping the
  // process stops the simulator.
  Sim(std::vector<std::string> options, std::string address, std::vector<std::string> launcher);
  ~Sim();
  Sim(const Sim &) = delete;
  Sim &operator=(const Sim &) = delete;

  const std::string &address() const { return address_; }
  std::vector<TranscriptLine> transcript() const;
  // The received command lines, in order.
  std::vector<std::string> commands() const;
  const std::string &dump_path() const { return dump_; }
  const std::string &log_path() const { return log_; }
  // Stops the simulator (it writes its flash dump) and waits for it.
  void stop();
  bool running() const { return sim_.running(); }

 private:
  TempDir dir_;
  std::string address_, log_, dump_;
  child_process::Child sim_;
};

// A fault that strikes one command: the simulator's --close-at, --hang-at
// or --reject, the text the command begins with, and how many such
// commands the target has run when it strikes.
struct StruckCommand {
  std::string option{}, command{};
  unsigned long nth = 0;
};

// The lock marker of a target at the end of its transcript, followed
// through the commands it carried out: "mac lockinfo=..." defines ours,
// "mac -d lockinfo" removes it, a reboot clears it (or leaves another
// holder's, when the target comes back locked).  A dropped command and the
// rest of its line are not carried out, nor a refused command, nor a
// stalled one and everything after it on its connection.
struct LockEnd {
  bool ours = false;      // our marker is defined
  bool other = false;     // another user interface's marker is
  bool rebooted = false;  // rebooted since our marker was last defined
};
LockEnd lock_at_end(const std::vector<TranscriptLine> &transcript, const StruckCommand &fault = {},
                    bool starts_locked = false, bool comes_back_locked = false);

// Every member has a default, so that a test names only what it changes:
// run(args, {.timeout = 120}).
struct RunOptions {
  std::string input{};                       // standard input
  bool close_input = true;                   // end of input after it
  std::map<std::string, std::string> env{};  // added to the environment
  std::string cwd{};                         // working directory
  double timeout = 60;                       // seconds, then SIGKILL
  bool fast_sleep = true;                    // preload the sleep shortener
  std::string signal_when_output{};          // send `signal` when stdout or stderr holds it
  double signal_after = 0;                   // send `signal` after this many seconds
  int signal = SIGINT;
  std::string program{};               // default: romupdate
  std::vector<std::string> wrapper{};  // e.g. valgrind and its options
};

struct RunResult {
  int status = -1;      // exit status, or -1 when ended by a signal
  int term_signal = 0;  // the signal that ended it, or 0
  bool timed_out = false;
  double seconds = 0;
  long max_rss_kib = 0;  // its peak resident set, as the kernel counted it
  std::string out, err;
  std::vector<unsigned> sleeps;  // requested sleeps, in order
};

// Runs a program (romupdate by default) with arguments; XR52000 points at
// the sample installation unless options.env says otherwise.
RunResult run(const std::vector<std::string> &args, const RunOptions &options = {});

// romupdate-abs verify [--exact] IMAGE DUMP; returns its output, *ok its result.
bool flash_matches(const std::string &image, const std::string &dump, bool exact,
                   std::string *report);

// Whether a failed run's standard error names its reason: a lost
// connection, the download's status, a lock, a line of the target's; `more`
// are further reasons the caller accepts.
bool says_why(const std::string &err, const std::vector<std::string> &more = {});

std::string read_file(const std::string &path);
// The fenced code blocks of a Markdown text that open with ```language,
// in order, each with its lines and their line ends.
std::vector<std::string> code_blocks(const std::string &text, const std::string &language);
bool contains(const std::string &haystack, const std::string &needle);
int count_of(const std::string &haystack, const std::string &needle);

}  // namespace e2e
