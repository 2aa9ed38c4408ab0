#include "live_target.h"

#include <cstdio>
#include <vector>

#include "download.h"
#include "formats/trace/trace_format.h"
#include "interpreter.h"
#include "session.h"
#include "words.h"

namespace {

constexpr char GO_AHEAD = 0x06;

sim_clock::duration seconds(double s) {
  return std::chrono::duration_cast<sim_clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

// One session with the live target: the commands of the line in hand, and
// the download in hand.
class live_session : public responder {
 public:
  explicit live_session(live_target &t) : t_(t) {}

  sim_result on_line(session &s, const std::string &line) override {
    pending_ = split_commands(line);
    next_ = 0;
    reply_.clear();
    return run_pending(s);
  }
  sim_result on_stream(session &s, std::string &in) override;
  sim_result on_stall(session &s) override {
    finish_download(s);
    return run_pending(s);
  }
  void on_end(session &s, bool by_client) override {
    // A download in progress is discarded and noted in the transcript.
    if (download_) {
      s.note_broken_stream(by_client, download_->stream_bytes());
      download_.reset();
    }
  }
  std::string prompt() const override { return std::string(1, 'R') + t_.target_.prompt; }

 private:
  sim_result run_pending(session &s);
  sim_result begin_download(session &s, const command_outcome &outcome, const std::string &command);
  void finish_download(session &s);

  live_target &t_;
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
};

// Runs the commands of the line in hand until they are done (the reply and
// its one prompt go out), or one of them starts a download, ends the session
// or reboots the target.
sim_result live_session::run_pending(session &s) {
  unsigned long flood = 0;
  scenario &faults = t_.faults_;
  while (next_ < pending_.size()) {
    const std::string command = pending_[next_++];
    switch (faults.count_command(command)) {
      case scenario::verdict::close:
        s.log().event(s.id(), trace_kind::drop, command);
        return sim_result::close;
      case scenario::verdict::hang:
        s.go_deaf();
        pending_.clear();
        reply_.clear();
        return sim_result::keep;
      case scenario::verdict::answer:
        break;
    }
    s.queue_control(faults.control_lines(command));
    if (auto refusal = faults.rejection(command)) {
      reply_ += *refusal;  // not carried out
      continue;
    }

    command_outcome outcome = run_command(t_.target_, command);
    if (outcome.what == command_outcome::action::reboot) {
      s.log().event(s.id(), trace_kind::reboot, command);
      return sim_result::reboot;
    }
    reply_ += outcome.reply;
    if (outcome.what == command_outcome::action::download) {
      return begin_download(s, outcome, command);
    }
    reply_ += faults.reply_lines(command);
    flood += faults.flood_lines(command);
  }
  if (flood > 0) {
    // The reply so far, the flood, then the prompt.
    s.queue_output(reply_);
    reply_.clear();
    s.queue_flood(flood);
  }
  s.queue_output(reply_ + prompt());
  reply_.clear();
  pending_.clear();
  next_ = 0;
  return sim_result::keep;
}

sim_result live_session::begin_download(session &s, const command_outcome &outcome,
                                        const std::string &command) {
  // What the line produced so far goes out before the go-ahead; the
  // command's own message lines wait for the end of the download.
  s.queue_output(reply_ + std::string(1, GO_AHEAD));
  reply_.clear();
  download_.emplace(outcome.count);
  download_flash_ = outcome.flash;
  download_number_ = t_.faults_.start_download();
  drop_after_ = t_.faults_.drop_after(download_number_);
  after_download_ = t_.faults_.reply_lines(command);
  std::optional<double> stall;
  if (!t_.options_.strict_stream) {
    stall = t_.options_.stall_time;
  }
  s.begin_stream(stall);
  return sim_result::keep;
}

sim_result live_session::on_stream(session &s, std::string &in) {
  for (;;) {
    if (drop_after_ && download_->stream_bytes() >= *drop_after_) {
      s.note_broken_stream(false, download_->stream_bytes());
      return sim_result::close;
    }
    if (in.empty()) {
      return sim_result::keep;
    }
    size_t room = in.size();
    if (drop_after_) {
      room = std::min<size_t>(room, *drop_after_ - download_->stream_bytes());
    }
    in.erase(0, download_->feed(reinterpret_cast<const uint8_t *>(in.data()), room));
    if (drop_after_ && download_->stream_bytes() >= *drop_after_) {
      continue;
    }
    // Still inside the stream, or swallowing the rest of a broken one: the
    // stall timer decides when the client has stopped sending.
    if (download_->current() != download_receiver::state::done) {
      return sim_result::keep;
    }
    finish_download(s);
    return run_pending(s);
  }
}

// The stream ended (or stalled): the status byte, the messages, and the
// data committed to flash only when the download was good and said so.
void live_session::finish_download(session &s) {
  bool good = download_->acceptable();
  std::optional<uint8_t> forced = t_.faults_.forced_status(download_number_);
  uint8_t status = forced ? *forced : (good ? 1 : 0);
  reply_ += static_cast<char>(status);
  if (status != 1) {
    reply_ += '\0';
  }
  if (!good && status != 1) {
    reply_ += "!ERROR: download rejected: " + download_->reason() + "\r\n";
  }
  reply_ += t_.faults_.download_lines();
  reply_ += after_download_;
  if (good && status == 1 && download_flash_) {
    download_->commit(t_.target_.flash);
    t_.target_.flash_changed = true;
  }
  char text[96];
  snprintf(text, sizeof text, "%llu bytes, %zu records, status %u",
           static_cast<unsigned long long>(download_->data_bytes()), download_->record_count(),
           static_cast<unsigned>(status));
  s.log().event(s.id(), trace_kind::data, text);
  download_.reset();
  drop_after_.reset();
  after_download_.clear();
  s.end_stream();
}

live_target::live_target(const sim_options &o, transcript &log)
    : options_(o), log_(log), faults_(o) {
  target_.version_lines = o.version_lines;
  target_.hwids = o.hwids;
  target_.registers = o.registers;
  target_.used = o.used;
  if (o.locked) {
    target_.lock_by_other();
  }
}

bool live_target::load_flash(std::string &error) {
  return options_.flash_image.empty() ||
         read_abs_file(options_.flash_image, target_.flash, nullptr, &error);
}

std::unique_ptr<responder> live_target::on_connect(unsigned) {
  return std::make_unique<live_session>(*this);
}

void live_target::on_reboot() {
  target_.reboot(options_.come_back_locked);
  rebooting_ = true;
  back_at_ = sim_clock::now() + seconds(options_.reboot_time);
}

port_state live_target::ports(sim_clock::time_point now) {
  if (rebooting_ && (options_.never_return || now < back_at_)) {
    port_state closed{false, false, std::nullopt};
    if (!options_.never_return) {
      closed.until = back_at_;
    }
    return closed;
  }
  rebooting_ = false;
  return {};
}

void live_target::dump_flash(bool force) {
  if (options_.dump_path.empty() || (!force && !target_.flash_changed)) {
    return;
  }
  target_.flash_changed = false;
  // Written beside the dump and renamed over it, so that a reader never sees
  // half a file.
  std::string temporary = options_.dump_path + ".tmp";
  std::string error;
  if (!write_abs_file(temporary, target_.flash, &error)) {
    std::fprintf(stderr, "romupdate-sim: cannot write flash dump '%s': %s\n", temporary.c_str(),
                 error.c_str());
    std::remove(temporary.c_str());
    return;
  }
  if (std::rename(temporary.c_str(), options_.dump_path.c_str()) != 0) {
    std::perror(("romupdate-sim: cannot write flash dump '" + options_.dump_path + "'").c_str());
    std::remove(temporary.c_str());
  }
}
