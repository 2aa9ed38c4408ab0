// Replay (--replay TRACE): the simulator plays the target that a trace of
// romupdate recorded.  Each command line the client sends must be the next
// one of the trace; it is answered with the recorded bytes, and the target
// drops, resets or reboots where the recording shows it.  Anything else is
// a divergence: noted, and answered with a message line and a prompt so that
// the run fails visibly.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gtw/trace_format.h"

struct replay_step {
  enum class expect { command, stream };
  enum class ending {
    answer,  // go on with the session
    hangup,  // the target ended the connection (the client read its end)
    drop,    // the target closed it while data was coming (a broken pipe)
    reset,   // the connection broke (the client saw a reset)
    reboot,  // the target rebooted
  };

  expect what = expect::command;
  std::string command;                  // expect::command: the line, without its line end
  unsigned long long stream_bytes = 0;  // expect::stream: bytes after the go-ahead
  bool stream_broken = false;           // the client could not send them all
  std::string output;                   // the target's bytes on the command connection
  std::string control_output;           // and on the control connection
  ending end = ending::answer;
  // A reboot: seconds until the target listens again (none: never).
  std::optional<double> back_after;
  size_t line = 0;  // in the trace
};

class replay_script {
 public:
  // Reads a trace of romupdate.  false with `error` set when it is not one,
  // is cut off or comes from a newer format.
  bool load(const std::string &path, std::string &error);

  const trace_header &header() const { return header_; }
  size_t command_count() const;
  // Whether the recorded run reached the target at its first attempt.
  bool reachable_at_start() const { return reachable_; }

  // The step that `line` matches, taken; nullptr when the client diverged
  // (then `divergence` says how, the first time only).
  const replay_step *take_command(std::string_view line, std::string &divergence);
  // The data step expected after a download's go-ahead, or nullptr.
  const replay_step *expected_stream() const;
  const replay_step *take_stream();
  // How many bytes of the expected stream the target takes before it ends
  // the connection as recorded.
  static unsigned long long stream_stop(const replay_step &step);
  // The client's download did not match `step`.
  void diverge_in_stream(const replay_step &step, unsigned long long received,
                         std::string &divergence);

  bool diverged() const { return diverged_; }
  // The prompt the target last gave, for answers the trace does not hold.
  const std::string &prompt() const { return prompt_; }
  // The back_after of the last step taken.
  std::optional<double> back_after() const { return back_after_; }

 private:
  void took(const replay_step &step);

  trace_header header_;
  std::vector<replay_step> steps_;
  size_t next_ = 0;
  unsigned commands_taken_ = 0;
  bool reachable_ = true;
  bool diverged_ = false;
  std::string prompt_ = "R>";
  std::optional<double> back_after_;
};
