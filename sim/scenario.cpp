#include "scenario.h"

#include "words.h"

scenario::scenario(const sim_options &options) : options_(options) {
  for (const command_count &c : options.close_at) {
    close_at_.push_back({c.command, c.nth});
  }
  for (const command_count &c : options.hang_at) {
    hang_at_.push_back({c.command, c.nth});
  }
  for (const command_reply &r : options.rejections) {
    rejections_.push_back({r.command, r.nth});
  }
}

bool scenario::counted_rule::fires(std::string_view text) {
  if (!starts_with(text, command)) {
    return false;
  }
  ++seen;
  return nth == 0 || seen == nth;
}

scenario::verdict scenario::count_command(std::string_view command) {
  // Every rule counts every command it matches, even when another rule
  // fires on it, so that each rule's count means what its option says.
  bool close = false, hang = false;
  for (counted_rule &r : close_at_) {
    close = r.fires(command) || close;
  }
  for (counted_rule &r : hang_at_) {
    hang = r.fires(command) || hang;
  }
  if (close) {
    return verdict::close;
  }
  if (hang) {
    return verdict::hang;
  }
  return verdict::answer;
}

std::string scenario::reply_lines(std::string_view command) const {
  std::string out;
  for (const command_text &m : options_.messages) {
    if (starts_with(command, m.command)) {
      out += m.text + "\r\n";
    }
  }
  return out;
}

std::string scenario::control_lines(std::string_view command) const {
  std::string out;
  for (const command_text &m : options_.control_messages) {
    if (starts_with(command, m.command)) {
      out += m.text + "\r\n";
    }
  }
  return out;
}

std::optional<std::string> scenario::rejection(std::string_view command) {
  std::optional<std::string> text;
  for (size_t i = 0; i < rejections_.size(); ++i) {
    if (rejections_[i].fires(command) && !text) {
      text = options_.rejections[i].text + "\r\n";
    }
  }
  return text;
}

unsigned long scenario::flood_lines(std::string_view command) const {
  unsigned long n = 0;
  for (const command_number &f : options_.floods) {
    if (starts_with(command, f.command)) {
      n += f.number;
    }
  }
  return n;
}

// The rule for this very download wins over a rule for every download; among
// equals the last one given wins.
std::optional<unsigned long> scenario::pick(const std::vector<download_value> &rules,
                                            unsigned long download) {
  std::optional<unsigned long> every, this_one;
  for (const download_value &r : rules) {
    if (r.nth == 0) {
      every = r.value;
    } else if (r.nth == download) {
      this_one = r.value;
    }
  }
  return this_one ? this_one : every;
}

std::optional<uint8_t> scenario::forced_status(unsigned long download) const {
  auto v = pick(options_.download_status, download);
  if (!v) {
    return std::nullopt;
  }
  return static_cast<uint8_t>(*v);
}

std::optional<unsigned long> scenario::drop_after(unsigned long download) const {
  return pick(options_.download_drop_after, download);
}

std::string scenario::download_lines() const {
  std::string out;
  for (const std::string &m : options_.download_messages) {
    out += m + "\r\n";
  }
  return out;
}
