// The transcript is a trace (format in formats/trace/trace_format.h) of what the
// target received and did.  Its kinds: cmd, ctl, data, reboot, drop and,
// when replaying, diverge.
#include "transcript.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "formats/trace/trace_format.h"
#include "romupdate_version.h"

transcript::transcript() : start_(std::chrono::steady_clock::now()) {}

transcript::~transcript() {
  if (file_) {
    std::fclose(file_);
  }
}

bool transcript::open(const std::string &path, std::string &error) {
  std::FILE *f = std::fopen(path.c_str(), "w");
  if (!f) {
    error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  if (file_) {
    std::fclose(file_);
  }
  file_ = f;
  char header[512];
  trace_header_text(header, sizeof header, "romupdate-sim", romupdate_version, "unix",
                    std::time(nullptr));
  event(0, trace_kind::header, header);
  return true;
}

std::string transcript::escape(std::string_view text) { return trace_escape(text); }

void transcript::event(unsigned session, std::string_view kind, std::string_view text) {
  if (!file_) {
    return;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::string escaped = escape(text);
  std::fprintf(file_, "%u\t%.3f\t%.*s\t%s\n", session, seconds, static_cast<int>(kind.size()),
               kind.data(), escaped.c_str());
  std::fflush(file_);
}
