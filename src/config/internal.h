// The configuration layer's own routines: the reader's steps and the helpers
// its sources share.  Not part of the subsystem's interface.
#pragma once

#include <cstdio>

#include "config/config.h"

// The keys of a configuration file, in the order of their key indexes.
inline constexpr int CONFIG_KEYWORD_COUNT = 23;
extern const char *const config_keywords[CONFIG_KEYWORD_COUNT];

// The next line with a known key and a value: 1 with the key's index in *key and the
// value in *value (valid until the next line is read), 0 at the end of the file.  A key
// without a value is reported and skipped.
int read_config_line(FILE *file, int *key, char **value);
// Begins entry `index` with the defaults: config_name from `path`,
// for_38100a from the argument, and the programming_lan variants.
void init_config_entry(product_config *table, int index, const char *path,
                       unsigned char for_38100a);
// Checks the finished entry `index`: 1 when it counts, 0 when it is dropped for this
// target (its record is reused).  A counted whole-card entry swaps places with
// record 0.  Ends the run on a missing required value.
int check_config_entry(product_config *table, int index);

// The record for entry `index`.  The table holds MAX_CONFIG_ENTRIES records;
// an entry that would begin past them is read into one spare record instead,
// so that the rest of its file is still read and checked, but it is never
// stored in the table and never programmed.
product_config *config_entry(product_config *table, int index);
inline bool config_entry_is_spare(int index) { return index >= MAX_CONFIG_ENTRIES; }

// Copies a value into a text field, truncated to the field's 79 characters.
void copy_config_text(char (&field)[CONFIG_TEXT_SIZE], const char *value);
