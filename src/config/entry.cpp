// One configuration entry: its defaults, and the check that decides whether a
// finished entry is used for this target.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "config/config.h"
#include "config/flash_card.h"
#include "config/internal.h"
#include "run_state.h"

namespace {

product_config spare_entry;

// Boards whose window images have no place on a 38100B: an entry that names
// one of them in its control image is not for this target.
const char *const quokka_excluded_models[] = {
    "29415", "38206", "38218", "38223", "38231", "38235",
    "38239", "38244", "38252", "38260", "38267",
};

bool names_excluded_model(const char *binname) {
  for (const char *model : quokka_excluded_models) {
    if (strstr(binname, model)) {
      return true;
    }
  }
  return false;
}

// Control ROM locations that do not exist on this target's board.
bool applies_to_target(const product_config &e) {
  if (!quokka) {
    return true;
  }
  if (e.romstart == 0xB00000 || e.romstart == 0xA00000) {
    return false;
  }
  if (e.romstart == FLASH_CARD_WINDOW && names_excluded_model(e.binname)) {
    return false;
  }
  return true;
}

// An entry that will not be programmed gives its nwire commands back; its
// record is reused by the next entry.
void release_nwire_commands(product_config *e) {
  for (int i = 0; i < e->nwirecmd_count; i++) {
    free(e->nwirecmd[i]);
    e->nwirecmd[i] = nullptr;
  }
  e->nwirecmd_count = 0;
}

// The entry as it will be used, with progress messages on.
void print_config_entry(const product_config &e) {
  if (marlin) {
    say("System firmware revision required = A.%02d.%02d\n", static_cast<int>(e.genrev / 100),
        static_cast<int>(e.genrev % 100));
  }
  say("ROM identifier address = %lXH\n", static_cast<unsigned long>(e.romidentloc));
  say("Required hardware identifier = ");
  for (int i = 0; i < e.romident_count; i++) {
    say("%lXH%s", static_cast<unsigned long>(e.romident[i]),
        i + 1 < e.romident_count ? ", " : "\n");
  }
  say("Control ROM start address = %lXH\n", static_cast<unsigned long>(e.romstart));
  say("Control ROM size = %lXH\n", static_cast<unsigned long>(e.romsize));
  say("Control ROM width = %d\n", static_cast<int>(e.romwidth));
  if (programming_lan) {
    say("LAN ROM start address = %lXH\n", static_cast<unsigned long>(e.lan_romstart));
    say("LAN ROM size = %lXH\n", static_cast<unsigned long>(e.lan_romsize));
    say("LAN ROM width = %d\n", static_cast<int>(e.lan_romwidth));
  }
  say("Programming voltage control address = %lXH\n", static_cast<unsigned long>(e.vppctladdr));
  say("Programming voltage control value = %hXH\n", static_cast<unsigned short>(e.vppvalue));
  say("Programming voltage control mask = %hXH\n", static_cast<unsigned short>(e.vppmask));
}

}  // namespace

product_config *config_entry(product_config *table, int index) {
  return config_entry_is_spare(index) ? &spare_entry : &table[index];
}

void copy_config_text(char (&field)[CONFIG_TEXT_SIZE], const char *value) {
  snprintf(field, sizeof field, "%s", value ? value : "");
}

void init_config_entry(product_config *table, int index, const char *path,
                       unsigned char for_38100a) {
  product_config *e = config_entry(table, index);
  memset(e, 0, sizeof *e);
  copy_config_text(e->config_name, path);
  e->genrev = 300;
  e->romidentloc = programming_lan ? 0x97FFF0 : 0x2FFFF0;
  e->romident_count = 0;
  e->lan_romstart = 0x40000;
  e->romstart = programming_lan ? 0x900000 : 0x280000;
  e->lan_romsize = 0x40000;
  e->romsize = 0x40000;
  e->lan_romwidth = 16;
  e->romwidth = 16;
  copy_config_text(e->pfname, programming_lan ? "lib/lpf.X" : "lib/npf.X");
  e->vppctladdr = VALUE_UNSET;
  e->vppmask = 0;
  e->vppvalue = 0xFFFF;
  e->for_38100a = for_38100a;
  e->for_38100b = 0;
  e->initr = 1;
  e->nwirecmd_count = 0;
}

int check_config_entry(product_config *table, int index) {
  product_config *e = config_entry(table, index);

  if (e->romident_count == 0) {
    fail("ID must be defined\n");
  }
  if (e->binname[0] == '\0') {
    fail("Control binary name must be defined\n");
  }
  if (programming_lan && e->lan_binname[0] == '\0') {
    fail("LAN binary name must be defined\n");
  }

  // A processor probe has no programming-voltage latch beside its identifier.
  if (e->vppctladdr == VALUE_UNSET && !yak) {
    e->vppctladdr = e->romidentloc + 7;
  }

  const bool flash_card = is_flash_card_entry(*e);
  if (!applies_to_target(*e) || (flash_card && !quokka)) {
    release_nwire_commands(e);
    return 0;
  }

  // Past the table: counted, so that the driver can say how many were left
  // out, but nothing of it is kept, and it is never programmed.
  if (config_entry_is_spare(index)) {
    release_nwire_commands(e);
    return 1;
  }

  e->read_order = index;
  print_config_entry(*e);
  // The card is laid out before anything else is put on it.
  if (flash_card && takes_whole_card(*e) && index != 0) {
    std::swap(table[0], table[index]);
  }
  return 1;
}
