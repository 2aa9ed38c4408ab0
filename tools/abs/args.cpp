#include "args.h"

namespace {

// Decimal digits only, without overflow.
bool parse_decimal(std::string_view text, uint64_t *out) {
  if (text.empty()) {
    return false;
  }
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) {
      return false;
    }
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

}  // namespace

bool parse_address(std::string_view text, uint32_t *out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  // Configuration files write 280000H; the same text works here.
  if (!text.empty() && (text.back() == 'H' || text.back() == 'h')) {
    text.remove_suffix(1);
  }
  if (text.empty()) {
    return false;
  }
  uint64_t value = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value * 16 + digit;
    if (value > 0xFFFFFFFF) {
      return false;
    }
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

bool parse_size(std::string_view text, uint64_t *out) {
  uint64_t unit = 1;
  if (!text.empty()) {
    char last = text.back();
    if (last == 'K' || last == 'k') {
      unit = 1024;
    }
    if (last == 'M' || last == 'm') {
      unit = 1024 * 1024;
    }
    if (unit != 1) {
      text.remove_suffix(1);
    }
  }
  constexpr uint64_t limit = uint64_t{1} << 32;
  uint64_t value;
  if (!parse_decimal(text, &value) || value > limit / unit) {
    return false;
  }
  *out = value * unit;
  return true;
}

bool parse_seed(std::string_view text, uint64_t *out) { return parse_decimal(text, out); }
