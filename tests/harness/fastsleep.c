/* Test-only preload library: the program's waits are whole seconds (2
 * between reconnection attempts, 8 or 20 after the final reboot command).
 * The end-to-end tests load this library in front of the C library so that
 * each sleep is recorded and shortened; the program itself is unchanged.
 *
 * FASTSLEEP_LOG   file to which each requested number of seconds is appended
 * FASTSLEEP_MS    milliseconds actually slept per requested second (default 20)
 * FASTSLEEP_FIRST shell command run once, at the first sleep: a test changes
 *                 the world at a known point of the run (the first sleep is
 *                 the pause after the reboot command)
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

unsigned int sleep(unsigned int seconds) {
  static int first_done;
  const char *first = getenv("FASTSLEEP_FIRST");
  if (!first_done && first && *first) {
    first_done = 1;
    int status = system(first);
    (void)status;
  }
  const char *log = getenv("FASTSLEEP_LOG");
  if (log && *log) {
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      char line[32];
      int n = snprintf(line, sizeof line, "%u\n", seconds);
      if (n > 0) {
        ssize_t w = write(fd, line, (size_t)n);
        (void)w;
      }
      close(fd);
    }
  }
  long ms_per_second = 20;
  const char *ms = getenv("FASTSLEEP_MS");
  if (ms && *ms) {
    ms_per_second = strtol(ms, NULL, 10);
  }
  long total = ms_per_second * (long)seconds;
  struct timespec ts = {total / 1000, (total % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
  return 0;
}
