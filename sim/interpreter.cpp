#include "interpreter.h"

#include <cstdio>
#include <vector>

#include "macros.h"
#include "words.h"

namespace {

using words_t = std::vector<std::string_view>;

std::string line(std::string_view text) {
  std::string out(text);
  out += "\r\n";
  return out;
}

// "pf -a START SIZE": whether the flash area holds anything.
std::string pf_available(const target_state &target, const words_t &w) {
  if (w.size() != 4) {
    return {};
  }
  auto start = parse_hex32(w[2]);
  auto size = parse_hex32(w[3]);
  if (!start || !size) {
    return {};
  }
  if (*size == 0) {
    return line("Available");
  }
  uint64_t last = static_cast<uint64_t>(*start) + *size - 1;
  uint32_t end = last > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(last);
  return line(target.in_use(*start, end) ? "Used" : "Available");
}

// "pf -e [START SIZE]...": erases the flash region except the listed areas.
// A list that does not parse erases nothing: on a real board a misread range
// list would destroy data that was meant to be kept.
std::string pf_erase(target_state &target, const words_t &w) {
  if ((w.size() - 2) % 2 != 0) {
    return line("!ERROR: pf -e: incomplete range list");
  }
  std::vector<address_range> keep;
  for (size_t i = 2; i + 1 < w.size(); i += 2) {
    auto start = parse_hex32(w[i]);
    auto size = parse_hex32(w[i + 1]);
    if (!start || !size) {
      return line("!ERROR: pf -e: bad range list");
    }
    if (*size == 0) {
      continue;
    }
    uint64_t last = static_cast<uint64_t>(*start) + *size - 1;
    keep.push_back({*start, last > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(last)});
  }
  // Walk the region and erase every stretch that no kept area covers.
  uint64_t from = FLASH_REGION_START;
  while (from <= FLASH_REGION_END) {
    // The kept area that covers `from`, if any, moves us past its end.
    bool covered = false;
    for (const address_range &k : keep) {
      if (k.start <= from && from <= k.end) {
        from = static_cast<uint64_t>(k.end) + 1;
        covered = true;
        break;
      }
    }
    if (covered) {
      continue;
    }
    uint64_t to = FLASH_REGION_END;
    for (const address_range &k : keep) {
      if (k.start > from && k.start - 1 < to) {
        to = k.start - 1;
      }
    }
    target.erase(static_cast<uint32_t>(from), static_cast<uint32_t>(to));
    from = to + 1;
  }
  return line("Erasing flash");
}

std::string pf_ident(const target_state &target, const words_t &w) {
  if (w.size() != 3) {
    return {};
  }
  auto address = parse_hex32(w[2]);
  if (!address) {
    return {};
  }
  auto it = target.hwids.find(*address);
  return line(it == target.hwids.end() ? "0" : it->second);
}

std::string read_register(const target_state &target, const words_t &w) {
  if (w.size() != 4 || w[1] != "-a2" || w[2] != "-d2") {
    return {};
  }
  auto address = parse_hex32(w[3]);
  if (!address) {
    return {};
  }
  auto it = target.registers.find(*address);
  unsigned long value = it == target.registers.end() ? 0 : it->second;
  char text[40];
  snprintf(text, sizeof text, "%lx %04lx", static_cast<unsigned long>(*address), value);
  return line(text);
}

}  // namespace

bool is_reboot_command(std::string_view command) {
  words_t w = split_words(trim(command));
  return w.size() == 2 && w[0] == "init" && (w[1] == "-r" || w[1] == "-p");
}

command_outcome run_command(target_state &target, std::string_view command) {
  command_outcome out;
  command = trim(command);
  words_t w = split_words(command);
  if (w.empty()) {
    return out;
  }
  std::string_view verb = w[0];

  if (verb == "po") {
    if (w.size() == 3 && w[1] == "-p" && (w[2] == "$" || w[2] == ">")) {
      target.prompt = w[2][0];
    }
  } else if (verb == "ver") {
    for (const std::string &text : target.version_lines) {
      out.reply += line(text);
    }
  } else if (verb == "init") {
    if (is_reboot_command(command)) {
      out.what = command_outcome::action::reboot;
    }
  } else if (verb == "pf" && w.size() >= 2) {
    if (w[1] == "-a") {
      out.reply = pf_available(target, w);
    } else if (w[1] == "-e") {
      out.reply = pf_erase(target, w);
    } else if (w[1] == "-i") {
      out.reply = pf_ident(target, w);
    }
  } else if (verb == "m") {
    out.reply = read_register(target, w);
  } else if (verb == "lcd") {
    if (w.size() >= 2 && (w[1] == "-qfb" || w[1] == "-qb")) {
      auto count = w.size() == 3 ? parse_hex32(w[2]) : std::nullopt;
      if (!count) {
        out.reply = line("!ERROR: lcd: bad byte count");
      } else {
        out.what = command_outcome::action::download;
        out.flash = w[1] == "-qfb";
        out.count = *count;
      }
    }
  } else if (verb == "mac") {
    out.reply = run_mac(target, command.substr(3));
  } else if (verb == "echo") {
    out.reply = run_echo(command.substr(4));
  } else if (auto it = target.macros.find(verb); it != target.macros.end()) {
    out.reply = run_macro_body(it->second);
  }
  // Everything else ("lanlk", "rst", "b", the other "pf" and "m" forms, the
  // nwire commands of configuration files) is accepted without output.
  return out;
}
