// Reading the products named for an inventory, and fitting them to an
// instrument's class with the rules an update applies.
#include "products.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "driver/driver.h"
#include "driver/romupdate.h"
#include "platform/platform.h"

namespace {

// The reader ends the process through exit_romupdate on a file it cannot
// use.  While products are read no instrument is open, and such an end is
// the operator's mistake: the status becomes the usage status.
int reading_status = -1;

void end_as_usage_error() {
  if (reading_status >= 0) {
    std::_Exit(reading_status);
  }
}

std::vector<product_config> read_for_board(const std::string &name, unsigned char board_quokka,
                                           bool *lan) {
  programming_lan = 0;
  yak = marlin = 0;
  quokka = board_quokka;
  unsigned char local_flag = 0;
  FILE *file = nullptr;
  char *path = get_configname(name.c_str(), &local_flag, &file);
  *lan = programming_lan != 0;
  product_config table[MAX_CONFIG_ENTRIES] = {};
  int count = get_config_data(path, file, local_flag, table, 0);
  free(path);
  std::vector<product_config> entries;
  for (int i = 0; i < count && i < MAX_CONFIG_ENTRIES; i++) {
    // The nwire commands are never sent from here.
    for (int n = 0; n < table[i].nwirecmd_count; n++) {
      free(table[i].nwirecmd[n]);
      table[i].nwirecmd[n] = nullptr;
    }
    table[i].nwirecmd_count = 0;
    entries.push_back(table[i]);
  }
  programming_lan = 0;
  quokka = 0;
  return entries;
}

bool is_digits(std::string_view text) {
  if (text.empty() || text.size() > 2) {
    return false;
  }
  for (char c : text) {
    if (!isdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

// "A.03.10" at the start of `word` (which ends at a blank or the line end).
int revision_word(std::string_view word) {
  if (word.size() < 5 || word[0] != 'A' || word[1] != '.') {
    return -1;
  }
  size_t dot = word.find('.', 2);
  if (dot == std::string_view::npos) {
    return -1;
  }
  std::string_view major = word.substr(2, dot - 2), minor = word.substr(dot + 1);
  if (!is_digits(major) || !is_digits(minor)) {
    return -1;
  }
  return std::atoi(std::string(major).c_str()) * 100 + std::atoi(std::string(minor).c_str());
}

}  // namespace

std::vector<product_entries> read_products(const std::vector<std::string> &names,
                                           int usage_status) {
  std::vector<product_entries> products;
  if (names.empty()) {
    return products;
  }
  reading_status = usage_status;
  static bool registered = false;
  if (!registered) {
    atexit(end_as_usage_error);
    registered = true;
  }
  for (const std::string &name : names) {
    product_entries p;
    p.name = name;
    p.for_others = read_for_board(name, 0, &p.lan);
    // The same file again: any complaint about it has been made once.
    const int saved = plat_silence_stderr();
    p.for_quokka = read_for_board(name, 1, &p.lan);
    plat_restore_stderr(saved);
    products.push_back(std::move(p));
  }
  reading_status = -1;
  return products;
}

product_fit fit_product(const product_entries &product, unsigned char class_yak,
                        unsigned char class_quokka, unsigned char class_marlin) {
  product_fit fit;
  if (product.lan && class_quokka) {
    return fit;  // romupdate refuses the LAN card on a 38100B
  }
  const unsigned char saved[4] = {yak, quokka, marlin, bdm_flag};
  yak = class_yak;
  quokka = class_quokka;
  marlin = class_marlin;
  bdm_flag = 0;
  for (const product_config &e : class_quokka ? product.for_quokka : product.for_others) {
    if (class_excludes(e) == nullptr) {
      fit.applies = true;
      if (e.genrev > fit.genrev) {
        fit.genrev = e.genrev;
      }
    }
  }
  yak = saved[0];
  quokka = saved[1];
  marlin = saved[2];
  bdm_flag = saved[3];
  return fit;
}

int revision_of(const std::vector<std::string> &version, std::string *shown) {
  for (const std::string &line : version) {
    std::string_view rest = line;
    while (!rest.empty()) {
      size_t start = rest.find_first_not_of(" \t");
      if (start == std::string_view::npos) {
        break;
      }
      rest.remove_prefix(start);
      size_t end = rest.find_first_of(" \t");
      std::string_view word = rest.substr(0, end);
      // A revision may close a sentence or sit in brackets.
      while (!word.empty() && (word.back() == ',' || word.back() == '.' || word.back() == ')' ||
                               word.back() == ';')) {
        word.remove_suffix(1);
      }
      if (!word.empty() && word.front() == '(') {
        word.remove_prefix(1);
      }
      int revision = revision_word(word);
      if (revision >= 0) {
        *shown = std::string(word);
        return revision;
      }
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    }
  }
  return -1;
}

std::string genrev_text(int genrev) {
  char text[32];
  snprintf(text, sizeof text, "A.%02d.%02d", genrev / 100, genrev % 100);
  return text;
}
