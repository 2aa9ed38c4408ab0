// Number arguments of romupdate-abs.  Each returns false, leaving *out
// alone, when the text is not entirely a number of its kind or does not fit.
#pragma once

#include <cstdint>
#include <string_view>

// Hexadecimal, with or without "0x": a 32-bit address.
bool parse_address(std::string_view text, uint32_t *out);
// Decimal byte count, optionally followed by K (1024) or M (1024 * 1024);
// at most 4 GiB, the whole address space.
bool parse_size(std::string_view text, uint64_t *out);
// Decimal, 64 bits.
bool parse_seed(std::string_view text, uint64_t *out);
