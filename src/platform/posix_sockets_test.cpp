#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

int option(int fd, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  getsockopt(fd, IPPROTO_TCP, name, &value, &size);
  return value;
}

// A connected pair of TCP sockets on 127.0.0.1, on a port the system picks.
struct tcp_pair {
  int near = -1, far = -1;
  tcp_pair() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        listen(listener, 1) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) == 0) {
      near = socket(AF_INET, SOCK_STREAM, 0);
      if (connect(near, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        far = accept(listener, nullptr, nullptr);
      }
    }
    close(listener);
  }
  ~tcp_pair() {
    for (int fd : {near, far}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }
};

// Once commands and replies alternate, Linux delays its acknowledgements
// again; a target that holds back the rest of a reply until the first part
// is acknowledged would wait that long for each reply.  Every receive must
// leave the connection acknowledging at once, however many exchanges came
// before.
TEST(Sockets, EveryReceiveLeavesTheConnectionAcknowledgingAtOnce) {
#ifndef TCP_QUICKACK
  GTEST_SKIP() << "no TCP_QUICKACK on this system";
#else
  tcp_pair pair;
  ASSERT_GE(pair.far, 0);
  plat_socket_ack_at_once(pair.near);
  for (int round = 0; round < 5; ++round) {
    char byte;
    ASSERT_EQ(plat_send(pair.near, "c", 1), 1);
    ASSERT_EQ(recv(pair.far, &byte, 1, 0), 1);
    ASSERT_EQ(send(pair.far, "r", 1, 0), 1);
    ASSERT_EQ(plat_recv(pair.near, &byte, 1), 1);
    EXPECT_EQ(option(pair.near, TCP_QUICKACK), 1) << "after exchange " << round;
  }
#endif
}

}  // namespace
