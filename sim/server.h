// The simulator's event loop: one thread, one poll over the listeners, the
// sessions and the stop signal.  No client can block another: every socket is
// non-blocking and every wait has a deadline the loop keeps.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "context.h"
#include "net.h"
#include "session.h"

// Clients beyond SIM_MAX_SESSIONS wait in the backlog until a session ends; a
// control connection beyond SIM_MAX_PENDING_CONTROLS unmatched ones pushes
// out the oldest of them.
inline constexpr size_t SIM_MAX_SESSIONS = 64;
inline constexpr size_t SIM_MAX_PENDING_CONTROLS = 64;

class server {
 public:
  explicit server(sim_context &ctx) : ctx_(ctx) {}

  // Binds the command port and the control port.  false with `error` set
  // when either cannot be had.
  bool listen(std::string &error);
  // Serves until a byte arrives on `stop_fd`; returns the exit status.
  int run(int stop_fd);
  // Closes the ports until a reboot brings them back (a replayed target that
  // was not reachable).
  void stay_unreachable();

 private:
  // A control connection whose six opening bytes have not yet matched a
  // command connection.
  struct pending_control {
    unsigned key;
    unique_fd fd;
    uint8_t opening[6] = {};
    size_t got = 0;
    bool logged = false;
    // The local end of the client's command connection, network order.
    uint32_t address() const;
    uint16_t port() const;
  };

  void accept_commands();
  void accept_controls();
  void read_control(unsigned key);
  bool pair(pending_control &control);
  void pair_waiting_controls();
  void serve_session(unsigned id, short revents);
  void apply(session &s, session::result r);
  void close_session(session &s);
  void reboot();
  void come_back();
  void check_deadlines();
  int poll_timeout() const;
  session *find_session(unsigned id);
  pending_control *find_control(unsigned key);

  sim_context &ctx_;
  unique_fd command_listener_;
  unique_fd control_listener_;
  std::vector<std::unique_ptr<session>> sessions_;
  std::vector<pending_control> controls_;
  unsigned next_session_ = 1;
  unsigned next_control_ = 1;
  // While the target reboots: when it listens again (none: never).
  bool rebooting_ = false;
  std::optional<sim_clock::time_point> back_at_;
  // Counts reboots, so that the events of one poll round that were gathered
  // before a reboot are not served after it.
  unsigned long generation_ = 0;
};
