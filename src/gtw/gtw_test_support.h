// Helpers shared by the unit tests that talk to a target: socket pairs that
// stand in for the target's connections (and play the target on them), a
// line routine that records what it is given, and the message queue read
// back as strings.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
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
    close_ours();
    close_theirs();
  }
  peer_pair(const peer_pair &) = delete;
  peer_pair &operator=(const peer_pair &) = delete;

  bool ok() const { return ours >= 0 && theirs >= 0; }
  void close_ours() {
    if (ours != PLAT_INVALID_SOCKET) {
      plat_close_socket(ours);
    }
    ours = PLAT_INVALID_SOCKET;
  }
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

  // Neither side of a faulty exchange may wait for ever.
  void bound_waits(int seconds) const {
    timeval limit{seconds, 0};
    for (int fd : {static_cast<int>(ours), theirs}) {
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
  }

  // ---- The target's side -----------------------------------------------

  // A line, up to and including its line feed.
  std::string read_line() const {
    std::string line;
    char c;
    while (recv(theirs, &c, 1, 0) == 1) {
      line += c;
      if (c == '\n') {
        break;
      }
    }
    return line;
  }
  // Exactly n bytes, fewer only if the connection ends.
  std::string read_bytes(size_t n) const {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
      ssize_t r = recv(theirs, out.data() + got, n - got, 0);
      if (r <= 0) {
        break;
      }
      got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
  }
  // Everything until the other side closes.
  std::string read_to_end() const {
    std::string out;
    char chunk[4096];
    ssize_t r;
    while ((r = recv(theirs, chunk, sizeof chunk, 0)) > 0) {
      out.append(chunk, static_cast<size_t>(r));
    }
    return out;
  }

  // Plays a target: each command line (without its line feed) is recorded
  // and answered with answer(line), or, when that gives nothing, the
  // connection is hung up.  `tick` sees what has arrived so far, after each
  // receive and every 10 ms.  Returns true at the end of the stream or the
  // hang-up, false when `seconds` ran out first.
  bool serve(const std::function<std::optional<std::string>(const std::string &)> &answer,
             const std::function<void(const std::string &)> &tick = {}, double seconds = 20) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::string pending;
    for (;;) {
      if (tick) {
        tick(received);
      }
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      pollfd p{theirs, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) {
        continue;
      }
      char buf[512];
      ssize_t n = recv(theirs, buf, sizeof buf, 0);
      if (n <= 0) {
        return true;
      }
      received.append(buf, static_cast<size_t>(n));
      pending.append(buf, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        commands.push_back(pending.substr(0, end));
        pending.erase(0, end + 1);
        std::optional<std::string> reply = answer(commands.back());
        if (!reply) {
          close_theirs();
          return true;
        }
        send(theirs, reply->data(), reply->size(), MSG_NOSIGNAL);
      }
    }
  }

  plat_socket ours = PLAT_INVALID_SOCKET;
  int theirs = -1;
  std::string received;               // by serve: every byte
  std::vector<std::string> commands;  // by serve: the lines
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
