#include "session.h"

#include <cstdio>

#include "interpreter.h"
#include "words.h"

namespace {

constexpr char GO_AHEAD = 0x06;
// A flood is made this much at a time, as the client reads it.
constexpr size_t FLOOD_CHUNK = 64 * 1024;

std::string prompt(const target_state &target) { return std::string(1, 'R') + target.prompt; }

}  // namespace

session::session(unsigned id, unique_fd command, const sockaddr_in &peer)
    : id_(id), command_(std::move(command)), peer_(peer) {}

void session::queue_output(const std::string &text) {
  if (floods_.empty()) {
    out_ += text;
    return;
  }
  floods_.back().after += text;
  after_floods_ += text.size();
}

void session::refill_flood() {
  while (!floods_.empty() && out_.size() < FLOOD_CHUNK) {
    pending_flood &f = floods_.front();
    if (f.left > 0) {
      out_ += "!note: line " + std::to_string(f.total - f.left + 1) + " of a flood of " +
              std::to_string(f.total) + "\r\n";
      --f.left;
      continue;
    }
    out_ += f.after;
    after_floods_ -= f.after.size();
    floods_.pop_front();
  }
}

bool session::flush() {
  if (control_ && !send_pending(control_.get(), control_out_)) {
    detach_control();
  }
  for (;;) {
    refill_flood();
    if (out_.size() + after_floods_ > SIM_MAX_PENDING_OUTPUT) {
      return false;
    }
    if (!send_pending(command_.get(), out_)) {
      return false;
    }
    // Sent all there is, or the client is not reading for now.
    if (!out_.empty() || !has_output()) {
      return true;
    }
  }
}

session::result session::received(sim_context &ctx, const char *data, size_t size) {
  if (mode_ == mode::hung) {
    return result::keep;
  }
  in_.append(data, size);
  return process(ctx);
}

session::result session::process(sim_context &ctx) {
  for (;;) {
    if (mode_ == mode::hung) {
      in_.clear();
      return result::keep;
    }

    if (mode_ == mode::download && replay_stream_) {
      result r = replay_data(ctx);
      if (r != result::keep || mode_ == mode::download) {
        return r;
      }
      continue;
    }

    if (mode_ == mode::download) {
      if (drop_after_ && download_->stream_bytes() >= *drop_after_) {
        ctx.log.event(id_, "data",
                      "dropped after " + std::to_string(download_->stream_bytes()) + " bytes");
        return result::close;
      }
      if (in_.empty()) {
        return result::keep;
      }
      size_t room = in_.size();
      if (drop_after_) {
        room = std::min<size_t>(room, *drop_after_ - download_->stream_bytes());
      }
      size_t used = download_->feed(reinterpret_cast<const uint8_t *>(in_.data()), room);
      in_.erase(0, used);
      last_data_ = sim_clock::now();
      if (drop_after_ && download_->stream_bytes() >= *drop_after_) {
        continue;
      }
      // Still inside the stream, or swallowing the rest of a broken one:
      // the stall timer decides when the client has stopped sending.
      if (download_->current() != download_receiver::state::done) {
        return result::keep;
      }
      finish_download(ctx);
      result r = run_pending(ctx);
      if (r != result::keep) {
        return r;
      }
      continue;
    }

    size_t end = in_.find('\n');
    if (end == std::string::npos && in_.size() <= SIM_MAX_LINE) {
      return result::keep;
    }
    if (skipping_long_line_ || end == std::string::npos || end > SIM_MAX_LINE) {
      // A line the target has no room for is answered once, at its start,
      // and the rest of it up to its line end is dropped.
      if (!skipping_long_line_) {
        ctx.log.event(id_, "cmd", std::string_view(in_).substr(0, SIM_MAX_LINE));
        queue_output("!ERROR: command line too long\r\n" + prompt(ctx.target));
      }
      skipping_long_line_ = end == std::string::npos;
      in_.erase(0, end == std::string::npos ? in_.size() : end + 1);
      continue;
    }
    std::string line = in_.substr(0, end);
    in_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    ctx.log.event(id_, "cmd", line);
    if (ctx.replay) {
      result r = replay_line(ctx, line);
      if (r != result::keep) {
        return r;
      }
      continue;
    }
    pending_ = split_commands(line);
    next_ = 0;
    reply_.clear();
    result r = run_pending(ctx);
    if (r != result::keep) {
      return r;
    }
  }
}

// Runs the commands of the line in hand until they are done (the reply and
// its one prompt go out), or one of them starts a download, ends the session
// or reboots the target.
session::result session::run_pending(sim_context &ctx) {
  unsigned long flood = 0;
  while (next_ < pending_.size()) {
    const std::string command = pending_[next_++];
    switch (ctx.faults.count_command(command)) {
      case scenario::verdict::close:
        ctx.log.event(id_, "drop", command);
        return result::close;
      case scenario::verdict::hang:
        mode_ = mode::hung;
        pending_.clear();
        reply_.clear();
        in_.clear();
        return result::keep;
      case scenario::verdict::answer:
        break;
    }
    if (control_) {
      control_out_ += ctx.faults.control_lines(command);
    }
    if (auto refusal = ctx.faults.rejection(command)) {
      reply_ += *refusal;  // not carried out
      continue;
    }

    command_outcome outcome = run_command(ctx.target, command);
    if (outcome.what == command_outcome::action::reboot) {
      ctx.log.event(id_, "reboot", command);
      return result::reboot;
    }
    reply_ += outcome.reply;
    if (outcome.what == command_outcome::action::download) {
      return begin_download(ctx, outcome, command);
    }
    reply_ += ctx.faults.reply_lines(command);
    flood += ctx.faults.flood_lines(command);
  }
  if (flood > 0) {
    // The reply so far, the flood, then the prompt.
    queue_output(reply_);
    reply_.clear();
    floods_.push_back({flood, flood, {}});
  }
  reply_ += prompt(ctx.target);
  queue_output(reply_);
  reply_.clear();
  pending_.clear();
  next_ = 0;
  return result::keep;
}

session::result session::begin_download(sim_context &ctx, const command_outcome &outcome,
                                        const std::string &command) {
  // What the line produced so far goes out before the go-ahead; the
  // command's own message lines wait for the end of the download.
  queue_output(reply_);
  reply_.clear();
  queue_output(std::string(1, GO_AHEAD));
  download_.emplace(outcome.count);
  download_flash_ = outcome.flash;
  download_number_ = ctx.faults.start_download();
  drop_after_ = ctx.faults.drop_after(download_number_);
  after_download_ = ctx.faults.reply_lines(command);
  last_data_ = sim_clock::now();
  mode_ = mode::download;
  return result::keep;
}

// The stream ended (or stalled): the status byte, the messages, and the
// data committed to flash only when the download was good and said so.
void session::finish_download(sim_context &ctx) {
  bool good = download_->acceptable();
  std::optional<uint8_t> forced = ctx.faults.forced_status(download_number_);
  uint8_t status = forced ? *forced : (good ? 1 : 0);
  reply_ += static_cast<char>(status);
  if (status != 1) {
    reply_ += '\0';
  }
  if (!good && status != 1) {
    reply_ += "!ERROR: download rejected: " + download_->reason() + "\r\n";
  }
  reply_ += ctx.faults.download_lines();
  reply_ += after_download_;
  if (good && status == 1 && download_flash_) {
    download_->commit(ctx.target.flash);
    ctx.target.flash_changed = true;
  }
  char text[96];
  snprintf(text, sizeof text, "%llu bytes, %zu records, status %u",
           static_cast<unsigned long long>(download_->data_bytes()), download_->record_count(),
           static_cast<unsigned>(status));
  ctx.log.event(id_, "data", text);
  download_.reset();
  drop_after_.reset();
  after_download_.clear();
  mode_ = mode::lines;
}

std::optional<sim_clock::time_point> session::stall_deadline(const sim_context &ctx) const {
  if (mode_ != mode::download || ctx.options.strict_stream) {
    return std::nullopt;
  }
  return last_data_ + std::chrono::duration_cast<sim_clock::duration>(
                          std::chrono::duration<double>(ctx.options.stall_time));
}

session::result session::stalled(sim_context &ctx) {
  if (mode_ != mode::download) {
    return result::keep;
  }
  if (replay_stream_) {
    replay_diverged(ctx, "", true);
    return process(ctx);
  }
  finish_download(ctx);
  result r = run_pending(ctx);
  if (r != result::keep) {
    return r;
  }
  return process(ctx);
}

void session::abandon(sim_context &ctx, bool by_client) {
  if (mode_ == mode::download && replay_stream_) {
    ctx.log.event(id_, "data",
                  (by_client ? "client closed after " : "dropped after ") +
                      std::to_string(replay_stream_->stream_bytes()) + " bytes");
    replay_stream_.reset();
    mode_ = mode::lines;
  } else if (mode_ == mode::download) {
    std::string bytes = std::to_string(download_->stream_bytes());
    ctx.log.event(id_, "data",
                  (by_client ? "client closed after " : "dropped after ") + bytes + " bytes");
    download_.reset();
    mode_ = mode::lines;
  }
}
