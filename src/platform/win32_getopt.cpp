// Option parsing for the Windows build.  The runtime library has no getopt
// of its own that reads "/" options the way the operator of a console
// program types them, so the program carries one: the classic parser with
// "/" accepted wherever "-" is.
#include "platform/win32_platform.h"

#include <cstring>
#include <io.h>

namespace win32 {

int optind = 1;
int optpos = 1;
int optopt;
char *optarg;
int opterr = 0;

namespace {

bool is_option_lead(char c) { return c == '-' || c == '/'; }

// Three unbuffered writes straight to the standard error handle, so that a
// diagnostic never waits in a stream buffer behind the usage text.
void complain(const char *program, const char *message, char c) {
  if (!opterr) {
    return;
  }
  _write(2, program, static_cast<unsigned>(strlen(program)));
  _write(2, message, static_cast<unsigned>(strlen(message)));
  const char tail[2] = {c, '\n'};
  _write(2, tail, 2);
}

}  // namespace

int getopt(int argc, char *const argv[], const char *optstring) {
  // A position left inside an argument that is no longer there (the caller
  // reset optind alone) starts over at the argument's beginning.
  if (optpos != 1 && (optpos < 1 || optind >= argc || argv[optind] == nullptr ||
                      strlen(argv[optind]) <= static_cast<size_t>(optpos))) {
    optpos = 1;
  }
  if (optpos == 1) {
    if (optind >= argc || argv[optind] == nullptr) {
      return -1;
    }
    const char *arg = argv[optind];
    // The first operand ends the options and is left for the caller; so do
    // "-" and "/" alone, which name standard input or a root, not options.
    if (!is_option_lead(arg[0]) || arg[1] == '\0') {
      return -1;
    }
    if (strcmp(arg, "--") == 0) {
      optind++;
      return -1;
    }
  }

  char *arg = argv[optind];
  int c = static_cast<unsigned char>(arg[optpos]);
  optopt = c;
  const char *entry = c == ':' ? nullptr : strchr(optstring, c);
  if (entry == nullptr) {
    complain(argv[0], ": illegal option -- ", static_cast<char>(c));
    if (arg[++optpos] == '\0') {
      optind++;
      optpos = 1;
    }
    return '?';
  }

  if (entry[1] == ':') {
    if (arg[optpos + 1] != '\0') {
      optarg = &arg[optpos + 1];
      optind++;
    } else if (++optind >= argc) {
      complain(argv[0], ": option requires an argument -- ", static_cast<char>(c));
      optpos = 1;
      return '?';
    } else {
      optarg = argv[optind++];
    }
    optpos = 1;
    return c;
  }

  if (arg[++optpos] == '\0') {
    optpos = 1;
    optind++;
  }
  optarg = nullptr;
  return c;
}

}  // namespace win32

int plat_getopt(int argc, char *const argv[], const char *optstring) {
  return win32::getopt(argc, argv, optstring);
}

int plat_optind() { return win32::optind; }
