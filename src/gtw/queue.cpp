// The queue of the target's message lines: one first-in first-out list for
// the whole process, filled by the command exchange and the control reader
// and emptied by the driver when it reports a failed command.
//
// Every queued text is one line without a line end of its own: the printer
// adds it.  The queue is bounded whatever a target sends: it keeps the
// oldest messages up to a count and a size, and counts the rest, which come
// out as one line after the kept ones.
#include "gtw/gtw.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bounds.h"
#include "gtw/visible.h"

namespace {

gtw_message *head;  // oldest
gtw_message *tail;  // newest
size_t queued_count;
size_t queued_bytes;
// Messages left out since the queue last ran empty.  While any are, every
// new one is left out too, so that the kept ones are the oldest.
unsigned long dropped;

// Length of the text without the line ends that close it.
size_t line_length(const char *text) {
  size_t len = strlen(text);
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) {
    len--;
  }
  return len;
}

char *copy_text(const char *text, size_t len) {
  // The text is handed to the caller of gtw_get_message, who frees it with
  // free(), so it comes from malloc.
  auto *copy = static_cast<char *>(malloc(len + 1));
  if (!copy) {
    return nullptr;
  }
  memcpy(copy, text, len);
  copy[len] = '\0';
  return copy;
}

// The line that stands for the messages left out.
char *dropped_line() {
  char text[GTW_DROPPED_TEXT_SIZE];
  snprintf(text, sizeof text, "%lu further messages were dropped", dropped);
  dropped = 0;
  return copy_text(text, strlen(text));
}

}  // namespace

int gtw_add_message(const char *text) {
  // A message that reports an error fails the command it belongs to, kept
  // or not; when the target sent it, the command's result says so.
  int result = GTW_MESSAGES;
  if (strstr(text, "ERROR")) {
    result |= text[0] == '!' ? GTW_FAILED | GTW_TARGET_ERROR : GTW_FAILED;
  }
  size_t len = line_length(text);
  if (dropped > 0 || queued_count >= static_cast<size_t>(GTW_QUEUE_MAX_MESSAGES) ||
      queued_bytes + len > static_cast<size_t>(GTW_QUEUE_MAX_BYTES)) {
    dropped++;
    return result;
  }

  auto *record = new (std::nothrow) gtw_message{nullptr, nullptr};
  if (!record) {
    return GTW_FAILED;
  }
  record->text = copy_text(text, len);
  if (!record->text) {
    delete record;
    return GTW_FAILED;
  }

  if (tail) {
    tail->next = record;
  } else {
    head = record;
  }
  tail = record;
  queued_count++;
  queued_bytes += len;
  return result;
}

char *gtw_get_message() {
  gtw_message *record = head;
  if (!record) {
    if (dropped > 0) {
      return dropped_line();
    }
    return nullptr;
  }
  head = record->next;
  if (!head) {
    tail = nullptr;
  }
  char *text = record->text;
  delete record;
  queued_count--;
  queued_bytes -= strlen(text);
  return text;
}

void gtw_flush_messages() {
  while (char *text = gtw_get_message()) {
    free(text);
  }
  dropped = 0;
}

// A message may hold anything the target sent: its control bytes are shown,
// not obeyed by the operator's terminal.
void print_messages() {
  while (char *text = gtw_get_message()) {
    fprintf(stderr, "%s\n", visible_text(text).c_str());
    free(text);
  }
  fflush(stderr);
}
