// One session: a client's command connection and, once the client has
// introduced it, its control connection.  The session turns received bytes
// into command lines, runs them against the shared target, and switches to
// the record stream after an "lcd" command until the stream ends.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "context.h"
#include "download.h"
#include "interpreter.h"
#include "net.h"
#include "replay.h"

// A line longer than this is answered with a message instead of being run.
inline constexpr size_t SIM_MAX_LINE = 4096;
// A client that does not read its replies is dropped when this much piles up.
inline constexpr size_t SIM_MAX_PENDING_OUTPUT = 1u << 20;

using sim_clock = std::chrono::steady_clock;

class session {
 public:
  enum class result {
    keep,    // go on serving the session
    close,   // the target drops both connections of the session
    reboot,  // the session rebooted the target
    reset,   // the target breaks both connections off (an error for the client)
    hangup,  // the target ends the connections in order, then closes them
  };

  session(unsigned id, unique_fd command, const sockaddr_in &peer);

  unsigned id() const { return id_; }
  const sockaddr_in &peer() const { return peer_; }
  int command_fd() const { return command_.get(); }
  int control_fd() const { return control_.get(); }
  void attach_control(unique_fd control) { control_ = std::move(control); }
  void detach_control() {
    control_.reset();
    control_out_.clear();
  }

  bool has_output() const { return !out_.empty() || !floods_.empty(); }
  bool has_control_output() const { return !control_out_.empty(); }
  // Sends what is pending.  false when the command connection is broken (a
  // broken control connection is only let go).
  bool flush();

  // Bytes that arrived on the command connection.
  result received(sim_context &ctx, const char *data, size_t size);
  // When a download's record stream stops, and the time it is given up.
  std::optional<sim_clock::time_point> stall_deadline(const sim_context &ctx) const;
  result stalled(sim_context &ctx);
  // The session ends without the target having chosen to drop it: the
  // client went away (`by_client`) or the target rebooted.  A download in
  // progress is discarded and noted in the transcript.
  void abandon(sim_context &ctx, bool by_client);

 private:
  enum class mode { lines, download, hung };

  result process(sim_context &ctx);
  result run_pending(sim_context &ctx);
  result begin_download(sim_context &ctx, const command_outcome &outcome,
                        const std::string &command);
  void finish_download(sim_context &ctx);
  void queue_output(const std::string &text);
  void refill_flood();

  // Replay (session_replay.cpp).
  result replay_line(sim_context &ctx, const std::string &line);
  result replay_data(sim_context &ctx);
  result replay_step_done(sim_context &ctx, const replay_step &step);
  void replay_diverged(sim_context &ctx, const std::string &divergence, bool in_download);

  unsigned id_;
  unique_fd command_;
  unique_fd control_;
  sockaddr_in peer_;
  std::string in_;
  std::string out_;
  std::string control_out_;
  // --message-flood replies in progress, in the order of their commands:
  // each flood's lines are made as the client reads them, and what the
  // session has to say after them waits behind them.
  struct pending_flood {
    unsigned long left;
    unsigned long total;
    std::string after;
  };
  std::deque<pending_flood> floods_;
  size_t after_floods_ = 0;  // bytes waiting behind the floods
  mode mode_ = mode::lines;
  bool skipping_long_line_ = false;

  // The line in hand: its commands not yet run, and its reply so far.
  std::vector<std::string> pending_;
  size_t next_ = 0;
  std::string reply_;

  // The download in hand.
  std::optional<download_receiver> download_;
  bool download_flash_ = false;
  std::optional<unsigned long> drop_after_;
  unsigned long download_number_ = 0;
  std::string after_download_;  // --message lines of the "lcd" command
  sim_clock::time_point last_data_{};
  // The download in hand when replaying: followed to its end, never kept
  // (announced as empty, the receiver holds no data).
  std::optional<download_receiver> replay_stream_;
};
