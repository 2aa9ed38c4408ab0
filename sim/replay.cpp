#include "replay.h"

#include "interpreter.h"
#include "words.h"

namespace {

constexpr std::string_view MARKER = "mac lockinfo={echo \"user: ";

// The text between `key` and the next double quote, from `from` on.
size_t value_at(std::string_view line, std::string_view key, size_t &end) {
  size_t at = line.find(key);
  if (at == std::string_view::npos) {
    return at;
  }
  at += key.size();
  end = line.find('"', at);
  return end == std::string_view::npos ? end : at;
}

}  // namespace

bool replay_is_reboot(std::string_view line) {
  for (const std::string &command : split_commands(line)) {
    if (is_reboot_command(command)) {
      return true;
    }
  }
  return false;
}

std::string replay_shape(std::string_view line) {
  std::string shape(line);
  if (!starts_with(line, MARKER)) {
    return shape;
  }
  for (std::string_view key : {"host name: ", "user: "}) {
    size_t end = 0;
    size_t at = value_at(shape, key, end);
    if (at != std::string::npos) {
      shape.replace(at, end - at, "*");
    }
  }
  return shape;
}

bool replay_script::read_one(trace_record &event, std::string &error) {
  if (!std::getline(in_, raw_)) {
    return false;
  }
  if (in_.eof()) {
    error = "cut off: line " + std::to_string(next_line_ + ahead_.size()) + " has no line end";
    return false;
  }
  return trace_parse_line(raw_, event, error);
}

bool replay_script::load(const std::string &path, std::string &error) {
  in_.open(path, std::ios::binary);
  if (!in_) {
    error = "cannot read it";
    return false;
  }
  trace_record first;
  std::string why;
  if (!std::getline(in_, raw_)) {
    error = "not a trace (empty file)";
    return false;
  }
  if (in_.eof() || !trace_parse_line(raw_, first, why) ||
      !trace_parse_header(first, header_, error)) {
    if (error.empty()) {
      error = "not a trace (no header line)";
    }
    return false;
  }
  if (header_.program != "romupdate") {
    error = "it was written by " + header_.program +
            ", not by romupdate (replay needs the trace that "
            "ROMUPDATE_TRACE asks romupdate for)";
    return false;
  }
  std::streampos events = in_.tellg();

  // The first pass: checks every line, and notes the attempts.
  trace_record e;
  size_t line = 1;
  unsigned lost_session = 0;
  unsigned probe = 0;  // commands seen in the latest connection
  double previous = 0;
  while (in_.peek() != std::char_traits<char>::eof()) {
    ++line;
    if (!read_one(e, why)) {
      error = why.rfind("cut off", 0) == 0
                  ? "cut off: line " + std::to_string(line) + " has no line end"
                  : "line " + std::to_string(line) + ": " + why;
      return false;
    }
    if (e.kind == trace_kind::command) {
      ++commands_;
      if (user_.empty() && starts_with(e.text, MARKER)) {
        size_t end = 0, at = value_at(e.text, "user: ", end);
        if (at != std::string::npos) {
          user_ = e.text.substr(at, end - at);
        }
        at = value_at(e.text, "host name: ", end);
        if (at != std::string::npos) {
          host_ = e.text.substr(at, end - at);
        }
      }
    } else if (e.kind == trace_kind::open) {
      attempts_.push_back({e.session, replay_attempt::outcome::none, e.time - previous, false});
      probe = 0;
    } else if (!attempts_.empty() && attempts_.back().session == e.session &&
               attempts_.back().result == replay_attempt::outcome::none) {
      if (e.kind == trace_kind::control) {
        attempts_.back().result = replay_attempt::outcome::connected;
      } else if (e.kind == trace_kind::open_failed &&
                 starts_with(e.text, "command port connect failed")) {
        attempts_.back().result = replay_attempt::outcome::command_refused;
      } else if (e.kind == trace_kind::open_failed &&
                 starts_with(e.text, "control port connected failed")) {
        attempts_.back().result = replay_attempt::outcome::control_refused;
      }
    }
    // The reply to the first command of a connection: the lock probe.
    if (!attempts_.empty() && attempts_.back().session == e.session &&
        attempts_.back().result == replay_attempt::outcome::connected) {
      probe += e.kind == trace_kind::command;
      if (probe == 1 && e.kind == trace_kind::reply && !e.text.empty() && e.text.back() == '\n' &&
          e.text.front() != '!') {
        attempts_.back().locked = true;
      }
    }
    previous = e.time;
    if (e.kind == trace_kind::lost) {
      lost_session = e.session;
    } else if (!dead_send_line_ && lost_session == e.session &&
               (e.kind == trace_kind::command || e.kind == trace_kind::unsent)) {
      dead_send_line_ = line;
    }
    if (e.kind == trace_kind::data && !broken_line_ &&
        e.text.find(", send failed") != std::string::npos) {
      broken_line_ = line;
    }
  }
  in_.clear();
  in_.seekg(events);
  return true;
}

const trace_record *replay_script::peek(size_t ahead) {
  while (ahead_.size() <= ahead) {
    trace_record e;
    std::string why;
    if (!read_one(e, why)) {
      return nullptr;
    }
    ahead_.push_back(std::move(e));
  }
  return &ahead_[ahead];
}

size_t replay_script::line(size_t ahead) { return next_line_ + ahead; }

void replay_script::take() {
  if (peek()) {
    ahead_.pop_front();
    ++next_line_;
  }
}
