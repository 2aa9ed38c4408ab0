#include "replay_target.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "download.h"
#include "session.h"
#include "words.h"

namespace {

std::string quoted(std::string_view text) { return "'" + trace_escape(text) + "'"; }

bool is_output(const trace_record &e) {
  return e.kind == trace_kind::reply || e.kind == trace_kind::control_message ||
         e.kind == trace_kind::go_ahead || e.kind == trace_kind::status;
}

sim_clock::duration seconds(double s) {
  return std::chrono::duration_cast<sim_clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

// One session with the replayed target.
class replay_session : public responder {
 public:
  replay_session(replay_target &t, bool refused) : t_(t), refused_(refused) {}

  sim_result on_line(session &s, const std::string &line) override;
  sim_result on_stream(session &s, std::string &in) override;
  sim_result on_stall(session &s) override {
    diverge_in_stream(s);
    return sim_result::keep;
  }
  void on_end(session &s, bool by_client) override {
    if (stream_) {
      s.note_broken_stream(by_client, stream_->stream_bytes());
      stream_.reset();
    }
    if (!ended_) {
      t_.session_ended();
    }
  }
  void on_output_low(session &s) override {
    if (answering_) {
      answer(s);
    }
  }
  std::string prompt() const override { return t_.prompt_; }

 private:
  sim_result answer(session &s);
  sim_result end(session &s, replay_target::ending how, const std::string &what);
  sim_result diverged(session &s, const std::string &expected, size_t line,
                      const std::string &received);
  void diverge_in_stream(session &s);

  replay_target &t_;
  bool refused_;
  bool ended_ = false;
  bool answering_ = false;
  // The download in hand: followed to its end, never kept (announced as
  // empty, the receiver holds no data).
  std::optional<download_receiver> stream_;
  // Where the recorded target stopped reading a stream the client could not
  // send whole.
  std::optional<unsigned long long> stop_;
  // A flood that the trace cut short: the lines it left out are played as
  // copies of the last line it kept, so that the client counts as many.
  const char *repeat_kind_ = nullptr;
  std::string repeat_text_;
  unsigned long repeat_left_ = 0;
};

replay_target::replay_target(replay_script &script, transcript &log, double stall_time)
    : script_(script), log_(log), stall_time_(stall_time) {}

bool replay_target::at(const char *kind, size_t ahead) {
  const trace_record *e = script_.peek(ahead);
  return e && e->kind == kind;
}

bool replay_target::in_session(size_t ahead) {
  const trace_record *e = script_.peek(ahead);
  return e && e->session == session_;
}

// Within the session, past what the client did on its own: its waits, its
// closing, and the commands that never reached the target whole.
void replay_target::skip_to_command() {
  while (in_session() && !at(trace_kind::command) && !at(trace_kind::data) &&
         !at(trace_kind::lost) && !is_output(*script_.peek())) {
    script_.take();
  }
}

// The target ended the connection at a command when nothing came back after
// it before the client found the connection gone; the client's commands in
// between went into a dead connection.
replay_target::ending replay_target::ending_after_command() {
  for (size_t k = 0; in_session(k); ++k) {
    const trace_record &e = *script_.peek(k);
    if (e.kind == trace_kind::lost) {
      if (e.text.rfind("closed", 0) == 0) {
        return ending::hangup;
      }
      // A send into a connection the target had closed while data was
      // coming: a broken pipe (the Windows build's 10053 and 10058).
      for (const char *text : {"Broken pipe", "= 10053", "= 10058"}) {
        if (e.text.find(text) != std::string::npos) {
          return ending::drop;
        }
      }
      return ending::reset;
    }
    if (is_output(e) || e.kind == trace_kind::data) {
      return ending::none;
    }
  }
  return ending::none;
}

void replay_target::session_ended() {
  active_ = false;
  refusing_control_ = false;
  paced_from_ = sim_clock::now();
}

std::unique_ptr<responder> replay_target::on_connect(unsigned) {
  // The connection is the recorded client's next attempt that reached the
  // target; the refused ones before it were played by the ports.
  const auto &attempts = script_.attempts();
  while (next_attempt_ < attempts.size() &&
         attempts[next_attempt_].result == replay_attempt::outcome::none) {
    ++next_attempt_;
  }
  bool refused = false;
  if (next_attempt_ < attempts.size()) {
    const replay_attempt &a = attempts[next_attempt_++];
    refused = a.result != replay_attempt::outcome::connected;
    session_ = a.session;
    while (script_.peek() && !(at(trace_kind::open) && in_session())) {
      script_.take();
    }
    script_.take();
  } else if (const trace_record *e = script_.peek()) {
    session_ = e->session;  // a trace without connection events
  }
  active_ = true;
  refusing_control_ = refused;
  return std::make_unique<replay_session>(*this, refused);
}

// A refused attempt never reaches the target, so a closed port cannot
// count them.  Refusals that an attempt finding the target free follows
// (their reasons are dropped unseen) are played on the control port: the
// command connection is taken and counted, the control port refuses, and
// the client gives the attempt up as it would at the command port.  Other
// refusals close both ports: for good when nothing follows them, else for
// as many of the client's pauses as the recorded client made refused
// attempts, each as long as its recorded pause.
port_state replay_target::ports(sim_clock::time_point now) {
  if (diverged_) {
    return {};
  }
  if (refusing_control_) {
    return {true, false, std::nullopt};
  }
  if (active_) {
    return {};  // the client is between its two connections, or in its session
  }
  const auto &attempts = script_.attempts();
  while (next_attempt_ < attempts.size()) {
    const replay_attempt &a = attempts[next_attempt_];
    if (a.result == replay_attempt::outcome::none) {
      ++next_attempt_;
      continue;
    }
    if (a.result == replay_attempt::outcome::control_refused) {
      return {true, false, std::nullopt};
    }
    if (a.result == replay_attempt::outcome::connected) {
      return {};
    }
    size_t after = next_attempt_;
    while (after < attempts.size() &&
           attempts[after].result != replay_attempt::outcome::connected) {
      ++after;
    }
    if (after == attempts.size()) {
      return {false, false, std::nullopt};
    }
    if (!attempts[after].locked) {
      return {true, false, std::nullopt};
    }
    sim_clock::time_point at = paced_from_ + seconds(a.pause);
    if (now < at) {
      return {false, false, at};
    }
    paced_from_ = at;
    ++next_attempt_;
    if (next_attempt_ == after) {
      // Open halfway through the pause before the attempt that got in.
      at = paced_from_ + seconds(attempts[after].pause / 2);
      if (now < at) {
        return {false, false, at};
      }
    }
  }
  return {};
}

std::string replay_target::diverge(const std::string &expected, size_t line,
                                   const std::string &received) {
  diverged_ = true;
  std::string why = expected;
  if (line) {
    why += " (trace line " + std::to_string(line) + ")";
  }
  why += ", received " + received + "; the " + std::to_string(matched_) +
         (matched_ == 1 ? " command" : " commands") + " before it matched";
  log_.event(0, trace_kind::diverge, why);
  std::fprintf(stderr, "romupdate-sim: replay diverged %s\n", why.c_str());
  return why;
}

sim_result replay_session::diverged(session &s, const std::string &expected, size_t line,
                                    const std::string &received) {
  if (!t_.diverged_) {
    t_.diverge("at command " + std::to_string(t_.matched_ + 1) + ": expected " + expected, line,
               received);
  }
  // Every answer after it is a message line and a prompt, so that the
  // client's run fails visibly.
  s.queue_output("!ERROR: replay diverged from the trace\r\n" + t_.prompt_);
  return sim_result::keep;
}

sim_result replay_session::on_line(session &s, const std::string &line) {
  if (t_.diverged_) {
    return diverged(s, "", 0, "");
  }
  t_.skip_to_command();
  replay_script &script = t_.script_;
  const trace_record *e = script.peek();
  if (refused_ || !e || e->kind != trace_kind::command || !t_.in_session() ||
      replay_shape(e->text) != replay_shape(line)) {
    std::string expected = "the end of the trace";
    if (refused_) {
      expected = "no command (the control port refused the connection)";
    } else if (e && !t_.in_session()) {
      expected = "the end of the connection";
    } else if (e) {
      expected = e->kind == trace_kind::command ? quoted(e->text) : "the event " + e->kind;
    }
    return diverged(s, expected, e ? script.line() : 0, quoted(line));
  }
  std::string command = e->text;
  script.take();
  ++t_.matched_;
  if (auto how = t_.ending_after_command(); how != replay_target::ending::none) {
    return end(s, how, command);
  }
  if (replay_is_reboot(command)) {
    s.log().event(s.id(), trace_kind::reboot, command);
    ended_ = true;
    return sim_result::reboot;
  }
  return answer(s);
}

// The recorded bytes that followed the command, as the client reads them.
sim_result replay_session::answer(session &s) {
  replay_script &script = t_.script_;
  answering_ = false;
  while (t_.in_session() &&
         (repeat_left_ > 0 || is_output(*script.peek()) || t_.at(trace_kind::omitted))) {
    if (s.pending_output() >= SIM_OUTPUT_LOW) {
      answering_ = true;
      return sim_result::keep;
    }
    if (repeat_left_ > 0) {
      --repeat_left_;
      if (repeat_kind_ == trace_kind::control_message) {
        s.queue_control(repeat_text_);
      } else {
        s.queue_output(repeat_text_);
      }
      continue;
    }
    const trace_record &e = *script.peek();
    if (e.kind == trace_kind::omitted) {
      repeat_left_ = repeat_kind_ ? std::strtoul(e.text.c_str(), nullptr, 10) : 0;
      script.take();
      continue;
    }
    if (e.kind == trace_kind::control_message) {
      s.queue_control(e.text);
    } else {
      s.queue_output(e.text);
    }
    // Only a whole line is copied: the piece of a line that came in two
    // receives joins the first copy, and the count of lines stays right.
    if (!e.text.empty() && e.text.back() == '\n') {
      repeat_kind_ =
          e.kind == trace_kind::control_message ? trace_kind::control_message : trace_kind::reply;
      repeat_text_ = e.text;
    }
    if (e.kind == trace_kind::reply && e.text.size() >= 2 &&
        (e.text.back() == '$' || e.text.back() == '>')) {
      t_.prompt_ = e.text.substr(e.text.size() - 2);
    }
    // A "!" in place of the go-ahead is the start of a refusal: no stream.
    bool go_ahead = e.kind == trace_kind::go_ahead && e.text != "!";
    script.take();
    if (go_ahead) {
      // A stream the client could not send whole got that far because the
      // target had stopped reading about one piece (1024 bytes) earlier.
      const trace_record *data = script.peek();
      stop_.reset();
      if (data && t_.in_session() && data->kind == trace_kind::data &&
          data->text.find(", send failed") != std::string::npos) {
        unsigned long long sent = std::strtoull(data->text.c_str(), nullptr, 10);
        stop_ = sent > 1024 ? sent - 1024 : 0;
      }
      stream_.emplace(0);
      s.begin_stream(t_.stall_time_);
      return sim_result::keep;
    }
  }
  if (t_.in_session() && t_.at(trace_kind::lost)) {
    return end(s, t_.ending_after_command(), "reply");
  }
  return sim_result::keep;
}

sim_result replay_session::end(session &s, replay_target::ending how, const std::string &what) {
  ended_ = true;
  t_.session_ended();
  if (how == replay_target::ending::reset) {
    s.log().event(s.id(), trace_kind::drop, what + " (connection reset)");
    return sim_result::reset;
  }
  s.log().event(s.id(), trace_kind::drop, what);
  return how == replay_target::ending::drop ? sim_result::close : sim_result::hangup;
}

// The data after the go-ahead: counted and followed to its end, never kept.
// A stream that does not match the recording is swallowed like any broken
// stream, up to its end or until it stalls; only then is the divergence
// answered, so that no byte of it is read as a command line.
sim_result replay_session::on_stream(session &s, std::string &in) {
  size_t room = in.size();
  if (stop_) {
    room = std::min<size_t>(room, *stop_ - stream_->stream_bytes());
  }
  in.erase(0, stream_->feed(reinterpret_cast<const uint8_t *>(in.data()), room));
  replay_script &script = t_.script_;
  if (stop_ && stream_->stream_bytes() >= *stop_) {
    s.note_broken_stream(false, stream_->stream_bytes());
    stream_.reset();
    s.end_stream();
    in.clear();
    script.take();
    return end(s, t_.ending_after_command(), "download");
  }
  if (stream_->current() != download_receiver::state::done) {
    return sim_result::keep;
  }
  const trace_record *data = script.peek();
  if (t_.diverged_ || !data || !t_.in_session() || data->kind != trace_kind::data ||
      std::strtoull(data->text.c_str(), nullptr, 10) != stream_->stream_bytes()) {
    diverge_in_stream(s);
    return sim_result::keep;
  }
  s.log().event(s.id(), trace_kind::data, std::to_string(stream_->stream_bytes()) + " bytes");
  stream_.reset();
  s.end_stream();
  script.take();
  if (auto how = t_.ending_after_command(); how != replay_target::ending::none) {
    return end(s, how, "download");
  }
  return answer(s);
}

void replay_session::diverge_in_stream(session &s) {
  unsigned long long got = stream_ ? stream_->stream_bytes() : 0;
  stream_.reset();
  s.end_stream();
  if (!t_.diverged_) {
    replay_script &script = t_.script_;
    const trace_record *data = script.peek();
    std::string expected = "the end of the trace (the recorded run ended in its download)";
    if (data && t_.in_session() && data->kind == trace_kind::data) {
      expected = std::to_string(std::strtoull(data->text.c_str(), nullptr, 10)) + " bytes";
    }
    t_.diverge(
        "in the download after command " + std::to_string(t_.matched_) + ": expected " + expected,
        data ? script.line() : 0, std::to_string(got));
  }
  // The client waits for a status byte and the one after a failure.
  s.queue_output(std::string(2, '\0'));
  diverged(s, "", 0, "");
}
