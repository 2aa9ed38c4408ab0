// The control connection carries the target's message lines ("!" up to a
// line end) outside any command; they join the same queue as the message
// lines of the command replies.
#include "gtw/control.h"

#include <cstdio>
#include <cstring>

#include "bounds.h"
#include "gtw/trace.h"
#include "formats/trace/trace_format.h"

namespace {

// Compacts the zero bytes out of data[0..size), returns the new size.
size_t drop_zero_bytes(char *data, size_t size) {
  size_t kept = 0;
  for (size_t i = 0; i < size; i++) {
    if (data[i] != '\0') {
      data[kept++] = data[i];
    }
  }
  return kept;
}

// Offset of the first line end in text[from..end), or end when there is none.
size_t find_line_end(const char *text, size_t from, size_t end) {
  for (size_t i = from; i < end; i++) {
    if (text[i] == '\n' || text[i] == '\r') {
      return i;
    }
  }
  return end;
}

}  // namespace

int gtw_read_control(gtw_conn *conn, char *failure, size_t failure_size) {
  // An unfinished message is moved to the front and completed by the next
  // receive, so the buffer holds at most one message's worth of carry-over.
  char buffer[GTW_MESSAGE_SIZE];
  const size_t room = sizeof buffer - 1;
  size_t kept = 0;
  // A message that fills the whole buffer is queued cut short; the rest of
  // it, up to its line end, is dropped here rather than taken for text
  // outside a message.
  bool skipping = false;
  int result = 0;

  for (;;) {
    long received = plat_recv(conn->control_socket, buffer + kept, room - kept);
    if (received <= 0) {
      if (failure) {
        if (received == 0) {
          snprintf(failure, failure_size, "gtw_read_message: connection closed by target");
        } else {
          snprintf(failure, failure_size, "gtw_read_message: error on recv: %s",
                   plat_socket_error_text());
        }
      }
      return GTW_FAILED;  // what was queued so far stays queued
    }
    trace_bytes(trace_kind::control_message, buffer + kept, static_cast<size_t>(received));
    size_t end = kept + drop_zero_bytes(buffer + kept, static_cast<size_t>(received));
    buffer[end] = '\0';
    kept = 0;

    size_t pos = 0;
    if (skipping) {
      pos = find_line_end(buffer, 0, end);
      if (pos == end) {
        continue;  // still inside the overlong message
      }
      skipping = false;
    }

    for (;;) {
      const void *bang = memchr(buffer + pos, '!', end - pos);
      if (!bang) {
        return result;  // the rest is text outside a message
      }
      size_t start = static_cast<size_t>(static_cast<const char *>(bang) - buffer);
      size_t stop = find_line_end(buffer, start, end);
      if (stop < end) {
        buffer[stop] = '\0';
        result |= gtw_add_message(buffer + start);
        pos = stop + 1;
        continue;
      }
      // Unfinished: keep it and wait for its line end.
      kept = end - start;
      memmove(buffer, buffer + start, kept);
      if (kept == room) {
        buffer[kept] = '\0';
        result |= gtw_add_message(buffer);
        kept = 0;
        skipping = true;
      }
      break;
    }
  }
}

int gtw_read_message(gtw_conn *conn) { return gtw_read_control(conn, nullptr, 0); }
