#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

void unique_fd::reset() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = -1;
}

namespace {

// Non-blocking, and not inherited by programs the simulator might start.
bool prepare_socket(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace

unique_fd listen_tcp(const std::string &address, uint16_t port, std::string &error) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
    error = "'" + address + "' is not an IPv4 address";
    return {};
  }
  unique_fd fd(socket(AF_INET, SOCK_STREAM, 0));
  int one = 1;
  if (!fd || setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      !prepare_socket(fd.get()) ||
      bind(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      listen(fd.get(), SOMAXCONN) != 0) {
    error =
        "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return {};
  }
  return fd;
}

unique_fd accept_tcp(int listener, sockaddr_in *peer) {
  for (;;) {
    socklen_t len = sizeof *peer;
    int fd = accept(listener, reinterpret_cast<sockaddr *>(peer), &len);
    if (fd >= 0) {
      unique_fd owned(fd);
      if (!prepare_socket(fd)) {
        return {};
      }
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return owned;
    }
    // A connection that died in the backlog is not a reason to stop.
    if (errno == EINTR || errno == ECONNABORTED) {
      continue;
    }
    return {};
  }
}

bool send_pending(int fd, std::string &pending) {
  while (!pending.empty()) {
    ssize_t n = send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
    if (n > 0) {
      pending.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    } else {
      return false;
    }
  }
  return true;
}

std::string format_endpoint(uint32_t address_be, uint16_t port_be) {
  in_addr a{};
  a.s_addr = address_be;
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(port_be));
}

void set_abortive_close(int fd) {
  linger option{};
  option.l_onoff = 1;
  option.l_linger = 0;
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}
