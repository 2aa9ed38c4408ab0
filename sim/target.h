// The one simulated target that every session talks to: its prompt, its
// macros (the lock marker among them), its flash memory and the areas marked
// in use, and the fixed answers configured for it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "formats/image/image.h"

struct address_range {
  uint32_t start;
  uint32_t end;  // inclusive
};

// The quokka board's flash region that "pf -e" works on.
inline constexpr uint32_t FLASH_REGION_START = 0x10000000;
inline constexpr uint32_t FLASH_REGION_END = 0x100FFFFF;

// The body of the lock marker another user interface leaves behind
// (--locked, --come-back-locked).
inline constexpr const char *FOREIGN_LOCK_BODY =
    "echo \"user: 4242\" \\0A \"userinterface: 1 (terminal)\" \\0A \"host name: bench7\" \\0A  ";

struct target_state {
  // Kept across reboots: the configured answers and the memory.
  std::vector<std::string> version_lines;
  std::map<uint32_t, std::string> hwids;   // "pf -i ADDR" -> reply line
  std::map<uint32_t, uint32_t> registers;  // "m -a2 -d2 ADDR" -> value
  flash_memory flash;
  std::vector<address_range> used;  // marked in use without data
  bool flash_changed = false;       // set on every change of flash

  // Lost at a reboot.
  char prompt = '>';
  std::map<std::string, std::string, std::less<>> macros;

  // What a reboot leaves: prompt back at ">", no macros, or only the foreign
  // lock marker when the target comes back locked.
  void reboot(bool come_back_locked);
  void lock_by_other() { macros["lockinfo"] = FOREIGN_LOCK_BODY; }

  // Whether any byte of start..end holds data or lies in a used area.
  bool in_use(uint32_t start, uint32_t end) const;
  // Forgets data and used marks from start to end (inclusive).
  void erase(uint32_t start, uint32_t end);
};
