// Configuration: the product_config record, the reader, the selection of
// configuration files; the flash erase ranges of a quokka board are in
// config/flash_card.h.  The
// reader's own steps are in config/internal.h.
#pragma once

#include <cstdint>
#include <cstdio>

#include "bounds.h"

// A 32-bit value that nothing has set: an address the configuration left
// to its default, or a number no reply has carried yet.
inline constexpr uint32_t VALUE_UNSET = 0xFFFFFFFF;

// One configuration entry: one product to update.  The driver's table holds
// MAX_CONFIG_ENTRIES of them.  The nwirecmd texts are heap copies that the
// entry owns until the programming sequence sends and frees them.
struct product_config {
  char config_name[CONFIG_TEXT_SIZE];
  int32_t genrev;
  uint32_t romidentloc;
  int32_t romident_count;
  uint32_t romident[MAX_ROMIDENTS];
  uint32_t lan_romstart;
  uint32_t romstart;
  uint32_t lan_romsize;
  uint32_t romsize;
  int32_t lan_romwidth;
  int32_t romwidth;
  char pfname[CONFIG_TEXT_SIZE];
  char lan_binname[CONFIG_TEXT_SIZE];
  char binname[CONFIG_TEXT_SIZE];
  uint32_t vppctladdr;
  uint16_t vppmask;
  uint16_t vppvalue;
  unsigned char for_38100a;
  unsigned char for_38100b;
  unsigned char initr;
  int32_t nwirecmd_count;
  char *nwirecmd[MAX_NWIRECMDS];
  // Where the entry's file was found: 1 beside the current directory, 0 in
  // the installation's update directory.  The entry's image names are
  // resolved by it, whatever files other entries came from.
  unsigned char local_flag;
  // The entry's place among the counted entries in reading order; the first
  // place moves an entry in the table, but not here.
  int32_t read_order;
};

// ---- Reader ------------------------------------------------------------------

// Reads the open file (`path` and `local_flag` as get_configname gave them) to its end,
// closes it, and fills `table` from index `count` on.  Returns `count` plus the entries
// counted (one past the table counts but is not kept).  Ends the run on a fatal error.
int get_config_data(const char *path, FILE *file, unsigned char local_flag, product_config *table,
                    int count);

// The path of an image that the entry names (`name` is one of its image
// fields): beside the current directory when its file was found there, else
// under the installation root.  For the caller to free; nullptr when there is
// none.
char *config_image_path(const product_config &entry, const char *name);

// ---- Selection ---------------------------------------------------------------

// Opens the configuration file `name` (nullptr: picked from a menu), here (*local_flag 1)
// or in the update directory (0), into *file, and returns its path for the caller to free;
// ends the run when none opens.  Sets programming_lan for the 38126 product.
char *get_configname(const char *name, unsigned char *local_flag, FILE **file);

// ---- Erase ranges ------------------------------------------------------------
// The flash card of a 38100B and its erase: config/flash_card.h.
