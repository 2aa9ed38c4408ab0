#include "driver/driver.h"

int main(int argc, char **argv) { romupdate_main(argc, argv); }
