// Helpers shared by the connection layer's unit tests: socket pairs that
// stand in for the target's connections, a line routine that records what
// it is given, and the message queue read back as strings.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "gtw/gtw.h"

namespace gtw_test {

// One end is given to the code under test, the other plays the target.  With
// SOCK_SEQPACKET every write arrives as one receive, which fixes the chunk
// boundaries a test wants to see.
struct peer_pair {
  explicit peer_pair(int type = SOCK_STREAM) {
    int fds[2];
    if (socketpair(AF_UNIX, type, 0, fds) == 0) {
      ours = fds[0];
      theirs = fds[1];
    }
  }
  ~peer_pair() {
    plat_close_socket(ours);
    close_theirs();
  }
  peer_pair(const peer_pair &) = delete;
  peer_pair &operator=(const peer_pair &) = delete;

  bool ok() const { return ours >= 0 && theirs >= 0; }
  void close_theirs() {
    if (theirs >= 0) {
      close(theirs);
    }
    theirs = -1;
  }
  // Writes the whole text (one record on a packet pair).
  bool put(const std::string &text) const {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(theirs, text.data() + done, text.size() - done);
      if (n <= 0) {
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // No more data from the target: a reader that misses the prompt gets the
  // end of the stream instead of waiting for ever.
  void end() const { shutdown(theirs, SHUT_WR); }

  plat_socket ours = PLAT_INVALID_SOCKET;
  int theirs = -1;
};

inline void record_line(const char *line, void *arg) {
  static_cast<std::vector<std::string> *>(arg)->emplace_back(line);
}

// Empties the message queue into a list, oldest first.
inline std::vector<std::string> take_messages() {
  std::vector<std::string> out;
  while (char *text = gtw_get_message()) {
    out.emplace_back(text);
    free(text);
  }
  return out;
}

}  // namespace gtw_test
