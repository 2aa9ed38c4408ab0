// Configuration: the product_config record, the reader, the selection of
// configuration files and the flash erase ranges of a quokka board.
#pragma once

#include <cstdint>
#include <cstdio>

#include "bounds.h"

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

inline constexpr int CONFIG_KEYWORD_COUNT = 23;
extern const char *const config_keywords[CONFIG_KEYWORD_COUNT];

// ---- Reader ------------------------------------------------------------------
int read_config_line(FILE *file, int *key, char **value);
int get_config_data(const char *path, FILE *file, unsigned char local_flag,
                    product_config *table, int count);
void init_config_entry(product_config *table, int index, const char *path,
                       unsigned char for_38100a);
int check_config_entry(product_config *table, int index);

// ---- Selection ---------------------------------------------------------------
// Resolves (or asks for) a configuration file and opens it; never returns
// without an open file.
char *get_configname(const char *name, unsigned char *local_flag, FILE **file);

// ---- Erase ranges ------------------------------------------------------------
struct flash_range {
  flash_range *next;
  uint32_t start;
  uint32_t end;  // inclusive
};
extern flash_range *quokka_ranges;

// Whether the entry programs part of a 38100B's flash card (directly or
// through the 0xA80000 window); its range is erased before programming.
bool is_flash_card_entry(const product_config &entry);
// Adds the entry's flash ranges; returns 1 when the entry takes first place.
int add_quokka_ranges(const product_config *entry);
// Empties the list, so that it can be built again from the entries that
// will really be programmed.
void clear_quokka_ranges();
void copy_quokka_flash_parts();
void avail_reply_line(const char *line, void *result);  // result: uint16_t*
