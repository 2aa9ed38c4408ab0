// Sleeping for the Windows build: whole seconds measured on the calendar
// clock, the same clock the operator's watch agrees with.
#include "platform/win32_platform.h"

#include <ctime>
#include <windows.h>

namespace win32 {

// The wait ends at the first reading that is n seconds past the first one,
// so it lasts more than n - 1 and at most n seconds.  Between readings the
// thread yields for a few milliseconds instead of spinning on a core.
unsigned sleep(unsigned seconds) {
  if (seconds == 0) {
    return 0;
  }
  time_t start = time(nullptr);
  for (;;) {
    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
      return 0;  // no clock: do not wait forever
    }
    // A clock set back (by the operator or a time service) would stretch the
    // wait by the whole step; count again from the new reading instead.
    if (now < start) {
      start = now;
    }
    if (now - start >= static_cast<time_t>(seconds)) {
      return 0;
    }
    Sleep(10);
  }
}

}  // namespace win32

unsigned plat_sleep(unsigned seconds) { return win32::sleep(seconds); }
