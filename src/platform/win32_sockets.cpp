// The socket layer of the Windows build: Windows Sockets 1.1, started by
// every connection open and stopped by every close.
#include "platform/win32_platform.h"

#include <cstdio>
#include <limits>
#include <winsock2.h>
#include <mstcpip.h>

const char *plat_socket_startup() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
    return "Could not find winsock.dll";
  }
  if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
    WSACleanup();
    return "winsock.dll not compatible with version 1.1";
  }
  return nullptr;
}

void plat_socket_cleanup() { WSACleanup(); }

void plat_close_socket(plat_socket &sock) {
  if (sock != PLAT_INVALID_SOCKET) {
    closesocket(sock);
  }
  sock = PLAT_INVALID_SOCKET;
}

// The text carries its own line feed: a message built around it breaks its
// line there.
const char *plat_socket_error_text() {
  static char text[WIN32_SOCKET_ERROR_SIZE];
  snprintf(text, sizeof text, "WINSOCK ERROR = %d\n", WSAGetLastError());
  return text;
}

// One call moves at most the largest int of bytes; the caller loops on short counts.
static int call_size(size_t size) {
  constexpr size_t most = static_cast<size_t>(std::numeric_limits<int>::max());
  return static_cast<int>(size > most ? most : size);
}

long plat_send(plat_socket sock, const void *data, size_t size) {
  if (sock == PLAT_INVALID_SOCKET) {
    WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  // Windows raises no signal for a send on a closed connection: the call
  // fails and the caller reports it.
  int n = send(sock, static_cast<const char *>(data), call_size(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

long plat_recv(plat_socket sock, void *data, size_t size) {
  if (sock == PLAT_INVALID_SOCKET) {
    WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  int n = recv(sock, static_cast<char *>(data), call_size(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int plat_wait_readable(plat_socket a, plat_socket b, bool *ready_a, bool *ready_b) {
  *ready_a = *ready_b = false;
  if (a == PLAT_INVALID_SOCKET || b == PLAT_INVALID_SOCKET) {
    // Nothing to wait on: let the receive itself report the failure.
    *ready_a = true;
    return 1;
  }
  // A Windows fd_set is a list of handles, not a bit map: any two sockets
  // fit, whatever their handle values.
  fd_set set;
  FD_ZERO(&set);
  FD_SET(a, &set);
  FD_SET(b, &set);
  int n = select(0, &set, nullptr, nullptr, nullptr);
  if (n > 0) {
    *ready_a = FD_ISSET(a, &set) != 0;
    *ready_b = FD_ISSET(b, &set) != 0;
  }
  return n == SOCKET_ERROR ? -1 : n;
}

bool plat_peer_gone(plat_socket sock) {
  if (sock == PLAT_INVALID_SOCKET) {
    return true;
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sock, &set);
  timeval now = {0, 0};
  if (select(0, &set, nullptr, nullptr, &now) <= 0) {
    return false;
  }
  // Readable: the peek does not wait.
  char byte;
  return recv(sock, &byte, 1, MSG_PEEK) <= 0;
}

// A live target may take as long as it likes to answer a command; only a
// peer that stopped acknowledging altogether is given up.  The first probe
// goes out after 20 idle seconds, then every 5 seconds; the system gives up
// after its fixed number of unanswered probes (10 on current Windows), so a
// vanished target fails the run in about 70 seconds instead of never.
void plat_socket_keepalive(plat_socket sock) {
  BOOL on = TRUE;
  setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&on), sizeof on);
#ifdef SIO_KEEPALIVE_VALS
  struct tcp_keepalive values;
  values.onoff = 1;
  values.keepalivetime = 20000;     // milliseconds idle before the first probe
  values.keepaliveinterval = 5000;  // milliseconds between probes
  DWORD returned = 0;
  WSAIoctl(sock, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
           nullptr);
#endif
}

// The acknowledgement frequency is the socket's own setting and stays: one
// means every segment is acknowledged as it arrives.  Systems before
// Windows 8 lack it, and refuse the call harmlessly.
void plat_socket_ack_at_once(plat_socket sock) {
  TCP_ACK_FREQUENCY_PARAMETERS every_segment{};
  every_segment.TcpDelayedAckFrequency = 1;
  DWORD returned = 0;
  WSAIoctl(sock, SIO_TCP_SET_ACK_FREQUENCY, &every_segment, sizeof every_segment, nullptr, 0,
           &returned, nullptr, nullptr);
}

void plat_socket_send_at_once(plat_socket sock, bool at_once) {
  BOOL on = at_once ? TRUE : FALSE;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
}
