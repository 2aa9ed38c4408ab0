// Number conversions with the results that the formatted-input conversions
// give on a machine with a 32-bit long, whatever the width of long on the
// build machine: configuration files and reply lines must read the same on
// every build.
#include "config/scan.h"

#include <cstddef>

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digit_value(char c, int base) {
  int v;
  if (c >= '0' && c <= '9') {
    v = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    v = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    v = c - 'A' + 10;
  } else {
    return -1;
  }
  return v < base ? v : -1;
}

// The magnitude of a number read as [blanks][sign][0x]digits.  The magnitude
// is clamped just above 32 bits so that any number of digits is safe; the
// callers only need to know whether it left 32 bits.
struct scanned {
  bool negative = false;
  bool overflow = false;  // the magnitude exceeds 0xFFFFFFFF
  uint64_t magnitude = 0;
};

bool scan_number(std::string_view text, int base, scanned *out) {
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) {
    i++;
  }
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    out->negative = text[i] == '-';
    i++;
  }
  // "0x" counts as a prefix only when a hex digit follows it; otherwise the
  // "0" is the number and the reading stops at the "x".
  if (base == 16 && i + 2 < text.size() && text[i] == '0' &&
      (text[i + 1] == 'x' || text[i + 1] == 'X') && digit_value(text[i + 2], 16) >= 0) {
    i += 2;
  }
  bool any = false;
  for (; i < text.size(); i++) {
    int d = digit_value(text[i], base);
    if (d < 0) {
      break;
    }
    any = true;
    if (!out->overflow) {
      out->magnitude = out->magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(d);
      if (out->magnitude > 0xFFFFFFFFu) {
        out->overflow = true;
      }
    }
  }
  return any;
}

// strtoul on a 32-bit unsigned long: too large saturates, "-" negates
// modulo 2^32.
uint32_t unsigned_result(const scanned &s) {
  if (s.overflow) {
    return 0xFFFFFFFFu;
  }
  uint32_t v = static_cast<uint32_t>(s.magnitude);
  return s.negative ? static_cast<uint32_t>(0u - v) : v;
}

// strtol on a 32-bit long: saturates at the limits of the sign.
int32_t signed_result(const scanned &s) {
  if (s.negative) {
    if (s.overflow || s.magnitude >= 0x80000000u) {
      return INT32_MIN;
    }
    return -static_cast<int32_t>(s.magnitude);
  }
  if (s.overflow || s.magnitude > 0x7FFFFFFFu) {
    return INT32_MAX;
  }
  return static_cast<int32_t>(s.magnitude);
}

}  // namespace

bool scan_hex32(std::string_view text, uint32_t *out) {
  scanned s;
  if (!scan_number(text, 16, &s)) {
    return false;
  }
  *out = unsigned_result(s);
  return true;
}

bool scan_hex16(std::string_view text, uint16_t *out) {
  scanned s;
  if (!scan_number(text, 16, &s)) {
    return false;
  }
  *out = static_cast<uint16_t>(unsigned_result(s));
  return true;
}

bool scan_dec32(std::string_view text, int32_t *out) {
  scanned s;
  if (!scan_number(text, 10, &s)) {
    return false;
  }
  *out = signed_result(s);
  return true;
}

bool scan_strtol16(std::string_view text, uint32_t *out) {
  scanned s;
  if (!scan_number(text, 16, &s)) {
    return false;
  }
  *out = static_cast<uint32_t>(signed_result(s));
  return true;
}
