// The line routines that read the target's replies: the classification
// from the "ver" reply, the "pf -a" availability answer, and the two number
// readers.  Each reply line is given to every routine and the outcome is
// compared with a reading of the line written from the rules directly.
//
// Input: one byte of starting flags (bit 0 yak, 1 quokka, 2 marlin,
// 3 verboseflag, 4 the availability result's starting value), then the
// reply, split into lines at line ends and zero bytes as the exchange
// delivers them.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/config.h"
#include "config/flash_card.h"
#include "driver/romupdate.h"
#include "fuzz_test_support.h"

namespace {

struct class_flags {
  unsigned char yak, quokka, marlin;
  bool operator==(const class_flags &) const = default;
};

class_flags current_flags() { return {yak, quokka, marlin}; }

// The version text's rules: a processor probe line wins outright; otherwise
// the earliest of the three mainframe patterns decides.  (The routine's
// search starts at the first "38100" and steps from "3" to "3"; every pattern
// begins with "38100", so the first it meets is the earliest occurrence.)
class_flags expected_flags(class_flags f, std::string_view line) {
  if (line.find("T5821") != std::string_view::npos) {
    return {1, 0, f.marlin};
  }
  size_t b = line.find("38100B");
  size_t spaced = line.find("38100 B ");
  size_t series = line.find("38100 Series");
  size_t first = std::min({b, spaced, series});
  if (first == std::string_view::npos) {
    return f;
  }
  if (first == series) {
    f.marlin = 1;
  } else {
    f.quokka = 1;
  }
  return f;
}

// "Available" or "Used", whichever comes first; neither leaves the value.
uint16_t expected_avail(uint16_t before, std::string_view line) {
  size_t a = line.find("Available");
  size_t u = line.find("Used");
  if (a == std::string_view::npos && u == std::string_view::npos) {
    return before;
  }
  return a < u ? 1 : 0;
}

// A number read as the formatted-input conversions read it on a machine with
// a 32-bit long: [white space][sign][0x]hex digits.  The digits are converted
// by the C library; only the 32-bit outcome is worked out here.
struct number_text {
  bool found = false;
  bool negative = false;
  bool overflow = false;  // the magnitude does not fit 32 bits
  uint32_t magnitude = 0;
};

number_text read_hex(const std::string &line) {
  number_text n;
  const char *p = line.c_str();
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
    p++;
  }
  if (*p == '+' || *p == '-') {
    n.negative = *p++ == '-';
  }
  // After the sign a digit (or the prefix) must follow directly; strtoull
  // would skip white space or take a second sign here.
  if (*p == ' ' || (*p >= '\t' && *p <= '\r') || *p == '+' || *p == '-') {
    return n;
  }
  char *end;
  errno = 0;
  unsigned long long v = strtoull(p, &end, 16);
  if (end == p) {
    return n;
  }
  n.found = true;
  n.overflow = errno == ERANGE || v > 0xFFFFFFFFull;
  n.magnitude = static_cast<uint32_t>(v);
  return n;
}

// "%lx": out of range saturates, a minus sign negates modulo 2^32.
uint32_t as_unsigned(const number_text &n) {
  if (n.overflow) {
    return 0xFFFFFFFFu;
  }
  return n.negative ? 0u - n.magnitude : n.magnitude;
}

// strtol: saturates at the limits of its sign.
uint32_t as_signed(const number_text &n) {
  if (n.negative) {
    return n.overflow || n.magnitude >= 0x80000000u ? 0x80000000u : 0u - n.magnitude;
  }
  return n.overflow || n.magnitude > 0x7FFFFFFFu ? 0x7FFFFFFFu : n.magnitude;
}

// The second field of the line, fields separated by blanks and tabs.
std::string second_field(std::string_view line) {
  const char *seps = " \t";
  size_t a = line.find_first_not_of(seps);
  if (a == std::string_view::npos) {
    return {};
  }
  size_t b = line.find_first_of(seps, a);
  if (b == std::string_view::npos) {
    return {};
  }
  size_t c = line.find_first_not_of(seps, b);
  if (c == std::string_view::npos) {
    return {};
  }
  return std::string(line.substr(c, line.find_first_of(seps, c) - c));
}

void check_line(const std::string &line, uint16_t *avail) {
  // Classification.
  class_flags before = current_flags();
  ver_reply_line(line.c_str(), nullptr);
  FUZZ_CHECK(current_flags() == expected_flags(before, line));
  FUZZ_CHECK(yak <= 1 && quokka <= 1 && marlin <= 1);

  // Availability.
  uint16_t was = *avail;
  avail_reply_line(line.c_str(), avail);
  FUZZ_CHECK(*avail == expected_avail(was, line));

  // Leading hexadecimal number.
  const uint32_t untouched = 0xA5A5A5A5u;
  reply_number hex{untouched, false};
  hex_reply_line(line.c_str(), &hex);
  number_text lead = read_hex(line);
  FUZZ_CHECK(hex.seen == lead.found);
  FUZZ_CHECK(hex.value == (lead.found ? as_unsigned(lead) : untouched));

  // Second field, as strtol base 16.
  reply_number second{untouched, false};
  second_token_reply_line(line.c_str(), &second);
  std::string field = second_field(line);
  number_text sec = field.empty() ? number_text{} : read_hex(field);
  FUZZ_CHECK(second.seen == sec.found);
  FUZZ_CHECK(second.value == (sec.found ? as_signed(sec) : untouched));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  yak = data[0] & 1;
  quokka = (data[0] >> 1) & 1;
  marlin = (data[0] >> 2) & 1;
  verboseflag = (data[0] >> 3) & 1;
  uint16_t avail = (data[0] >> 4) & 1;

  std::string_view reply(reinterpret_cast<const char *>(data + 1), size - 1);
  size_t pos = 0;
  while (pos <= reply.size()) {
    size_t end = reply.find_first_of(std::string_view("\r\n\0", 3), pos);
    if (end == std::string_view::npos) {
      end = reply.size();
    }
    if (end > pos) {
      check_line(std::string(reply.substr(pos, end - pos)), &avail);
    }
    pos = end + 1;
  }
  return 0;
}
