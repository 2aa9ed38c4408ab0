// The simulator's transcript (--log): what the target received and did.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

class transcript {
 public:
  transcript();
  ~transcript();
  transcript(const transcript &) = delete;
  transcript &operator=(const transcript &) = delete;

  // Starts writing to `path` (truncated).  false with `error` set when the
  // file cannot be opened.  Without a file, events go nowhere.
  bool open(const std::string &path, std::string &error);

  // One event; session 0 stands for no session.
  void event(unsigned session, std::string_view kind, std::string_view text);

  // The text of an event as it stands in the file (control bytes escaped).
  static std::string escape(std::string_view text);

 private:
  std::FILE *file_ = nullptr;
  std::chrono::steady_clock::time_point start_;
};
