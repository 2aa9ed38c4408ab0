// The simulator's event loop: one thread, one poll over the listeners, the
// sessions and the stop signal.  No client can block another: every socket is
// non-blocking and every wait has a deadline the loop keeps.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net.h"
#include "options.h"
#include "pairing.h"
#include "responder.h"
#include "session.h"
#include "transcript.h"

// Clients beyond SIM_MAX_SESSIONS wait in the backlog until a session ends.
inline constexpr size_t SIM_MAX_SESSIONS = 64;

class server {
 public:
  server(const sim_options &options, transcript &log, target_model &model)
      : options_(options), log_(log), model_(model) {}

  // Binds the command port and the control port.  false with `error` set
  // when either cannot be had.
  bool listen(std::string &error);
  // Serves until a byte arrives on `stop_fd`; returns the exit status.
  int run(int stop_fd);

 private:
  void accept_commands();
  void accept_controls();
  bool pair(uint32_t address, uint16_t port, unique_fd &control, bool noted);
  void serve_session(unsigned id, short revents);
  void serve_control(unsigned id, int fd, short revents);
  void apply(session &s, sim_result r);
  void close_session(session &s);
  void reboot();
  void follow_ports();
  void check_deadlines();
  int poll_timeout() const;
  session *find_session(unsigned id);

  const sim_options &options_;
  transcript &log_;
  target_model &model_;
  unique_fd command_listener_;
  unique_fd control_listener_;
  std::vector<std::unique_ptr<session>> sessions_;
  control_pairing controls_;
  unsigned next_session_ = 1;
  port_state ports_;
  // A listener that could not be had again: when to try once more.
  std::optional<sim_clock::time_point> retry_at_;
  // Counts reboots, so that the events of one poll round that were gathered
  // before a reboot are not served after it.
  unsigned long generation_ = 0;
};
