// Process-wide state of a run.
#include "driver/romupdate.h"

const char *program_name = "romupdate";

unsigned char verboseflag;
unsigned char bdm_flag;
volatile sig_atomic_t interrupted;
unsigned char init_r;
unsigned char programming_lan;
unsigned char yak;
unsigned char quokka;
unsigned char marlin;

volatile int interface_started;

char cmdstring[CMDSTRING_SIZE];
