// The parts of the programming sequence that decide what is sent: the
// commands, the image's fit in its ROM, the hardware identifier list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config.h"

// Where an image goes and how much of it, as the programming command and
// the download announce it.
struct image_plan {
  uint32_t code_start;  // lowest address, or the shifted start of the 1 MB card
  uint32_t size_arg;    // size argument of "pf -p" / "pf -P"
  uint64_t size;        // highest - lowest + 1, as scanned
  uint32_t count;       // bytes announced for the download
  // The addresses the image may write: the ROM, or on the 1 MB card the
  // part it is programmed into.
  uint32_t rom_first;
  uint32_t rom_last;
};

enum class image_fit {
  ok,
  no_data,     // no data records (or only empty ones)
  too_large,   // larger than the ROM
  ends_below,  // ends below the shifted code start of the 1 MB card
  leaves_rom,  // fits the ROM's size, but a record lies outside its addresses
};

// Plans an image scanned as lowest..highest for a ROM.  With quokka_rule
// (the control ROM on a 38100B) the code start and size argument follow the
// board's rule: the 1 MB card at 0x10000000 is programmed from 0x100C0000
// with 0x40000 bytes, every other ROM with a size argument of 0.  An image
// that writes outside the ROM's addresses (outside the card's last 256K for
// the 1 MB card) would overwrite what the run was to keep: leaves_rom.
image_fit plan_image(uint32_t lowest, uint32_t highest, uint32_t rom_start, uint32_t rom_size,
                     bool quokka_rule, image_plan *plan);

// A 64-bit size as shown in a message: a 32-bit value, at most FFFFFFFF.
uint32_t shown_size(uint64_t size);

// "<program>: Hardware ID 1A, 2B or 3C"
std::string hardware_id_list(const product_config &entry);

// Each composition returns false when the text does not fit (never for a
// buffer of CMDSTRING_SIZE, but checked all the same).

// "pf -p ..." (letter 'p', control ROM) or "pf -P ..." (letter 'P', LAN ROM).
bool compose_pf_program(char *buf, size_t size, char letter, const product_config &entry,
                        uint32_t rom_start, uint32_t rom_size, int32_t rom_width,
                        const image_plan &plan);
// "pf -n ..." after the entry's nwire commands were sent, else "pf -b ...".
bool compose_pf_nwire(char *buf, size_t size, const product_config &entry, bool sent_nwire);
// "pf -f\n" for the LAN-card product, else "pf -f <rom start> <width>\n".
bool compose_pf_finish(char *buf, size_t size, const product_config &entry, bool lan);
// An nwire command with its line end.
bool compose_nwire_command(char *buf, size_t size, const char *command);
bool nwire_command_fits(const char *command);
