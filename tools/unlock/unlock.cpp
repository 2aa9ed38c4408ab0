// romupdate-unlock: clears the lock marker that an interrupted or killed
// romupdate leaves on a target.  A run that ends early on purpose leaves the
// connection alone, marker included, and from then on every run is refused
// as "locked by another user interface".
//
// The tool opens the connection the way romupdate does, runs the same lock
// probe, says who holds the lock, and removes the marker only when it names
// this user on this host, or on --force.  The probe and the removal are both
// bracketed by "lanlk -e" ... "lanlk -d", like romupdate's own.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "bounds.h"
#include "gtw/gtw.h"
#include "gtw/lock_clear.h"
#include "gtw/visible.h"
#include "romupdate_version.h"

namespace {

const char *const program = "romupdate-unlock";

constexpr int EXIT_FREE = 0;
constexpr int EXIT_LOCKED = 1;
constexpr int EXIT_BAD_USAGE = 2;

void usage(FILE *out) {
  fprintf(out,
          "Usage: %s [--force] ADDRESS\n"
          "Says who holds the lock of the target at ADDRESS (IPv4 address or host\n"
          "name) and removes the lock marker when it names this user on this host,\n"
          "as a romupdate run that was interrupted or killed leaves it.\n"
          "  --force    remove the lock marker whoever holds it\n"
          "  --help     this text\n"
          "  --version  the version of %s\n"
          "Exit status: 0 the target is free afterwards; 1 a lock was left in place\n"
          "or the target could not be reached; 2 a usage error.\n",
          program, program);
}

int bad_usage(const char *why) {
  fprintf(stderr, "%s: %s (see --help)\n", program, why);
  return EXIT_BAD_USAGE;
}

// Prints the reasons the connection layer queued, each with the program name.
// The target's own messages among them are shown, not obeyed, by the
// terminal.
void print_reasons() {
  while (char *text = gtw_get_message()) {
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) {
      n--;
    }
    fprintf(stderr, "%s: %s\n", program, visible_text(std::string_view(text, n)).c_str());
    free(text);
  }
}

// Ends the run on a connection that failed half-way.
int lost(const char *address) {
  gtw_close(&gtw, 0);
  fprintf(stderr, "%s: %s: the connection failed; the lock is as it was\n", program, address);
  return EXIT_LOCKED;
}

int unlock(const char *address, bool force) {
  if (gtw_connect(&gtw, address, GTW_OPEN_LOCK) != 0) {
    print_reasons();
    fprintf(stderr, "%s: %s: target not reached\n", program, address);
    return EXIT_LOCKED;
  }

  lock_clearing c = gtw_clear_lock(&gtw, force);
  if (!c.lines.empty()) {
    printf("%s is locked by %s\n", address, describe_holder(c.holder, c.lines).c_str());
    if (c.ours || force) {
      printf("removing the lock marker (%s)\n",
             c.ours ? "held by this user on this host" : "--force");
    }
    fflush(stdout);
  }
  print_reasons();
  switch (c.result) {
    case lock_clearing::outcome::free:
      gtw_close(&gtw, 0);
      printf("%s is not locked\n", address);
      return EXIT_FREE;
    case lock_clearing::outcome::left: {
      gtw_close(&gtw, 0);
      char host[GTW_HOSTNAME_SIZE];
      gtw_local_host(host, sizeof host);
      fprintf(stderr,
              "%s: lock left in place: it is not held by user %s on this host (%s); "
              "--force removes it\n",
              program, plat_text().user, host);
      return EXIT_LOCKED;
    }
    case lock_clearing::outcome::still_locked:
      gtw_close(&gtw, 0);
      fprintf(stderr, "%s: %s is still locked after the marker was removed\n", program, address);
      return EXIT_LOCKED;
    case lock_clearing::outcome::removed:
      gtw_close(&gtw, 0);
      printf("%s is free\n", address);
      return EXIT_FREE;
    case lock_clearing::outcome::lost:
      break;
  }
  return lost(address);
}

}  // namespace

int main(int argc, char **argv) {
  // A reader of the output that quits must not end the tool half-way
  // through the removal, with the target's LAN lock still taken.
  plat_ignore_output_signals();
  bool force = false;
  const char *address = nullptr;
  bool options_done = false;
  for (int i = 1; i < argc; i++) {
    std::string_view arg = argv[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--help" || arg == "-h")) {
      usage(stdout);
      return 0;
    } else if (!options_done && arg == "--version") {
      printf("%s %s\n", program, romupdate_version);
      return 0;
    } else if (!options_done && arg == "--force") {
      force = true;
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      return bad_usage(("unknown option '" + std::string(arg) + "'").c_str());
    } else if (address) {
      return bad_usage("one ADDRESS only");
    } else if (arg.empty()) {
      return bad_usage("empty ADDRESS");
    } else {
      address = argv[i];
    }
  }
  if (!address) {
    return bad_usage("no ADDRESS");
  }
  return unlock(address, force);
}
