// The flash card of a 38100B: 1 MB at 0x10000000.  The lower part holds the
// board's own code and whatever else the target keeps there; a whole-card
// image is programmed into its last 256K.  Older control images still name
// the 0xA80000 window; their erase range is the card's second 256K.
#pragma once

#include <cstdint>

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
