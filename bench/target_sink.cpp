// A whole target played by the benchmark itself over TCP, for complete
// updates whose time is the program's own: it answers every command at once,
// comes back from a reboot the moment the connection closes, and follows a
// download's records without keeping them.
//
// It answers as a 38100A control card with hardware identifier 5806 would:
// the version lines to "ver", "5806" to "pf -i", the go-ahead, status 1 and
// the prompt to "lcd", the lock prompt "R>" to the lock probe, and the prompt
// alone to everything else.  "init" ends the connection unanswered, as a
// reboot does.
//
// Each reply line and the prompt go out in a send of their own.  With
// `nagle` the sockets keep Nagle's algorithm on, so the stack holds back
// every small segment while an earlier one is unacknowledged, which is how
// some targets behave; without it they set TCP_NODELAY and each send is a
// segment at once.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "bench.h"

namespace bench {

namespace {

constexpr uint16_t kCommandPort = 3810;
constexpr int kFirstHost = 21;  // 127.0.70.21: clear of the simulators' addresses
constexpr int kLastHost = 40;

int listen_on(const std::string &address, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

target_sink::target_sink(bool nagle) : nagle_(nagle) {
  for (int host = kFirstHost; host <= kLastHost && command_listener_ < 0; ++host) {
    address_ = "127.0.70." + std::to_string(host);
    command_listener_ = listen_on(address_, kCommandPort);
    control_listener_ = listen_on(address_, kCommandPort + 1);
    if (control_listener_ < 0 && command_listener_ >= 0) {
      close(command_listener_);
      command_listener_ = -1;
    }
  }
  if (command_listener_ < 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    return;
  }
  command_thread_ = std::thread([this] { serve_commands(); });
  control_thread_ = std::thread([this] { serve_control(); });
}

target_sink::~target_sink() {
  stopping_ = true;
  if (command_listener_ >= 0) {
    shutdown(command_listener_, SHUT_RDWR);
  }
  if (wake_[1] >= 0) {
    ssize_t n = write(wake_[1], "x", 1);
    (void)n;
  }
  if (command_thread_.joinable()) {
    command_thread_.join();
  }
  if (control_thread_.joinable()) {
    control_thread_.join();
  }
  for (int fd : {command_listener_, control_listener_, wake_[0], wake_[1]}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

// One connection at a time, as a target has.
void target_sink::serve_commands() {
  while (!stopping_) {
    int fd = accept4(command_listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      return;
    }
    int one = 1;
    if (!nagle_) {
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    fd_ = fd;
    at_ = end_ = 0;
    session();
    close(fd);
  }
}

// The control connections carry nothing the benchmark needs: each is read
// and dropped until the program closes it.
void target_sink::serve_control() {
  std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {control_listener_, POLLIN, 0}};
  while (!stopping_) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (fds[1].revents & POLLIN) {
      int fd = accept4(control_listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        fds.push_back({fd, POLLIN, 0});
      }
    }
    for (size_t i = 2; i < fds.size();) {
      char buf[256];
      if (fds[i].revents && read(fds[i].fd, buf, sizeof buf) <= 0) {
        close(fds[i].fd);
        fds.erase(fds.begin() + static_cast<long>(i));
      } else {
        fds[i].revents = 0;
        ++i;
      }
    }
  }
  for (size_t i = 2; i < fds.size(); ++i) {
    close(fds[i].fd);
  }
}

bool target_sink::more() {
  ssize_t n;
  do {
    n = recv(fd_, buf_, sizeof buf_, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    return false;
  }
  at_ = 0;
  end_ = static_cast<size_t>(n);
  return true;
}

bool target_sink::byte(unsigned char *out) {
  if (at_ == end_ && !more()) {
    return false;
  }
  *out = buf_[at_++];
  return true;
}

bool target_sink::put(std::string_view text) {
  return send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// The records up to the zero lead word, stepped over.
bool target_sink::records() {
  for (;;) {
    unsigned char head[8];
    if (!byte(&head[0]) || !byte(&head[1])) {
      return false;
    }
    if (head[0] == 0 && head[1] == 0) {
      return true;
    }
    for (int i = 2; i < 8; i++) {
      if (!byte(&head[i])) {
        return false;
      }
    }
    size_t count = (size_t{head[2]} << 8) | head[3];
    for (count += count & 1; count > 0;) {
      if (at_ == end_ && !more()) {
        return false;
      }
      size_t step = std::min(count, end_ - at_);
      at_ += step;
      count -= step;
    }
  }
}

void target_sink::session() {
  std::string line;
  for (;;) {
    line.clear();
    unsigned char c;
    do {
      if (!byte(&c)) {
        return;
      }
      line += static_cast<char>(c);
    } while (c != '\n');
    std::string_view command(line);
    bool ok;
    if (command.starts_with("init")) {
      return;
    } else if (command.starts_with("lcd")) {
      ok = put("\x06") && records() && put("\x01") && put("R$");
    } else if (command.starts_with("ver")) {
      ok = put("XR 38100 Series Emulation System\r\n") && put("System firmware A.03.10\r\n") &&
           put("R$");
    } else if (command.starts_with("pf -i")) {
      ok = put("5806\r\n") && put("R$");
    } else if (command.starts_with("lanlk -e;lockinfo")) {
      ok = put("R>");
    } else {
      ok = put("R$");
    }
    if (!ok) {
      return;
    }
  }
}

}  // namespace bench
