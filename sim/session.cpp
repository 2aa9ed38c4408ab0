#include "session.h"

#include "formats/trace/trace_format.h"

namespace {

// A flood is made this much at a time, as the client reads it.
constexpr size_t FLOOD_CHUNK = 64 * 1024;

}  // namespace

session::session(unsigned id, unique_fd command, const sockaddr_in &peer, transcript &log,
                 std::unique_ptr<responder> target)
    : id_(id), command_(std::move(command)), peer_(peer), log_(log), target_(std::move(target)) {}

void session::queue_output(const std::string &text) {
  if (floods_.empty()) {
    out_ += text;
    return;
  }
  floods_.back().after += text;
  after_floods_ += text.size();
}

void session::queue_control(const std::string &text) {
  if (control_) {
    control_out_ += text;
  }
}

void session::queue_flood(unsigned long lines) { floods_.push_back({lines, lines, {}}); }

void session::begin_stream(std::optional<double> stall) {
  streaming_ = true;
  stall_ = stall;
  last_data_ = sim_clock::now();
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
    if (pending_output() < SIM_OUTPUT_LOW) {
      target_->on_output_low(*this);
    }
    if (pending_output() > SIM_MAX_PENDING_OUTPUT) {
      return false;
    }
    if (!send_pending(command_.get(), out_)) {
      return false;
    }
    if (!out_.empty()) {
      return true;  // the client is not reading for now
    }
    if (!has_output()) {
      target_->on_output_low(*this);  // the rest of a long answer, if any
      if (!has_output()) {
        return true;
      }
    }
  }
}

sim_result session::received(const char *data, size_t size) {
  if (deaf_) {
    return sim_result::keep;
  }
  in_.append(data, size);
  return process();
}

sim_result session::process() {
  for (;;) {
    if (deaf_) {
      in_.clear();
      return sim_result::keep;
    }
    if (streaming_) {
      size_t before = in_.size();
      sim_result r = target_->on_stream(*this, in_);
      if (in_.size() != before) {
        last_data_ = sim_clock::now();
      }
      if (r != sim_result::keep || streaming_) {
        return r;
      }
      continue;
    }

    size_t end = in_.find('\n');
    if (end == std::string::npos && in_.size() <= SIM_MAX_LINE) {
      return sim_result::keep;
    }
    if (skipping_long_line_ || end == std::string::npos || end > SIM_MAX_LINE) {
      // A line the target has no room for is answered once, at its start,
      // and the rest of it up to its line end is dropped.
      if (!skipping_long_line_) {
        log_.event(id_, trace_kind::command, std::string_view(in_).substr(0, SIM_MAX_LINE));
        queue_output("!ERROR: command line too long\r\n" + target_->prompt());
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
    log_.event(id_, trace_kind::command, line);
    sim_result r = target_->on_line(*this, line);
    if (r != sim_result::keep) {
      return r;
    }
  }
}

void session::note_broken_stream(bool by_client, size_t bytes) {
  log_.event(
      id_, trace_kind::data,
      (by_client ? "client closed after " : "dropped after ") + std::to_string(bytes) + " bytes");
}

std::optional<sim_clock::time_point> session::stall_deadline() const {
  if (!streaming_ || !stall_) {
    return std::nullopt;
  }
  return last_data_ +
         std::chrono::duration_cast<sim_clock::duration>(std::chrono::duration<double>(*stall_));
}

sim_result session::stalled() {
  if (!streaming_) {
    return sim_result::keep;
  }
  sim_result r = target_->on_stall(*this);
  if (r != sim_result::keep) {
    return r;
  }
  return process();
}
