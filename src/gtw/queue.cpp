// The queue of the target's message lines: one first-in first-out list for
// the whole process, filled by the command exchange and the control reader
// and emptied by the driver when it reports a failed command.
#include "gtw/gtw.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

gtw_message *head;  // oldest
gtw_message *tail;  // newest

}  // namespace

int gtw_add_message(const char *text) {
  auto *record = new (std::nothrow) gtw_message{nullptr, nullptr};
  if (!record) return GTW_FAILED;
  // The text is handed to the caller of gtw_get_message, who frees it with
  // free(), so it comes from malloc.
  size_t len = strlen(text);
  record->text = static_cast<char *>(malloc(len + 1));
  if (!record->text) {
    delete record;
    return GTW_FAILED;
  }
  memcpy(record->text, text, len + 1);

  if (tail)
    tail->next = record;
  else
    head = record;
  tail = record;

  // A message that reports an error fails the command it belongs to.
  return strstr(text, "ERROR") ? (GTW_MESSAGES | GTW_FAILED) : GTW_MESSAGES;
}

char *gtw_get_message() {
  gtw_message *record = head;
  if (!record) return nullptr;
  head = record->next;
  if (!head) tail = nullptr;
  char *text = record->text;
  delete record;
  return text;
}

void gtw_flush_messages() {
  while (char *text = gtw_get_message()) free(text);
}

void print_messages() {
  while (char *text = gtw_get_message()) {
    fprintf(stderr, "%s\n", text);
    free(text);
  }
  fflush(stderr);
}
