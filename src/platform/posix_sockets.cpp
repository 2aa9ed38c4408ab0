// The socket layer of the Unix build: BSD sockets, with nothing to start or
// stop.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

const char *plat_socket_startup() { return nullptr; }
void plat_socket_cleanup() {}

void plat_close_socket(plat_socket &sock) {
  if (sock != PLAT_INVALID_SOCKET) {
    close(sock);
  }
  sock = PLAT_INVALID_SOCKET;
}

const char *plat_socket_error_text() { return strerror(errno); }

long plat_send(plat_socket sock, const void *data, size_t size) {
  if (sock == PLAT_INVALID_SOCKET) {
    errno = EBADF;
    return -1;
  }
  ssize_t n;
  do {
    n = send(sock, data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

namespace {

// Linux acknowledges at once only until the exchange looks interactive again,
// so the setting is made anew after every receive.  It also sends an
// acknowledgement that is waiting.
void ack_at_once(plat_socket sock) {
#ifdef TCP_QUICKACK
  int on = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

}  // namespace

long plat_recv(plat_socket sock, void *data, size_t size) {
  if (sock == PLAT_INVALID_SOCKET) {
    errno = EBADF;
    return -1;
  }
  ssize_t n;
  do {
    n = recv(sock, data, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    ack_at_once(sock);
  }
  return static_cast<long>(n);
}

int plat_wait_readable(plat_socket a, plat_socket b, bool *ready_a, bool *ready_b) {
  *ready_a = *ready_b = false;
  if (a == PLAT_INVALID_SOCKET || b == PLAT_INVALID_SOCKET || a >= FD_SETSIZE || b >= FD_SETSIZE) {
    // Nothing to wait on: let the receive itself report the failure.
    *ready_a = true;
    return 1;
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(a, &set);
  FD_SET(b, &set);
  int n = select((a > b ? a : b) + 1, &set, nullptr, nullptr, nullptr);
  if (n > 0) {
    *ready_a = FD_ISSET(a, &set);
    *ready_b = FD_ISSET(b, &set);
  }
  return n;
}

bool plat_peer_gone(plat_socket sock) {
  if (sock == PLAT_INVALID_SOCKET) {
    return true;
  }
  pollfd p = {sock, POLLIN, 0};
  int n;
  do {
    n = poll(&p, 1, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    return false;
  }
  char byte;
  ssize_t got;
  do {
    got = recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// A live target may take as long as it likes to answer a command; only a
// peer that stopped acknowledging altogether is given up.  The first probe
// goes out after 20 idle seconds, then every 5 seconds, and 6 unanswered
// probes end the connection: a vanished target fails the run in about 50
// seconds.  A target that acknowledges but stays silent is waited for.
//
// Only SO_KEEPALIVE is standard.  The timings are Linux socket options, each
// set where the system defines it; elsewhere the system's own keepalive
// timings apply, and a vanished target still fails the run, only later.
void plat_socket_keepalive(plat_socket sock) {
  int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#ifdef TCP_KEEPIDLE
  int idle = 20;
  setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
#endif
#ifdef TCP_KEEPINTVL
  int interval = 5;
  setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
#endif
#ifdef TCP_KEEPCNT
  int count = 6;
  setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
#ifdef TCP_USER_TIMEOUT
  // Data that is sent but never acknowledged fails in the same bound.
  unsigned timeout_ms = 50000;
  setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout_ms, sizeof timeout_ms);
#endif
}

void plat_socket_ack_at_once(plat_socket sock) { ack_at_once(sock); }

void plat_socket_send_at_once(plat_socket sock, bool at_once) {
  int on = at_once ? 1 : 0;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}
