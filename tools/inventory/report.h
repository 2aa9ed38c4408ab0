// The inventory's output: one row per instrument, as an aligned table for a
// reader or as tab-separated values for a script.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "products.h"
#include "query.h"

// The header, then one row per report; each cell is shown safely (no
// control bytes of a target's reach the terminal; no tab inside a cell).
std::vector<std::vector<std::string>> inventory_rows(const std::vector<instrument_report> &reports,
                                                     const std::vector<product_entries> &products);

void print_tsv(FILE *out, const std::vector<std::vector<std::string>> &rows);
void print_table(FILE *out, const std::vector<std::vector<std::string>> &rows);
