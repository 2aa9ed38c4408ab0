// The target classes that a complete update is tried on, declared once:
// the update tests, the fault matrix, the memory checks, the trace replays
// and the soak all walk this table.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace e2e {

struct Scenario {
  std::string key;                       // a test name: A38100AWithTheLoader
  std::string name;                      // in messages: "38100A with the loader"
  std::vector<std::string> sim;          // simulator options that make the target
  std::vector<std::string> flags;        // romupdate options before the address
  std::string product;                   // the configuration named after the address
  std::vector<std::string> images;       // lib/ files in flash after a good run
  bool exact = true;                     // the flash holds nothing else
  std::vector<std::string> downloads;    // lib/ files downloaded, in order
  std::string first_reboot;              // the reboot before programming; none with -b
  std::vector<std::string> programming;  // a good run's commands after its debug macros
  unsigned final_wait = 0;               // seconds waited after the final reboot; 0: none
  // How many of the last commands go out without their answers being
  // waited for: the final reboot, and before it the LAN card's "pf -f".
  unsigned unanswered_tail = 0;

  // The simulator's options (with a short reboot), then `extra`.
  std::vector<std::string> sim_options(const std::vector<std::string> &extra = {}) const;
  // romupdate's arguments against `address`.
  std::vector<std::string> arguments(const std::string &address) const;
};

// Test names show the class, not its bytes.
inline void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

const std::vector<Scenario> &target_classes();
// The class of that key; throws for an unknown key.
const Scenario &target_class(const std::string &key);

// A file of the sample installation's lib/.
std::string lib_image(const std::string &name);

}  // namespace e2e
