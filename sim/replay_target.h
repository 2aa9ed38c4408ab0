// The replayed target (--replay TRACE): the target that a trace of
// romupdate recorded.  Each command line the client sends must be the next
// one the recorded target received; it is answered with the recorded bytes,
// and the target refuses, drops, resets or reboots where the recording
// shows it.  Anything else is a divergence: noted, and answered with a
// message line and a prompt so that the run fails visibly.
#pragma once

#include <optional>
#include <string>

#include "replay.h"
#include "responder.h"
#include "transcript.h"

class replay_target : public target_model {
 public:
  replay_target(replay_script &script, transcript &log, double stall_time);

  std::unique_ptr<responder> on_connect(unsigned id) override;
  void on_reboot() override { session_ended(); }
  port_state ports(sim_clock::time_point now) override;

 private:
  friend class replay_session;

  enum class ending { none, hangup, drop, reset };
  // Events of other kinds than these are the client's own and skipped.
  bool at(const char *kind, size_t ahead = 0);
  bool in_session(size_t ahead = 0);
  void skip_to_command();
  // How the target ended the session after the command just taken, if it did.
  ending ending_after_command();
  void session_ended();
  std::string diverge(const std::string &expected, size_t line, const std::string &received);

  replay_script &script_;
  transcript &log_;
  double stall_time_;
  unsigned session_ = 0;  // the recorded session being played
  bool active_ = false;
  bool refusing_control_ = false;
  size_t next_attempt_ = 0;
  sim_clock::time_point paced_from_ = sim_clock::now();
  unsigned matched_ = 0;
  bool diverged_ = false;
  std::string prompt_ = "R>";
};
