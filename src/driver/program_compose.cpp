// What the programming sequence sends, composed apart from the sending.
#include <cstdio>
#include <cstring>

#include "driver/program_compose.h"
#include "config/flash_card.h"
#include "driver/romupdate.h"

namespace {

bool fits(int n, size_t size) { return n >= 0 && static_cast<size_t>(n) < size; }

}  // namespace

image_fit plan_image(uint32_t lowest, uint32_t highest, uint32_t rom_start, uint32_t rom_size,
                     bool quokka_rule, image_plan *plan) {
  // An image without records scans as lowest 0xFFFFFFFF, highest 0; one of
  // empty records only as lowest A, highest A - 1.  Either has nothing to
  // program.
  if (lowest > highest) {
    return image_fit::no_data;
  }

  plan->code_start = lowest;
  plan->rom_first = rom_start;
  const uint64_t rom_end = static_cast<uint64_t>(rom_start) + rom_size - 1;
  plan->rom_last = rom_end > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(rom_end);
  plan->size = static_cast<uint64_t>(highest) - lowest + 1;
  plan->size_arg = static_cast<uint32_t>(plan->size);
  plan->count = plan->size_arg;
  if (plan->size > rom_size) {
    return image_fit::too_large;
  }

  if (quokka_rule) {
    if (rom_start == FLASH_CARD_START && rom_size == FLASH_CARD_SIZE) {
      plan->code_start = FLASH_CARD_CODE_START;
      plan->size_arg = FLASH_CARD_CODE_SIZE;
      plan->rom_first = FLASH_CARD_CODE_START;
    } else {
      plan->size_arg = 0;
    }
  }
  if (highest < plan->code_start) {
    return image_fit::ends_below;
  }
  plan->count = highest - plan->code_start + 1;
  if (lowest < plan->rom_first || highest > plan->rom_last) {
    return image_fit::leaves_rom;
  }
  return image_fit::ok;
}

uint32_t shown_size(uint64_t size) {
  return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
}

std::string hardware_id_list(const product_config &entry) {
  std::string list = program_name;
  list += ": Hardware ID";
  const int count = entry.romident_count < MAX_ROMIDENTS ? entry.romident_count : MAX_ROMIDENTS;
  for (int i = 0; i < count; ++i) {
    char id[16];
    snprintf(id, sizeof id, " %lX", static_cast<unsigned long>(entry.romident[i]));
    list += id;
    const int remaining = count - i;
    if (remaining == 2) {
      list += " or";
    } else if (remaining > 2) {
      list += ",";
    }
  }
  return list;
}

bool compose_pf_program(char *buf, size_t size, char letter, const product_config &entry,
                        uint32_t rom_start, uint32_t rom_size, int32_t rom_width,
                        const image_plan &plan) {
  // The size argument goes out as the signed 32-bit number it is on the
  // target, whatever the width of long here.
  int n = snprintf(buf, size, "pf -%c 0%lX 0%hX 0%hX 0%lX 0%lX %d 0%lX %ld %d\n", letter,
                   static_cast<unsigned long>(entry.vppctladdr),
                   static_cast<unsigned short>(entry.vppvalue),
                   static_cast<unsigned short>(entry.vppmask),
                   static_cast<unsigned long>(rom_start), static_cast<unsigned long>(rom_size),
                   static_cast<int>(rom_width), static_cast<unsigned long>(plan.code_start),
                   static_cast<long>(static_cast<int32_t>(plan.size_arg)), 0);
  return fits(n, size);
}

bool compose_pf_nwire(char *buf, size_t size, const product_config &entry, bool sent_nwire) {
  int n = snprintf(buf, size, sent_nwire ? "pf -n 0%lX 0%lX\n" : "pf -b 0%lX 0%lX\n",
                   static_cast<unsigned long>(entry.romstart),
                   static_cast<unsigned long>(entry.romsize));
  return fits(n, size);
}

bool compose_pf_finish(char *buf, size_t size, const product_config &entry, bool lan) {
  int n = lan ? snprintf(buf, size, "pf -f\n")
              : snprintf(buf, size, "pf -f 0%lX %d\n", static_cast<unsigned long>(entry.romstart),
                         static_cast<int>(entry.romwidth));
  return fits(n, size);
}

// The reader keeps a value without its line end, and the target reads
// whole lines.
bool compose_nwire_command(char *buf, size_t size, const char *command) {
  return fits(snprintf(buf, size, "%s\n", command), size);
}

bool nwire_command_fits(const char *command) {
  return strlen(command) + 1 < static_cast<size_t>(CMDSTRING_SIZE);
}
