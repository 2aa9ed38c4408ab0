// Number conversions of configuration values and reply lines, with the
// results of a 32-bit "long": the formatted-input conversions "%lx", "%hx",
// "%ld", "%d" and strtol base 16.  Each returns false when nothing converts
// and then leaves *out unchanged.
#pragma once

#include <cstdint>
#include <string_view>

bool scan_hex32(std::string_view text, uint32_t *out);     // "%lx"
bool scan_hex16(std::string_view text, uint16_t *out);     // "%hx"
bool scan_dec32(std::string_view text, int32_t *out);      // "%ld" and "%d"
bool scan_strtol16(std::string_view text, uint32_t *out);  // strtol(.., 16)
