// The flash card of a 38100B is erased once, before programming, by ranges:
// the ranges that the entries will program are erased, and so is every other
// part of the card that the target reports unused.  Parts in use outside the
// ranges are named in the erase command so that the target keeps them.
#include "config/flash_card.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstring>

#include "gtw/gtw.h"
#include "run_state.h"

namespace {

// Keeps the list in ascending order of start.  A range that ends just before
// the range it is put in front of is merged into that one.
void insert_range(card_ranges &ranges, uint32_t start, uint32_t end) {
  auto at = ranges.begin();
  while (at != ranges.end() && at->start < start) {
    ++at;
  }
  if (at != ranges.end() && static_cast<uint64_t>(end) + 1 == at->start) {
    at->start = start;
    return;
  }
  ranges.insert(at, card_range{start, end});
}

// The card's first 256K goes in front of the list; it is merged with a range
// that begins right behind it.
void insert_front_range(card_ranges &ranges) {
  if (!ranges.empty() && ranges.front().start == FLASH_CARD_FRONT_LAST + 1) {
    ranges.front().start = FLASH_CARD_START;
    return;
  }
  ranges.insert(ranges.begin(), card_range{FLASH_CARD_START, FLASH_CARD_FRONT_LAST});
}

// The last address of an entry's ROM; a size that would run past the top of
// the address space ends there.  (A size of 0 leaves a range that ends before
// it starts: it covers nothing.)
uint32_t range_end(uint32_t start, uint32_t size) {
  uint64_t end = static_cast<uint64_t>(start) + size - 1;
  return end > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(end);
}

void add_entry_ranges(card_ranges &ranges, const product_config &entry) {
  if (takes_whole_card(entry)) {
    // The whole card: its image is programmed into the last 256K (the
    // programming sequence moves it there), and the first 256K is erased
    // with it.
    insert_front_range(ranges);
    insert_range(ranges, FLASH_CARD_CODE_START, FLASH_CARD_LAST);
  } else if (entry.romstart == FLASH_CARD_WINDOW) {
    insert_range(ranges, FLASH_CARD_WINDOW_START, FLASH_CARD_WINDOW_LAST);
  } else {
    insert_range(ranges, entry.romstart, range_end(entry.romstart, entry.romsize));
  }
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
void for_each_gap(const card_ranges &ranges, Visit visit) {
  uint64_t a = FLASH_CARD_START;
  auto range = ranges.begin();
  // The card's last byte is a gap of its own when the ranges end just
  // before it: it may be in use and must be probed like any other.
  while (a <= FLASH_CARD_LAST) {
    if (range == ranges.end()) {
      visit(a, FLASH_CARD_END - a);
      break;
    }
    if (a < range->start) {
      visit(a, range->start - a);
    }
    a = std::max<uint64_t>(a, static_cast<uint64_t>(range->end) + 1);
    ++range;
  }
}

}  // namespace

// The test stops short of the card's last byte, as it always has: an entry
// whose ROM starts on that one byte is an ordinary ROM here, kept on every
// target and given no erase range.  Counting it in would drop it on other
// mainframes and change what a 38100B erases, for configurations that
// already run.  Only a 38100B has the window.
bool is_flash_card_entry(const product_config &e) {
  const bool on_card = e.romstart >= FLASH_CARD_START && e.romstart < FLASH_CARD_LAST;
  return on_card || (quokka && e.romstart == FLASH_CARD_WINDOW);
}

bool takes_whole_card(const product_config &e) {
  return e.romstart == FLASH_CARD_START && e.romsize == FLASH_CARD_SIZE;
}

card_ranges card_erase_ranges(const product_config *const *entries, int count) {
  std::vector<const product_config *> card;
  for (int i = 0; i < count; ++i) {
    if (is_flash_card_entry(*entries[i])) {
      card.push_back(entries[i]);
    }
  }
  // The list depends on the order the ranges are added in (a range merges
  // only into one behind it), so they are added in reading order, whatever
  // place an entry has taken in the table.
  std::stable_sort(card.begin(), card.end(), [](const product_config *a, const product_config *b) {
    return a->read_order < b->read_order;
  });
  card_ranges ranges;
  for (const product_config *e : card) {
    add_entry_ranges(ranges, *e);
  }
  return ranges;
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

void erase_flash_card(const card_ranges &ranges) {
  bool erase_needed = false;
  for (const card_range &range : ranges) {
    const uint64_t size = static_cast<uint64_t>(range.end) - range.start + 1;
    if (probe_area(range.start, size) == 0) {
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
  for_each_gap(ranges, [&](uint64_t, uint64_t) { gaps++; });
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
  for_each_gap(ranges, [&](uint64_t start, uint64_t size) {
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
