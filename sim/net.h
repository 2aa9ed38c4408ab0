// Socket plumbing of the simulator: an owning descriptor, listeners, and
// non-blocking sends that never raise SIGPIPE.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <utility>

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  ~unique_fd() { reset(); }
  unique_fd(unique_fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  unique_fd &operator=(unique_fd &&other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  unique_fd(const unique_fd &) = delete;
  unique_fd &operator=(const unique_fd &) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

// A non-blocking listening TCP socket with SO_REUSEADDR.  An empty result
// with `error` set when it cannot be had.
unique_fd listen_tcp(const std::string &address, uint16_t port, std::string &error);

// Makes the next close of `fd` break the connection off (a reset) instead
// of ending it.
void set_abortive_close(int fd);

// Accepts one connection, non-blocking; an empty result when none is waiting.
unique_fd accept_tcp(int listener, sockaddr_in *peer);

// Sends as much of `pending` as the socket takes now and removes it from the
// front.  false when the connection is broken.
bool send_pending(int fd, std::string &pending);

// "ADDR:PORT" of an IPv4 address and port, both in network byte order.
std::string format_endpoint(uint32_t address_be, uint16_t port_be);
