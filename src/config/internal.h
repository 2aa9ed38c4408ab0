// Helpers shared by the configuration sources; not part of the subsystem's
// interface.
#pragma once

#include <cstdio>

#include "config/config.h"

// The record for entry `index`.  The table holds MAX_CONFIG_ENTRIES records;
// an entry that would begin past them is read into one spare record instead,
// so that the rest of its file is still read and checked, but it is never
// stored in the table, never programmed and never adds erase ranges.
product_config *config_entry(product_config *table, int index);
inline bool config_entry_is_spare(int index) { return index >= MAX_CONFIG_ENTRIES; }

// Copies a value into a text field, truncated to the field's 79 characters.
void copy_config_text(char (&field)[CONFIG_TEXT_SIZE], const char *value);

// Prints the message (its "%s" first is the program name, passed by the
// caller) to standard error and ends the run.
[[noreturn]] void config_fail(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
