// Number arguments of romupdate-abs.  Each returns false, leaving *out
// alone, when the text is not entirely a number of its kind or does not fit.
#pragma once

#include <cstdint>
#include <string_view>

// Hexadecimal, with or without "0x" in front or "H" behind: a 32-bit address.
bool parse_address(std::string_view text, uint32_t *out);
// Decimal byte count, optionally followed by K (1024) or M (1024 * 1024);
// at most 4096M, the whole address space.  Zero passes here; an image of
// no bytes is the caller's to refuse.
bool parse_size(std::string_view text, uint64_t *out);
// Decimal, 64 bits.
bool parse_seed(std::string_view text, uint64_t *out);
