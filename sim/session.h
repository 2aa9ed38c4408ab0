// One session: a client's command connection and, once the client has
// introduced it, its control connection.  The session frames the received
// bytes (command lines, or a download's record stream while the responder
// reads one) and holds what goes out; the responder decides the answers.
#pragma once

#include <netinet/in.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "net.h"
#include "responder.h"
#include "transcript.h"

// A line longer than this is answered with a message instead of being run.
inline constexpr size_t SIM_MAX_LINE = 4096;
// A client that does not read its replies is dropped when this much piles up.
inline constexpr size_t SIM_MAX_PENDING_OUTPUT = 1u << 20;
// A responder with a long answer adds to it while less than this is pending.
inline constexpr size_t SIM_OUTPUT_LOW = 64 * 1024;

class session {
 public:
  session(unsigned id, unique_fd command, const sockaddr_in &peer, transcript &log,
          std::unique_ptr<responder> target);

  unsigned id() const { return id_; }
  transcript &log() { return log_; }
  const sockaddr_in &peer() const { return peer_; }
  int command_fd() const { return command_.get(); }
  int control_fd() const { return control_.get(); }
  bool has_control() const { return static_cast<bool>(control_); }
  void attach_control(unique_fd control) { control_ = std::move(control); }
  void detach_control() {
    control_.reset();
    control_out_.clear();
  }

  // What the responder says.
  void queue_output(const std::string &text);
  void queue_control(const std::string &text);
  // A reply of `lines` message lines, made as the client reads them; what
  // is queued after it waits behind it.
  void queue_flood(unsigned long lines);
  size_t pending_output() const { return out_.size() + after_floods_; }
  // The client's next bytes are a record stream, given up after `stall`
  // seconds without data (none: never).
  void begin_stream(std::optional<double> stall);
  void end_stream() { streaming_ = false; }
  // Nothing the client sends is answered any more.
  void go_deaf() { deaf_ = true; }

  bool has_output() const { return !out_.empty() || !floods_.empty(); }
  bool has_control_output() const { return !control_out_.empty(); }
  // Sends what is pending.  false when the command connection is broken (a
  // broken control connection is only let go).
  bool flush();

  // Bytes that arrived on the command connection.
  sim_result received(const char *data, size_t size);
  // When a record stream stops, and the time it is given up.
  std::optional<sim_clock::time_point> stall_deadline() const;
  sim_result stalled();
  void abandon(bool by_client) { target_->on_end(*this, by_client); }
  // Notes in the transcript a record stream that ended unfinished.
  void note_broken_stream(bool by_client, size_t bytes);

 private:
  sim_result process();
  void refill_flood();

  unsigned id_;
  unique_fd command_;
  unique_fd control_;
  sockaddr_in peer_;
  transcript &log_;
  std::unique_ptr<responder> target_;
  std::string in_;
  std::string out_;
  std::string control_out_;
  // Floods in progress, in the order of their commands: each flood's lines
  // are made as the client reads them, and what the session has to say
  // after them waits behind them.
  struct pending_flood {
    unsigned long left;
    unsigned long total;
    std::string after;
  };
  std::deque<pending_flood> floods_;
  size_t after_floods_ = 0;  // bytes waiting behind the floods
  bool skipping_long_line_ = false;
  bool deaf_ = false;
  bool streaming_ = false;
  std::optional<double> stall_;
  sim_clock::time_point last_data_{};
};
