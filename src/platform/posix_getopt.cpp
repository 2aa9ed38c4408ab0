// Option parsing for the Unix build: the system's getopt.
#include "platform/platform.h"

#include <cstdio>
#include <unistd.h>

int plat_getopt(int argc, char *const argv[], const char *optstring) {
  // glibc permutes arguments unless the option string begins with "+";
  // the options end at the first operand.
  char options[32];
  snprintf(options, sizeof options, "+%s", optstring);
  return getopt(argc, argv, options);
}

int plat_optind() { return optind; }
