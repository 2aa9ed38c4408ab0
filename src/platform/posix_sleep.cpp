// Sleeping for the Unix build: the system's sleep.
#include "platform/platform.h"

#include <unistd.h>

unsigned plat_sleep(unsigned seconds) { return sleep(seconds); }
