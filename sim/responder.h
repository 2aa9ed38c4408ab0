// What plays the target behind the sessions.  main picks one at start: the
// live target (sim/live_target.h) or the replayed one (sim/replay_target.h).
// The session does the framing and the output; the responder decides what
// the target says and when it ends a connection; the server asks the model
// which ports listen.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

using sim_clock = std::chrono::steady_clock;

class session;

// What becomes of a session after the responder has had its say.
enum class sim_result {
  keep,    // go on serving the session
  close,   // the target drops both connections of the session
  reboot,  // the session rebooted the target
  reset,   // the target breaks both connections off (an error for the client)
  hangup,  // the target ends the connections in order, then closes them
};

// One session's side of the target.
class responder {
 public:
  virtual ~responder() = default;
  // One command line, without its line end.
  virtual sim_result on_line(session &s, const std::string &line) = 0;
  // Bytes of a download's record stream (the session is in its stream);
  // the responder takes from the front of `in` what belongs to it.
  virtual sim_result on_stream(session &s, std::string &in) = 0;
  // The stream stopped for the stall time.
  virtual sim_result on_stall(session &s) = 0;
  // The session ends without the target having chosen it: the client went
  // away (`by_client`) or the target rebooted.
  virtual void on_end(session &s, bool by_client) = 0;
  // The session's output ran low: room for more of a long answer.
  virtual void on_output_low(session &) {}
  // The prompt the target gives now, for answers the target makes itself.
  virtual std::string prompt() const = 0;
};

// Which ports accept connections, and until when that holds.
struct port_state {
  bool command = true;
  bool control = true;
  std::optional<sim_clock::time_point> until;  // none: until something happens
};

// The target as a whole.
class target_model {
 public:
  virtual ~target_model() = default;
  // A client's command connection was accepted as session `id`.
  virtual std::unique_ptr<responder> on_connect(unsigned id) = 0;
  // A session's responder rebooted the target; every session is gone.
  virtual void on_reboot() = 0;
  virtual port_state ports(sim_clock::time_point now) = 0;
  // After each round of the event loop.
  virtual void settle() {}
};
