// Transcript format.  One line per event, written and flushed as the event
// happens, four fields separated by tabs:
//
//   SESSION \t TIME \t KIND \t TEXT \n
//
// SESSION  the session number: command connections are numbered 1, 2, ... in
//          the order the target accepted them; 0 when no session applies (a
//          control connection that matched no command connection).
// TIME     seconds since the simulator started, with three decimals.
// KIND and TEXT:
//   cmd     one received command line exactly as received, without its line
//           end ("\n" or "\r\n"): the whole line, before it is split at ";".
//   ctl     the six opening bytes of a control connection, as ADDR:PORT
//           (dotted decimal and decimal), the local end of the client's
//           command connection.
//   data    a download: "N bytes, R records, status S" (N data bytes, R
//           records, S the status byte sent), or "dropped after N bytes"
//           when the target dropped the connection N bytes into the record
//           stream (--download-drop-after, a reboot), or "client closed
//           after N bytes" when the client went away in the middle.
//   reboot  "init -r" or "init -p": the target dropped every connection.
//   drop    the target closed the session (--close-at); TEXT is the command.
//
// Bytes of TEXT below 0x20 (tab included), 0x7F and above 0x7F are written as
// \xHH, so that a line always has exactly four fields; every other byte,
// backslash included, stands as received.
#include "transcript.h"

#include <cerrno>
#include <cstring>

transcript::transcript() : start_(std::chrono::steady_clock::now()) {}

transcript::~transcript() {
  if (file_) std::fclose(file_);
}

bool transcript::open(const std::string &path, std::string &error) {
  std::FILE *f = std::fopen(path.c_str(), "w");
  if (!f) {
    error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  if (file_) std::fclose(file_);
  file_ = f;
  return true;
}

std::string transcript::escape(std::string_view text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c >= 0x7F) {
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

void transcript::event(unsigned session, std::string_view kind, std::string_view text) {
  if (!file_) return;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::string escaped = escape(text);
  std::fprintf(file_, "%u\t%.3f\t%.*s\t%s\n", session, seconds, static_cast<int>(kind.size()), kind.data(),
               escaped.c_str());
  std::fflush(file_);
}
