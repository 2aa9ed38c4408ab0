// Line routines for replies whose content the driver keeps.
#include <cstring>
#include <string_view>

#include "config/scan.h"
#include "driver/romupdate.h"

// The reply's leading hexadecimal number; the last line that has one wins.
void hex_reply_line(const char *line, void *arg) {
  auto *number = static_cast<reply_number *>(arg);
  if (scan_hex32(line, &number->value)) {
    number->seen = true;
  }
}

// The second blank- or tab-separated field, in hexadecimal ("0a6e  7b3f").
void second_token_reply_line(const char *line, void *arg) {
  auto *number = static_cast<reply_number *>(arg);
  std::string_view rest(line);
  const char *const seps = " \t";

  size_t first = rest.find_first_not_of(seps);
  if (first == std::string_view::npos) {
    return;
  }
  rest.remove_prefix(first);
  size_t end = rest.find_first_of(seps);
  if (end == std::string_view::npos) {
    return;
  }
  rest.remove_prefix(end);
  size_t second = rest.find_first_not_of(seps);
  if (second == std::string_view::npos) {
    return;
  }
  rest.remove_prefix(second);
  rest = rest.substr(0, rest.find_first_of(seps));

  if (scan_strtol16(rest, &number->value)) {
    number->seen = true;
  }
}
