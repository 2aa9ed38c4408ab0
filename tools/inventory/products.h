// The products an inventory is asked about: which of their entries an
// instrument of a given class would program, and whether its system
// firmware is as new as those entries' genrev.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"

struct product_entries {
  std::string name;  // as given on the command line
  bool lan = false;  // the 38126 LAN card, refused on a 38100B
  // The entries as an update reads them for a 38100B (quokka) and for any
  // other class: reading drops the entries whose ROM the board lacks.
  std::vector<product_config> for_quokka, for_others;
};

// Resolves and reads each product the way romupdate does (here, then in the
// installation's update directory), once per board kind.  A product that
// cannot be opened or read ends the process with the reader's message and
// exit status `usage_status`.
std::vector<product_entries> read_products(const std::vector<std::string> &names, int usage_status);

// What a product means for one instrument.
struct product_fit {
  bool applies = false;  // some entry survives the class rules of an update
  int genrev = -1;       // the highest genrev of those entries
};
product_fit fit_product(const product_entries &product, unsigned char yak, unsigned char quokka,
                        unsigned char marlin);

// The system firmware revision in a version text: the first word of the
// form A.MM.mm (major, minor; one or two digits each), as genrev is printed.
// -1 when no line has one.  The word is copied into *shown when found.
int revision_of(const std::vector<std::string> &version, std::string *shown);
// genrev printed as romupdate prints it: A.03.05 for 305.
std::string genrev_text(int genrev);
