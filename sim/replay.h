// The trace that --replay plays, read as the replay goes: one event at a
// time (with a short look ahead), so that memory follows the longest event
// and not the file.  A first pass over the file checks it and notes what
// the replay must know before the client gets there: the connection
// attempts and their outcomes, whose run it was, the commands it holds.
#pragma once

#include <deque>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "formats/trace/trace_format.h"

// One connection attempt of the recorded client.
struct replay_attempt {
  enum class outcome {
    none,             // it never reached the network (a name or a socket failed)
    command_refused,  // the command port refused it
    control_refused,  // the command port took it, the control port refused it
    connected,
  };
  unsigned session = 0;
  outcome result = outcome::none;
  // The client's pause before it: seconds since its previous event.
  double pause = 0;
  // It got in, and the lock probe found the target held by another user
  // interface (the reasons of the refusals before it are then printed).
  bool locked = false;
};

// Whether a command line reached the target, judged from what followed it.
bool replay_is_reboot(std::string_view line);
// The lock marker's definition with the user and host it names left out,
// so that a run of another user or host matches it; other lines as they are.
std::string replay_shape(std::string_view line);

class replay_script {
 public:
  // Opens and checks a trace of romupdate.  false with `error` set when it
  // is not one, is cut off or comes from a newer format.
  bool load(const std::string &path, std::string &error);

  const trace_header &header() const { return header_; }
  size_t command_count() const { return commands_; }
  const std::vector<replay_attempt> &attempts() const { return attempts_; }
  // The user and host of the recorded run's lock marker (empty when none).
  const std::string &user() const { return user_; }
  const std::string &host() const { return host_; }
  // The first download whose stream broke off in the client's send, and
  // its trace line (0: none).
  size_t broken_stream_line() const { return broken_line_; }
  // The first command the client sent into a connection the target had
  // ended, and its trace line (0: none).
  size_t dead_send_line() const { return dead_send_line_; }

  // The event `ahead` places after the next one, or nullptr at the end.
  const trace_record *peek(size_t ahead = 0);
  // Its line in the trace.
  size_t line(size_t ahead = 0);
  void take();

 private:
  bool read_one(trace_record &event, std::string &error);

  std::ifstream in_;
  trace_header header_;
  size_t commands_ = 0;
  std::vector<replay_attempt> attempts_;
  std::string user_, host_;
  size_t broken_line_ = 0;
  size_t dead_send_line_ = 0;
  std::deque<trace_record> ahead_;
  size_t next_line_ = 2;  // of ahead_.front()
  std::string raw_;
};
