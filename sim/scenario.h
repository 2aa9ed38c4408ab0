// The faults a run injects, with the counters that decide when they fire.
// The counters live as long as the simulator: a reboot does not reset them,
// so "the second pf -i" means the second one the simulator ever received.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

class scenario {
 public:
  explicit scenario(const sim_options &options);

  enum class verdict {
    answer,  // run the command as usual
    close,   // drop the session's connections without a reply
    hang,    // never answer this command or anything after it
  };
  // Counts one received command against the --close-at and --hang-at rules.
  verdict count_command(std::string_view command);

  // The --message lines the reply to `command` includes, each ended by
  // "\r\n".
  std::string reply_lines(std::string_view command) const;
  // The --control-message texts for `command`, each ended by "\r\n".
  std::string control_lines(std::string_view command) const;
  // Counts one command against the --reject rules: the text of the rule
  // that rejects it, ended by "\r\n".
  std::optional<std::string> rejection(std::string_view command);
  // The number of --message-flood lines the reply to `command` carries.
  unsigned long flood_lines(std::string_view command) const;

  // Numbers the next download (1, 2, ...).
  unsigned long start_download() { return ++downloads_; }
  std::optional<uint8_t> forced_status(unsigned long download) const;
  std::optional<unsigned long> drop_after(unsigned long download) const;
  // The --download-message lines, each ended by "\r\n".
  std::string download_lines() const;

 private:
  struct counted_rule {
    std::string command;
    unsigned long nth;  // 0: every one
    unsigned long seen = 0;
    // Counts `command` when the rule is about it; whether the rule fires.
    bool fires(std::string_view command);
  };
  static std::optional<unsigned long> pick(const std::vector<download_value> &rules,
                                           unsigned long download);

  const sim_options &options_;
  std::vector<counted_rule> close_at_;
  std::vector<counted_rule> hang_at_;
  std::vector<counted_rule> rejections_;  // one per --reject rule, in order
  unsigned long downloads_ = 0;
};
