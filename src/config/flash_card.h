// The flash card of a 38100B: 1 MB at 0x10000000, its layout, and the one
// owner of its erase.
//
// The card: 1 MB at 0x10000000.  The lower part holds the
// board's own code and whatever else the target keeps there; a whole-card
// image is programmed into its last 256K.  Older control images still name
// the 0xA80000 window; their erase range is the card's second 256K.
#pragma once

#include <cstdint>
#include <vector>

#include "config/config.h"

inline constexpr uint32_t FLASH_CARD_START = 0x10000000;
inline constexpr uint32_t FLASH_CARD_SIZE = 0x100000;
inline constexpr uint32_t FLASH_CARD_LAST = 0x100FFFFF;  // inclusive
inline constexpr uint64_t FLASH_CARD_END = 0x10100000;   // one past the card

// Erased with a whole-card entry: the card's first 256K.
inline constexpr uint32_t FLASH_CARD_FRONT_LAST = 0x1003FFFF;
// Where a whole-card image is programmed: the card's last 256K.
inline constexpr uint32_t FLASH_CARD_CODE_START = 0x100C0000;
inline constexpr uint32_t FLASH_CARD_CODE_SIZE = 0x40000;

// The old control ROM window, and the part of the card behind it.
inline constexpr uint32_t FLASH_CARD_WINDOW = 0xA80000;
inline constexpr uint32_t FLASH_CARD_WINDOW_START = 0x10040000;
inline constexpr uint32_t FLASH_CARD_WINDOW_LAST = 0x1007FFFF;

static_assert(FLASH_CARD_LAST == FLASH_CARD_START + FLASH_CARD_SIZE - 1);
static_assert(FLASH_CARD_END == uint64_t{FLASH_CARD_START} + FLASH_CARD_SIZE);
static_assert(FLASH_CARD_CODE_START + FLASH_CARD_CODE_SIZE - 1 == FLASH_CARD_LAST);

// ---- The card's owner --------------------------------------------------------
// Which entries program the card, the ranges erased for them, and the erase
// itself.  The reader only asks which entries are card entries; the
// programming sequence decides which will be programmed and hands them here.

// Whether the entry programs part of a 38100B's flash card (directly or
// through the 0xA80000 window).
bool is_flash_card_entry(const product_config &entry);
// Whether the entry programs the whole card.  Such an entry takes first
// place in the table: the card is laid out before anything else is put on it.
bool takes_whole_card(const product_config &entry);

// One area of the flash card, start to end inclusive.
struct card_range {
  uint32_t start;
  uint32_t end;
  bool operator==(const card_range &) const = default;
};
// In ascending order of start.  Each entry adds at most two.
using card_ranges = std::vector<card_range>;

// The areas erased for the given entries (those that will be programmed,
// in any order): each card entry's areas, added in the order the entries
// were read, so that the same entries always give the same list.  Entries
// that are no card entries add nothing.
card_ranges card_erase_ranges(const product_config *const *entries, int count);

// Erases the card: unless every range is free already, one "pf -e" erases
// the whole card but for the parts outside the ranges that the target
// reports in use.  Ends the run on a failed command.
void erase_flash_card(const card_ranges &ranges);
// Line routine for the "pf -a" probe: sets the uint16_t at `result` to 1 on
// "Available" and to 0 on "Used", whichever comes first in the line.
void avail_reply_line(const char *line, void *result);
