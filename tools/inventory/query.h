// What one instrument says about itself, asked without changing it.
#pragma once

#include <string>
#include <vector>

struct instrument_report {
  std::string address;
  enum class reach { yes, no, lost } reachable = reach::no;
  bool lock_known = false;                        // the lock probe was answered
  bool locked = false;                            // someone holds the lock marker
  std::string holder;                             // who, on one line; empty when free
  bool asked = false;                             // "ver" was answered, so the class below is real
  unsigned char yak = 0, quokka = 0, marlin = 0;  // the class flags "ver" set
  std::vector<std::string> version;               // the lines "ver" returned
  std::vector<std::string> reasons;               // why the connection failed, if it did
};

// Connects, probes the lock, and on a free instrument asks "ver" while the
// LAN is locked against other user interfaces; a held instrument is only
// probed.  Nothing is defined, programmed or rebooted on the instrument, and
// the LAN lock of the probe is given back on every path.
instrument_report query_instrument(const char *address);

// Installs the interrupt routine: a lock the query holds is given back
// before the process ends.
void install_query_interrupts();
