// The control connection's message reader, over any byte stream a target
// might send: messages of any length, split anywhere, text between them,
// zero bytes, an unfinished message at the end.
//
// gtw_read_message is called the way the exchange calls it, whenever the
// control socket has something to read, until only the end of the stream is
// left.  What it queues does not depend on how the stream was cut into
// receives, so it must equal a plain reading of the whole stream: each "!"
// up to the next line end (zero bytes left out), cut to what a message can
// hold, text outside messages dropped, a short message that the end of the
// stream interrupts lost.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bounds.h"
#include "fuzz_test_support.h"
#include "gtw/gtw.h"

namespace {

constexpr size_t kMaxMessage = GTW_MESSAGE_SIZE - 1;

std::vector<std::string> expected_messages(std::string_view stream) {
  std::string text;
  for (char c : stream) {
    if (c != '\0') {
      text += c;
    }
  }
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    size_t bang = text.find('!', pos);
    if (bang == std::string::npos) {
      break;
    }
    size_t stop = text.find_first_of("\r\n", bang);
    size_t length = (stop == std::string::npos ? text.size() : stop) - bang;
    // A message that fills the buffer is queued cut short at once, whether
    // or not its line end ever comes; a shorter one that the end of the
    // stream interrupts is lost.
    if (length >= kMaxMessage) {
      out.push_back(text.substr(bang, kMaxMessage));
    } else if (stop != std::string::npos) {
      out.push_back(text.substr(bang, length));
    }
    if (stop == std::string::npos) {
      break;
    }
    pos = stop + 1;
  }
  return out;
}

// Whether the socket still holds data (as opposed to only the end of the
// stream).
bool has_data(int fd) {
  char c;
  ssize_t n;
  do {
    n = recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  FUZZ_CHECK(n >= 0);  // prefilled or written in full before the end: never "would block" for long
  return n > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The writer thread of a large input may not have sent everything when
  // the socket is peeked; keep to what is prefilled.
  if (size > fed_socket::kPrefillLimit) {
    return 0;
  }

  fed_socket control(data, size);
  FUZZ_CHECK(control.ok());
  // The reader uses the control socket only.
  gtw_conn conn;
  conn.control_socket = control.release();
  conn.started = 1;
  conn_closer closer{&conn};

  // The queue keeps the oldest messages of a call up to its bounds and
  // counts the rest in one last line; every message is either kept, in
  // order, or counted.
  std::string_view stream(reinterpret_cast<const char *>(data), size);
  const std::vector<std::string> expected = expected_messages(stream);
  std::vector<std::string> all;
  size_t next = 0;  // the first expected message not yet accounted for
  size_t calls = 0;
  while (has_data(conn.control_socket)) {
    // Every call consumes at least one byte.
    FUZZ_CHECK(++calls <= size);
    int result = gtw_read_message(&conn);
    std::vector<std::string> queued = fuzz_take_messages();
    bool error_text = false;
    for (size_t i = 0; i < queued.size(); ++i) {
      const std::string &m = queued[i];
      if (i + 1 == queued.size() && fuzz_is_dropped_line(m)) {
        // The count may take in the text that reports the end of the
        // stream, which comes last.
        size_t dropped = strtoul(m.c_str(), nullptr, 10);
        FUZZ_CHECK(dropped > 0 && next + dropped <= expected.size() + 1);
        size_t counted = std::min(next + dropped, expected.size());
        for (size_t k = next; k < counted; ++k) {
          error_text = error_text || expected[k].find("ERROR") != std::string::npos;
        }
        next = counted;
        all.push_back(m);
        continue;
      }
      FUZZ_CHECK(!m.empty() && m[0] == '!');
      FUZZ_CHECK(m.size() <= kMaxMessage);
      FUZZ_CHECK(m.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
      if (m.find("ERROR") != std::string::npos) {
        error_text = true;
      }
      if (next >= expected.size() || expected[next] != m) {
        fuzz_report_texts("queued", queued);
        fuzz_report_texts("expected", expected);
      }
      FUZZ_CHECK(next < expected.size() && expected[next] == m);
      ++next;
      all.push_back(m);
    }
    if (result == GTW_FAILED && !error_text) {
      // The end of the stream came inside the call; what it queued stays.
      FUZZ_CHECK(!has_data(conn.control_socket));
      break;
    }
    // The queued texts are the target's own "!" lines.
    FUZZ_CHECK(result == ((queued.empty() ? 0 : GTW_MESSAGES) |
                          (error_text ? GTW_FAILED | GTW_TARGET_ERROR : 0)) ||
               (result == GTW_FAILED && !has_data(conn.control_socket)));
  }
  // Only the end is left: a further call reports it and queues nothing.
  FUZZ_CHECK(gtw_read_message(&conn) == GTW_FAILED);
  FUZZ_CHECK(fuzz_take_messages().empty());

  if (next != expected.size()) {
    fuzz_report_texts("queued", all);
    fuzz_report_texts("expected", expected);
  }
  FUZZ_CHECK(next == expected.size());
  return 0;
}
