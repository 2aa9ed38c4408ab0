// The flash card of a 38100B is erased once, before programming, by ranges:
// the ranges that the entries will program are erased, and so is every other
// part of the card that the target reports unused.  Parts in use outside the
// ranges are named in the erase command so that the target keeps them.
#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <new>

#include "config/config.h"
#include "config/flash_card.h"
#include "config/internal.h"
#include "run_state.h"
#include "gtw/gtw.h"

flash_range *quokka_ranges;

namespace {

flash_range *new_range(uint32_t start, uint32_t end) {
  flash_range *node = new (std::nothrow) flash_range{nullptr, start, end};
  if (!node) {
    fputs("Out of memory\n", stderr);
    exit_romupdate(1);
  }
  return node;
}

// Keeps the list in ascending order of start.  A range that ends just before
// the node it is put in front of is merged into that node.
void insert_range(uint32_t start, uint32_t end) {
  flash_range **link = &quokka_ranges;
  while (*link && (*link)->start < start) {
    link = &(*link)->next;
  }
  flash_range *after = *link;
  if (after && static_cast<uint64_t>(end) + 1 == after->start) {
    after->start = start;
    return;
  }
  flash_range *node = new_range(start, end);
  node->next = after;
  *link = node;
}

// The card's first 256K goes in front of the list; it is merged with a range
// that begins right behind it.
void insert_front_range() {
  if (quokka_ranges && quokka_ranges->start == FLASH_CARD_FRONT_LAST + 1) {
    quokka_ranges->start = FLASH_CARD_START;
    return;
  }
  flash_range *node = new_range(FLASH_CARD_START, FLASH_CARD_FRONT_LAST);
  node->next = quokka_ranges;
  quokka_ranges = node;
}

// The last address of an entry's ROM; a size that would run past the top of
// the address space ends there.  (A size of 0 leaves a range that ends before
// it starts: it covers nothing.)
uint32_t range_end(uint32_t start, uint32_t size) {
  uint64_t end = static_cast<uint64_t>(start) + size - 1;
  return end > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(end);
}

// Asks the target whether the area holds data: 1 "Available", 0 "Used".  An
// answer that names neither counts as "Used", so nothing is erased that is
// not known to be free.
uint16_t probe_area(uint64_t start, uint64_t size) {
  char command[AVAIL_COMMAND_SIZE];
  snprintf(command, sizeof command, "pf -a 0%lX 0%lX\n", static_cast<unsigned long>(start),
           static_cast<unsigned long>(size));
  uint16_t available = 0;
  if (gtw_send_command(&gtw, command, avail_reply_line, &available) != 0) {
    fail_with_messages();
  }
  return available;
}

// Walks the parts of the card that lie outside every listed range, in
// ascending order, calling visit(start, size) for each.  The walk never goes
// back: ranges that overlap do not open a gap inside another range.
template <typename Visit>
void for_each_gap(Visit visit) {
  uint64_t a = FLASH_CARD_START;
  const flash_range *node = quokka_ranges;
  // The card's last byte is a gap of its own when the ranges end just
  // before it: it may be in use and must be probed like any other.
  while (a <= FLASH_CARD_LAST) {
    if (!node) {
      visit(a, FLASH_CARD_END - a);
      break;
    }
    if (a < node->start) {
      visit(a, node->start - a);
    }
    a = std::max<uint64_t>(a, static_cast<uint64_t>(node->end) + 1);
    node = node->next;
  }
}

}  // namespace

int add_quokka_ranges(const product_config *entry) {
  if (entry->romstart == FLASH_CARD_START && entry->romsize == FLASH_CARD_SIZE) {
    // The whole card: its image is programmed into the last 256K (the
    // programming sequence moves it there), and the first 256K is erased
    // with it.  The entry goes first so that the card is laid out before
    // anything else is put on it.
    insert_front_range();
    insert_range(FLASH_CARD_CODE_START, FLASH_CARD_LAST);
    return 1;
  }
  if (entry->romstart == FLASH_CARD_WINDOW) {
    insert_range(FLASH_CARD_WINDOW_START, FLASH_CARD_WINDOW_LAST);
  } else {
    insert_range(entry->romstart, range_end(entry->romstart, entry->romsize));
  }
  return 0;
}

void clear_quokka_ranges() {
  while (quokka_ranges) {
    flash_range *next = quokka_ranges->next;
    delete quokka_ranges;
    quokka_ranges = next;
  }
}

void avail_reply_line(const char *line, void *result) {
  for (const char *p = strpbrk(line, "AU"); p; p = strpbrk(p + 1, "AU")) {
    if (strncmp(p, "Available", 9) == 0) {
      *static_cast<uint16_t *>(result) = 1;
      return;
    }
    if (strncmp(p, "Used", 4) == 0) {
      *static_cast<uint16_t *>(result) = 0;
      return;
    }
  }
}

void copy_quokka_flash_parts() {
  bool erase_needed = false;
  for (const flash_range *node = quokka_ranges; node; node = node->next) {
    const uint64_t size = static_cast<uint64_t>(node->end) - node->start + 1;
    if (probe_area(node->start, size) == 0) {
      erase_needed = true;
      break;
    }
  }
  if (!erase_needed) {
    return;
  }

  // The keep-list holds at most one pair per gap.  Make sure the whole
  // command fits before anything is probed or erased: a cut keep-list would
  // erase data the target was told to keep.
  int gaps = 0;
  for_each_gap([&](uint64_t, uint64_t) { gaps++; });
  if (gaps > MAX_ERASE_GAPS) {
    fail("Erase command too long: %d flash areas outside the ranges, at most %d\n", gaps,
         MAX_ERASE_GAPS);
  }

  char command[ERASE_COMMAND_SIZE];
  size_t length = 0;
  auto append = [&](const char *text) {
    size_t n = strlen(text);
    if (n >= sizeof command - length) {
      // Not reached when the count above is right; never send a cut command.
      fail("Erase command too long\n");
    }
    memcpy(command + length, text, n + 1);
    length += n;
  };
  append("pf -e");
  for_each_gap([&](uint64_t start, uint64_t size) {
    if (probe_area(start, size) != 0) {
      return;  // free: erased with the ranges
    }
    // A gap lies on the card, so its start and size are 32-bit numbers of at
    // most 8 digits each, and the pair fits.
    const unsigned long gap_start = static_cast<uint32_t>(start);
    const unsigned long gap_size = static_cast<uint32_t>(size);
    char pair[ERASE_PAIR_SIZE + 1];
    snprintf(pair, sizeof pair, " 0%lX 0%lX", gap_start, gap_size);
    append(pair);
  });
  append("\n");

  if (gtw_send_command(&gtw, command, print_reply_line, nullptr) != 0) {
    fail_with_messages();
  }
}
