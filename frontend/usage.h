#pragma once

// Prints the fifteen lines of usage text to standard output.
void usage();
