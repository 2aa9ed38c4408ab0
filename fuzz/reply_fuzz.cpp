// The command exchange's reading up to the prompt, over a byte stream that
// a target might send: any bytes, any line lengths, prompts anywhere, split
// anywhere, ending at any point.
//
// Input: one mode byte, then the stream.
//   bit 0  the bytes up to the first zero byte are passed as the input text
//          (worked through before anything is received); the rest comes
//          from the command socket
//   bit 1  a started connection: the next byte is the length of a stream for
//          the control connection, which follows it
//   bit 2  no line routine (reply lines are discarded)
//
// Every call must end (the stream always ends), every line handed to the
// line routine must be one a reply can hold, and in lock mode the lines,
// messages, result and status must be exactly those of a plain reading of
// the stream in the receive sizes the exchange uses.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bounds.h"
#include "fuzz_test_support.h"
#include "gtw/gtw.h"

namespace {

constexpr size_t kMaxLine = GTW_LINE_SIZE - 1;
constexpr size_t kReceiveSize = GTW_CHUNK_SIZE - 1;
// Queued texts carry no line end of their own.
const char kClosedText[] = "gtw_read_prompt: connection closed by target";

struct delivered {
  std::vector<std::string> lines;
};

void check_line(const char *line, void *arg) {
  size_t len = strlen(line);
  FUZZ_CHECK(len > 0);
  FUZZ_CHECK(len <= kMaxLine);
  FUZZ_CHECK(line[0] != '!');
  FUZZ_CHECK(strpbrk(line, "\r\n") == nullptr);
  static_cast<delivered *>(arg)->lines.emplace_back(line, len);
}

int message_result(std::string_view text) {
  if (text.find("ERROR") == std::string_view::npos) {
    return GTW_MESSAGES;
  }
  return GTW_MESSAGES | GTW_FAILED | (text[0] == '!' ? GTW_TARGET_ERROR : 0);
}

// A plain reading of the stream, chunk by chunk.
struct model {
  bool with_routine = true;
  std::string line;
  bool comment = false, message = false, done = false;
  char previous = '\0';
  char status = '\0';
  int result = 0;
  std::vector<std::string> lines, messages;

  static bool status_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '?' || c == '-';
  }

  void store(char c) {
    if (!comment && line.size() < kMaxLine) {
      line += c;
    }
  }

  void take(std::string_view chunk) {
    for (char c : chunk) {
      if (c == '\n' || c == '\r') {
        if (!line.empty()) {
          if (message) {
            messages.push_back(line);
            result |= message_result(line);
          } else if (with_routine) {
            lines.push_back(line);
          }
        }
        line.clear();
        message = comment = false;
      } else if (c == '#') {
        comment = true;
      } else if ((c == '$' || c == '>') && line.size() == 1 && status_char(previous)) {
        done = true;
        status = previous;
      } else if (c != '\0') {
        if (c == '!' && line.empty()) {
          message = true;
          result |= GTW_MESSAGES;
        }
        store(c);
      }
      previous = c;
    }
  }
};

bool is_prefix(const std::vector<std::string> &a, const std::vector<std::string> &b) {
  return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool known_failure_text(const std::string &m) {
  return m.rfind("gtw_read_prompt: ", 0) == 0 || m.rfind("gtw_read_message: ", 0) == 0 ||
         fuzz_is_dropped_line(m);
}

// What the queue holds of these messages: the oldest up to its count and
// size, then one line for the rest.
std::vector<std::string> as_queued(const std::vector<std::string> &messages) {
  std::vector<std::string> kept;
  size_t bytes = 0, dropped = 0;
  for (const std::string &m : messages) {
    if (dropped > 0 || kept.size() >= static_cast<size_t>(GTW_QUEUE_MAX_MESSAGES) ||
        bytes + m.size() > static_cast<size_t>(GTW_QUEUE_MAX_BYTES)) {
      dropped++;
      continue;
    }
    kept.push_back(m);
    bytes += m.size();
  }
  if (dropped > 0) {
    kept.push_back(std::to_string(dropped) + " further messages were dropped");
  }
  return kept;
}

// Without the line that counts dropped messages, for prefix comparisons.
std::vector<std::string> kept_only(std::vector<std::string> messages) {
  if (!messages.empty() && fuzz_is_dropped_line(messages.back())) {
    messages.pop_back();
  }
  return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const uint8_t mode = data[0];
  data++;
  size--;
  const bool use_input = mode & 1;
  const bool started = mode & 2;
  const bool with_routine = !(mode & 4);

  std::string input_text;
  if (use_input) {
    const void *nul = memchr(data, 0, size);
    size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - data) : size;
    input_text.assign(reinterpret_cast<const char *>(data), n);
    size_t skip = nul ? n + 1 : n;
    data += skip;
    size -= skip;
  }
  const uint8_t *control_data = nullptr;
  size_t control_size = 0;
  if (started && size > 0) {
    control_size = data[0] < size - 1 ? data[0] : size - 1;
    control_data = data + 1;
    data += 1 + control_size;
    size -= 1 + control_size;
  }

  fed_socket command(data, size);
  FUZZ_CHECK(command.ok());
  // In lock mode the exchange never reads the control connection; a socket
  // pair for it would only cost time.
  std::optional<fed_socket> control;
  if (started) {
    control.emplace(control_data, control_size);
    FUZZ_CHECK(control->ok());
  }
  gtw_conn conn;
  conn.command_socket = command.release();
  if (control) {
    conn.control_socket = control->release();
  }
  conn.started = started ? 1 : 0;
  conn_closer closer{&conn};

  char status_before;
  gtw_get_status(&status_before);

  delivered got;
  int result = gtw_read_prompt_input(&conn, with_routine ? check_line : nullptr, &got,
                                     use_input ? input_text.c_str() : nullptr);
  std::vector<std::string> messages = fuzz_take_messages();
  char status_after;
  gtw_get_status(&status_after);

  FUZZ_CHECK(result >= 0 && result <= (GTW_MESSAGES | GTW_FAILED | GTW_TARGET_ERROR));
  for (const std::string &m : messages) {
    FUZZ_CHECK(!m.empty());
    FUZZ_CHECK(m.size() <= kMaxLine);
    FUZZ_CHECK(m[0] == '!' || known_failure_text(m));
  }

  if (started) {
    // The interleaving of the two connections is the wait's business; only
    // the shape of what came out is fixed.
    return 0;
  }

  // Lock mode: the input text is the first chunk, then the socket's bytes in
  // receives of the exchange's size (or one receive of everything, as an
  // upper bound, when a writer thread sends them in its own rhythm).
  model m;
  m.with_routine = with_routine;
  std::vector<std::string_view> chunks;
  if (use_input) {
    chunks.emplace_back(input_text.data(), strlen(input_text.c_str()));
  }
  std::string_view stream(reinterpret_cast<const char *>(data), size);
  if (command.prefilled()) {
    for (size_t at = 0; at < stream.size(); at += kReceiveSize) {
      chunks.push_back(stream.substr(at, kReceiveSize));
    }
  } else if (!stream.empty()) {
    chunks.push_back(stream);
  }
  for (std::string_view chunk : chunks) {
    m.take(chunk);
    if (m.done) {
      break;
    }
  }
  if (!m.done) {
    // The stream ended before a prompt: the end is the result, and what was
    // gathered before gives way to it, but for an error the target reported.
    m.messages.emplace_back(kClosedText);
    m.result = (m.result & GTW_TARGET_ERROR) | message_result(kClosedText) | GTW_FAILED;
  }

  if (command.prefilled()) {
    FUZZ_CHECK(got.lines == m.lines);
    FUZZ_CHECK(messages == as_queued(m.messages));
    FUZZ_CHECK(result == m.result);
    FUZZ_CHECK(status_after == (m.done ? m.status : status_before));
  } else {
    FUZZ_CHECK(is_prefix(got.lines, m.lines));
    if (m.done) {
      FUZZ_CHECK(is_prefix(kept_only(messages), kept_only(as_queued(m.messages))));
    }
  }
  return 0;
}
