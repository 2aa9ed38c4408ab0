#include "pairing.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

uint32_t control_pairing::waiting::address() const {
  uint32_t a;
  std::memcpy(&a, opening, 4);
  return a;
}

uint16_t control_pairing::waiting::port() const {
  uint16_t p;
  std::memcpy(&p, opening + 4, 2);
  return p;
}

// A control connection that never introduces itself must not keep the next
// one out: at the limit the oldest that has not yet matched goes.
void control_pairing::add(unique_fd fd) {
  if (waiting_.size() >= SIM_MAX_PENDING_CONTROLS) {
    waiting_.erase(waiting_.begin());
  }
  waiting c;
  c.key = next_key_++;
  c.fd = std::move(fd);
  waiting_.push_back(std::move(c));
}

void control_pairing::remove(unsigned key) {
  std::erase_if(waiting_, [key](const waiting &w) { return w.key == key; });
}

void control_pairing::retry(const matcher &match) {
  std::erase_if(waiting_, [&](waiting &c) {
    return c.got == 6 && match(c.address(), c.port(), c.fd, c.noted);
  });
}

void control_pairing::read(unsigned key, const matcher &match,
                           const std::function<void(uint32_t, uint16_t)> &unmatched) {
  auto it = std::find_if(waiting_.begin(), waiting_.end(),
                         [key](const waiting &w) { return w.key == key; });
  if (it == waiting_.end()) {
    return;
  }
  waiting &c = *it;
  char buffer[256];
  ssize_t n = recv(c.fd.get(), buffer, c.got < 6 ? 6 - c.got : sizeof buffer, 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return;
  }
  if (n <= 0) {
    remove(key);
    return;
  }
  if (c.got == 6) {
    return;  // nothing but the opening is meaningful
  }
  std::memcpy(c.opening + c.got, buffer, static_cast<size_t>(n));
  c.got += static_cast<size_t>(n);
  if (c.got < 6) {
    return;
  }
  if (match(c.address(), c.port(), c.fd, false)) {
    remove(key);
    return;
  }
  unmatched(c.address(), c.port());
  c.noted = true;
}
