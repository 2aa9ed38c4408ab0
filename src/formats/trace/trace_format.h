// The trace format: the record that romupdate writes of a run
// (ROMUPDATE_TRACE) and the transcript that romupdate-sim writes of what it
// received (--log).  One format, read back by romupdate-sim --replay.
//
// One line per event, written and flushed as the event happens, four fields
// separated by tabs, ended by a line feed:
//
//   SESSION \t TIME \t KIND \t TEXT \n
//
// SESSION  romupdate: the number of the connection attempt (1, 2, ... in the
//          order of the attempts).  romupdate-sim: the number of the
//          command connection in the order the target accepted them.  0
//          when no connection applies.
// TIME     seconds since the writer started, with three decimals.
// KIND     what happened, and which side sent it (table below).
// TEXT     the event's text.  Bytes below 0x20 (tab included), 0x7F and
//          above are written as \xHH (two upper-case hex digits), and so is
//          a backslash that stands in front of an "x"; every other byte,
//          backslash included, stands as it is.  So a line always has four
//          fields, and the text reads back byte for byte.
//
// The first line is the header, kind "trace":
//
//   0 \t 0.000 \t trace \t format=2 program=NAME version=V platform=P start=YYYY-MM-DDTHH:MM:SSZ
//
// A reader refuses a file whose first line is not a header, a format number
// higher than its own, and a last line without its line feed (a cut-off
// file).  Kinds it does not know are skipped, so that later versions may add
// some within the same format number.
//
// Kinds (sender: P romupdate, T the target, - neither):
//   trace   -  the header
//   open    -  romupdate: a connection attempt; TEXT the host as given
//   ctl     P  the six opening bytes on the control connection, as ADDR:PORT
//              (the local end of the command connection)
//   openfail - romupdate: the attempt failed; TEXT the reason it queued
//   cmd     P  one command line as sent, without its line end (romupdate-sim:
//              as received, without "\n" or "\r\n")
//   unsent  P  romupdate: a command line whose send failed, so that the
//              target did not get it whole; written instead of "cmd"
//   reply   T  bytes received on the command connection, split after each
//              line feed: the reply lines, "!" message lines and prompt
//   ctlmsg  T  bytes received on the control connection
//   go      T  the go-ahead byte of a download
//   data    P  romupdate: "N bytes of PATH" streamed after the go-ahead (the
//              records and the two closing zero bytes; never their
//              content), with ", send failed" when the stream broke off.
//              romupdate-sim: "N bytes, R records, status S", "dropped after
//              N bytes" or "client closed after N bytes"
//   status  T  the status byte of a download (and the byte that follows a
//              status other than 1)
//   lost    -  romupdate: the command connection ended under it: "closed by
//              target", "error on recv: TEXT" or "error on send: TEXT"
//   close   -  romupdate closes the connection: "release" or "no release"
//   omitted -  romupdate: the target's text went on past the trace's bound;
//              TEXT "N further lines from the target were left out"; the
//              flood's last line (as a rule the prompt) follows it
//   sleep   -  romupdate waits; TEXT the seconds
//   exit    -  romupdate ends; TEXT the exit status
//   reboot  -  romupdate-sim: "init -r" or "init -p" rebooted the target
//   drop    -  romupdate-sim: the target dropped the session (--close-at)
//   diverge -  romupdate-sim --replay: the client sent what the trace does
//              not have at that point
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int TRACE_FORMAT = 2;
// The largest TIME a reader takes (about 31 years).
inline constexpr double TRACE_MAX_SECONDS = 1e9;

namespace trace_kind {
inline constexpr const char *header = "trace";
inline constexpr const char *open = "open";
inline constexpr const char *control = "ctl";
inline constexpr const char *open_failed = "openfail";
inline constexpr const char *command = "cmd";
inline constexpr const char *unsent = "unsent";
inline constexpr const char *reply = "reply";
inline constexpr const char *control_message = "ctlmsg";
inline constexpr const char *go_ahead = "go";
inline constexpr const char *data = "data";
inline constexpr const char *status = "status";
inline constexpr const char *lost = "lost";
inline constexpr const char *close = "close";
inline constexpr const char *sleep = "sleep";
inline constexpr const char *exit = "exit";
inline constexpr const char *reboot = "reboot";
inline constexpr const char *drop = "drop";
inline constexpr const char *diverge = "diverge";
inline constexpr const char *omitted = "omitted";
}  // namespace trace_kind

// Escapes text[0..size) into out (room bytes, no terminator written) as far
// as whole escapes fit.  Returns the bytes written; *used is set to the
// bytes of text consumed.  The text is the whole rest of the event's text,
// so that a backslash is escaped by what really follows it, wherever out
// runs full.
size_t trace_escape_some(const char *text, size_t size, char *out, size_t room, size_t *used);

std::string trace_escape(std::string_view text);
// false when the text holds a broken escape.
bool trace_unescape(std::string_view text, std::string &out);

// Decimal digits of n (no terminator; at most 20 of them); returns the count.
size_t trace_put_unsigned(char *out, unsigned long n);

// The start of an event line up to its text: "SESSION\tS.mmm\tKIND\t".
// Returns the length written (cut at room - 1, always terminated).
size_t trace_line_start(char *out, size_t room, unsigned session, unsigned long millis,
                        const char *kind);

// The header's text.  Returns the length written (always terminated).
size_t trace_header_text(char *out, size_t room, const char *program, const char *version,
                         const char *platform, std::time_t start);

struct trace_record {
  unsigned session = 0;
  double time = 0;
  std::string kind;
  std::string text;  // unescaped
};

struct trace_header {
  int format = 0;
  std::string program, version, platform, start;
};

// One line without its line feed.  false with `error` set when it is not an
// event line.
bool trace_parse_line(std::string_view line, trace_record &event, std::string &error);
// The header line's fields.  false with `error` set when it is not a
// header, or one of a newer format.
bool trace_parse_header(const trace_record &first, trace_header &header, std::string &error);
// Reads a whole trace.  false with `error` set when it is not a trace, is
// cut off, or comes from a newer format.
bool trace_parse(std::string_view contents, trace_header &header, std::vector<trace_record> &events,
                 std::string &error);
