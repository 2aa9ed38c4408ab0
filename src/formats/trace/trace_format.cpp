#include "formats/trace/trace_format.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char hex_digits[] = "0123456789ABCDEF";

bool needs_escape(unsigned char c, char next) {
  return c < 0x20 || c >= 0x7F || (c == '\\' && next == 'x');
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

}  // namespace

size_t trace_put_unsigned(char *out, unsigned long n) {
  char digits[24];
  size_t k = 0;
  do {
    digits[k++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n);
  for (size_t i = 0; i < k; i++) {
    out[i] = digits[k - 1 - i];
  }
  return k;
}

namespace {

// The value of KEY=VALUE in a blank-separated list, or empty.
std::string field_of(std::string_view text, std::string_view key) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(' ', pos);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    std::string_view item = text.substr(pos, end - pos);
    if (item.size() > key.size() && item.substr(0, key.size()) == key && item[key.size()] == '=') {
      return std::string(item.substr(key.size() + 1));
    }
    pos = end + 1;
  }
  return {};
}

}  // namespace

// No allocation and no stdio: the program's trace writer also runs from its
// interrupt routine.
size_t trace_escape_some(const char *text, size_t size, char *out, size_t room, size_t *used) {
  size_t written = 0, i = 0;
  for (; i < size; i++) {
    auto c = static_cast<unsigned char>(text[i]);
    char after = i + 1 < size ? text[i + 1] : '\0';
    if (needs_escape(c, after)) {
      if (room - written < 4) {
        break;
      }
      out[written++] = '\\';
      out[written++] = 'x';
      out[written++] = hex_digits[c >> 4];
      out[written++] = hex_digits[c & 15];
    } else {
      if (room - written < 1) {
        break;
      }
      out[written++] = static_cast<char>(c);
    }
  }
  *used = i;
  return written;
}

std::string trace_escape(std::string_view text) {
  std::string out;
  char buffer[256];
  size_t pos = 0;
  while (pos < text.size()) {
    size_t used = 0;
    size_t n =
        trace_escape_some(text.data() + pos, text.size() - pos, buffer, sizeof buffer, &used);
    out.append(buffer, n);
    pos += used;
  }
  return out;
}

bool trace_unescape(std::string_view text, std::string &out) {
  out.clear();
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'x') {
      if (i + 3 >= text.size() || hex_value(text[i + 2]) < 0 || hex_value(text[i + 3]) < 0) {
        return false;
      }
      out += static_cast<char>(hex_value(text[i + 2]) * 16 + hex_value(text[i + 3]));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return true;
}

size_t trace_line_start(char *out, size_t room, unsigned session, unsigned long millis,
                        const char *kind) {
  if (room == 0) {
    return 0;
  }
  size_t n = 0;
  auto put = [&](const char *text, size_t size) {
    for (size_t i = 0; i < size && n < room - 1; i++) {
      out[n++] = text[i];
    }
  };
  char digits[24];
  put(digits, trace_put_unsigned(digits, session));
  put("\t", 1);
  put(digits, trace_put_unsigned(digits, millis / 1000));
  const unsigned long fraction = millis % 1000;
  const char thousandths[] = {'.', static_cast<char>('0' + fraction / 100),
                              static_cast<char>('0' + fraction / 10 % 10),
                              static_cast<char>('0' + fraction % 10), '\t'};
  put(thousandths, sizeof thousandths);
  put(kind, strlen(kind));
  put("\t", 1);
  out[n] = '\0';
  return n;
}

size_t trace_header_text(char *out, size_t room, const char *program, const char *version,
                         const char *platform, std::time_t start) {
  char when[32] = "unknown";
  if (const std::tm *utc = std::gmtime(&start)) {
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", utc);
  }
  int n = snprintf(out, room, "format=%d program=%s version=%s platform=%s start=%s", TRACE_FORMAT,
                   program, version, platform, when);
  if (n < 0) {
    return 0;
  }
  return static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}

bool trace_parse_line(std::string_view line, trace_record &event, std::string &error) {
  size_t a = line.find('\t');
  size_t b = a == std::string_view::npos ? a : line.find('\t', a + 1);
  size_t c = b == std::string_view::npos ? b : line.find('\t', b + 1);
  if (c == std::string_view::npos || line.find('\t', c + 1) != std::string_view::npos) {
    error = "not four tab-separated fields";
    return false;
  }
  std::string session(line.substr(0, a)), time(line.substr(a + 1, b - a - 1));
  char *end = nullptr;
  unsigned long s = strtoul(session.c_str(), &end, 10);
  if (session.empty() || *end != '\0' || s > 0xFFFFFFFFul) {
    error = "bad session number '" + session + "'";
    return false;
  }
  double t = strtod(time.c_str(), &end);
  // A trace is input: a time that is no number of seconds a run could last
  // (nan, inf, 1e308) would overflow the pauses that a replay derives from
  // it.  The comparison is written so that nan fails it.
  if (time.empty() || *end != '\0' || !(t >= 0 && t <= TRACE_MAX_SECONDS)) {
    error = "bad time '" + time + "'";
    return false;
  }
  event.session = static_cast<unsigned>(s);
  event.time = t;
  event.kind = std::string(line.substr(b + 1, c - b - 1));
  if (event.kind.empty()) {
    error = "empty event kind";
    return false;
  }
  if (!trace_unescape(line.substr(c + 1), event.text)) {
    error = "broken \\x escape";
    return false;
  }
  return true;
}

bool trace_parse_header(const trace_record &first, trace_header &header, std::string &error) {
  header.format = atoi(field_of(first.text, "format").c_str());
  header.program = field_of(first.text, "program");
  header.version = field_of(first.text, "version");
  header.platform = field_of(first.text, "platform");
  header.start = field_of(first.text, "start");
  if (first.kind != trace_kind::header || header.format < 1 || header.program.empty()) {
    error = "not a trace (no header line)";
    return false;
  }
  if (header.format > TRACE_FORMAT) {
    error = "trace format " + std::to_string(header.format) +
            " is newer than this program reads (" + std::to_string(TRACE_FORMAT) + ")";
    return false;
  }
  return true;
}

bool trace_parse(std::string_view contents, trace_header &header, std::vector<trace_record> &events,
                 std::string &error) {
  events.clear();
  size_t pos = 0;
  unsigned number = 0;
  while (pos < contents.size()) {
    ++number;
    size_t end = contents.find('\n', pos);
    if (end == std::string_view::npos) {
      error = number == 1 ? "not a trace (no header line)"
                          : "cut off: line " + std::to_string(number) + " has no line end";
      return false;
    }
    trace_record event;
    std::string why;
    if (!trace_parse_line(contents.substr(pos, end - pos), event, why)) {
      error = number == 1 ? "not a trace (no header line)"
                          : "line " + std::to_string(number) + ": " + why;
      return false;
    }
    if (number == 1) {
      if (!trace_parse_header(event, header, error)) {
        return false;
      }
    } else {
      events.push_back(std::move(event));
    }
    pos = end + 1;
  }
  if (number == 0) {
    error = "not a trace (empty file)";
    return false;
  }
  return true;
}
