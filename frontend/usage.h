#pragma once

// Prints the fourteen lines of usage text to standard output.
void usage();
