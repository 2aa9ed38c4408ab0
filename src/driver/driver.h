// The steps of a run, as the main routine calls them.
#pragma once

#include "config/config.h"

// The whole run; never returns.
[[noreturn]] void romupdate_main(int argc, char **argv);

// Step 5: "ver" and the class flags.
void identify_target();
// Step 7: the LAN-card product on a 38100B.
void refuse_lan_on_quokka();
// Step 10: reboot, reconnect, debug macros.
void reboot_and_reconnect(const product_config *table, const char *address);
// Step 11: program the entries and finish.
[[noreturn]] void program_entries(product_config *table, int count, unsigned char local_flag);
