#include "server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "formats/trace/trace_format.h"

namespace {

constexpr size_t READ_CHUNK = 16384;
constexpr auto RELISTEN_RETRY = std::chrono::seconds(1);

}  // namespace

bool server::listen(std::string &error) {
  unique_fd command = listen_tcp(options_.address, options_.port, error);
  if (!command) {
    return false;
  }
  unique_fd control = listen_tcp(options_.address, static_cast<uint16_t>(options_.port + 1), error);
  if (!control) {
    return false;
  }
  command_listener_ = std::move(command);
  control_listener_ = std::move(control);
  follow_ports();  // a port the target refuses from the start
  return true;
}

// The listeners follow what the target model says: closed ports refuse.
void server::follow_ports() {
  sim_clock::time_point now = sim_clock::now();
  ports_ = model_.ports(now);
  if (!ports_.command) {
    command_listener_.reset();
  }
  if (!ports_.control) {
    control_listener_.reset();
  }
  if (retry_at_ && now < *retry_at_) {
    return;
  }
  retry_at_.reset();
  std::string error;
  for (auto [want, listener, port] :
       {std::tuple{ports_.command, &command_listener_, options_.port},
        std::tuple{ports_.control, &control_listener_, static_cast<uint16_t>(options_.port + 1)}}) {
    if (want && !*listener) {
      *listener = listen_tcp(options_.address, port, error);
      if (!*listener) {
        std::fprintf(stderr, "romupdate-sim: %s (retrying)\n", error.c_str());
        retry_at_ = now + RELISTEN_RETRY;
      }
    }
  }
}

session *server::find_session(unsigned id) {
  for (auto &s : sessions_) {
    if (s->id() == id) {
      return s.get();
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
    unsigned id = next_session_++;
    sessions_.push_back(
        std::make_unique<session>(id, std::move(fd), peer, log_, model_.on_connect(id)));
  }
}

void server::accept_controls() {
  while (control_listener_) {
    sockaddr_in peer{};
    unique_fd fd = accept_tcp(control_listener_.get(), &peer);
    if (!fd) {
      return;
    }
    controls_.add(std::move(fd));
  }
}

// Matches a control connection that has sent its six opening bytes with the
// command connection whose far end they name.
bool server::pair(uint32_t address, uint16_t port, unique_fd &control, bool noted) {
  // The command connection may still sit in the listener's backlog.
  accept_commands();
  for (auto &s : sessions_) {
    if (s->has_control() || s->peer().sin_addr.s_addr != address || s->peer().sin_port != port) {
      continue;
    }
    if (!noted) {
      log_.event(s->id(), trace_kind::control, format_endpoint(address, port));
    }
    s->attach_control(std::move(control));
    return true;
  }
  return false;
}

void server::close_session(session &s) {
  s.flush();  // best effort: replies of earlier lines still go out
  std::erase_if(sessions_, [&](const std::unique_ptr<session> &p) { return p.get() == &s; });
}

void server::apply(session &s, sim_result r) {
  switch (r) {
    case sim_result::keep:
      if (!s.flush()) {
        s.abandon(true);
        close_session(s);
      }
      break;
    case sim_result::close:
      close_session(s);
      break;
    case sim_result::hangup:
      s.flush();
      shutdown(s.command_fd(), SHUT_WR);
      close_session(s);
      break;
    case sim_result::reset:
      s.flush();
      set_abortive_close(s.command_fd());
      if (s.control_fd() >= 0) {
        set_abortive_close(s.control_fd());
      }
      close_session(s);
      break;
    case sim_result::reboot:
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
      s->abandon(true);
      close_session(*s);
      return;
    }
    apply(*s, s->received(buffer, static_cast<size_t>(n)));
    return;
  }
  if (revents & POLLOUT) {
    apply(*s, sim_result::keep);
  }
}

void server::serve_control(unsigned id, int fd, short revents) {
  session *s = find_session(id);
  if (!s || s->control_fd() != fd) {
    return;
  }
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    // The client only ever sends the opening on it; anything more is read
    // and dropped, and its end only ends the control connection.
    char buffer[256];
    ssize_t got = recv(s->control_fd(), buffer, sizeof buffer, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      s->detach_control();
    }
  }
  if (s->control_fd() >= 0 && (revents & POLLOUT)) {
    apply(*s, sim_result::keep);
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
    s->abandon(false);
  }
  sessions_.clear();
  controls_.clear();
  model_.on_reboot();
  follow_ports();
}

void server::check_deadlines() {
  sim_clock::time_point now = sim_clock::now();
  std::vector<unsigned> stalled;
  for (auto &s : sessions_) {
    if (auto deadline = s->stall_deadline(); deadline && now >= *deadline) {
      stalled.push_back(s->id());
    }
  }
  unsigned long generation = generation_;
  for (unsigned id : stalled) {
    if (generation != generation_) {
      return;
    }
    if (session *s = find_session(id)) {
      apply(*s, s->stalled());
    }
  }
}

int server::poll_timeout() const {
  std::optional<sim_clock::time_point> first = ports_.until;
  if (retry_at_ && (!first || *retry_at_ < *first)) {
    first = retry_at_;
  }
  for (auto &s : sessions_) {
    if (auto deadline = s->stall_deadline(); deadline && (!first || *deadline < *first)) {
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
  auto match = [this](uint32_t a, uint16_t p, unique_fd &fd, bool noted) {
    return pair(a, p, fd, noted);
  };
  auto unmatched = [this](uint32_t a, uint16_t p) {
    log_.event(0, trace_kind::control, format_endpoint(a, p));
  };

  for (;;) {
    follow_ports();
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
    controls_.each([&](int fd, unsigned key) { watch(fd, POLLIN, what::control, key); });
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
          controls_.retry(match);
          break;
        case what::control_listener:
          accept_controls();
          break;
        case what::control:
          controls_.read(slots[i].key, match, unmatched);
          break;
        case what::session_command:
          serve_session(slots[i].key, revents);
          break;
        case what::session_control:
          serve_control(slots[i].key, fds[i].fd, revents);
          break;
        case what::stop:
          break;
      }
    }
    check_deadlines();
    model_.settle();
  }
}
