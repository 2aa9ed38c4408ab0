#include "server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t READ_CHUNK = 16384;
constexpr auto RELISTEN_RETRY = std::chrono::seconds(1);

}  // namespace

bool server::listen(std::string &error) {
  unique_fd command = listen_tcp(ctx_.options.address, ctx_.options.port, error);
  if (!command) {
    return false;
  }
  unique_fd control =
      listen_tcp(ctx_.options.address, static_cast<uint16_t>(ctx_.options.port + 1), error);
  if (!control) {
    return false;
  }
  command_listener_ = std::move(command);
  control_listener_ = std::move(control);
  return true;
}

session *server::find_session(unsigned id) {
  for (auto &s : sessions_) {
    if (s->id() == id) {
      return s.get();
    }
  }
  return nullptr;
}

server::pending_control *server::find_control(unsigned key) {
  for (auto &c : controls_) {
    if (c.key == key) {
      return &c;
    }
  }
  return nullptr;
}

// At the session limit, further clients wait in the listener's backlog until
// a session ends.
void server::accept_commands() {
  while (command_listener_ && sessions_.size() < SIM_MAX_SESSIONS) {
    sockaddr_in peer{};
    unique_fd fd = accept_tcp(command_listener_.get(), &peer);
    if (!fd) {
      return;
    }
    sessions_.push_back(std::make_unique<session>(next_session_++, std::move(fd), peer));
  }
}

// A control connection that never introduces itself must not keep the next
// one out: at the limit the oldest that has not yet matched goes.
void server::accept_controls() {
  while (control_listener_) {
    sockaddr_in peer{};
    unique_fd fd = accept_tcp(control_listener_.get(), &peer);
    if (!fd) {
      return;
    }
    if (controls_.size() >= SIM_MAX_PENDING_CONTROLS) {
      controls_.erase(controls_.begin());
    }
    pending_control c;
    c.key = next_control_++;
    c.fd = std::move(fd);
    controls_.push_back(std::move(c));
  }
}

uint32_t server::pending_control::address() const {
  uint32_t a;
  std::memcpy(&a, opening, 4);
  return a;
}

uint16_t server::pending_control::port() const {
  uint16_t p;
  std::memcpy(&p, opening + 4, 2);
  return p;
}

// Matches a control connection that has sent its six opening bytes with the
// command connection whose far end they name.
bool server::pair(pending_control &c) {
  for (auto &s : sessions_) {
    if (s->control_fd() >= 0 || s->peer().sin_addr.s_addr != c.address() ||
        s->peer().sin_port != c.port()) {
      continue;
    }
    if (!c.logged) {
      ctx_.log.event(s->id(), "ctl", format_endpoint(c.address(), c.port()));
    }
    s->attach_control(std::move(c.fd));
    return true;
  }
  return false;
}

void server::pair_waiting_controls() {
  std::erase_if(controls_, [&](pending_control &c) { return c.got == 6 && pair(c); });
}

void server::read_control(unsigned key) {
  pending_control *c = find_control(key);
  if (!c) {
    return;
  }
  char buffer[256];
  ssize_t n = recv(c->fd.get(), buffer, c->got < 6 ? 6 - c->got : sizeof buffer, 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return;
  }
  if (n <= 0) {
    std::erase_if(controls_, [key](const pending_control &p) { return p.key == key; });
    return;
  }
  if (c->got == 6) {
    return;  // nothing but the opening is meaningful
  }
  std::memcpy(c->opening + c->got, buffer, static_cast<size_t>(n));
  c->got += static_cast<size_t>(n);
  if (c->got < 6) {
    return;
  }
  // The command connection may still sit in the listener's backlog.
  accept_commands();
  if (pair(*c)) {
    std::erase_if(controls_, [key](const pending_control &p) { return p.key == key; });
    return;
  }
  ctx_.log.event(0, "ctl", format_endpoint(c->address(), c->port()));
  c->logged = true;
}

void server::close_session(session &s) {
  s.flush();  // best effort: replies of earlier lines still go out
  std::erase_if(sessions_, [&](const std::unique_ptr<session> &p) { return p.get() == &s; });
}

void server::apply(session &s, session::result r) {
  switch (r) {
    case session::result::keep:
      if (!s.flush()) {
        s.abandon(ctx_, true);
        close_session(s);
      }
      break;
    case session::result::close:
      close_session(s);
      break;
    case session::result::hangup:
      s.flush();
      shutdown(s.command_fd(), SHUT_WR);
      close_session(s);
      break;
    case session::result::reset:
      s.flush();
      set_abortive_close(s.command_fd());
      if (s.control_fd() >= 0) {
        set_abortive_close(s.control_fd());
      }
      close_session(s);
      break;
    case session::result::reboot:
      reboot();
      break;
  }
}

void server::serve_session(unsigned id, short revents) {
  session *s = find_session(id);
  if (!s) {
    return;
  }
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    char buffer[READ_CHUNK];
    ssize_t n = recv(s->command_fd(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return;
    }
    if (n <= 0) {
      s->abandon(ctx_, true);
      close_session(*s);
      return;
    }
    apply(*s, s->received(ctx_, buffer, static_cast<size_t>(n)));
    return;
  }
  if (revents & POLLOUT) {
    apply(*s, session::result::keep);
  }
}

// The target reboots: every connection drops at once and the ports stay
// closed until it comes back.  The listeners close first, so that a client
// that sees its connection end finds the target already unreachable.
void server::reboot() {
  ++generation_;
  command_listener_.reset();
  control_listener_.reset();
  for (auto &s : sessions_) {
    s->abandon(ctx_, false);
  }
  sessions_.clear();
  controls_.clear();
  ctx_.target.reboot(ctx_.options.come_back_locked);
  rebooting_ = true;
  back_at_.reset();
  std::optional<double> back_after;
  if (ctx_.replay) {
    back_after = ctx_.replay->back_after();
  } else if (!ctx_.options.never_return) {
    back_after = ctx_.options.reboot_time;
  }
  if (back_after) {
    back_at_ = sim_clock::now() + std::chrono::duration_cast<sim_clock::duration>(
                                      std::chrono::duration<double>(*back_after));
  }
}

void server::stay_unreachable() {
  command_listener_.reset();
  control_listener_.reset();
  rebooting_ = true;
  back_at_.reset();
}

void server::come_back() {
  std::string error;
  if (!listen(error)) {
    std::fprintf(stderr, "romupdate-sim: %s (retrying)\n", error.c_str());
    back_at_ = sim_clock::now() + RELISTEN_RETRY;
    return;
  }
  rebooting_ = false;
  back_at_.reset();
}

void server::check_deadlines() {
  sim_clock::time_point now = sim_clock::now();
  if (rebooting_ && back_at_ && now >= *back_at_) {
    come_back();
  }
  std::vector<unsigned> stalled;
  for (auto &s : sessions_) {
    if (auto deadline = s->stall_deadline(ctx_); deadline && now >= *deadline) {
      stalled.push_back(s->id());
    }
  }
  unsigned long generation = generation_;
  for (unsigned id : stalled) {
    if (generation != generation_) {
      return;
    }
    if (session *s = find_session(id)) {
      apply(*s, s->stalled(ctx_));
    }
  }
}

int server::poll_timeout() const {
  std::optional<sim_clock::time_point> first;
  if (rebooting_ && back_at_) {
    first = back_at_;
  }
  for (auto &s : sessions_) {
    if (auto deadline = s->stall_deadline(ctx_); deadline && (!first || *deadline < *first)) {
      first = deadline;
    }
  }
  if (!first) {
    return -1;
  }
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(*first - sim_clock::now()).count();
  return static_cast<int>(std::clamp<long long>(wait, 0, 60000));
}

int server::run(int stop_fd) {
  enum class what {
    stop,
    command_listener,
    control_listener,
    control,
    session_command,
    session_control
  };
  struct slot {
    what kind;
    unsigned key;
  };
  std::vector<pollfd> fds;
  std::vector<slot> slots;

  for (;;) {
    fds.clear();
    slots.clear();
    auto watch = [&](int fd, short events, what kind, unsigned key) {
      fds.push_back({fd, events, 0});
      slots.push_back({kind, key});
    };
    // Served in this order: control connections still introducing
    // themselves (a client sends that before its first command), then the
    // sessions, and only then the listeners, so that connections that ended
    // free their places before new ones are accepted.
    watch(stop_fd, POLLIN, what::stop, 0);
    for (auto &c : controls_) {
      watch(c.fd.get(), POLLIN, what::control, c.key);
    }
    for (auto &s : sessions_) {
      watch(s->command_fd(), static_cast<short>(POLLIN | (s->has_output() ? POLLOUT : 0)),
            what::session_command, s->id());
      if (s->control_fd() >= 0) {
        watch(s->control_fd(), static_cast<short>(POLLIN | (s->has_control_output() ? POLLOUT : 0)),
              what::session_control, s->id());
      }
    }
    if (command_listener_ && sessions_.size() < SIM_MAX_SESSIONS) {
      watch(command_listener_.get(), POLLIN, what::command_listener, 0);
    }
    if (control_listener_) {
      watch(control_listener_.get(), POLLIN, what::control_listener, 0);
    }

    int n = poll(fds.data(), fds.size(), poll_timeout());
    if (n < 0 && errno != EINTR) {
      std::perror("romupdate-sim: poll");
      return 1;
    }
    unsigned long generation = generation_;
    for (size_t i = 0; n > 0 && i < fds.size(); ++i) {
      short revents = fds[i].revents;
      if (!revents) {
        continue;
      }
      if (slots[i].kind == what::stop) {
        return 0;
      }
      if (generation != generation_) {
        break;  // a reboot closed what is left
      }
      switch (slots[i].kind) {
        case what::command_listener:
          accept_commands();
          pair_waiting_controls();
          break;
        case what::control_listener:
          accept_controls();
          break;
        case what::control:
          read_control(slots[i].key);
          break;
        case what::session_command:
          serve_session(slots[i].key, revents);
          break;
        case what::session_control: {
          session *s = find_session(slots[i].key);
          if (!s || s->control_fd() != fds[i].fd) {
            break;
          }
          if (revents & (POLLIN | POLLHUP | POLLERR)) {
            // The client only ever sends the opening on it; anything more is
            // read and dropped, and its end only ends the control connection.
            char buffer[256];
            ssize_t got = recv(s->control_fd(), buffer, sizeof buffer, 0);
            if (got == 0 ||
                (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
              s->detach_control();
            }
          }
          if (s->control_fd() >= 0 && (revents & POLLOUT)) {
            apply(*s, session::result::keep);
          }
          break;
        }
        case what::stop:
          break;
      }
    }
    check_deadlines();
    ctx_.dump_flash();
  }
}
