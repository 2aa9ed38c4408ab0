// A session that replays a trace: the client's lines are matched against the
// recording and answered with the recorded bytes.
#include <cstdio>

#include "session.h"

session::result session::replay_line(sim_context &ctx, const std::string &line) {
  std::string divergence;
  const replay_step *step = ctx.replay->take_command(line, divergence);
  if (!step) {
    replay_diverged(ctx, divergence, false);
    return result::keep;
  }
  if (const replay_step *next = ctx.replay->expected_stream();
      next && step->end == replay_step::ending::answer) {
    // The recorded go-ahead is in the command's output; the data follows.
    queue_output(step->output);
    if (control_) {
      control_out_ += step->control_output;
    }
    replay_stream_.emplace(0);
    mode_ = mode::download;
    last_data_ = sim_clock::now();
    return result::keep;
  }
  return replay_step_done(ctx, *step);
}

session::result session::replay_step_done(sim_context &ctx, const replay_step &step) {
  queue_output(step.output);
  if (control_) {
    control_out_ += step.control_output;
  }
  std::string what = step.what == replay_step::expect::command ? step.command : "download";
  switch (step.end) {
    case replay_step::ending::answer:
      return result::keep;
    case replay_step::ending::hangup:
      ctx.log.event(id_, "drop", what);
      return result::hangup;
    case replay_step::ending::drop:
      ctx.log.event(id_, "drop", what);
      return result::close;
    case replay_step::ending::reset:
      ctx.log.event(id_, "drop", what + " (connection reset)");
      return result::reset;
    case replay_step::ending::reboot:
      ctx.log.event(id_, "reboot", step.command);
      return result::reboot;
  }
  return result::keep;
}

// The data after the go-ahead: counted and followed to its end, never kept.
// A stream that does not match the recording is swallowed like any broken
// stream, up to its end or until it stalls; only then is the divergence
// answered, so that no byte of it is read as a command line.
session::result session::replay_data(sim_context &ctx) {
  const replay_step *step = ctx.replay->expected_stream();
  size_t used = replay_stream_->feed(reinterpret_cast<const uint8_t *>(in_.data()), in_.size());
  in_.erase(0, used);
  if (used) {
    last_data_ = sim_clock::now();
  }
  unsigned long long got = replay_stream_->stream_bytes();
  bool done = replay_stream_->current() == download_receiver::state::done;
  if (step->end != replay_step::ending::answer && got >= replay_script::stream_stop(*step) &&
      (!done || step->end != replay_step::ending::hangup)) {
    ctx.log.event(id_, "data", "dropped after " + std::to_string(got) + " bytes");
    replay_stream_.reset();
    mode_ = mode::lines;
    in_.clear();
    return replay_step_done(ctx, *ctx.replay->take_stream());
  }
  if (!done) {
    return result::keep;
  }
  if (got != step->stream_bytes || step->stream_broken) {
    replay_diverged(ctx, "", true);
    return result::keep;
  }
  ctx.log.event(id_, "data", std::to_string(got) + " bytes");
  replay_stream_.reset();
  mode_ = mode::lines;
  return replay_step_done(ctx, *ctx.replay->take_stream());
}

// Noted once, in the transcript and on standard error; every answer after it
// is a message line and a prompt, so that the client's run fails visibly.
void session::replay_diverged(sim_context &ctx, const std::string &divergence, bool in_download) {
  std::string why = divergence;
  if (in_download) {
    if (const replay_step *step = ctx.replay->expected_stream()) {
      ctx.replay->diverge_in_stream(*step, replay_stream_ ? replay_stream_->stream_bytes() : 0,
                                    why);
    }
    replay_stream_.reset();
    mode_ = mode::lines;
    // The client waits for a status byte and the one after a failure.
    queue_output(std::string(2, '\0'));
  }
  if (!why.empty()) {
    ctx.log.event(id_, "diverge", why);
    std::fprintf(stderr, "romupdate-sim: replay diverged %s\n", why.c_str());
  }
  queue_output("!ERROR: replay diverged from the trace\r\n" + ctx.replay->prompt());
}
