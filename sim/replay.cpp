#include "replay.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "interpreter.h"
#include "words.h"

namespace {

// A recorded line reboots the target when one of its commands does.
bool is_reboot(std::string_view line) {
  for (const std::string &command : split_commands(line)) {
    if (is_reboot_command(command)) {
      return true;
    }
  }
  return false;
}

std::string quoted(std::string_view text) { return "'" + trace_escape(text) + "'"; }

// How the client saw its connection end tells how the target ended it: an
// orderly end read as such, a send into a connection the target had closed
// (a broken pipe; the Windows build's 10053 and 10058), or a reset.
replay_step::ending ending_for(std::string_view lost) {
  if (lost.rfind("closed", 0) == 0) {
    return replay_step::ending::hangup;
  }
  for (const char *text : {"Broken pipe", "= 10053", "= 10058"}) {
    if (lost.find(text) != std::string_view::npos) {
      return replay_step::ending::drop;
    }
  }
  return replay_step::ending::reset;
}

// The client streams a download in pieces of this size.
constexpr unsigned long long CLIENT_PIECE = 1024;

}  // namespace

bool replay_script::load(const std::string &path, std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read it";
    return false;
  }
  std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<trace_record> events;
  if (!trace_parse(contents, header_, events, error)) {
    return false;
  }
  if (header_.program != "romupdate") {
    error = "it was written by " + header_.program +
            ", not by romupdate (replay needs the trace that "
            "ROMUPDATE_TRACE asks romupdate for)";
    return false;
  }

  // The connection attempts after a reboot decide when the target comes
  // back: between the last refused attempt and the first that connected.
  // The step of the last reboot whose return is not settled yet, or none.
  constexpr size_t kNone = static_cast<size_t>(-1);
  size_t rebooted = kNone;
  double reboot_time = 0, last_refusal = 0, last_attempt = 0;
  bool first_attempt_open = false, seen_attempt = false;

  for (size_t i = 0; i < events.size(); ++i) {
    const trace_record &e = events[i];
    replay_step *current = steps_.empty() ? nullptr : &steps_.back();
    if (e.kind == trace_kind::command) {
      replay_step step;
      step.command = e.text;
      step.line = i + 2;
      if (is_reboot(e.text)) {
        step.end = replay_step::ending::reboot;
        rebooted = steps_.size();
        reboot_time = last_refusal = e.time;
      }
      steps_.push_back(std::move(step));
    } else if (e.kind == trace_kind::data) {
      replay_step step;
      step.what = replay_step::expect::stream;
      step.stream_bytes = std::strtoull(e.text.c_str(), nullptr, 10);
      step.stream_broken = e.text.find(", send failed") != std::string::npos;
      step.line = i + 2;
      steps_.push_back(std::move(step));
    } else if (e.kind == trace_kind::reply || e.kind == trace_kind::go_ahead ||
               e.kind == trace_kind::status) {
      if (current) {
        current->output += e.text;
      }
    } else if (e.kind == trace_kind::control_message) {
      if (current) {
        current->control_output += e.text;
      }
    } else if (e.kind == trace_kind::lost) {
      if (current && current->end == replay_step::ending::answer) {
        current->end = ending_for(e.text);
      }
    } else if (e.kind == trace_kind::open) {
      last_attempt = e.time;
      if (!seen_attempt) {
        first_attempt_open = seen_attempt = true;
      }
    } else if (e.kind == trace_kind::open_failed) {
      if (first_attempt_open) {
        reachable_ = false;
      }
      first_attempt_open = false;
      if (rebooted != kNone) {
        last_refusal = e.time;
      }
    } else if (e.kind == trace_kind::control) {
      first_attempt_open = false;
      if (rebooted != kNone) {
        steps_[rebooted].back_after =
            std::max(0.0, (last_refusal + last_attempt) / 2 - reboot_time);
        rebooted = kNone;
      }
    }
  }
  return true;
}

size_t replay_script::command_count() const {
  return static_cast<size_t>(std::count_if(steps_.begin(), steps_.end(), [](const replay_step &s) {
    return s.what == replay_step::expect::command;
  }));
}

void replay_script::took(const replay_step &step) {
  ++next_;
  back_after_ = step.back_after;
  const std::string &out = step.output;
  if (out.size() >= 2 && (out.back() == '$' || out.back() == '>')) {
    prompt_ = out.substr(out.size() - 2);
  }
}

const replay_step *replay_script::take_command(std::string_view line, std::string &divergence) {
  if (diverged_) {
    return nullptr;
  }
  ++commands_taken_;
  if (next_ < steps_.size() && steps_[next_].what == replay_step::expect::command &&
      steps_[next_].command == line) {
    took(steps_[next_]);
    return &steps_[next_ - 1];
  }
  diverged_ = true;
  std::string expected = "the end of the trace";
  if (next_ < steps_.size()) {
    const replay_step &s = steps_[next_];
    expected = s.what == replay_step::expect::command ? quoted(s.command) : "download data";
    expected += " (trace line " + std::to_string(s.line) + ")";
  }
  divergence = "at command " + std::to_string(commands_taken_) + ": expected " + expected +
               ", received " + quoted(line);
  return nullptr;
}

const replay_step *replay_script::expected_stream() const {
  if (diverged_ || next_ >= steps_.size() || steps_[next_].what != replay_step::expect::stream) {
    return nullptr;
  }
  return &steps_[next_];
}

const replay_step *replay_script::take_stream() {
  const replay_step *step = expected_stream();
  if (step) {
    took(*step);
  }
  return step;
}

void replay_script::diverge_in_stream(const replay_step &step, unsigned long long received,
                                      std::string &divergence) {
  diverged_ = true;
  divergence = "in the download after command " + std::to_string(commands_taken_) + ": expected " +
               std::to_string(step.stream_bytes) + " bytes (trace line " +
               std::to_string(step.line) + "), received " + std::to_string(received);
}

// A client that could send only part of its data got that far because the
// target had stopped reading about one piece earlier; a client that sent it
// all and only then lost the connection had it broken after the whole stream.
unsigned long long replay_script::stream_stop(const replay_step &step) {
  if (step.end == replay_step::ending::answer || step.end == replay_step::ending::hangup) {
    return step.stream_bytes;
  }
  if (!step.stream_broken) {
    return step.stream_bytes;
  }
  return step.stream_bytes > CLIENT_PIECE ? step.stream_bytes - CLIENT_PIECE : 0;
}
