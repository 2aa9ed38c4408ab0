// romupdate-inventory: what runs where in a lab, without changing anything.
// For each address it tells whether the instrument answers, who holds its
// lock, its class and the firmware revision its "ver" reports, and with
// --product whether the product's entries apply to that class and whether
// the system firmware is as new as their genrev.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "products.h"
#include "query.h"
#include "report.h"
#include "romupdate_version.h"
#include "run_state.h"
#include "gtw/visible.h"
#include "platform/platform.h"

namespace {

const char *const program = "romupdate-inventory";

constexpr int EXIT_ALL_ANSWERED = 0;
constexpr int EXIT_SOME_SILENT = 1;
constexpr int EXIT_BAD_USAGE = 2;

void usage(FILE *out) {
  fprintf(out,
          "Usage: %s [--tsv] [--product NAME]... ADDRESS...\n"
          "Tells for each target (IPv4 address or host name) whether it answers,\n"
          "who holds its lock, its class and the firmware revision \"ver\" reports.\n"
          "Changes nothing on a target: no reboot, no programming, a lock of\n"
          "someone else's left alone.\n"
          "  --product NAME  also tell whether the product NAME (a configuration\n"
          "                  file, found as romupdate finds it) applies to the\n"
          "                  target's class and whether its system firmware meets\n"
          "                  the product's genrev; may be repeated\n"
          "  --tsv           tab-separated values with a header line, for scripts\n"
          "  --help          this text\n"
          "  --version       the version of %s\n"
          "Exit status: 0 every target answered; 1 one or more did not; 2 a usage\n"
          "error (a product that cannot be read included).\n",
          program, program);
}

int bad_usage(const std::string &why) {
  fprintf(stderr, "%s: %s (see --help)\n", program, why.c_str());
  return EXIT_BAD_USAGE;
}

}  // namespace

int main(int argc, char **argv) {
  // A reader of the table that quits must not end the tool in the middle
  // of a query, with the target's LAN lock still taken.
  plat_ignore_output_signals();
  program_name = program;
  bool tsv = false;
  std::vector<std::string> product_names;
  std::vector<const char *> addresses;
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
    } else if (!options_done && arg == "--tsv") {
      tsv = true;
    } else if (!options_done && arg == "--product") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        return bad_usage("--product needs a NAME");
      }
      product_names.emplace_back(argv[++i]);
    } else if (!options_done && arg.substr(0, 10) == "--product=") {
      if (arg.size() == 10) {
        return bad_usage("--product needs a NAME");
      }
      product_names.emplace_back(arg.substr(10));
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      return bad_usage("unknown option '" + visible_text(arg) + "'");
    } else if (arg.empty()) {
      return bad_usage("empty ADDRESS");
    } else {
      addresses.push_back(argv[i]);
    }
  }
  if (addresses.empty()) {
    return bad_usage("no ADDRESS");
  }

  // Every product is read before any target is contacted, so that a wrong
  // name costs no connection.
  std::vector<product_entries> products = read_products(product_names, EXIT_BAD_USAGE);
  install_query_interrupts();

  std::vector<instrument_report> reports;
  int status = EXIT_ALL_ANSWERED;
  for (const char *address : addresses) {
    instrument_report report = query_instrument(address);
    for (const std::string &reason : report.reasons) {
      fprintf(stderr, "%s: %s: %s\n", program, visible_text(address).c_str(),
              visible_text(reason).c_str());
    }
    if (report.reachable != instrument_report::reach::yes) {
      fprintf(stderr, "%s: %s: %s\n", program, visible_text(address).c_str(),
              report.reachable == instrument_report::reach::no
                  ? "target not reached"
                  : "the connection failed during the query");
      status = EXIT_SOME_SILENT;
    }
    reports.push_back(std::move(report));
  }

  auto rows = inventory_rows(reports, products);
  if (tsv) {
    print_tsv(stdout, rows);
  } else {
    print_table(stdout, rows);
  }
  if (fflush(stdout) != 0) {
    return EXIT_SOME_SILENT;
  }
  return status;
}
