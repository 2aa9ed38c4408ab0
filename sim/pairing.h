// Control connections waiting to be paired with their command connection:
// a client introduces its control connection with six bytes, the address
// and port of its command connection's local end (network order).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "net.h"

// A control connection beyond this many unmatched ones pushes out the
// oldest of them.
inline constexpr size_t SIM_MAX_PENDING_CONTROLS = 64;

class control_pairing {
 public:
  // Takes the control connection whose six bytes name `address`:`port`;
  // false when no session has that command connection (yet).  `noted`: the
  // six bytes were noted as unmatched when they arrived.
  using matcher =
      std::function<bool(uint32_t address, uint16_t port, unique_fd &control, bool noted)>;

  // A control connection was accepted.
  void add(unique_fd fd);
  // Reads what arrived on the waiting control connection `key`, and pairs
  // it once its six bytes are in.  `unmatched` is told of six bytes that
  // match no session when they arrive.
  void read(unsigned key, const matcher &match,
            const std::function<void(uint32_t, uint16_t)> &unmatched);
  // Tries the waiting ones again (a command connection was accepted).
  void retry(const matcher &match);
  void clear() { waiting_.clear(); }

  // For the poll: the waiting connections.
  template <class F>
  void each(F watch) const {
    for (auto &c : waiting_) {
      watch(c.fd.get(), c.key);
    }
  }

 private:
  struct waiting {
    unsigned key;
    unique_fd fd;
    uint8_t opening[6] = {};
    size_t got = 0;
    bool noted = false;
    uint32_t address() const;
    uint16_t port() const;
  };
  void remove(unsigned key);

  std::vector<waiting> waiting_;
  unsigned next_key_ = 1;
};
