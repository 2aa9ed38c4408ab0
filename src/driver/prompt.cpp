// Talking to the operator: the prompts and the usage text.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/romupdate.h"
#include "platform/platform.h"

namespace {

// End of input (or a broken input) at a prompt: nobody is there to answer,
// and asking again would never end.
[[noreturn]] void no_more_input() {
  fputs("\n", stdout);
  if (ferror(stdin)) {
    fail("Can't read standard input: %s\n", strerror(errno));
  }
  fail("End of input\n");
}

}  // namespace

char *prompt_line(const char *prompt) {
  const size_t size = static_cast<size_t>(std::min(plat_text().line_size, PROMPT_BUFFER_SIZE));
  char line[PROMPT_BUFFER_SIZE];
  size_t len = 0;
  bool got_any = false;

  fputs(prompt, stdout);
  fflush(stdout);
  for (;;) {
    errno = 0;
    int c = getc(stdin);
    if (c == EOF) {
      if (ferror(stdin) && errno == EINTR && !interrupted) {
        clearerr(stdin);
        continue;
      }
      break;
    }
    got_any = true;
    if (c == '\n') {
      break;
    }
    // A line longer than the buffer keeps its beginning; the rest, up to
    // its line end, is read and dropped so that it cannot answer the next
    // question.
    if (len < size - 1) {
      line[len++] = static_cast<char>(c);
    }
  }
  if (!got_any) {
    if (interrupted) {
      exit_romupdate(1);
    }
    no_more_input();
  }
  // An answer piped from a file with carriage-return line ends is the same
  // answer.
  if (len > 0 && line[len - 1] == '\r') {
    --len;
  }
  line[len] = '\0';

  char *copy = static_cast<char *>(malloc(len + 1));
  if (copy == nullptr) {
    fail("Memory allocation failed\n");
  }
  memcpy(copy, line, len + 1);
  return copy;
}

void print_usage() {
  const plat_texts &t = plat_text();
  printf("\nUsage: %s [-v] <ip address> [ <configfile> ]\n\n", program_name);
  fputs("    -v - verbose mode: enable lots of status messages\n\n", stdout);
  fputs("    <ip address> - lan ip address of XR processor probe or emulator\n", stdout);
  fputs(t.usage_line4, stdout);
  fputs("        e. g. T5806\n\n", stdout);
  fputs(t.usage_line6, stdout);
  printf("    If no <ip address> is given, %s will prompt\n", program_name);
  fputs("    for this address.\n\n", stdout);
  printf("    If no <configfile> is given, %s will prompt\n", program_name);
  fputs("    for <configfile> using menus.\n\n", stdout);
  fflush(stdout);
}
