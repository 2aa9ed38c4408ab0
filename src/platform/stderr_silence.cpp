// Standard error sent to the null device for a while, the same way in both
// builds: the descriptor calls exist in the Windows runtime under their
// POSIX names.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"

int plat_silence_stderr() {
  fflush(stderr);
  int saved = dup(2);
  int null = open(plat_text().null_device, O_WRONLY);
  if (saved < 0 || null < 0 || dup2(null, 2) < 0) {
    if (null >= 0) {
      close(null);
    }
    if (saved >= 0) {
      close(saved);
    }
    return -1;
  }
  close(null);
  return saved;
}

void plat_restore_stderr(int saved) {
  if (saved < 0) {
    return;
  }
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
}
