#include "gtw/visible.h"

namespace {

bool is_control(unsigned char c) {
  return (c < 0x20 && c != '\t') || c == 0x7F || (c >= 0x80 && c <= 0x9F);
}

}  // namespace

std::string visible_text(std::string_view text) {
  std::string_view line_end;
  if (text.ends_with("\r\n")) {
    line_end = text.substr(text.size() - 2);
  } else if (text.ends_with('\n')) {
    line_end = text.substr(text.size() - 1);
  }
  text.remove_suffix(line_end.size());

  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + line_end.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (is_control(c)) {
      const char escape[] = {'\\', 'x', digits[c >> 4], digits[c & 0xF]};
      out.append(escape, sizeof escape);
    } else {
      out += ch;
    }
  }
  out += line_end;
  return out;
}
